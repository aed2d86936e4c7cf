#include "binding/conversions.h"

#include <new>

#include "binding/panic.h"

namespace driftmoor::binding {

PyRef created_or_panic(PyObject* new_reference, std::source_location where) {
    if (new_reference == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
        if (PyErr_Occurred() != nullptr) {
            PyErr_WriteUnraisable(nullptr);
        }
        panic("PyObject pointer is null", where);
    }
    return PyRef::steal(new_reference);
}

PyRef text_to_str(std::string_view utf8, std::source_location where) {
    return created_or_panic(
        PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())), where);
}

PyRef bool_to_py(bool value) noexcept {
    return PyRef::borrow(value ? Py_True : Py_False);
}

}  // namespace driftmoor::binding
