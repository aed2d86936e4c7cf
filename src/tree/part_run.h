// What a part of a tree walked on another machine sends back of the files
// it met: one run, sorted by name, of the files it read (each with its
// digest, and the status it had when its reading began where reads are
// recorded) and of those a judge was shown (the status it was judged on:
// taken unread, or read all the same for a scrub). The same run merged into
// a manifest's lines (RunMerge), or gathered into an account and played to
// a check as if its own walk had met the files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/metadata.h"
#include "platform/os_error.h"
#include "tree/tree_account.h"
#include "walk/directory_walk.h"

namespace driftmoor::tree {

// The files of an account as one run: each file's name below `directory`
// (the path its walk started from: a part's directory, or the top; the
// empty name for `directory` itself, a tree of one file), in the order of
// the names' bytes. Each record: the name's length (4 bytes, little-endian)
// and bytes, a byte of RUN_* flags, then the digest's 32 bytes (READ), the
// read's status (READ_STATUS), the status judged (JUDGED), each status 48
// bytes: size, modification and change times, device, inode, and the time
// the reading began (0 for a status judged), 8 bytes each, little-endian.
// The account is used up.
std::string sorted_run(TreeAccount&& account, std::string_view directory);

inline constexpr std::uint8_t RUN_READ = 1;         // read: its digest follows
inline constexpr std::uint8_t RUN_READ_STATUS = 2;  // with the status its read began with
inline constexpr std::uint8_t RUN_JUDGED = 4;       // shown to a judge, with that status
inline constexpr std::uint8_t RUN_TAKEN = 8;        // ... who took it unread (not READ)

// One file of a run.
struct RunRecord {
    std::string_view name;
    std::uint8_t flags = 0;
    const unsigned char* digest = nullptr;       // READ: its 32 bytes
    std::optional<walk::ReadStatus> read;        // READ_STATUS
    std::optional<platform::FileStatus> judged;  // JUDGED
    std::size_t next = 0;                        // where the next record starts
};

// The record of `run` that starts at `at`; none when it runs past the end
// or its flags say nothing that can be (a file taken unread that was read,
// or neither read nor judged).
std::optional<RunRecord> run_record_at(std::string_view run, std::size_t at) noexcept;

// How many files `run` holds; none when it is not a run of sorted_run's
// form: cut short, its names out of order or repeated, or an empty name
// beside others.
std::optional<std::size_t> run_file_count(std::string_view run) noexcept;
// The same, none also when a file was not read (a manifest's merge takes
// files read only).
std::optional<std::size_t> read_file_count(std::string_view run) noexcept;

// What goes before each name of a run of the files below `directory` (a
// path as the walk of the whole tree spells it) to make the path that walk
// gives the file: the directory and a separator, or, for a run whose one
// name is empty (a tree of one file), the directory alone.
std::string run_prefix(std::string_view directory, std::string_view run);

// A status as a run writes it (48 bytes: sorted_run's form), with a time
// beside it; and back.
void append_status(std::string& out, const platform::FileStatus& status, std::int64_t time_ns);
std::pair<platform::FileStatus, std::int64_t> status_at(const char* in) noexcept;
inline constexpr std::size_t RUN_STATUS_SIZE = 48;

// Adds the files of a run of the files below `directory` to an account, as
// if its walk had met them there (the reads recorded one for each file);
// false, adding nothing, when `run` is not a run (run_file_count).
bool add_run(TreeAccount& account, std::string_view directory, std::string_view run);

// The records of the reads of a run of the files below `directory`, as
// account_tree records them (pack_records' form): for a manifest's state,
// written where the run is merged.
std::string run_reads(std::string_view directory, std::string_view run);

// Tells `policy` what an account that add_run made holds as if its own walk
// had met it: each file judged (takes_unread, with the status it was judged
// on), each file read (with its read's status), each entry left out; fails
// where the policy's leave_out fails.
platform::OsResult<void> play_account(TreeAccount&& account, walk::WalkPolicy& policy);

}  // namespace driftmoor::tree
