// Texts kept end to end in large blocks, for the many short paths a check
// forms: one allocation per block, never per text, and a text never moves.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace driftmoor::tree {

class TextArena {
  public:
    // The concatenation of the parts, kept for as long as the arena lives.
    std::string_view keep(std::string_view first, std::string_view second = {}) {
        const std::size_t size = first.size() + second.size();
        if (size > free_) {
            const std::size_t block = size > BLOCK_SIZE ? size : BLOCK_SIZE;
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(block));
            next_ = blocks_.back().get();
            free_ = block;
        }
        char* const start = next_;
        if (!first.empty()) {
            std::memcpy(start, first.data(), first.size());
        }
        if (!second.empty()) {
            std::memcpy(start + first.size(), second.data(), second.size());
        }
        next_ += size;
        free_ -= size;
        return {start, size};
    }

  private:
    static constexpr std::size_t BLOCK_SIZE = std::size_t{1} << 20;

    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    std::size_t free_ = 0;
};

}  // namespace driftmoor::tree
