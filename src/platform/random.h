// Unpredictable bytes from the operating system.
#pragma once

#include <cstddef>
#include <span>

#include "platform/os_error.h"

namespace driftmoor::platform {

// Fills all of `buffer` from the operating system's cryptographic random
// source, or fails: there is no partial or predictable fill to mistake for
// random bytes.
OsResult<void> fill_random(std::span<std::byte> buffer);

}  // namespace driftmoor::platform
