#include "tree/part_run.h"

#include <cstring>
#include <vector>

#include "common/internal_failure.h"
#include "platform/path_text.h"
#include "tree/path_order.h"
#include "tree/path_spelling.h"
#include "tree/tree_state.h"

namespace driftmoor::tree {
namespace {

constexpr std::size_t DIGEST_SIZE = 32;
constexpr std::size_t STATUS_SIZE = RUN_STATUS_SIZE;

void append_u32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

void append_u64(std::string& out, std::uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

std::uint64_t read_u64(const char* in) noexcept {
    std::uint64_t value = 0;
    for (int byte = 0; byte < 8; ++byte) {
        value |= std::uint64_t{static_cast<unsigned char>(in[byte])} << (8 * byte);
    }
    return value;
}

// A file of an account on its way into a run.
struct RunItem {
    std::string_view name;
    const walk::FileRecord* file = nullptr;
    const StateRecord* read = nullptr;
    const JudgedFile* judged = nullptr;
};

}  // namespace

void append_status(std::string& out, const platform::FileStatus& status, std::int64_t time_ns) {
    append_u64(out, status.size);
    append_u64(out, static_cast<std::uint64_t>(status.mtime_ns));
    append_u64(out, static_cast<std::uint64_t>(status.ctime_ns));
    append_u64(out, status.identity.device);
    append_u64(out, status.identity.inode);
    append_u64(out, static_cast<std::uint64_t>(time_ns));
}

std::pair<platform::FileStatus, std::int64_t> status_at(const char* in) noexcept {
    platform::FileStatus status{.type = platform::FileType::RegularFile,
                                .size = read_u64(in),
                                .mtime_ns = static_cast<std::int64_t>(read_u64(in + 8)),
                                .ctime_ns = static_cast<std::int64_t>(read_u64(in + 16)),
                                .identity = {read_u64(in + 24), read_u64(in + 32)}};
    return {status, static_cast<std::int64_t>(read_u64(in + 40))};
}

std::string sorted_run(TreeAccount&& account, std::string_view directory) {
    TreeAccount owned = std::move(account);
    const std::string below = platform::join_path(directory, "");
    const auto name_of = [&](std::string_view path) {
        if (path == directory) {
            return std::string_view();
        }
        if (!path.starts_with(below)) {
            panic("a file of a part lies outside its directory");
        }
        return path.substr(below.size());
    };
    const bool with_reads = owned.reads.size() == owned.file_count;
    std::vector<RunItem> items;
    items.reserve(owned.file_count + owned.judged.size());
    std::size_t index = 0;
    owned.files.visit([&](const walk::FileRecord& record) {
        items.push_back({.name = name_of(record.key()),
                         .file = &record,
                         .read = with_reads ? &owned.reads[index] : nullptr});
        ++index;
    });
    for (const JudgedFile& judged : owned.judged) {
        items.push_back({.name = name_of(judged.path), .judged = &judged});
    }
    sort_by_path(items, [](const RunItem& item) { return item.name; });
    std::string run;
    for (std::size_t at = 0; at < items.size(); ++at) {
        RunItem item = items[at];
        // A file read for a scrub was judged, then read: one record.
        if (at + 1 < items.size() && items[at + 1].name == item.name) {
            const RunItem& other = items[++at];
            item.file = item.file != nullptr ? item.file : other.file;
            item.read = item.read != nullptr ? item.read : other.read;
            item.judged = item.judged != nullptr ? item.judged : other.judged;
        }
        std::uint8_t flags = 0;
        if (item.file != nullptr) {
            flags |= RUN_READ;
            if (item.read != nullptr && item.read->read_at_ns != 0) {
                flags |= RUN_READ_STATUS;
            }
        }
        if (item.judged != nullptr) {
            flags |= RUN_JUDGED;
            if (item.judged->taken && item.file == nullptr) {
                flags |= RUN_TAKEN;
            }
        }
        append_u32(run, static_cast<std::uint32_t>(item.name.size()));
        run.append(item.name);
        run.push_back(static_cast<char>(flags));
        if ((flags & RUN_READ) != 0) {
            run.append(reinterpret_cast<const char*>(item.file->sha256.data()),
                       item.file->sha256.size());
        }
        if ((flags & RUN_READ_STATUS) != 0) {
            append_status(run, item.read->status(), item.read->read_at_ns);
        }
        if ((flags & RUN_JUDGED) != 0) {
            append_status(run, item.judged->status, 0);
        }
    }
    return run;
}

std::optional<RunRecord> run_record_at(std::string_view run, std::size_t at) noexcept {
    if (run.size() - at < 5) {
        return std::nullopt;
    }
    std::uint32_t length = 0;
    for (int byte = 0; byte < 4; ++byte) {
        length |= std::uint32_t{static_cast<unsigned char>(run[at + byte])} << (8 * byte);
    }
    if (run.size() - at - 5 < length) {
        return std::nullopt;
    }
    RunRecord record;
    record.name = run.substr(at + 4, length);
    record.flags = static_cast<std::uint8_t>(run[at + 4 + length]);
    const std::uint8_t flags = record.flags;
    const bool read = (flags & RUN_READ) != 0;
    const bool judged = (flags & RUN_JUDGED) != 0;
    if ((flags & ~(RUN_READ | RUN_READ_STATUS | RUN_JUDGED | RUN_TAKEN)) != 0 ||
        (!read && !judged) || (!read && (flags & RUN_READ_STATUS) != 0) ||
        ((flags & RUN_TAKEN) != 0 && (read || !judged))) {
        return std::nullopt;
    }
    const std::size_t size = (read ? DIGEST_SIZE : 0) +
                             ((flags & RUN_READ_STATUS) != 0 ? STATUS_SIZE : 0) +
                             (judged ? STATUS_SIZE : 0);
    std::size_t offset = at + 5 + length;
    if (run.size() - offset < size) {
        return std::nullopt;
    }
    if (read) {
        record.digest = reinterpret_cast<const unsigned char*>(run.data() + offset);
        offset += DIGEST_SIZE;
    }
    if ((flags & RUN_READ_STATUS) != 0) {
        const auto [status, began_ns] = status_at(run.data() + offset);
        record.read = walk::ReadStatus{status, began_ns};
        offset += STATUS_SIZE;
    }
    if (judged) {
        record.judged = status_at(run.data() + offset).first;
        offset += STATUS_SIZE;
    }
    record.next = offset;
    return record;
}

namespace {

std::optional<std::size_t> count_files(std::string_view run, bool read_only) noexcept {
    std::size_t files = 0;
    std::string_view previous;
    for (std::size_t at = 0; at < run.size(); ++files) {
        const auto record = run_record_at(run, at);
        if (!record || (files > 0 && record->name <= previous) ||
            (read_only && record->digest == nullptr)) {
            return std::nullopt;
        }
        previous = record->name;
        at = record->next;
    }
    // The empty name sorts first: only a run of one name can hold it.
    if (files > 1 && run_record_at(run, 0)->name.empty()) {
        return std::nullopt;
    }
    return files;
}

}  // namespace

std::optional<std::size_t> run_file_count(std::string_view run) noexcept {
    return count_files(run, false);
}

std::optional<std::size_t> read_file_count(std::string_view run) noexcept {
    return count_files(run, true);
}

std::string run_prefix(std::string_view directory, std::string_view run) {
    const auto first = run_record_at(run, 0);
    return first && first->name.empty() ? std::string(directory)
                                        : platform::join_path(directory, "");
}

bool add_run(TreeAccount& account, std::string_view directory, std::string_view run) {
    if (!run_file_count(run)) {
        return false;
    }
    std::string path = run_prefix(directory, run);
    const std::size_t prefix_size = path.size();
    digest::Sha256Digest digest;
    for (std::size_t at = 0; at < run.size();) {
        const RunRecord record = *run_record_at(run, at);
        path.resize(prefix_size);
        path += record.name;
        if (record.judged) {
            account.judged.push_back({path, *record.judged, (record.flags & RUN_TAKEN) != 0});
        }
        if (record.digest != nullptr) {
            std::memcpy(digest.data(), record.digest, digest.size());
            account.files.append(0, path, digest);
            ++account.file_count;
            const std::uint64_t hash = path_hash(plain_spelling(path));
            account.reads.push_back(record.read ? StateRecord::of_read(hash, record.read->status,
                                                                       record.read->began_ns, false)
                                                : StateRecord{.path_hash = hash});
        }
        at = record.next;
    }
    return true;
}

std::string run_reads(std::string_view directory, std::string_view run) {
    if (!run_file_count(run)) {
        return {};
    }
    std::vector<StateRecord> reads;
    std::string path = run_prefix(directory, run);
    const std::size_t prefix_size = path.size();
    for (std::size_t at = 0; at < run.size();) {
        const RunRecord record = *run_record_at(run, at);
        if (record.read) {
            path.resize(prefix_size);
            path += record.name;
            reads.push_back(StateRecord::of_read(path_hash(plain_spelling(path)),
                                                 record.read->status, record.read->began_ns,
                                                 false));
        }
        at = record.next;
    }
    return pack_records(reads);
}

platform::OsResult<void> play_account(TreeAccount&& account, walk::WalkPolicy& policy) {
    TreeAccount owned = std::move(account);
    // Judged first, as the walk judges a file before it reads it.
    for (const JudgedFile& judged : owned.judged) {
        policy.takes_unread(judged.path, judged.status);
    }
    const bool with_reads = owned.reads.size() == owned.file_count;
    std::size_t index = 0;
    owned.files.visit([&](const walk::FileRecord& record) {
        std::optional<walk::ReadStatus> read;
        if (with_reads && owned.reads[index].read_at_ns != 0) {
            const StateRecord& recorded = owned.reads[index];
            read = walk::ReadStatus{recorded.status(), recorded.read_at_ns};
        }
        ++index;
        policy.add_file(record.key(), record.sha256, read ? &*read : nullptr);
    });
    for (LeftOutEntry& entry : owned.left_out) {
        if (auto told = policy.leave_out({entry.path, entry.omission, std::move(entry.error)});
            !told) {
            return told;
        }
    }
    return {};
}

}  // namespace driftmoor::tree
