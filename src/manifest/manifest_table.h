// The files of one manifest call: each key text once, with its digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "digest/file_digest.h"
#include "manifest/siphash13.h"

namespace driftmoor::manifest {

// A hash map from key text to digest, keys compared byte for byte (no case
// folding, no path normalisation). Keys are hashed with SipHash-1-3 under the
// table's own key, over the text's bytes and one 0xFF byte, so nobody who
// names files can predict where they land; the order in which entries are
// handed out follows those positions and is promised to no one.
//
// Owns every key text and digest in it. Belongs to one call on one thread.
class ManifestTable {
  public:
    // An empty table; no storage is allocated before the first insertion.
    explicit ManifestTable(SipKey hashing_key) noexcept : hashing_key_(hashing_key) {}
    // An empty table keyed from the calling thread's seed.
    static ManifestTable create() noexcept;

    ManifestTable(ManifestTable&&) noexcept = default;
    ManifestTable& operator=(ManifestTable&&) noexcept = default;

    // Adds the pair; for a key already present, the stored key stays and
    // only its digest is replaced.
    void insert(std::string key, const digest::FileDigest& digest);

    std::size_t size() const noexcept { return entries_.size(); }
    SipKey hashing_key() const noexcept { return hashing_key_; }
    std::uint64_t hash_of(std::string_view key) const noexcept;

    // Hands every entry to `visit(std::string&& key, const FileDigest&)` in
    // slot order, the key given up to it; a visit that returns false stops
    // the rest. Either way the table ends empty, its storage released.
    template <class Visitor>
    void drain(Visitor&& visit) {
        for (const std::size_t slot : slots_) {
            if (slot == EMPTY) {
                continue;
            }
            Entry& entry = entries_[slot - 1];
            if (!visit(std::move(entry.key), std::as_const(entry.digest))) {
                break;
            }
        }
        release_storage();
    }

  private:
    struct Entry {
        std::string key;
        digest::FileDigest digest;
        std::uint64_t hash;
    };
    static constexpr std::size_t EMPTY = 0;

    void grow();
    void release_storage() noexcept;

    SipKey hashing_key_;
    // Entries in insertion order; `slots_` is the open-addressed index, a
    // power of two in size, holding 1 + the entry's position or EMPTY.
    std::vector<Entry> entries_;
    std::vector<std::size_t> slots_;
};

}  // namespace driftmoor::manifest
