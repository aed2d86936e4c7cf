// The C entries of the module's three Python functions (fast call with
// keyword names). Each binds its arguments, takes their text, runs the work
// below the binding layer and converts the result, all inside the call wrapper.
#pragma once

#include "binding/python.h"

namespace driftmoor::binding {

// A fast-call entry in the generic form a PyMethodDef stores; the flags of the
// record tell the interpreter its real signature.
inline PyCFunction as_method(PyCFunctionFastWithKeywords entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// `self` is always null (the functions are static) and ignored.
PyObject* calculate_hash_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
PyObject* compare_hashes_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
PyObject* calculate_directory_manifest_entry(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames);

}  // namespace driftmoor::binding
