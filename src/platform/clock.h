// A clock for deciding when to look up from long work: cheap to read (no
// system call where the platform allows), coarse (a few milliseconds).
#pragma once

#include <cstdint>

namespace driftmoor::platform {

// Milliseconds since some fixed point; never goes back.
std::uint64_t coarse_milliseconds() noexcept;

}  // namespace driftmoor::platform
