#include "tree/tree_part.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/path_text.h"
#include "tree/part_run.h"
#include "walk/walk_task.h"

namespace driftmoor::tree {
namespace {

constexpr std::uint64_t BYTES_PER_UNIT = std::uint64_t{1} << 20;

void append_u32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
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

std::string TrustTable::packed_below(std::string_view relative, bool whole) const {
    const std::string prefix = relative.empty() ? std::string() : platform::join_path(relative, "");
    auto entry = std::ranges::lower_bound(
        entries_, prefix, {}, [](const Entry& e) -> std::string_view { return e.name; });
    std::string packed;
    for (; entry != entries_.end() && std::string_view(entry->name).starts_with(prefix); ++entry) {
        const std::string_view rest = std::string_view(entry->name).substr(prefix.size());
        if (!whole && std::ranges::any_of(rest, platform::is_separator)) {
            continue;
        }
        append_u32(packed, static_cast<std::uint32_t>(entry->name.size()));
        packed += entry->name;
        packed.push_back(entry->scrub_due ? 1 : 0);
        append_status(packed, entry->record.status(), entry->record.read_at_ns);
    }
    return packed;
}

std::optional<PartTrust> PartTrust::unpack(std::string_view top, std::string_view packed) {
    PartTrust trust;
    trust.below_top_ = platform::join_path(top, "");
    for (std::size_t at = 0; at < packed.size();) {
        if (packed.size() - at < 4) {
            return std::nullopt;
        }
        std::uint32_t length = 0;
        for (int byte = 0; byte < 4; ++byte) {
            length |= std::uint32_t{static_cast<unsigned char>(packed[at + byte])} << (8 * byte);
        }
        at += 4;
        if (packed.size() - at < std::size_t{length} + 1 + RUN_STATUS_SIZE) {
            return std::nullopt;
        }
        std::string name(packed.substr(at, length));
        const bool due = packed[at + length] != 0;
        const auto [status, read_at_ns] = status_at(packed.data() + at + length + 1);
        at += length + 1 + RUN_STATUS_SIZE;
        trust.known_.insert_or_assign(
            std::move(name), Known{StateRecord::of_read(0, status, read_at_ns, false), due});
    }
    return trust;
}

FileJudge::Verdict PartTrust::judge(std::string_view path,
                                    const platform::FileStatus& status) const {
    if (!path.starts_with(below_top_)) {
        return Verdict::Read;
    }
    const auto known = known_.find(path.substr(below_top_.size()));
    if (known == known_.end() || !trustworthy(known->second.record, status)) {
        return Verdict::Read;
    }
    return known->second.scrub_due ? Verdict::ReadForScrub : Verdict::Taken;
}

}  // namespace driftmoor::tree
