#include "common/internal_failure.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

namespace driftmoor {
namespace {

// A small number per thread, handed out on a thread's first report, so that
// reports from one thread can be told apart from another's.
std::uint64_t reporting_thread_id() noexcept {
    static std::atomic<std::uint64_t> next_id = 1;
    thread_local const std::uint64_t id = next_id.fetch_add(1, std::memory_order_relaxed);
    return id;
}

}  // namespace

void report_panic(std::string_view message, std::source_location where) noexcept {
    try {
        // The report's form, up to the message, is this layer's one text that
        // others rely on: it is fixed by compatibility, not chosen. Tools
        // that watch standard error match on it, and other implementations
        // of this module write the same, so never reword it; the hint after
        // the message is ours. The module starts no threads, so every caller
        // is a thread that it did not name. One write, so reports from two
        // threads do not interleave.
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

}  // namespace driftmoor
