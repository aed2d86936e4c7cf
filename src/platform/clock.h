// A clock for deciding when to look up from long work: cheap to read (no
// system call where the platform allows), coarse (a few milliseconds).
#pragma once

#include <cstdint>

namespace driftmoor::platform {

// Milliseconds since some fixed point; never goes back.
std::uint64_t coarse_milliseconds() noexcept;

// The wall clock, in nanoseconds since 1970: the clock file times are kept
// by, to compare them with.
std::int64_t wall_clock_ns() noexcept;

}  // namespace driftmoor::platform
