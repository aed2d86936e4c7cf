#include <time.h>

#include "platform/clock.h"

namespace driftmoor::platform {

std::uint64_t coarse_milliseconds() noexcept {
    // The coarse clock is read from memory the kernel shares with the
    // process: a few nanoseconds, at the resolution of the scheduler tick.
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

std::int64_t wall_clock_ns() noexcept {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace driftmoor::platform
