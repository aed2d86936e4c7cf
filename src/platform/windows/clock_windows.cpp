#include <windows.h>

#include "platform/clock.h"

namespace driftmoor::platform {

std::uint64_t coarse_milliseconds() noexcept {
    return GetTickCount64();
}

std::int64_t wall_clock_ns() noexcept {
    FILETIME now;
    ::GetSystemTimePreciseAsFileTime(&now);
    const std::int64_t ticks =
        (static_cast<std::int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr std::int64_t TICKS_FROM_1601_TO_1970 = 116444736000000000;
    return (ticks - TICKS_FROM_1601_TO_1970) * 100;
}

}  // namespace driftmoor::platform
