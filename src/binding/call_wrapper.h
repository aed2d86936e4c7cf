// The single way into the module from Python: every C entry and the exec step
// run their body through a call wrapper, which is also the only place that
// catches internal failures.
#pragma once

#include <new>
#include <optional>
#include <source_location>
#include <utility>

#include "binding/failure.h"
#include "binding/panic.h"

namespace driftmoor::binding {

// What a body left behind: an outcome, or an internal failure that ended it.
template <class T>
struct BodyEnd {
    std::optional<Outcome<T>> outcome;
    std::optional<InternalFailure> internal_failure;
};

// Runs a body, turning any internal failure that leaves it into a value. An
// allocation that failed anywhere in the body is no internal failure: it is
// the caller's MemoryError. Whatever the body held was released on the way
// out, so nothing of the call is left.
template <class Body>
auto run_body(Body&& body, std::source_location where) noexcept
    -> BodyEnd<typename std::invoke_result_t<Body>::value_type> {
    BodyEnd<typename std::invoke_result_t<Body>::value_type> end;
    try {
        end.outcome.emplace(std::forward<Body>(body)());
    } catch (const std::bad_alloc&) {
        end.outcome.emplace(std::unexpected(FailureValue::out_of_memory()));
    } catch (InternalFailure& failure) {
        end.internal_failure.emplace(std::move(failure));
    } catch (...) {
        end.internal_failure.emplace(internal_failure_from_current_exception(where));
    }
    return end;
}

// Converts what a body left into the interpreter's terms. This runs under the
// failure trap: a failure while converting a failure cannot be reported to
// Python any more, so it aborts the process.
PyObject* finish_call(BodyEnd<PyRef>&& end, std::source_location where) noexcept;
int finish_exec(BodyEnd<void>&& end, std::source_location where) noexcept;

// For a C entry: a new reference, or null with an exception set.
template <class Body>
PyObject* call_wrapper(Body&& body,
                       std::source_location where = std::source_location::current()) noexcept {
    return finish_call(run_body(std::forward<Body>(body), where), where);
}

// For a module's exec step: 0, or -1 with an exception set.
template <class Body>
int exec_wrapper(Body&& body,
                 std::source_location where = std::source_location::current()) noexcept {
    return finish_exec(run_body(std::forward<Body>(body), where), where);
}

}  // namespace driftmoor::binding
