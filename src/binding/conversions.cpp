#include "binding/conversions.h"

#include <cstdint>
#include <new>

#include "binding/fixed_texts.h"
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
        panic(OBJECT_NOT_CREATED, where);
    }
    return PyRef::steal(new_reference);
}

PyRef text_to_str(std::string_view utf8, std::source_location where) {
    return created_or_panic(
        PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())), where);
}

PyRef message_to_str(const std::string& text, platform::TextEncoding encoding,
                     std::source_location where) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    if (encoding == platform::TextEncoding::Locale) {
        // Reads up to the NUL that std::string keeps after the text.
        if (PyObject* decoded =
                PyUnicode_DecodeLocaleAndSize(text.c_str(), size, "surrogateescape")) {
            return PyRef::steal(decoded);
        }
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            return created_or_panic(nullptr, where);
        }
        // A text the locale's decoder refuses outright (one holding a NUL):
        // its bytes, kept as below.
        PyErr_Clear();
    }
    return created_or_panic(PyUnicode_DecodeUTF8(text.data(), size, "surrogateescape"), where);
}

PyRef bool_to_py(bool value) noexcept {
    // Chosen by a mask rather than a branch: compare_hashes answers through
    // here, and a branch on its answer made a call that found a difference
    // measurably slower than one that found none.
    const auto if_false = reinterpret_cast<std::uintptr_t>(Py_False);
    const auto if_true = reinterpret_cast<std::uintptr_t>(Py_True);
    const std::uintptr_t mask = -static_cast<std::uintptr_t>(value);
    return PyRef::borrow(reinterpret_cast<PyObject*>(if_false ^ ((if_false ^ if_true) & mask)));
}

}  // namespace driftmoor::binding
