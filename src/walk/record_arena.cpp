#include "walk/record_arena.h"

#include <algorithm>
#include <cstring>

namespace driftmoor::walk {

FileRecord& RecordArena::append(std::uint64_t tag, std::string_view key,
                                const digest::Sha256Digest& digest) {
    const std::size_t size = record_size(key.size());
    if (blocks_.empty() || blocks_.back().memory.size() - blocks_.back().used < size) {
        add_block(size);
    }
    Block& block = blocks_.back();
    std::byte* place = block.memory.data() + block.used;
    auto* record = new (place) FileRecord{tag, key.size(), digest};
    if (!key.empty()) {
        std::memcpy(place + sizeof(FileRecord), key.data(), key.size());
    }
    block.used += size;
    return *record;
}

void RecordArena::take_all(RecordArena&& other) {
    RecordArena taken = std::move(other);
    blocks_.reserve(blocks_.size() + taken.blocks_.size());
    for (Block& block : taken.blocks_) {
        blocks_.push_back(std::move(block));
    }
    heap_bytes_ += taken.heap_bytes_;
    holds_pages_ = holds_pages_ || taken.holds_pages_;
}

void RecordArena::add_block(std::size_t size) {
    const std::size_t heap_block_size =
        std::max(size, blocks_.empty()
                           ? FIRST_HEAP_BLOCK_SIZE
                           : std::min(2 * blocks_.back().memory.size(), LARGEST_HEAP_BLOCK_SIZE));
    const bool from_heap =
        placement_ == Placement::HeapFirst && heap_bytes_ + heap_block_size <= HEAP_BUDGET;
    const std::size_t block_size = from_heap ? heap_block_size : std::max(size, PAGE_BLOCK_SIZE);
    blocks_.push_back({platform::MemoryBlock(block_size, from_heap ? platform::MemorySource::Heap
                                                                   : platform::MemorySource::Pages),
                       0});
    if (from_heap) {
        heap_bytes_ += block_size;
    } else {
        holds_pages_ = true;
    }
}

}  // namespace driftmoor::walk
