#include <windows.h>

#include "platform/memory_block.h"

namespace driftmoor::platform {

void* map_pages(std::size_t size) noexcept {
    return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_pages(void* data, std::size_t) noexcept {
    // The whole reservation at once, as a release must be on Windows.
    ::VirtualFree(data, 0, MEM_RELEASE);
}

}  // namespace driftmoor::platform
