// driftmoor_tree's functions for a walk shared out between the machines of
// a cluster: a part of the tree walked on one machine, the identity every
// machine gives a directory, a system message worded where it is shown, and
// the merge of the parts' runs (RunMerge).
#pragma once

#include "binding/failure.h"
#include "binding/python.h"
#include "binding/tree_module_state.h"
#include "tree/tree_account.h"
#include "tree/tree_part.h"

namespace driftmoor::binding {

// walk_part(top, /, *, directory=None, name=b"", ...) -> tuple
PyObject* py_walk_part(PyObject* module, PyObject* args, PyObject* keywords);
// shared_identity(path, /) -> tuple[int, int]
PyObject* py_shared_identity(PyObject* module, PyObject* path);
// os_error_message(code, /) -> str
PyObject* py_os_error_message(PyObject* module, PyObject* code);

// run_reads(directory, run, /) -> bytes
PyObject* py_run_reads(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// Makes the types RunMerge, GatheredWalk and TrustTable and adds them to
// the module (TrustTable's kept in its state).
Outcome<void> add_part_types(PyObject* module, TreeModuleState& state);

// A TrustTable object holding `table`.
Outcome<PyRef> wrap_trust_table(const TreeModuleState& state, tree::TrustTable table);

// The account a GatheredWalk holds, taken from it (it is then empty for
// good); TypeError for another object, ValueError once taken.
Outcome<tree::TreeAccount> take_gathered_walk(PyObject* object);

}  // namespace driftmoor::binding
