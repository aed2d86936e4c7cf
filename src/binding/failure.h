// The module's in-flight Python error, and the outcome of a body.
#pragma once

#include <expected>
#include <functional>
#include <string>
#include <variant>

#include "binding/py_ref.h"

namespace driftmoor::binding {

// Builds the constructor argument of a deferred exception when it is raised:
// a message str, or a tuple of arguments. Returns a new reference and never
// null: a failure to create the object is an internal failure. Copyable
// (std::function), since not every C++ runtime the module is built with has
// std::move_only_function: a producer that owns something move-only shares it.
using ArgumentProducer = std::function<PyRef()>;

// A Python exception not yet handed to the interpreter. Owned by the call
// that made it and consumed by raising it (restore) or by dropping it;
// dropping a deferred value creates no Python object at all.
class FailureValue {
  public:
    // An exception the module creates: its class, and the argument built only
    // when raised. `exception_class` is borrowed and must live for the whole
    // process (a built-in class, or one of the module's process-wide classes).
    static FailureValue deferred(PyObject* exception_class, ArgumentProducer produce_argument);
    // The same, with a message text as the single argument.
    static FailureValue with_message(PyObject* exception_class, std::string message);
    // An exception instance that already exists.
    static FailureValue materialised(PyRef instance);
    // MemoryError, for an allocation that failed. Allocates nothing itself:
    // the interpreter keeps MemoryError instances ready for this.
    static FailureValue out_of_memory() noexcept;

    FailureValue(FailureValue&&) noexcept = default;
    FailureValue& operator=(FailureValue&&) noexcept = default;

    // Makes this the interpreter's current exception, using the value up.
    void restore() &&;

    // The exception instance, created from the deferred form on first use
    // (the instance then replaces the deferred form). Borrowed from this value.
    PyObject* materialise();

  private:
    struct Deferred {
        PyObject* exception_class;  // borrowed, lives for the process
        ArgumentProducer produce_argument;
    };
    struct OutOfMemory {};
    explicit FailureValue(std::variant<Deferred, PyRef, OutOfMemory> form) noexcept
        : form_(std::move(form)) {}

    std::variant<Deferred, PyRef, OutOfMemory> form_;
};

// Takes the interpreter's current exception after an interpreter call reported
// failure. A call that failed without setting one yields a SystemError.
FailureValue fetch();

// What a body gives back to the call wrapper. An internal failure is not a
// value: it is thrown (see panic.h) and caught only by the call wrapper.
template <class T>
using Outcome = std::expected<T, FailureValue>;

// The result of an interpreter call that returns a new reference, or null
// with an exception set.
Outcome<PyRef> checked(PyObject* new_reference);
// The same for calls that report failure as -1.
Outcome<void> checked_status(int status);

}  // namespace driftmoor::binding
