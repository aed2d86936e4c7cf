// Internal failures: conditions the code treats as impossible. They end the
// work at once, are reported on standard error where they happen, and reach
// the Python caller as an exception only at the module's call wrapper. This
// header knows nothing of Python, so every layer may raise one.
#pragma once

#include <optional>
#include <source_location>
#include <string>
#include <string_view>

namespace driftmoor {

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

}  // namespace driftmoor
