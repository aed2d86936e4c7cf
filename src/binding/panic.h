// Internal failures at the Python boundary: how one that escaped a body
// becomes PanicException, and the trap that ends the process when even that
// fails. Raising one (panic) is common to every layer.
#pragma once

#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "binding/failure.h"
#include "common/internal_failure.h"

namespace driftmoor::binding {

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
