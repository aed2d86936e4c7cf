// What a check knew of each file its manifest lists when it last read it:
// enough to tell from the file system alone that nothing changed since,
// and when each file was last read in full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "digest/sha256.h"
#include "platform/metadata.h"

namespace driftmoor::tree {

class ListedManifest;

// One listed file, as it was when last read. Kept by the file's place in
// its sealed manifest (the order of the paths), so a record holds no path:
// only a hash of it, to tell a record from another file's. A state holds
// one for each file of a manifest of millions: 64 bytes.
struct StateRecord {
    std::uint64_t path_hash = 0;
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::int64_t ctime_ns = 0;
    platform::FileIdentity identity{};
    std::int64_t read_at_ns = 0;  // when its last full read began, on the wall clock; 0: never
    // Whether the digest read then was not the manifest's (kept beside, by
    // place, for the few files that differ).
    bool digest_differs = false;

    static StateRecord of_read(std::uint64_t path_hash, const platform::FileStatus& status,
                               std::int64_t read_at_ns, bool digest_differs) noexcept {
        return {path_hash,       status.size, status.mtime_ns, status.ctime_ns,
                status.identity, read_at_ns,  digest_differs};
    }
    // The status of the regular file as it was when read.
    platform::FileStatus status() const noexcept {
        return {.type = platform::FileType::RegularFile,
                .size = size,
                .mtime_ns = mtime_ns,
                .ctime_ns = ctime_ns,
                .identity = identity};
    }
};

// The state of a whole manifest's files: a record for each file read, by
// place, and the digests read that were not the manifest's.
class TreeState {
  public:
    // A state of `files` records, none of them known yet.
    explicit TreeState(std::size_t files) : records_(files) {}

    std::size_t size() const noexcept { return records_.size(); }
    const StateRecord& record(std::size_t place) const noexcept { return records_[place]; }
    StateRecord& record(std::size_t place) noexcept { return records_[place]; }
    // The digest read for a record whose digest differs from the manifest's.
    const digest::Sha256Digest* other_digest(std::size_t place) const noexcept;
    void set_other_digest(std::size_t place, const digest::Sha256Digest& digest);
    void forget_other_digest(std::size_t place) noexcept { other_digests_.erase(place); }
    const std::unordered_map<std::size_t, digest::Sha256Digest>& other_digests() const noexcept {
        return other_digests_;
    }

    // Marks the record at `place` as changed since the state was unpacked:
    // its chunk is to be stored again.
    void mark_changed(std::size_t place);

    // The records packed for storage, RECORD_SIZE bytes each, little-endian,
    // in chunks of at most CHUNK_RECORDS: the place of each chunk's first
    // record, and its bytes; all of them, or those with a record changed.
    static constexpr std::size_t RECORD_SIZE = 64;
    static constexpr std::size_t CHUNK_RECORDS = 4096;  // 256 KiB a chunk
    std::vector<std::pair<std::size_t, std::string>> packed(bool changed_only) const;
    // Unpacks a chunk that `packed` made into the records from `first` on;
    // false when it does not fit this state (another manifest's).
    bool unpack(std::size_t first, std::string_view bytes);

  private:
    std::vector<StateRecord> records_;
    std::unordered_map<std::size_t, digest::Sha256Digest> other_digests_;
    std::vector<bool> changed_chunks_;
};

// Records one after another in the form `packed` stores them, and back;
// none when the bytes are not whole records.
std::string pack_records(std::span<const StateRecord> records);
std::optional<std::vector<StateRecord>> unpack_records(std::string_view bytes);

// The state of a sealed manifest's files from what a walk recorded of each
// file it read, by the hash of the path the manifest lists it under. A hash
// two records share names neither: those files are read next time.
TreeState state_of_reads(const ListedManifest& listed, std::vector<StateRecord> reads);

// The hash a record keeps of its file's path (FNV-1a, 64 bits: a check, not
// a defence; the state binds to its manifest's bytes by SHA-256).
std::uint64_t path_hash(std::string_view path) noexcept;

// Whether a file whose status is `now`, recorded as `record`, may be taken
// for what was read then without reading it: every field of the status the
// same, and its modification and change times before the moment of the
// read by more than any file system's timestamp tick, so that a change in
// the same tick as the read (which the times could not show) is never
// missed: the "racily clean" rule.
bool trustworthy(const StateRecord& record, const platform::FileStatus& now) noexcept;

// The widest tick of the timestamps of any file system the walk meets
// (FAT's two seconds): a file changed that close to its reading is read
// again.
inline constexpr std::int64_t TIMESTAMP_TICK_NS = 2'000'000'000;

}  // namespace driftmoor::tree
