// An account of a whole tree, for a command that checks trees: every regular
// file whatever its name, and every entry left out with the reason why.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cancellation.h"
#include "platform/metadata.h"
#include "platform/os_error.h"
#include "tree/tree_state.h"
#include "walk/directory_walk.h"
#include "walk/record_arena.h"
#include "walk/walk_part.h"

namespace driftmoor::tree {

// An entry the walk left out, and why.
struct LeftOutEntry {
    std::string path;  // path text, as the walk formed it
    walk::Omission omission;
    std::optional<platform::OsError> error;  // for the omissions that come from one
};

// A regular file that a judge (FileJudge) was shown before it was read:
// the status it was judged on, and whether it was taken unread or is read
// all the same for a scrub.
struct JudgedFile {
    std::string path;  // as the walk formed it
    platform::FileStatus status;
    bool taken = false;  // taken unread; otherwise read for a scrub
};

// What an account found. Owns everything in it.
struct TreeAccount {
    // What the root was found to be: a directory walked, a regular file (a
    // tree of that one file), or anything else, left out unopened.
    platform::FileType root_type = platform::FileType::Directory;
    // Every file read to its end, keyed by its path text (its bytes as the
    // file system holds them, valid Unicode or not), in the order the walk
    // met them. The records' hash fields are unused.
    walk::RecordArena files;
    std::size_t file_count = 0;
    // Every entry left out, in the order the walk met them.
    std::vector<LeftOutEntry> left_out;
    // Where reads are recorded: how each file read was when its reading
    // began, by the hash of its path as a manifest spells it; one for each
    // file, in the order of `files` (a file whose status could not be asked
    // has a record with no time of reading, which nothing trusts).
    std::vector<StateRecord> reads;
    // Where a judge is given: the files it took unread or marked for a
    // scrub, in the order it was shown them.
    std::vector<JudgedFile> judged;
};

// Which regular files a walk takes as something else already knows them
// (the records of a state), unread, by the status each has now. Shared by
// every worker of one walk.
class FileJudge {
  public:
    enum class Verdict : std::uint8_t {
        Read,          // nothing known of it that can be trusted: read it
        Taken,         // as recorded: taken unread
        ReadForScrub,  // as recorded, but its turn in the scrub: read all the same
    };
    virtual Verdict judge(std::string_view path, const platform::FileStatus& status) const = 0;

  protected:
    FileJudge() = default;
    FileJudge(const FileJudge&) = default;
    FileJudge& operator=(const FileJudge&) = default;
    ~FileJudge() = default;
};

// Takes subdirectories off a walk, to be walked elsewhere (by another
// process, on another machine). Shared by every worker of one walk.
class DirectoryTaker {
  public:
    // True when it takes the directory; the walk then does not go into it.
    virtual bool take(const walk::HandedBack& directory) = 0;

  protected:
    DirectoryTaker() = default;
    DirectoryTaker(const DirectoryTaker&) = default;
    DirectoryTaker& operator=(const DirectoryTaker&) = default;
    ~DirectoryTaker() = default;
};

struct AccountOptions {
    // A file to pass over wherever it turns up (the account being written
    // into the tree it describes, say).
    std::optional<platform::FileIdentity> excluded_file;
    // Where the count of files read so far is kept up to date for whoever
    // shows progress, through atomic updates; none to keep no count. Must be
    // aligned for std::atomic_ref and outlive the call.
    std::uint64_t* files_done = nullptr;
    // The same for the bytes read of files' contents.
    std::uint64_t* bytes_done = nullptr;
    // How many threads walk a directory: 1 walks on the calling thread alone;
    // more start that many workers while the calling thread waits.
    std::size_t jobs = 1;
    // Which links the walk follows, and whether it stays on the top's file
    // system.
    walk::WalkBounds bounds;
    // Whether each file read is recorded in `reads`, for a state.
    bool records_reads = false;
    // Only this part of the tree at the root is walked, as the walk of the
    // whole tree walks it there (other processes walk the rest); none: the
    // whole tree.
    const walk::WalkPart* part = nullptr;
    // Where subdirectories may go rather than be walked here; none: every
    // one is walked here.
    DirectoryTaker* taker = nullptr;
    // What each regular file is shown to before it is read (the walk then
    // opens files at their turns, never ahead): the files it takes are not
    // read, and it and those it marks for a scrub go to `judged`, with a
    // read recorded for every file (records_reads is implied); none: every
    // file is read.
    const FileJudge* judge = nullptr;
};

// The account of the tree at `root`: a directory is walked as the manifest
// walks it (links followed as the bounds allow, loops passed over) but keeps
// going past every entry it cannot read, each told in `left_out`; a regular
// file is a tree of that one file, opened with the care every file of a
// walk gets (never a stream that would hold a read); anything else is left
// out unopened. Fails only when `root` cannot be
// examined at all, when the process runs out of descriptors or memory, or
// when `cancellation` ends it. The account is the same for any number of
// jobs, but for the order of its records.
platform::OsResult<TreeAccount> account_tree(std::string_view root, const AccountOptions& options,
                                             platform::Cancellation& cancellation);

// The walk behind an account, for any use: a directory walked by one worker
// per policy (by the calling thread alone for one); a regular file, the one
// file of its tree, read by the first policy; anything else told to the
// first policy as left out, unopened. What the root was found to be; fails
// as account_tree does.
platform::OsResult<platform::FileType> walk_tree(std::string_view root,
                                                 std::span<walk::WalkPolicy* const> policies,
                                                 platform::Cancellation& cancellation);

}  // namespace driftmoor::tree
