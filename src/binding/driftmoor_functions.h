// The module's three Python functions, as the C functions the interpreter
// calls (fast call with keyword names). Each binds its arguments, takes their
// text, runs the work below the binding layer and converts the result, all
// inside the call wrapper.
#pragma once

#include "binding/python.h"

namespace driftmoor::binding {

// A fast-call function in the generic form a PyMethodDef stores; the flags
// of the record tell the interpreter its real signature.
inline PyCFunction as_method(PyCFunctionFastWithKeywords function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// `self` is always null (the functions are static) and ignored.
PyObject* py_calculate_hash(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* py_compare_hashes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* py_calculate_directory_manifest(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames);

}  // namespace driftmoor::binding
