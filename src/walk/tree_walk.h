// One walker: the walk of a directory tree on one thread, or of one task
// that another worker handed over. What a walk with workers runs on each of
// its threads, and what a walk on the calling thread runs alone.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "digest/file_digest.h"
#include "platform/cancellation.h"
#include "platform/file.h"
#include "platform/listing.h"
#include "platform/metadata.h"
#include "platform/os_error.h"
#include "walk/directory_walk.h"
#include "walk/read_ahead_budget.h"
#include "walk/tree_scope.h"
#include "walk/walk_task.h"
#include "walk/work_pool.h"

namespace driftmoor::walk {

struct FileIdentityHash {
    std::size_t operator()(const platform::FileIdentity& identity) const noexcept {
        return std::hash<std::uint64_t>{}(identity.inode ^ (identity.device * 0x9e3779b97f4a7c15u));
    }
};

// Directories deeper than this below the top are walked by the worker that
// reached them, never handed over: a worker taking a directory starts from
// the chain of those above it, and a chain of every level of a tree ten
// thousand deep, copied for each level, would cost more than the walk.
inline constexpr std::size_t DEEPEST_HANDED_OVER = 256;

// The walk of one directory tree, or of one task of a walk with workers:
// depth first with an explicit stack of open listings, reading ahead of the
// entries of the deepest directory. With a pool, it hands directories and
// files to workers that wait for work instead of walking them itself.
class TreeWalk {
  public:
    TreeWalk(std::string_view directory_path, WalkPolicy& policy, const TreeScope& scope,
             platform::Cancellation& cancellation, digest::ReadBuffer& read_buffer,
             ReadAheadBudget& budget, WorkPool* pool = nullptr)
        : path_(directory_path),
          policy_(policy),
          scope_(scope),
          cancellation_(cancellation),
          read_buffer_(read_buffer),
          budget_(budget),
          pool_(pool) {}

    // The tree at the path the walk was made with.
    platform::OsResult<void> run_from_top();

    // A task another worker handed over; the walk was made with its
    // directory's path.
    platform::OsResult<void> run_task(WalkTask& task);

  private:
    // One directory on the way down: its open listing, the length of the
    // walk's path text while it is the one being listed, and, in a walk with
    // workers, the chain of directories down to it and its depth.
    struct Level {
        platform::DirectoryListing listing;
        std::size_t path_length;
        Ancestry ancestry;
        std::size_t depth;
    };

    platform::OsResult<void> run();

    // The next entry of the deepest open directory, in listing order, after
    // reading ahead of it; none at its end.
    platform::OsResult<std::optional<Upcoming>> next_upcoming();

    // Takes entries of the deepest open directory ahead of their turn, up to
    // the budget, opening each regular file while the budget has room and
    // asking for its bytes. Stops after an entry that may be a directory; a
    // listing failure met here is kept and reported at its turn, after the
    // entries before it.
    void read_ahead();

    // Takes the next entry of the deepest directory into `upcoming_`; false
    // at its end or on a failure, which is kept for its turn.
    bool take_one_ahead();

    void enter(platform::DirectoryListing listing);

    void leave();

    platform::OsResult<void> visit(Upcoming& upcoming);

    // A worker waits for work while this walk is below a directory it has not
    // listed to its end: the rest of the oldest such listing, the largest
    // part of the tree left here, goes to that worker in one handover. Handing
    // over only the next file or directory would keep a worker that finishes
    // its task quickly coming back for one small piece at a time.
    void hand_over_oldest_listing();

    // A worker waits for work while this walk reads the files of a
    // directory: this file and about half of those taken ahead of it go to
    // that worker in one task. The worker is so kept busy until this walk has
    // met another entry and can hand over more, rather than waiting, after
    // each file, for this walk to finish its own.
    void hand_over_files(Upcoming first);

    // A worker waits for work, and this directory has more entries after the
    // one about to be handed over, so that this walk stays busy meanwhile (a
    // chain of single directories would otherwise pass from worker to worker
    // at every level).
    bool should_hand_over_directory();

    // Reads a regular file, opened at its turn unless it was opened ahead.
    // One reached through a link is read only if the bounds allow it.
    platform::OsResult<void> read_file(
        const platform::DirectoryEntry& entry,
        std::optional<platform::OsResult<platform::FileHandle>> opened, bool through_link);

    // Goes down into a directory, unless it is already on the way down or
    // lies out of bounds.
    platform::OsResult<void> descend(const platform::DirectoryEntry& entry, bool through_link);

    // Whether the entry is a link whose target the bounds judge: never when
    // the walk follows every link.
    bool judged_link(const platform::DirectoryEntry& entry) const;

    bool is_excluded(const platform::FileHandle& file) const;

    platform::OsResult<void> leave_out(const platform::DirectoryEntry& entry, Omission omission,
                                       std::optional<platform::OsError> error = std::nullopt);

    // Leaving an entry out is the policy's to judge when the entry is at
    // fault, never when the process ran out of something or the work was
    // interrupted: then the whole walk fails.
    platform::OsResult<void> leave_out(std::string_view path, Omission omission,
                                       std::optional<platform::OsError> error = std::nullopt);

    std::string path_;  // the text of the directory being listed
    WalkPolicy& policy_;
    const TreeScope& scope_;  // shared by every worker of the walk
    platform::Cancellation& cancellation_;
    // Every file of the walk (of the worker's every task) is read through it.
    digest::ReadBuffer& read_buffer_;
    ReadAheadBudget& budget_;
    WorkPool* pool_;  // borrowed; null when walking alone
    std::vector<Level> levels_;
    // The directories on the way down, those above a task's included.
    std::unordered_set<platform::FileIdentity, FileIdentityHash> on_descent_;
    // Where a task sits in the tree: the chain above its directory, and
    // that directory's parent's depth.
    Ancestry base_ancestry_;
    std::size_t base_depth_ = 0;
    // Entries of the deepest directory taken ahead of their turn, in listing
    // order; their open files close with them. Empty whenever the walk
    // descends or leaves, since reading ahead stops at a directory.
    std::deque<Upcoming> upcoming_;
    std::optional<platform::OsError> listing_failure_;
};

}  // namespace driftmoor::walk
