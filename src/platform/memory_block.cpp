#include "platform/memory_block.h"

#include <new>

namespace driftmoor::platform {

MemoryBlock::MemoryBlock(std::size_t size, MemorySource source) {
#if defined(__SANITIZE_ADDRESS__)
    // Under AddressSanitizer every block comes from the heap, where the
    // sanitizer sees it: a read or write past a block's end is reported, and
    // so is a block that is never released.
    source = MemorySource::Heap;
#endif
    mapped_ = source == MemorySource::Pages;
    void* data = mapped_ ? map_pages(size) : ::operator new(size, std::nothrow);
    if (data == nullptr) {
        throw std::bad_alloc();
    }
    data_ = static_cast<std::byte*>(data);
    size_ = size;
}

MemoryBlock::~MemoryBlock() {
    if (data_ == nullptr) {
        return;
    }
    if (mapped_) {
        unmap_pages(data_, size_);
    } else {
        ::operator delete(data_);
    }
}

}  // namespace driftmoor::platform
