// The C entries of driftmoor_tree, the command's own module.
#pragma once

#include "binding/python.h"

namespace driftmoor::binding {

// What each driftmoor_tree module object keeps: the TreeWalk type it made.
struct TreeModuleState {
    PyObject* tree_walk_type;  // owned; null until the exec step made it
};

// walk(dir_path, /, *, jobs=1, exclude=None, progress=None) -> TreeWalk
PyObject* walk_entry(PyObject* module, PyObject* args, PyObject* keywords);
// manifest_lines(files, /, format="sha256sum") -> list[bytes]
PyObject* manifest_lines_entry(PyObject* module, PyObject* args, PyObject* keywords);

}  // namespace driftmoor::binding
