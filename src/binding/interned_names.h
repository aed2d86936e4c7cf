// Attribute and method names the module looks up, interned once per process.
#pragma once

#include "binding/python.h"

namespace driftmoor::binding {

// Borrowed; each lives for the rest of the process.
PyObject* name_dunder_name();  // "__name__"
PyObject* name_dunder_all();   // "__all__"
PyObject* name_add_note();     // "add_note"

}  // namespace driftmoor::binding
