// The files of one manifest call: each key text once, with its digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "digest/file_digest.h"
#include "manifest/siphash13.h"
#include "platform/memory_block.h"
#include "platform/os_error.h"
#include "walk/record_arena.h"

namespace driftmoor::manifest {

// A hash map from key text to digest, keys compared byte for byte (no case
// folding, no path normalisation). Keys are hashed with SipHash-1-3 under the
// table's own key, over the text's bytes and one 0xFF byte, so nobody who
// names files can predict where they land; the order in which entries are
// handed out follows those positions and is promised to no one.
//
// Owns a copy of every key text and digest in it. Belongs to one call on one
// thread.
class ManifestTable {
  public:
    // An empty table; no storage is allocated before the first insertion.
    explicit ManifestTable(SipKey hashing_key) noexcept : hashing_key_(hashing_key) {}
    // An empty table keyed from the calling thread's seed; fails only when
    // the thread has no seed yet and there is no random source to draw one.
    static platform::OsResult<ManifestTable> create();

    // The table moved from is left empty.
    ManifestTable(ManifestTable&& other) noexcept
        : hashing_key_(other.hashing_key_),
          records_(std::exchange(other.records_, walk::RecordArena())),
          slot_block_(std::exchange(other.slot_block_, {})),
          slots_(std::exchange(other.slots_, {})),
          size_(std::exchange(other.size_, 0)) {}
    ManifestTable& operator=(ManifestTable&& other) noexcept {
        ManifestTable(std::move(other)).swap(*this);
        return *this;
    }

    // Adds a copy of the pair; for a key already present, the stored key
    // stays and only its digest is replaced.
    void insert(std::string_view key, const digest::Sha256Digest& digest);

    std::size_t size() const noexcept { return size_; }
    SipKey hashing_key() const noexcept { return hashing_key_; }
    std::uint64_t hash_of(std::string_view key) const noexcept;

    // Hands every entry to `visit(std::string_view key, const FileDigest&)`
    // in slot order, each key valid only during its visit; a visit that
    // returns false stops the rest. The table is empty from the start, and
    // its storage released by the end, however the visits end.
    //
    // A table that outgrew the heap is first copied out in slot order (for
    // that moment it takes twice its size, before anything is built from
    // it), so that its pages go back to the system block by block as the
    // visits pass them: whatever the visits build grows while the table
    // shrinks, and a large tree's table and its result never peak together.
    // A table on the heap alone is visited where it lies.
    template <class Visitor>
    void drain(Visitor&& visit) {
        const auto visit_record = [&](const walk::FileRecord& record) {
            return visit(record.key(), record.digest());
        };
        if (records_.holds_pages()) {
            in_slot_order().consume(visit_record);
            return;
        }
        const ManifestTable taken = std::move(*this);
        for (const walk::FileRecord* record : taken.slots_) {
            if (record != nullptr && !visit_record(*record)) {
                return;
            }
        }
    }

    void swap(ManifestTable& other) noexcept {
        std::swap(hashing_key_, other.hashing_key_);
        std::swap(records_, other.records_);
        slot_block_.swap(other.slot_block_);
        std::swap(slots_, other.slots_);
        std::swap(size_, other.size_);
    }

  private:
    void grow();
    // Empties the table into a new arena that holds its records in slot
    // order, releasing the table's own storage before it returns.
    walk::RecordArena in_slot_order();

    SipKey hashing_key_;
    // Records in insertion order; `slots_` is the open-addressed index, a
    // power of two in size, each slot empty (null) or pointing at a record.
    // The index lies in a block of its own, from mapped pages once it is
    // larger than a heap block, so that each one outgrown leaves the process.
    walk::RecordArena records_;
    platform::MemoryBlock slot_block_;
    std::span<walk::FileRecord*> slots_;
    std::size_t size_ = 0;
};

}  // namespace driftmoor::manifest
