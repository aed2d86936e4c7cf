// Not yet on Windows: files are opened and read at their turn only.
#include "platform/read_ahead.h"

namespace driftmoor::platform {

std::size_t read_ahead_window() noexcept {
    return 0;
}

void start_read_ahead(const FileHandle&) noexcept {}

}  // namespace driftmoor::platform
