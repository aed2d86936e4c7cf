// A finished manifest table into the dict that the call returns.
#pragma once

#include "binding/failure.h"
#include "binding/py_ref.h"
#include "manifest/manifest_table.h"

namespace driftmoor::binding {

// A new dict of str key text to str digest, filled in the table's slot order,
// which consumes the table: its storage is released as the dict fills.
// If the dict refuses an item, the interpreter's exception is the failure and
// the rest of the table and the partly filled dict are released. A str or the
// dict that cannot be created at all is an internal failure.
Outcome<PyRef> manifest_to_dict(manifest::ManifestTable&& table);

}  // namespace driftmoor::binding
