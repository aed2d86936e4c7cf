// One part of a tree whose walk is shared out between the machines of a
// cluster: walked on one machine (with its own workers), up to a bound on
// its work, after which the subdirectories it has not entered are handed
// back to be parts of their own; and, where a check keeps a state, what it
// may take unread there (a trust table, sent with the part).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/metadata.h"
#include "tree/tree_account.h"
#include "tree/tree_state.h"
#include "walk/walk_part.h"

namespace driftmoor::tree {

// How much a part does before it hands back every subdirectory it has not
// entered yet: a count of work (each file read, each subdirectory met and
// each MiB read one unit), or a time, whichever comes first. The files of
// the directories it has entered are still read by it, so a directory is
// never split between parts. Shared by the workers of one part.
class PartBound final : public DirectoryTaker {
  public:
    // `files_done` and `bytes_done` are the walk's counts (AccountOptions);
    // the time runs from now.
    PartBound(std::uint64_t most_work, std::uint64_t most_milliseconds, std::uint64_t& files_done,
              std::uint64_t& bytes_done) noexcept;

    bool take(const walk::HandedBack& directory) override;

    // The subdirectories handed back, in the order they were met by each
    // worker; taken from the bound.
    std::vector<walk::WalkPart> taken();

  private:
    std::uint64_t most_work_;
    std::uint64_t deadline_;  // on the coarse clock
    std::uint64_t& files_done_;
    std::uint64_t& bytes_done_;
    std::atomic<std::uint64_t> met_ = 0;
    std::mutex mutex_;
    std::vector<walk::WalkPart> taken_;  // guarded by mutex_
};

// What a check with a state may take unread where its tree is walked
// elsewhere: each listed file whose record it would trust if the file's
// status is still the recorded one, by its path relative to the top of the
// tree (as the walk of the tree forms it, below its top), in the order of
// those paths, with whether its turn in the scrub has come.
class TrustTable {
  public:
    struct Entry {
        std::string name;
        StateRecord record;
        bool scrub_due = false;
    };

    // Takes entries in the order of their names.
    explicit TrustTable(std::vector<Entry> entries) noexcept : entries_(std::move(entries)) {}

    std::size_t size() const noexcept { return entries_.size(); }

    // The entries of the files below the directory `relative` (a path
    // relative to the top; empty: the top), those in it alone unless
    // `whole`, packed for a part: each the name's length (4 bytes,
    // little-endian) and bytes, a byte that is 1 where the scrub is due, and
    // the record as a run writes a status (part_run.h), its time the time
    // of the record's read.
    std::string packed_below(std::string_view relative, bool whole) const;

  private:
    std::vector<Entry> entries_;
};

// The judge of a part's walk: the entries of a trust table that the part
// was sent, looked up by each file's path relative to the top `top`. A file
// is taken when its status is what its record says (trustworthy), read for
// the scrub when that is so and its turn has come, and read otherwise.
class PartTrust final : public FileJudge {
  public:
    // None when `packed` is not what TrustTable::packed_below makes.
    static std::optional<PartTrust> unpack(std::string_view top, std::string_view packed);

    Verdict judge(std::string_view path, const platform::FileStatus& status) const override;

  private:
    struct Known {
        StateRecord record;
        bool scrub_due;
    };
    // Looked up by a part of a path, with no copy of it made.
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const noexcept {
            return std::hash<std::string_view>{}(name);
        }
    };
    PartTrust() = default;

    std::string below_top_;  // the top and a separator
    std::unordered_map<std::string, Known, NameHash, std::equal_to<>> known_;
};

}  // namespace driftmoor::tree
