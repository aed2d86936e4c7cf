// What a walk found, a path and its digest per record, laid end to end in
// blocks: the module's manifest table keeps its entries so, as do the
// command's account of a tree and its manifests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

#include "digest/file_digest.h"
#include "platform/memory_block.h"

namespace driftmoor::walk {

// One record: this header, followed in memory by the key text's bytes. The
// digest is kept as its 32 bytes, not its 64 characters: a tree of millions
// of files keeps one record per file, and its text is made when asked for.
struct FileRecord {
    // A number its owner keeps with it: the manifest table's hash of the
    // key, a manifest's line number.
    std::uint64_t tag;
    std::uint64_t key_size;  // in bytes
    digest::Sha256Digest sha256;

    std::string_view key() const noexcept {
        return {reinterpret_cast<const char*>(this + 1), static_cast<std::size_t>(key_size)};
    }
    digest::FileDigest digest() const noexcept { return digest::hex_encode(sha256); }
};

// Records one after another in blocks: a key costs its bytes and no
// allocation of its own, and a record never moves once appended. Consuming
// the arena releases each block as soon as its records have been visited, so
// the arena shrinks while whatever it is turned into grows.
class RecordArena {
  public:
    enum class Placement {
        // Blocks from the heap while they fit in HEAP_BUDGET, mapped pages
        // beyond: the table of a tree of up to some tens of thousands of
        // files is taken and given back without a system call, and the heap
        // keeps its pages for the next call, where pages handed back to the
        // system would have to be faulted in again; only what a larger table
        // holds beyond that can go back to the system as it is released.
        HeapFirst,
        PagesOnly,
    };
    // What the heap keeps of a large table after its drain is at most this:
    // a few percent of the memory the dict of such a tree takes.
    static constexpr std::size_t HEAP_BUDGET = std::size_t{6} << 20;
    // Heap blocks double from the first size to the largest, which stays
    // small enough for the C heap to keep it rather than map it itself.
    static constexpr std::size_t FIRST_HEAP_BLOCK_SIZE = std::size_t{4} << 10;
    static constexpr std::size_t LARGEST_HEAP_BLOCK_SIZE = std::size_t{64} << 10;
    // The unit in which a large table goes back to the system.
    static constexpr std::size_t PAGE_BLOCK_SIZE = std::size_t{1} << 20;

    explicit RecordArena(Placement placement = Placement::HeapFirst) noexcept
        : placement_(placement) {}
    RecordArena(RecordArena&&) noexcept = default;
    RecordArena& operator=(RecordArena&&) noexcept = default;

    // Copies the pair in, into a block of its own if it is larger than a
    // block. Throws std::bad_alloc, appending nothing, when no memory is left.
    FileRecord& append(std::uint64_t tag, std::string_view key, const digest::Sha256Digest& digest);

    // Moves every record of `other` to the end of this arena, block by
    // block, without copying any; `other` is left empty.
    void take_all(RecordArena&& other);

    // Whether any block is made of mapped pages.
    bool holds_pages() const noexcept { return holds_pages_; }

    // Hands each record to `visit(const FileRecord&)` in the order they were
    // appended, keeping them all.
    template <class Visitor>
    void visit(Visitor&& visit) const {
        for (const Block& block : blocks_) {
            for (std::size_t offset = 0; offset < block.used;) {
                const auto* record =
                    std::launder(reinterpret_cast<const FileRecord*>(block.memory.data() + offset));
                visit(*record);
                offset += record_size(record->key_size);
            }
        }
    }

    // Hands each record to `visit(const FileRecord&)` in the order they
    // were appended; a visit that returns false stops the rest. The arena is
    // empty from the start, each block released once passed, and the rest
    // when the visits end, however they end.
    template <class Visitor>
    void consume(Visitor&& visit) {
        std::vector<Block> blocks = std::move(blocks_);
        blocks_.clear();
        heap_bytes_ = 0;
        holds_pages_ = false;
        for (Block& block : blocks) {
            for (std::size_t offset = 0; offset < block.used;) {
                const auto* record =
                    std::launder(reinterpret_cast<const FileRecord*>(block.memory.data() + offset));
                if (!visit(*record)) {
                    return;
                }
                offset += record_size(record->key_size);
            }
            block.memory = platform::MemoryBlock();
        }
    }

  private:
    struct Block {
        platform::MemoryBlock memory;
        std::size_t used;  // bytes from the start that hold records
    };

    // Adds a block that holds at least `size` bytes.
    void add_block(std::size_t size);

    // The bytes a record with a key of `key_size` takes, so that the next one
    // starts aligned.
    static constexpr std::size_t record_size(std::size_t key_size) noexcept {
        constexpr std::size_t align = alignof(FileRecord);
        return (sizeof(FileRecord) + key_size + align - 1) / align * align;
    }

    Placement placement_;
    std::vector<Block> blocks_;
    std::size_t heap_bytes_ = 0;  // in blocks from the heap
    bool holds_pages_ = false;
};

}  // namespace driftmoor::walk
