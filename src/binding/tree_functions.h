// The Python functions of driftmoor_tree, the command's own module, as the C
// functions the interpreter calls.
#pragma once

#include "binding/python.h"

namespace driftmoor::binding {

// walk(dir_path, /, *, jobs=1, exclude=None, progress=None) -> TreeWalk
PyObject* py_walk(PyObject* module, PyObject* args, PyObject* keywords);
// manifest_lines(files, /, format="sha256sum") -> list[bytes]
PyObject* py_manifest_lines(PyObject* module, PyObject* args, PyObject* keywords);
// escape_path(path, /) -> tuple[bytes, bytes]
PyObject* py_escape_path(PyObject* module, PyObject* path);
// plain_path(path, /) -> bytes
PyObject* py_plain_path(PyObject* module, PyObject* path);
// unescape_path(text, /) -> bytes | None
PyObject* py_unescape_path(PyObject* module, PyObject* text);

}  // namespace driftmoor::binding
