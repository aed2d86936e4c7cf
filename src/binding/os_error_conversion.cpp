#include "binding/os_error_conversion.h"

#include <memory>

#include "binding/conversions.h"
#include "common/internal_failure.h"

namespace driftmoor::binding {

std::string PythonExceptionError::display_text() const {
    PyObject* instance = exception_.materialise();
    PyRef text = created_or_panic(PyObject_Str(instance));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_WriteUnraisable(nullptr);
        panic("the text of an exception could not be read as UTF-8");
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

PyObject* python_exception_class(platform::ErrorKind kind) noexcept {
    // The subclass Python itself raises for the system codes behind a kind,
    // and MemoryError for running out of memory; every other kind is a plain
    // OSError.
    using enum platform::ErrorKind;
    switch (kind) {
        case EntityNotFound:
            return PyExc_FileNotFoundError;
        case PermissionDenied:
            return PyExc_PermissionError;
        case ConnectionRefused:
            return PyExc_ConnectionRefusedError;
        case ConnectionReset:
            return PyExc_ConnectionResetError;
        case ConnectionAborted:
            return PyExc_ConnectionAbortedError;
        case BrokenPipe:
            return PyExc_BrokenPipeError;
        case EntityAlreadyExists:
            return PyExc_FileExistsError;
        case OperationWouldBlock:
            return PyExc_BlockingIOError;
        case NotADirectory:
            return PyExc_NotADirectoryError;
        case IsADirectory:
            return PyExc_IsADirectoryError;
        case TimedOut:
            return PyExc_TimeoutError;
        case OperationInterrupted:
            return PyExc_InterruptedError;
        case OutOfMemory:
            return PyExc_MemoryError;
        default:
            return PyExc_OSError;
    }
}

FailureValue error_to_exception(platform::OsError error) {
    if (auto* custom = std::get_if<platform::OsError::Custom>(&error.variant())) {
        if (auto* wrapped = dynamic_cast<PythonExceptionError*>(custom->object.get())) {
            return std::move(*wrapped).take();
        }
    }
    // A signal interrupted a wait in the kernel: the call ends with what the
    // signal's handler raised (KeyboardInterrupt for Ctrl-C), and only if it
    // raised nothing with the interruption itself. Nothing is retried.
    if (platform::error_kind(error) == platform::ErrorKind::OperationInterrupted &&
        PyErr_CheckSignals() < 0) {
        return fetch();
    }
    PyObject* exception_class = python_exception_class(platform::error_kind(error));
    // An OsError may own its payload alone; the producer must be copyable.
    return FailureValue::deferred(exception_class,
                                  [error = std::make_shared<platform::OsError>(std::move(error))] {
                                      return message_to_str(platform::error_text(*error),
                                                            platform::error_text_encoding(*error));
                                  });
}

}  // namespace driftmoor::binding
