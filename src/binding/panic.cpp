#include "binding/panic.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "binding/conversions.h"
#include "binding/once.h"

namespace driftmoor::binding {
namespace {

constexpr const char* PANIC_EXCEPTION_NAME = "harrow_runtime.PanicException";
constexpr const char* PANIC_EXCEPTION_DOC =
    "\nThe exception raised when Ostrel code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr std::string_view NO_TEXT_MESSAGE = "panic from Ostrel code";

// A small number per thread, handed out on a thread's first report, so that
// reports from one thread can be told apart from another's.
std::uint64_t reporting_thread_id() noexcept {
    static std::atomic<std::uint64_t> next_id = 1;
    thread_local const std::uint64_t id = next_id.fetch_add(1, std::memory_order_relaxed);
    return id;
}

OnceObject panic_exception;

}  // namespace

void report_panic(std::string_view message, std::source_location where) noexcept {
    try {
        // The module starts no threads, so every caller is a thread that it did
        // not name. One write, so reports from two threads do not interleave.
        std::string report = "\nthread '<unnamed>' (";
        report += std::to_string(reporting_thread_id());
        report += ") panicked at ";
        report += where.file_name();
        report += ':';
        report += std::to_string(where.line());
        report += ':';
        report += std::to_string(where.column());
        report += ":\n";
        report += message;
        report +=
            "\nnote: for a stack trace, run under gdb with `catch throw` and take a backtrace\n";
        std::fwrite(report.data(), 1, report.size(), stderr);
        std::fflush(stderr);
    } catch (...) {
        // Out of memory while reporting: the failure itself still proceeds.
    }
}

void panic(std::string_view message, std::source_location where) {
    report_panic(message, where);
    throw InternalFailure(std::string(message));
}

void panic_without_message(std::source_location where) {
    report_panic("(no message)", where);
    throw InternalFailure(std::nullopt);
}

InternalFailure internal_failure_from_current_exception(std::source_location where) noexcept {
    try {
        throw;
    } catch (const std::exception& error) {
        report_panic(error.what(), where);
        try {
            return InternalFailure(std::string(error.what()));
        } catch (...) {
            return InternalFailure(std::nullopt);
        }
    } catch (...) {
        report_panic("(no message)", where);
        return InternalFailure(std::nullopt);
    }
}

void abort_at_trap(std::source_location where) noexcept {
    report_panic(TRAP_MESSAGE, where);
    std::abort();
}

PyObject* panic_exception_class() {
    return panic_exception.get([] {
        PyObject* created = PyErr_NewExceptionWithDoc(PANIC_EXCEPTION_NAME, PANIC_EXCEPTION_DOC,
                                                      PyExc_BaseException, nullptr);
        if (created == nullptr) {
            if (PyErr_Occurred() != nullptr) {
                PyErr_WriteUnraisable(nullptr);
            }
            panic("Failed to initialize new exception type.");
        }
        return created;
    });
}

FailureValue from_internal_failure(InternalFailure failure) {
    std::string message = failure.message() ? *failure.message() : std::string(NO_TEXT_MESSAGE);
    return FailureValue::deferred(panic_exception_class(), [message = std::move(message)] {
        PyRef arguments = created_or_panic(PyTuple_New(1));
        PyTuple_SET_ITEM(arguments.get(), 0, text_to_str(message).release());
        return arguments;
    });
}

}  // namespace driftmoor::binding
