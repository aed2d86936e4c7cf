#include <windows.h>

#include "platform/clock.h"

namespace driftmoor::platform {

std::uint64_t coarse_milliseconds() noexcept {
    return GetTickCount64();
}

}  // namespace driftmoor::platform
