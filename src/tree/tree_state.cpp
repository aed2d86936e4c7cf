#include "tree/tree_state.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "tree/listed_manifest.h"

namespace driftmoor::tree {
namespace {

void put(std::string& out, std::uint64_t value) {
    if constexpr (std::endian::native == std::endian::big) {
        value = std::byteswap(value);
    }
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.append(bytes, sizeof value);
}

std::uint64_t get(const char* from) noexcept {
    std::uint64_t value;
    std::memcpy(&value, from, sizeof value);
    if constexpr (std::endian::native == std::endian::big) {
        value = std::byteswap(value);
    }
    return value;
}

constexpr std::uint64_t FLAG_RECORDED = 1;
constexpr std::uint64_t FLAG_DIGEST_DIFFERS = 2;
constexpr std::uint64_t KNOWN_FLAGS = FLAG_RECORDED | FLAG_DIGEST_DIFFERS;

void pack(std::string& out, const StateRecord& record) {
    put(out, record.path_hash);
    put(out, record.size);
    put(out, static_cast<std::uint64_t>(record.mtime_ns));
    put(out, static_cast<std::uint64_t>(record.ctime_ns));
    put(out, record.identity.inode);
    put(out, record.identity.device);
    put(out, static_cast<std::uint64_t>(record.read_at_ns));
    put(out, (record.read_at_ns != 0 ? FLAG_RECORDED : 0) |
                 (record.digest_differs ? FLAG_DIGEST_DIFFERS : 0));
}

// None for flags no version of the format wrote.
std::optional<StateRecord> unpack(const char* from) noexcept {
    const std::uint64_t flags = get(from + 56);
    if ((flags & ~KNOWN_FLAGS) != 0) {
        return std::nullopt;
    }
    const bool recorded = (flags & FLAG_RECORDED) != 0;
    return StateRecord{
        .path_hash = get(from),
        .size = get(from + 8),
        .mtime_ns = static_cast<std::int64_t>(get(from + 16)),
        .ctime_ns = static_cast<std::int64_t>(get(from + 24)),
        .identity = {.device = get(from + 40), .inode = get(from + 32)},
        .read_at_ns = recorded ? static_cast<std::int64_t>(get(from + 48)) : 0,
        .digest_differs = recorded && (flags & FLAG_DIGEST_DIFFERS) != 0,
    };
}

}  // namespace

const digest::Sha256Digest* TreeState::other_digest(std::size_t place) const noexcept {
    const auto found = other_digests_.find(place);
    return found == other_digests_.end() ? nullptr : &found->second;
}

void TreeState::set_other_digest(std::size_t place, const digest::Sha256Digest& digest) {
    other_digests_.insert_or_assign(place, digest);
}

void TreeState::mark_changed(std::size_t place) {
    if (changed_chunks_.empty()) {
        changed_chunks_.assign((records_.size() + CHUNK_RECORDS - 1) / CHUNK_RECORDS, false);
    }
    changed_chunks_[place / CHUNK_RECORDS] = true;
}

std::vector<std::pair<std::size_t, std::string>> TreeState::packed(bool changed_only) const {
    std::vector<std::pair<std::size_t, std::string>> chunks;
    for (std::size_t first = 0; first < records_.size(); first += CHUNK_RECORDS) {
        if (changed_only && (changed_chunks_.empty() || !changed_chunks_[first / CHUNK_RECORDS])) {
            continue;
        }
        const std::size_t end = std::min(records_.size(), first + CHUNK_RECORDS);
        chunks.emplace_back(first, pack_records(std::span(records_).subspan(first, end - first)));
    }
    return chunks;
}

bool TreeState::unpack(std::size_t first, std::string_view bytes) {
    if (bytes.size() % RECORD_SIZE != 0 || first > records_.size() ||
        bytes.size() / RECORD_SIZE > records_.size() - first) {
        return false;
    }
    for (std::size_t offset = 0; offset < bytes.size(); offset += RECORD_SIZE) {
        const auto record = tree::unpack(bytes.data() + offset);
        if (!record) {
            return false;
        }
        records_[first + offset / RECORD_SIZE] = *record;
    }
    return true;
}

std::string pack_records(std::span<const StateRecord> records) {
    std::string bytes;
    bytes.reserve(records.size() * TreeState::RECORD_SIZE);
    for (const StateRecord& record : records) {
        pack(bytes, record);
    }
    return bytes;
}

std::optional<std::vector<StateRecord>> unpack_records(std::string_view bytes) {
    if (bytes.size() % TreeState::RECORD_SIZE != 0) {
        return std::nullopt;
    }
    std::vector<StateRecord> records;
    records.reserve(bytes.size() / TreeState::RECORD_SIZE);
    for (std::size_t offset = 0; offset < bytes.size(); offset += TreeState::RECORD_SIZE) {
        const auto record = unpack(bytes.data() + offset);
        if (!record) {
            return std::nullopt;
        }
        records.push_back(*record);
    }
    return records;
}

TreeState state_of_reads(const ListedManifest& listed, std::vector<StateRecord> reads) {
    std::ranges::sort(reads, {}, &StateRecord::path_hash);
    TreeState state(listed.size());
    const auto files = listed.files();
    for (std::size_t place = 0; place < files.size(); ++place) {
        const std::uint64_t hash = path_hash(files[place]->key());
        const auto [first, last] =
            std::ranges::equal_range(reads, hash, {}, &StateRecord::path_hash);
        if (last - first == 1) {
            state.record(place) = *first;
            state.mark_changed(place);
        }
    }
    return state;
}

std::uint64_t path_hash(std::string_view path) noexcept {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : path) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    }
    return hash;
}

bool trustworthy(const StateRecord& record, const platform::FileStatus& now) noexcept {
    return record.read_at_ns != 0 && now.type == platform::FileType::RegularFile &&
           now.size == record.size && now.mtime_ns == record.mtime_ns &&
           now.ctime_ns == record.ctime_ns && now.identity == record.identity &&
           now.mtime_ns < record.read_at_ns - TIMESTAMP_TICK_NS &&
           now.ctime_ns < record.read_at_ns - TIMESTAMP_TICK_NS;
}

}  // namespace driftmoor::tree
