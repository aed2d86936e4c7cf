// One part of a tree whose walk is shared out between the machines of a
// cluster: walked on one machine (with its own workers), up to a bound on
// its work, after which the subdirectories it has not entered are handed
// back to be parts of their own; and what it found, as it travels back: the
// files as one sorted run of names and digests.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cancellation.h"
#include "platform/os_error.h"
#include "tree/tree_account.h"
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

// The files of an account as one run: each file's name below `directory`
// (the path its walk started from: a part's directory, or the top; the
// empty name for `directory` itself, a tree of one file), in the order of
// the names' bytes, each written as its length (4 bytes, little-endian),
// its bytes and the digest's 32 bytes. The account's files are used up.
std::string sorted_run(walk::RecordArena&& files, std::string_view directory);

// One file of a run: its name, its digest's 32 bytes, and where the next
// file's record starts.
struct RunRecord {
    std::string_view name;
    const unsigned char* digest;
    std::size_t next;
};

// The record of `run` that starts at `at`; none when it runs past the end.
std::optional<RunRecord> run_record_at(std::string_view run, std::size_t at) noexcept;

// How many files `run` holds; none when it is not a run of sorted_run's
// form: cut short, its names out of order or repeated, or an empty name
// beside others.
std::optional<std::size_t> run_file_count(std::string_view run) noexcept;

// What goes before each name of a run of the files below `directory` (a
// path as the walk of the whole tree spells it) to make the path that walk
// gives the file: the directory and a separator, or, for a run whose one
// name is empty (a tree of one file), the directory alone.
std::string run_prefix(std::string_view directory, std::string_view run);

// Adds the files of a run of the files below `directory` to an account, as
// if its walk had read them there; false, adding nothing, when `run` is not
// a run (run_file_count).
bool add_run(TreeAccount& account, std::string_view directory, std::string_view run);

// Tells `policy` what the account holds as if its own walk had found it:
// each file read, each entry left out; fails where the policy's leave_out
// fails.
platform::OsResult<void> play_account(TreeAccount&& account, walk::WalkPolicy& policy);

}  // namespace driftmoor::tree
