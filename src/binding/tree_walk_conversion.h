// A tree's account into the TreeWalk result of driftmoor_tree.walk, and the
// kinds that result names things by.
#pragma once

#include "binding/failure.h"
#include "tree/tree_account.h"

namespace driftmoor::binding {

// What each driftmoor_tree module object keeps: the types and kinds it made
// at its exec step, each owned and null until then.
struct TreeModuleState {
    PyObject* tree_walk_type;  // the TreeWalk structure sequence
    // The members of the LeftOutKind and RootKind enums, in value order.
    PyObject* left_out_kinds;  // tuple
    PyObject* root_kinds;      // tuple
};

// Makes the module's TreeWalk type and its kinds, adds them to the module
// and keeps them in its state.
Outcome<void> add_tree_walk_types(PyObject* module, TreeModuleState& state);

// An instance of TreeWalk holding the account: `files` a dict of path bytes
// to digest str; `failures` and `passed_over` lists of (path bytes, kind,
// message) sorted by path, the message the system's (a str) for what an
// error left out and None otherwise; `root` the kind of the root. The
// account is used up.
Outcome<PyRef> account_to_tree_walk(const TreeModuleState& state, tree::TreeAccount&& account);

}  // namespace driftmoor::binding
