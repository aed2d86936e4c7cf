// Walking a directory tree: one walk, whose use decides what becomes of the
// files it reads and of the entries it leaves out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "digest/file_digest.h"
#include "platform/cancellation.h"
#include "platform/metadata.h"
#include "platform/os_error.h"
#include "walk/read_ahead_budget.h"

namespace driftmoor::walk {

// Why the walk left an entry out.
enum class Omission : std::uint8_t {
    // Failures: the entry may hold content that was not fingerprinted.
    UnreadableFile,       // a file that could not be opened or read
    UnlistableDirectory,  // a directory that could not be opened or listed to its end
    UnknownEntry,         // an entry whose type could not be found out
    // Passed over by design.
    DanglingLink,     // a link that leads nowhere: nothing is there to read
    SpecialFile,      // a pipe, socket or device: never opened
    Loop,             // a directory already on the way down, reached again through a link
    NotUnicode,       // a path with no Unicode text, where only such paths are taken
    Excluded,         // the file the use asked to be passed over
    Vanished,         // gone, or turned into something else, between its listing and its turn
    LinkOutOfTree,    // a link whose target lies outside the tree walked
    LinkNotFollowed,  // a link, where the walk follows none
    OtherFileSystem,  // a directory on another file system than the top's
};

// Which links a walk follows.
enum class LinkRule : std::uint8_t {
    All,     // every link, wherever it leads
    Inside,  // the links whose target lies inside the tree walked
    None,    // no link at all
};

// Where a walk may go; every worker of one walk goes by the same bounds.
struct WalkBounds {
    LinkRule links = LinkRule::All;
    // Whether a directory on another file system than the top's (a mount
    // point below it, or a link to one) is passed over.
    bool one_file_system = false;
};

// How many kinds of omission there are: the last one's value, and one.
inline constexpr std::size_t OMISSION_KINDS =
    static_cast<std::size_t>(Omission::OtherFileSystem) + 1;

// True for the omissions that mean something could not be read.
constexpr bool is_failure(Omission omission) noexcept {
    return omission <= Omission::UnknownEntry;
}

// Whether an error ends a walk whatever its policy: running out of
// descriptors or memory, or being interrupted, says nothing about the entry
// being read, which must not be left out for it.
bool ends_every_walk(const platform::OsError& error) noexcept;

// One entry left out, told to the policy.
struct LeftOut {
    std::string_view path;  // valid during the call only
    Omission omission;
    // What went wrong, for the omissions that come from an error; the policy
    // may take it.
    std::optional<platform::OsError> error;
};

struct Ancestor;

// A subdirectory that the walk is about to go down into, offered to a use
// that shares the tree out with other processes (say, other machines of a
// cluster): where it was listed, and where that lies in the tree.
struct HandedBack {
    std::string_view directory_path;  // where it was listed; valid during the call only
    std::string_view name;
    // Reached through a link whose target the bounds judge.
    bool through_link = false;
    // The directory it was listed in and those above it, nearest first (a
    // chain shared with the walk; the caller takes a share to keep it), and
    // that directory's depth below the top.
    const Ancestor* above = nullptr;
    std::size_t depth = 0;
};

// A file as it was when its reading began: its status, asked of the
// descriptor it was read from, and the wall clock just before. A change made
// after that moment shows in the file's times, unless it falls in the same
// tick of the file system's clock as the status (see tree_state.h).
struct ReadStatus {
    platform::FileStatus status;
    std::int64_t began_ns;
};

// What one use of the walk does with what the walk finds. Used by one thread.
class WalkPolicy {
  public:
    // Paths with no Unicode text are left out unread (NotUnicode) when true;
    // otherwise they are read like any other, their path text as it is.
    bool unicode_paths_only = true;
    // A file to pass over (Excluded) wherever it turns up, by identity.
    std::optional<platform::FileIdentity> excluded_file;
    // Where the walk may go.
    WalkBounds bounds;
    // Where the count of bytes read from files is kept for whoever shows
    // progress, through atomic updates; none to keep no count. Must be
    // aligned for std::atomic_ref and outlive the walk.
    std::uint64_t* bytes_done = nullptr;

