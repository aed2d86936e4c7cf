// The directories and files that the workers of one walk hand each other.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "manifest/read_ahead_budget.h"
#include "platform/file.h"
#include "platform/listing.h"
#include "platform/metadata.h"

namespace driftmoor::manifest {

// The directories on the way down to a task, nearest first: what a link back
// up the tree is checked against, whichever worker takes the task. Shared
// between the tasks below one directory, never changed.
struct Ancestor {
    platform::FileIdentity identity;
    std::shared_ptr<const Ancestor> above;  // null at the top
};
using Ancestry = std::shared_ptr<const Ancestor>;

// An entry taken from a listing ahead of its turn, with the file opened
// ahead of it when the walk read ahead.
struct Upcoming {
    platform::DirectoryEntry entry;
    // The open, or its failure; empty when the file is opened at its turn.
    std::optional<platform::OsResult<platform::FileHandle>> opened{};
    // The budget's place that an open file holds until its turn.
    BudgetPlace place{};
    // What the entry was found to be, once a worker that handed it over
    // followed its link; the listing's record answers otherwise.
    std::optional<platform::FileType> resolved_type{};
};

// Work handed from one worker to whichever worker is free: a directory to
// walk, files of one directory to read, or the rest of a directory's open
// listing. Every member has a default, so that a task names only what its
// kind uses.
struct WalkTask {
    enum class Kind : unsigned char { Directory, Files, Listing };
    Kind kind;
    // Directory, Files: the text of the directory the entries were listed
    // in. Listing: the text of the directory being listed.
    std::string directory_path{};
    // Directory: the entry.
    platform::DirectoryEntry entry{};
    // Directory: the directories above it, and how many there are. Listing:
    // the directory being listed and those above it, and its depth.
    Ancestry ancestry{};
    std::size_t depth = 0;
    // Files: regular and special files in listing order, with the opens made
    // ahead of their turns.
    std::vector<Upcoming> files{};
    // Listing: the listing, owned by the task until a worker takes it.
    std::optional<platform::DirectoryListing> listing{};
};

// The tasks waiting for a worker. A worker that runs out of work waits here;
// when every worker waits and no task is left, the walk is over.
class WorkPool {
  public:
    WorkPool(std::size_t workers, std::stop_token stop) noexcept
        : workers_(workers), stop_(std::move(stop)) {}
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    // Whether a worker is waiting with no task to take: then a busy worker
    // hands over work rather than doing it itself. Read without the lock; an
    // answer that is out of date only costs a task more or less handed over.
    bool wants_work() const noexcept { return hungry_.load(std::memory_order_relaxed) > 0; }

    void give(WalkTask task);

    // The next task, waiting for one; none once the walk is over (no task
    // left and every worker waiting) or stopped.
    std::optional<WalkTask> take();

  private:
    // Under the lock.
    void count_hunger() noexcept;

    const std::size_t workers_;
    const std::stop_token stop_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<WalkTask> tasks_;  // guarded by mutex_
    std::size_t waiting_ = 0;     // guarded by mutex_
    bool over_ = false;           // guarded by mutex_
    // Workers waiting beyond the tasks there are for them.
    std::atomic<std::ptrdiff_t> hungry_ = 0;
};

}  // namespace driftmoor::manifest
