// File-system errors into Python exceptions.
#pragma once

#include "binding/failure.h"
#include "platform/os_error.h"

namespace driftmoor::binding {

// A custom error whose object is a Python exception already formed; it is
// raised as it is rather than wrapped.
class PythonExceptionError final : public platform::CustomErrorObject {
  public:
    explicit PythonExceptionError(FailureValue exception) noexcept
        : exception_(std::move(exception)) {}
    // str() of the exception. Needs the interpreter, like everything here.
    std::string display_text() const override;
    FailureValue take() && noexcept { return std::move(exception_); }

  private:
    mutable FailureValue exception_;
};

// The built-in class that stands for the kind: one of the OSError family,
// or MemoryError for running out of memory. Borrowed, lives for the process.
PyObject* python_exception_class(platform::ErrorKind kind) noexcept;

// The exception a caller sees for an error: the kind's class called with one
// str, the error's display text. The text (and for an OS code, the system
// message) is formed only when the exception is raised; the failure value
// owns the error until then.
FailureValue error_to_exception(platform::OsError error);

}  // namespace driftmoor::binding