    // Whether each regular file is shown to the policy before it is opened
    // (its status read without opening it, following links), for the policy
    // to take what it already knows of it instead of reading it; files are
    // then opened at their turns, never ahead. A file reached through a link
    // the bounds judge is read, to be judged.
    bool judges_files = false;
    // Whether each file read comes to add_file with its status, asked of the
    // descriptor it was read from.
    bool records_reads = false;

    // Where judges_files is set: whether the policy takes the regular file
    // at `path`, whose status is `status`, as it knows it, unread.
    virtual bool takes_unread(std::string_view path, const platform::FileStatus& status);
    // A regular file read to its end; where records_reads is set, how it
    // was when its reading began (else null).
    virtual void add_file(std::string_view path, const digest::Sha256Digest& digest,
                          const ReadStatus* read) = 0;
    // Whether the use may take subdirectories to be walked elsewhere
    // (hand_back): the walk then keeps the chain of directories above every
    // directory it enters, which goes with each one handed back.
    bool hands_back = false;
    // Where hands_back is set: true when the use takes the subdirectory, to
    // be walked elsewhere, and the walk does not go down into it. Asked of
    // directories at most DEEPEST_HANDED_OVER levels deep only, whose chains
    // are whole.
    virtual bool hand_back(const HandedBack&) { return false; }
    // An entry left out. An error returned ends the walk with it. An error
    // that ends every walk (ends_every_walk) does so before any policy is
    // asked.
    virtual platform::OsResult<void> leave_out(LeftOut left_out) = 0;

  protected:
    WalkPolicy() = default;
    WalkPolicy(const WalkPolicy&) = default;
    WalkPolicy& operator=(const WalkPolicy&) = default;
    ~WalkPolicy() = default;
};

// Hands every regular file at or below the directory at `directory_path` to
// `policy`, keyed by its path: `directory_path` exactly as given, then the
// names on the way down. Depth first, in listing order, following links as
// the policy's bounds allow (the links that lead out of the tree are judged
// by where the descriptor they opened lies, never by a name read again).
//
// A path that is not a directory adds nothing. Everything else that is not
// read (devices, pipes and sockets are never opened) is told to `policy` as
// left out, with the reason, and the policy decides whether that ends the
// walk. A directory already on the way down (a link to an ancestor) is passed
// over, so every walk ends. Between entries and reads `cancellation` may end
// the walk with its own error.
platform::OsResult<void> walk_directory(std::string_view directory_path, WalkPolicy& policy,
                                        platform::Cancellation& cancellation);
// The same, holding files open ahead within the caller's budget rather than
// the share of the descriptor limit that a walk takes by itself.
platform::OsResult<void> walk_directory(std::string_view directory_path, WalkPolicy& policy,
                                        platform::Cancellation& cancellation,
                                        ReadAheadBudget& budget);

// The same walk with one worker thread per policy, each worker handing its
// files to its own policy: what they find together is what one walk finds.
// Workers take directories, and files, that others hand over when they run
// out of work; each directory carries the chain of those above it, so a link
// back up the tree is passed over whichever worker meets it. Files opened
// ahead stay within one budget for all workers. The calling thread waits,
// asking `cancellation` between waits; the first error that ends the walk,
// the caller's included, stops every worker at its next step, and every
// worker has ended when this returns. An exception thrown in a worker is
// thrown again here. With one policy, the walk runs on the calling thread.
platform::OsResult<void> walk_directory_with_workers(std::string_view directory_path,
                                                     std::span<WalkPolicy* const> policies,
                                                     platform::Cancellation& cancellation);
platform::OsResult<void> walk_directory_with_workers(std::string_view directory_path,
                                                     std::span<WalkPolicy* const> policies,
                                                     platform::Cancellation& cancellation,
                                                     ReadAheadBudget& budget);

}  // namespace driftmoor::walk
