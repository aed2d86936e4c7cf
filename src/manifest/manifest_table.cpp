#include "manifest/manifest_table.h"

#include <cstdint>
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

ManifestTable ManifestTable::create() noexcept {
    return ManifestTable(next_table_key());
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

void ManifestTable::insert(std::string key, const digest::FileDigest& digest) {
    // Grown while fewer than a quarter of the slots are free, so probes stay
    // short and always reach an empty slot.
    if (4 * (entries_.size() + 1) > 3 * slots_.size()) {
        grow();
    }
    const std::uint64_t hash = hash_of(key);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = home_slot(hash, slots_.size());; slot = (slot + 1) & mask) {
        const std::size_t occupant = slots_[slot];
        if (occupant == EMPTY) {
            entries_.push_back({std::move(key), digest, hash});
            slots_[slot] = entries_.size();
            return;
        }
        Entry& entry = entries_[occupant - 1];
        if (entry.hash == hash && entry.key == key) {
            entry.digest = digest;
            return;
        }
    }
}

void ManifestTable::grow() {
    const std::size_t slot_count = slots_.empty() ? FIRST_SLOT_COUNT : 2 * slots_.size();
    std::vector<std::size_t> slots(slot_count, EMPTY);
    const std::size_t mask = slot_count - 1;
    for (std::size_t position = 0; position < entries_.size(); ++position) {
        std::size_t slot = home_slot(entries_[position].hash, slot_count);
        while (slots[slot] != EMPTY) {
            slot = (slot + 1) & mask;
        }
        slots[slot] = position + 1;
    }
    slots_ = std::move(slots);
}

void ManifestTable::release_storage() noexcept {
    std::vector<Entry>().swap(entries_);
    std::vector<std::size_t>().swap(slots_);
}

}  // namespace driftmoor::manifest
