// The command's check as Python objects: a manifest read natively
// (ListedManifest), a check or a comparison made of it (Findings), and the
// report written from that (Report), so that no path costs a Python object
// unless a program asks for it.
#pragma once

#include "binding/failure.h"
#include "binding/tree_module_state.h"

namespace driftmoor::binding {

// Makes ListedManifest, ManifestProblem, Findings and Report, adds the
// public ones to the module and keeps them all in its state.
Outcome<void> add_tree_check_types(PyObject* module, TreeModuleState& state);

// check(manifest, /, *, tree=None, listed_start=b"", checked_start=b"",
//       walked_start=b"", jobs=1, exclude=None, progress=None,
//       links=LinkRule.INSIDE, one_file_system=False, state=None,
//       state_digests=None, scrub=0) -> Findings
PyObject* py_check(PyObject* module, PyObject* args, PyObject* keywords);
// recorded_state(manifest, reads, /) -> list of (first, bytes) chunks
PyObject* py_recorded_state(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// compare(old, new, /) -> Findings
PyObject* py_compare(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace driftmoor::binding
