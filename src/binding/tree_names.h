// The enums driftmoor_tree shows its callers, each named from the C++ enum
// it stands for: kinds, not sentences, which the command words itself.
#pragma once

#include "binding/failure.h"
#include "binding/tree_module_state.h"

namespace driftmoor::binding {

// Makes LeftOutKind, RootKind, ManifestFault, PathState and LinkRule, adds
// them to the module and keeps their members in its state.
Outcome<void> add_tree_enums(PyObject* module, TreeModuleState& state);

}  // namespace driftmoor::binding
