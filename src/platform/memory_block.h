// Blocks of memory from a source chosen for how they will be given back.
#pragma once

#include <cstddef>
#include <utility>

namespace driftmoor::platform {

enum class MemorySource {
    // The C heap: no system call, and memory freed there is taken again
    // without being faulted in anew; but the heap keeps what is freed, so it
    // still counts against the process.
    Heap,
    // Pages mapped for the block alone and unmapped on release: they stop
    // counting against the process at once, and whoever maps them next pays
    // to fault them in again.
    Pages,
};

// A block of memory for its owner alone. Its contents start unspecified.
// Move-only; the owner releases it exactly once, on destruction.
class MemoryBlock {
  public:
    MemoryBlock() noexcept = default;
    // A block of `size` bytes, `size` > 0. Throws std::bad_alloc when there
    // is no memory to give.
    MemoryBlock(std::size_t size, MemorySource source);
    MemoryBlock(MemoryBlock&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          mapped_(other.mapped_) {}
    MemoryBlock& operator=(MemoryBlock&& other) noexcept {
        MemoryBlock(std::move(other)).swap(*this);
        return *this;
    }
    MemoryBlock(const MemoryBlock&) = delete;
    MemoryBlock& operator=(const MemoryBlock&) = delete;
    ~MemoryBlock();

    std::byte* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    void swap(MemoryBlock& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(mapped_, other.mapped_);
    }

  private:
    std::byte* data_ = nullptr;  // owned; null when empty
    std::size_t size_ = 0;
    bool mapped_ = false;  // from map_pages rather than the heap
};

// Each platform's part: `size` bytes of whole pages mapped for the caller,
// null when the system has none; and their release.
void* map_pages(std::size_t size) noexcept;
void unmap_pages(void* data, std::size_t size) noexcept;

}  // namespace driftmoor::platform
