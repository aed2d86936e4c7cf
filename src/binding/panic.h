// Internal failures: conditions the code treats as impossible. They end the
// body at once, are reported on standard error where they happen, and reach
// the caller as PanicException.
#pragma once

#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "binding/failure.h"

namespace driftmoor::binding {

// What the failure trap of every call wrapper reports when a failure escapes
// while an outcome is being converted; the process is then aborted.
inline constexpr std::string_view TRAP_MESSAGE = "uncaught panic at ffi boundary";

// Thrown by panic() and caught only by the call wrapper. Deliberately not a
// std::exception, so no other handler mistakes it for an ordinary error.
class InternalFailure {
  public:
    explicit InternalFailure(std::optional<std::string> message) noexcept
        : message_(std::move(message)) {}
    // The text payload, if the failure carried one.
    const std::optional<std::string>& message() const noexcept { return message_; }

  private:
    std::optional<std::string> message_;
};

// Reports the failure on standard error and throws InternalFailure.
[[noreturn]] void panic(std::string_view message,
                        std::source_location where = std::source_location::current());
// The same for a failure that carries no text.
[[noreturn]] void panic_without_message(
    std::source_location where = std::source_location::current());

// The standard-error report of an internal failure.
void report_panic(std::string_view message, std::source_location where) noexcept;

// For an exception that did not come from panic() (and so was not reported):
// reports it now and gives the equivalent InternalFailure. Call only inside a
// catch handler.
InternalFailure internal_failure_from_current_exception(std::source_location where) noexcept;

// The failure trap: reports TRAP_MESSAGE and aborts the process.
[[noreturn]] void abort_at_trap(std::source_location where) noexcept;

// The class of internal-failure exceptions: created once per process on first
// use, never added to any module. Borrowed.
PyObject* panic_exception_class();

// The PanicException failure value for an internal failure.
FailureValue from_internal_failure(InternalFailure failure);

}  // namespace driftmoor::binding
