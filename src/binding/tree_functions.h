// The Python functions of driftmoor_tree, the command's own module, as the C
// functions the interpreter calls.
#pragma once

#include "binding/python.h"

namespace driftmoor::binding {

// What each driftmoor_tree module object keeps: the TreeWalk type it made.
struct TreeModuleState {
    PyObject* tree_walk_type;  // owned; null until the exec step made it
};

// walk(dir_path, /, *, jobs=1, exclude=None, progress=None) -> TreeWalk
PyObject* py_walk(PyObject* module, PyObject* args, PyObject* keywords);
// manifest_lines(files, /, format="sha256sum") -> list[bytes]
PyObject* py_manifest_lines(PyObject* module, PyObject* args, PyObject* keywords);

}  // namespace driftmoor::binding
