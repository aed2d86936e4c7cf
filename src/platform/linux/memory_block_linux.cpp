#include <sys/mman.h>

#include "platform/memory_block.h"

namespace driftmoor::platform {

void* map_pages(std::size_t size) noexcept {
    void* mapped =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return mapped == MAP_FAILED ? nullptr : mapped;
}

void unmap_pages(void* data, std::size_t size) noexcept {
    // Fails only for a range that was never mapped.
    ::munmap(data, size);
}

}  // namespace driftmoor::platform
