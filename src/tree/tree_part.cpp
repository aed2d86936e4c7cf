#include "tree/tree_part.h"

#include <cstring>

#include "common/internal_failure.h"
#include "platform/clock.h"
#include "platform/path_text.h"
#include "tree/path_order.h"
#include "walk/walk_task.h"

namespace driftmoor::tree {
namespace {

constexpr std::uint64_t BYTES_PER_UNIT = std::uint64_t{1} << 20;
constexpr std::size_t DIGEST_SIZE = 32;

void append_u32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

std::uint32_t read_u32(std::string_view in) noexcept {
    std::uint32_t value = 0;
    for (int byte = 0; byte < 4; ++byte) {
        value |= std::uint32_t{static_cast<unsigned char>(in[byte])} << (8 * byte);
    }
    return value;
}

}  // namespace

PartBound::PartBound(std::uint64_t most_work, std::uint64_t most_milliseconds,
                     std::uint64_t& files_done, std::uint64_t& bytes_done) noexcept
    : most_work_(most_work),
      deadline_(most_milliseconds > UINT64_MAX - platform::coarse_milliseconds()
                    ? UINT64_MAX
                    : platform::coarse_milliseconds() + most_milliseconds),
      files_done_(files_done),
      bytes_done_(bytes_done) {}

bool PartBound::take(const walk::HandedBack& directory) {
    const std::uint64_t met = met_.fetch_add(1, std::memory_order_relaxed);
    const std::uint64_t work =
        std::atomic_ref(files_done_).load(std::memory_order_relaxed) + met +
        std::atomic_ref(bytes_done_).load(std::memory_order_relaxed) / BYTES_PER_UNIT;
    if (work < most_work_ && platform::coarse_milliseconds() < deadline_) {
        return false;
    }
    walk::WalkPart part{.directory_path = std::string(directory.directory_path),
                        .name = std::string(directory.name),
                        .through_link = directory.through_link,
                        .above = {},
                        .depth = directory.depth};
    for (const walk::Ancestor* above = directory.above; above != nullptr;
         above = above->above.get()) {
        part.above.push_back(above->identity);
    }
    const std::scoped_lock lock(mutex_);
    taken_.push_back(std::move(part));
    return true;
}

std::vector<walk::WalkPart> PartBound::taken() {
    const std::scoped_lock lock(mutex_);
    return std::move(taken_);
}

std::string sorted_run(walk::RecordArena&& files, std::string_view directory) {
    walk::RecordArena owned = std::move(files);
    std::vector<const walk::FileRecord*> records;
    owned.visit([&](const walk::FileRecord& record) { records.push_back(&record); });
    sort_by_path(records, [](const walk::FileRecord* record) { return record->key(); });
    const std::string below = platform::join_path(directory, "");
    std::size_t size = 0;
    for (const walk::FileRecord* record : records) {
        size += 4 + record->key().size() + record->sha256.size();
    }
    std::string run;
    run.reserve(size);
    for (const walk::FileRecord* record : records) {
        std::string_view name = record->key();
        if (name == directory) {
            name = {};
        } else if (name.starts_with(below)) {
            name.remove_prefix(below.size());
        } else {
            panic("a file of a part lies outside its directory");
        }
        append_u32(run, static_cast<std::uint32_t>(name.size()));
        run.append(name);
        run.append(reinterpret_cast<const char*>(record->sha256.data()), record->sha256.size());
    }
    return run;
}

std::optional<RunRecord> run_record_at(std::string_view run, std::size_t at) noexcept {
    if (run.size() - at < 4) {
        return std::nullopt;
    }
    const std::size_t length = read_u32(run.substr(at));
    if (run.size() - at - 4 < length || run.size() - at - 4 - length < DIGEST_SIZE) {
        return std::nullopt;
    }
    return RunRecord{run.substr(at + 4, length),
                     reinterpret_cast<const unsigned char*>(run.data() + at + 4 + length),
                     at + 4 + length + DIGEST_SIZE};
}

std::optional<std::size_t> run_file_count(std::string_view run) noexcept {
    std::size_t files = 0;
    std::string_view previous;
    for (std::size_t at = 0; at < run.size(); ++files) {
        const auto record = run_record_at(run, at);
        if (!record || (files > 0 && record->name <= previous)) {
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

std::string run_prefix(std::string_view directory, std::string_view run) {
    const auto first = run_record_at(run, 0);
    return first && first->name.empty() ? std::string(directory)
                                        : platform::join_path(directory, "");
}

bool add_run(TreeAccount& account, std::string_view directory, std::string_view run) {
    const auto files = run_file_count(run);
    if (!files) {
        return false;
    }
    std::string path = run_prefix(directory, run);
    const std::size_t prefix_size = path.size();
    digest::Sha256Digest digest;
    for (std::size_t at = 0; at < run.size();) {
        const RunRecord record = *run_record_at(run, at);
        path.resize(prefix_size);
        path += record.name;
        std::memcpy(digest.data(), record.digest, digest.size());
        account.files.append(0, path, digest);
        at = record.next;
    }
    account.file_count += *files;
    return true;
}

platform::OsResult<void> play_account(TreeAccount&& account, walk::WalkPolicy& policy) {
    TreeAccount owned = std::move(account);
    owned.files.visit([&](const walk::FileRecord& record) {
        policy.add_file(record.key(), record.sha256, nullptr);
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
