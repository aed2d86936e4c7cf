// The exec step shared by the module and the test-only module: adds each
// function of a method table to the module and lists it in __all__.
#pragma once

#include <span>

#include "binding/python.h"

namespace driftmoor::binding {

// Runs under the exec wrapper: 0, or -1 with an exception set. The methods
// must live for the whole process, since every function object points at one.
int exec_module_functions(PyObject* module, std::span<PyMethodDef> methods) noexcept;

}  // namespace driftmoor::binding
