// A tree's account into the TreeWalk result of driftmoor_tree.walk.
#pragma once

#include "binding/failure.h"
#include "tree/tree_account.h"

namespace driftmoor::binding {

// The structure-sequence type of the result, made once per module object:
// TreeWalk(files, failures, passed_over). A new reference.
Outcome<PyRef> make_tree_walk_type();

// An instance of `tree_walk_type` holding the account: `files` a dict of path
// bytes to digest str; `failures` and `passed_over` lists of (path bytes,
// reason str) sorted by path. The account is used up.
Outcome<PyRef> account_to_tree_walk(PyObject* tree_walk_type, tree::TreeAccount&& account);

}  // namespace driftmoor::binding
