// A tree's account into the TreeWalk result of driftmoor_tree.walk, and the
// kinds that result names things by.
#pragma once

#include "binding/failure.h"
#include "binding/tree_module_state.h"
#include "tree/tree_account.h"

namespace driftmoor::binding {

// Makes the module's TreeWalk type, adds it to the module and keeps it in
// its state (whose enums must be made already).
Outcome<void> add_tree_walk_types(PyObject* module, TreeModuleState& state);

// The system's message for an error, as the platform words it, in a str.
PyRef error_message(const platform::OsError& error);

// An instance of TreeWalk holding the account: `files` a dict of path bytes
// to digest str; `failures` and `passed_over` lists of (path bytes, kind,
// message) sorted by path, the message the system's (a str) for what an
// error left out and None otherwise; `root` the kind of the root; `reads`
// (by name only, not in the tuple) the records of the reads where they were
// kept, else None. The account is used up.
Outcome<PyRef> account_to_tree_walk(const TreeModuleState& state, tree::TreeAccount&& account,
                                    bool records_reads);

}  // namespace driftmoor::binding
