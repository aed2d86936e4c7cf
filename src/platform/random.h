// Unpredictable bytes from the operating system.
#pragma once

#include <cstddef>
#include <span>

namespace driftmoor::platform {

// Fills `buffer` from the kernel's cryptographic random source. Best effort:
// if the source fails, the bytes it could not fill keep their values, so a
// caller that zeroes the buffer first gets zeros there.
void fill_random(std::span<std::byte> buffer) noexcept;

}  // namespace driftmoor::platform
