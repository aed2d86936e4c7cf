#include <sys/random.h>

#include <cerrno>

#include "platform/random.h"

namespace driftmoor::platform {

OsResult<void> fill_random(std::span<std::byte> buffer) {
    while (!buffer.empty()) {
        const ssize_t count = ::getrandom(buffer.data(), buffer.size(), 0);
        if (count < 0) {
            // Interrupted by a signal while the pool was still initialising.
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(OsError::from_os_code(errno));
        }
        buffer = buffer.subspan(static_cast<std::size_t>(count));
    }
    return {};
}

}  // namespace driftmoor::platform
