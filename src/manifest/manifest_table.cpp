#include "manifest/manifest_table.h"

#include <cstdint>
#include <memory>
#include <new>
#include <span>

#include "manifest/hash_seed.h"

namespace driftmoor::manifest {
namespace {

constexpr std::size_t FIRST_SLOT_COUNT = 16;

// The slot where a probe for `hash` starts.
std::size_t home_slot(std::uint64_t hash, std::size_t slot_count) noexcept {
    return static_cast<std::size_t>(hash) & (slot_count - 1);
}

}  // namespace

platform::OsResult<ManifestTable> ManifestTable::create() {
    auto key = next_table_key();
    if (!key) {
        return std::unexpected(std::move(key).error());
    }
    return ManifestTable(*key);
}

std::uint64_t ManifestTable::hash_of(std::string_view key) const noexcept {
    // The trailing 0xFF, a byte that never occurs in UTF-8, ends the text
    // unambiguously.
    static constexpr std::uint8_t terminator[] = {0xFF};
    SipHash13 hasher(hashing_key_);
    hasher.update(std::span(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()));
    hasher.update(terminator);
    return hasher.finish();
}

void ManifestTable::insert(std::string_view key, const digest::Sha256Digest& digest) {
    // Grown while fewer than a quarter of the slots are free, so probes stay
    // short and always reach an empty slot.
    if (4 * (size_ + 1) > 3 * slots_.size()) {
        grow();
    }
    const std::uint64_t hash = hash_of(key);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = home_slot(hash, slots_.size());; slot = (slot + 1) & mask) {
        walk::FileRecord*& occupant = slots_[slot];
        if (occupant == nullptr) {
            occupant = &records_.append(hash, key, digest);
            ++size_;
            return;
        }
        if (occupant->tag == hash && occupant->key() == key) {
            occupant->sha256 = digest;
            return;
        }
    }
}

void ManifestTable::grow() {
    const std::size_t slot_count = slots_.empty() ? FIRST_SLOT_COUNT : 2 * slots_.size();
    const std::size_t bytes = slot_count * sizeof(walk::FileRecord*);
    platform::MemoryBlock slot_block(bytes, bytes > walk::RecordArena::LARGEST_HEAP_BLOCK_SIZE
                                                ? platform::MemorySource::Pages
                                                : platform::MemorySource::Heap);
    auto* const first = reinterpret_cast<walk::FileRecord**>(slot_block.data());
    std::uninitialized_fill_n(first, slot_count, nullptr);
    const std::span<walk::FileRecord*> slots(std::launder(first), slot_count);
    const std::size_t mask = slot_count - 1;
    for (walk::FileRecord* record : slots_) {
        if (record == nullptr) {
            continue;
        }
        std::size_t slot = home_slot(record->tag, slot_count);
        while (slots[slot] != nullptr) {
            slot = (slot + 1) & mask;
        }
        slots[slot] = record;
    }
    slot_block_ = std::move(slot_block);
    slots_ = slots;
}

walk::RecordArena ManifestTable::in_slot_order() {
    // Taken out first, so that the table is empty whatever happens below, and
    // its storage is released on the way out however this ends.
    const walk::RecordArena arrived = std::exchange(records_, walk::RecordArena());
    const platform::MemoryBlock slot_block = std::exchange(slot_block_, {});
    const std::span<walk::FileRecord*> slots = std::exchange(slots_, {});
    size_ = 0;
    // Copied rather than visited where they lie: in slot order the records
    // can be released block by block as the visits pass them; in arrival
    // order no block would be done with before the last visits.
    walk::RecordArena ordered(walk::RecordArena::Placement::PagesOnly);
    for (const walk::FileRecord* record : slots) {
        if (record != nullptr) {
            ordered.append(record->tag, record->key(), record->sha256);
        }
    }
    return ordered;
}

}  // namespace driftmoor::manifest
