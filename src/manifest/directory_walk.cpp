#include "manifest/directory_walk.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <iterator>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "digest/file_digest.h"
#include "manifest/read_ahead_budget.h"
#include "manifest/work_pool.h"
#include "platform/listing.h"
#include "platform/metadata.h"
#include "platform/path_text.h"
#include "platform/read_ahead.h"
#include "platform/signals_blocked.h"

namespace driftmoor::manifest {
namespace {

using platform::DirectoryEntry;
using platform::DirectoryListing;
using platform::FileHandle;
using platform::FileIdentity;
using platform::FileType;
using platform::OsError;
using platform::OsResult;

struct IdentityHash {
    std::size_t operator()(const FileIdentity& identity) const noexcept {
        return std::hash<std::uint64_t>{}(identity.inode ^ (identity.device * 0x9e3779b97f4a7c15u));
    }
};

// How long the caller of a walk with workers waits between two looks at
// its cancellation: well inside the 20 ms at which a probe for signals is due.
constexpr std::chrono::milliseconds CALLER_WAIT{5};

// What the entry is once links are followed. The listing's own record
// answers for plain directories, files and special files; links and
// unrecorded types cost a metadata query.
OsResult<FileType> resolved_type(const DirectoryEntry& entry) {
    using platform::RecordedType;
    switch (entry.recorded_type) {
        case RecordedType::Directory:
            return FileType::Directory;
        case RecordedType::RegularFile:
            return FileType::RegularFile;
        case RecordedType::Special:
            return FileType::Other;
        case RecordedType::Unresolved:
            break;
    }
    auto metadata = platform::query_entry_metadata(entry);
    if (!metadata) {
        return std::unexpected(std::move(metadata).error());
    }
    return metadata->type;
}

// Whether a directory's open failed because there was no directory under its
// name any more: removed, or replaced by something else, since it was listed.
bool vanished(const OsError& error) noexcept {
    const auto kind = platform::error_kind(error);
    return kind == platform::ErrorKind::EntityNotFound ||
           kind == platform::ErrorKind::NotADirectory;
}

// Why an entry whose type could not be found out is left out: a link that
// leads nowhere, an entry gone since it was listed, or its own failure.
Omission unknown_type_omission(const DirectoryEntry& entry, const OsError& error) {
    if (platform::error_kind(error) != platform::ErrorKind::EntityNotFound) {
        return Omission::UnknownEntry;
    }
    return platform::entry_is_link(entry) ? Omission::DanglingLink : Omission::Vanished;
}

// Why a file that the walk could not open is left out.
Omission unopened_file_omission(const OsError& error) {
    if (platform::error_kind(error) == platform::ErrorKind::EntityNotFound ||
        platform::refuses_non_regular_file(error)) {
        return Omission::Vanished;
    }
    return Omission::UnreadableFile;
}

// Whether reading ahead may go past the entry: only files and special files,
// whose turns never descend. Anything that may lead into a directory ends
// the run, so no descriptor opened ahead is held while the walk is below.
bool read_ahead_passes(const DirectoryEntry& entry) noexcept {
    return entry.recorded_type == platform::RecordedType::RegularFile ||
           entry.recorded_type == platform::RecordedType::Special;
}

// Directories deeper than this below the top are walked by the worker that
// reached them, never handed over: a worker taking a directory starts from
// the chain of those above it, and a chain of every level of a tree ten
// thousand deep, copied for each level, would cost more than the walk.
constexpr std::size_t DEEPEST_HANDED_OVER = 256;

// The walk of one directory tree, or of one task of a walk with workers:
// depth first with an explicit stack of open listings, reading ahead of the
// entries of the deepest directory. With a pool, it hands directories and
// files to workers that wait for work instead of walking them itself.
class TreeWalk {
  public:
    TreeWalk(std::string_view directory_path, WalkPolicy& policy,
             platform::Cancellation& cancellation, digest::ReadBuffer& read_buffer,
             ReadAheadBudget& budget, WorkPool* pool = nullptr)
        : path_(directory_path),
          policy_(policy),
          cancellation_(cancellation),
          read_buffer_(read_buffer),
          budget_(budget),
          pool_(pool) {}

    // The tree at the path the walk was made with.
    OsResult<void> run_from_top() {
        auto root = platform::open_listing(path_);
        if (!root) {
            std::string root_path = path_;
            return leave_out(root_path, Omission::UnlistableDirectory, std::move(root).error());
        }
        enter(std::move(*root));
        return run();
    }

    // A task another worker handed over; the walk was made with its
    // directory's path.
    OsResult<void> run_task(WalkTask& task) {
        if (task.kind == WalkTask::Kind::Files) {
            // Taken as if read ahead here, so that half of what is left can
            // be handed on in turn.
            upcoming_.assign(std::make_move_iterator(task.files.begin()),
                             std::make_move_iterator(task.files.end()));
            while (!upcoming_.empty()) {
                if (auto go_on = cancellation_.check(); !go_on) {
                    return go_on;
                }
                Upcoming file = std::move(upcoming_.front());
                upcoming_.pop_front();
                if (auto visited = visit(file); !visited) {
                    return visited;
                }
            }
            return {};
        }
        for (const Ancestor* above = task.ancestry.get(); above != nullptr;
             above = above->above.get()) {
            on_descent_.insert(above->identity);
        }
        if (task.kind == WalkTask::Kind::Listing) {
            levels_.push_back(
                {std::move(*task.listing), path_.size(), std::move(task.ancestry), task.depth});
            return run();
        }
        base_ancestry_ = std::move(task.ancestry);
        base_depth_ = task.depth;
        if (auto descended = descend(task.entry); !descended) {
            return descended;
        }
        return run();
    }

  private:
    // One directory on the way down: its open listing, the length of the
    // walk's path text while it is the one being listed, and, in a walk with
    // workers, the chain of directories down to it and its depth.
    struct Level {
        DirectoryListing listing;
        std::size_t path_length;
        Ancestry ancestry;
        std::size_t depth;
    };

    OsResult<void> run() {
        // Each turn takes one entry of the deepest open directory, so the
        // native stack stays flat however deep the tree is. On an early
        // return every listing still open closes as `levels_` goes.
        while (!levels_.empty()) {
            if (auto go_on = cancellation_.check(); !go_on) {
                return go_on;
            }
            hand_over_oldest_listing();
            auto upcoming = next_upcoming();
            if (!upcoming) {
                // The directory could not be listed to its end: what it
                // delivered was walked, the rest of it is left out.
                if (auto go_on = leave_out(path_, Omission::UnlistableDirectory,
                                           std::move(upcoming).error());
                    !go_on) {
                    return go_on;
                }
                leave();
                continue;
            }
            if (!*upcoming) {
                leave();
                continue;
            }
            if (auto visited = visit(**upcoming); !visited) {
                return visited;
            }
        }
        return {};
    }

    // The next entry of the deepest open directory, in listing order, after
    // reading ahead of it; none at its end.
    OsResult<std::optional<Upcoming>> next_upcoming() {
        read_ahead();
        if (!upcoming_.empty()) {
            Upcoming next = std::move(upcoming_.front());
            upcoming_.pop_front();
            return next;
        }
        if (listing_failure_) {
            OsError failure = std::move(*listing_failure_);
            listing_failure_.reset();
            return std::unexpected(std::move(failure));
        }
        auto entry = platform::next_entry(levels_.back().listing);
        if (!entry) {
            return std::unexpected(std::move(entry).error());
        }
        if (!*entry) {
            return std::nullopt;
        }
        return Upcoming{.entry = std::move(**entry)};
    }

    // Takes entries of the deepest open directory ahead of their turn, up to
    // the budget, opening each regular file while the budget has room and
    // asking for its bytes. Stops after an entry that may be a directory; a
    // listing failure met here is kept and reported at its turn, after the
    // entries before it.
    void read_ahead() {
        while (upcoming_.size() < budget_.capacity() && !listing_failure_ &&
               (upcoming_.empty() || read_ahead_passes(upcoming_.back().entry))) {
            if (!take_one_ahead()) {
                return;
            }
            Upcoming& next = upcoming_.back();
            if (next.entry.recorded_type != platform::RecordedType::RegularFile ||
                !budget_.try_take()) {
                continue;
            }
            BudgetPlace place(budget_);
            auto file = platform::open_entry_for_reading(next.entry);
            if (file) {
                platform::start_read_ahead(*file);
                next.opened = std::move(file);
                next.place = std::move(place);
            } else if (platform::exhausts_resources(file.error())) {
                // Ahead of its turn the walk must not lose a file to a
                // shortage it caused itself: hold fewer files ahead, and
                // open this one again at its turn, which alone may fail.
                place.give_back();
                budget_.shrink();
            } else {
                next.opened = std::move(file);
            }
        }
    }

    // Takes the next entry of the deepest directory into `upcoming_`; false
    // at its end or on a failure, which is kept for its turn.
    bool take_one_ahead() {
        auto entry = platform::next_entry(levels_.back().listing);
        if (!entry) {
            listing_failure_ = std::move(entry).error();
            return false;
        }
        if (!*entry) {
            return false;
        }
        upcoming_.push_back({.entry = std::move(**entry)});
        return true;
    }

    void enter(DirectoryListing listing) {
        const auto identity = listing.identity();
        if (identity) {
            on_descent_.insert(*identity);
        }
        Ancestry ancestry = levels_.empty() ? base_ancestry_ : levels_.back().ancestry;
        const std::size_t depth = (levels_.empty() ? base_depth_ : levels_.back().depth) + 1;
        if (pool_ != nullptr && identity && depth <= DEEPEST_HANDED_OVER) {
            ancestry = std::make_shared<const Ancestor>(*identity, std::move(ancestry));
        }
        levels_.push_back({std::move(listing), path_.size(), std::move(ancestry), depth});
    }

    void leave() {
        Level& level = levels_.back();
        if (const auto identity = level.listing.identity()) {
            on_descent_.erase(*identity);
        }
        platform::close_listing(std::move(level.listing));
        levels_.pop_back();
        if (!levels_.empty()) {
            path_.resize(levels_.back().path_length);
        }
    }

    OsResult<void> visit(Upcoming& upcoming) {
        const DirectoryEntry& entry = upcoming.entry;
        auto type = upcoming.resolved_type ? OsResult<FileType>(*upcoming.resolved_type)
                                           : resolved_type(entry);
        if (!type) {
            const Omission omission = unknown_type_omission(entry, type.error());
            return leave_out(entry, omission, std::move(type).error());
        }
        if (*type == FileType::Directory) {
            if (should_hand_over_directory()) {
                const Level& level = levels_.back();
                pool_->give({.kind = WalkTask::Kind::Directory,
                             .directory_path = path_,
                             .entry = entry,
                             .ancestry = level.ancestry,
                             .depth = level.depth});
                return {};
            }
            return descend(entry);
        }
        if (*type != FileType::RegularFile) {
            return leave_out(entry, Omission::SpecialFile);
        }
        if (policy_.unicode_paths_only &&
            !platform::path_as_unicode(platform::join_path(path_, entry.name))) {
            return leave_out(entry, Omission::NotUnicode);
        }
        // Only while this walk keeps work of its own: the last file of a
        // task, handed on, would leave this worker idle to take it back, and
        // idle workers would pass it round without end.
        if (pool_ != nullptr && pool_->wants_work() && (!upcoming_.empty() || !levels_.empty())) {
            // Handed over as the regular file it was found to be: asked
            // again, a link could by then lead to a directory, which a list
            // of files has no place to walk.
            upcoming.resolved_type = FileType::RegularFile;
            hand_over_files(std::move(upcoming));
            return {};
        }
        upcoming.place.give_back();
        return read_file(entry, std::move(upcoming.opened));
    }

    // A worker waits for work while this walk is below a directory it has not
    // listed to its end: the rest of the oldest such listing, the largest
    // part of the tree left here, goes to that worker in one handover. Handing
    // over only the next file or directory would keep a worker that finishes
    // its task quickly coming back for one small piece at a time.
    void hand_over_oldest_listing() {
        if (pool_ == nullptr || levels_.size() < 2 || !pool_->wants_work() ||
            levels_.front().depth > DEEPEST_HANDED_OVER) {
            return;
        }
        // The directory stays in `on_descent_`: this walk is still below it.
        Level& oldest = levels_.front();
        pool_->give({.kind = WalkTask::Kind::Listing,
                     .directory_path = path_.substr(0, oldest.path_length),
                     .ancestry = std::move(oldest.ancestry),
                     .depth = oldest.depth,
                     .listing = std::move(oldest.listing)});
        levels_.erase(levels_.begin());
    }

    // A worker waits for work while this walk reads the files of a
    // directory: this file and about half of those taken ahead of it go to
    // that worker in one task. The worker is so kept busy until this walk has
    // met another entry and can hand over more, rather than waiting, after
    // each file, for this walk to finish its own.
    void hand_over_files(Upcoming first) {
        std::vector<Upcoming> files;
        files.push_back(std::move(first));
        const std::size_t share = upcoming_.size() / 2;
        while (files.size() <= share && !upcoming_.empty() &&
               read_ahead_passes(upcoming_.front().entry)) {
            files.push_back(std::move(upcoming_.front()));
            upcoming_.pop_front();
        }
        pool_->give(
            {.kind = WalkTask::Kind::Files, .directory_path = path_, .files = std::move(files)});
    }

    // A worker waits for work, and this directory has more entries after the
    // one about to be handed over, so that this walk stays busy meanwhile (a
    // chain of single directories would otherwise pass from worker to worker
    // at every level).
    bool should_hand_over_directory() {
        if (pool_ == nullptr || !pool_->wants_work() ||
            levels_.back().depth >= DEEPEST_HANDED_OVER) {
            return false;
        }
        return !upcoming_.empty() || listing_failure_ || take_one_ahead() ||
               listing_failure_.has_value();
    }

    // Reads a regular file, opened at its turn unless it was opened ahead.
    OsResult<void> read_file(const DirectoryEntry& entry,
                             std::optional<OsResult<FileHandle>> opened) {
        std::string path = platform::join_path(path_, entry.name);
        OsResult<FileHandle> file =
            opened ? std::move(*opened) : platform::open_entry_for_reading(entry);
        if (!file) {
            const Omission omission = unopened_file_omission(file.error());
            return leave_out(path, omission, std::move(file).error());
        }
        if (is_excluded(*file)) {
            return leave_out(path, Omission::Excluded);
        }
        auto digest = digest::digest_open_file(*file, read_buffer_, cancellation_);
        platform::close_file(std::move(*file));
        if (!digest) {
            return leave_out(path, Omission::UnreadableFile, std::move(digest).error());
        }
        policy_.add_file(path, *digest);
        return {};
    }

    OsResult<void> descend(const DirectoryEntry& entry) {
        auto below = platform::open_entry_listing(entry);
        if (!below) {
            // Gone, or no longer a directory, when it was opened: nothing was
            // below it at that moment, whatever stands under its name by now
            // (a directory renamed away and another renamed in). Any other
            // failure is the directory's own.
            const Omission omission =
                vanished(below.error()) ? Omission::Vanished : Omission::UnlistableDirectory;
            return leave_out(entry, omission, std::move(below).error());
        }
        // A directory the platform cannot identify is never taken for one
        // on the way down.
        if (const auto identity = below->identity(); identity && on_descent_.contains(*identity)) {
            return leave_out(entry, Omission::Loop);
        }
        platform::append_to_path(path_, entry.name);
        enter(std::move(*below));
        return {};
    }

    bool is_excluded(const FileHandle& file) const {
        if (!policy_.excluded_file) {
            return false;
        }
        const auto metadata = platform::query_open_file_metadata(file);
        return metadata && metadata->identity == policy_.excluded_file;
    }

    OsResult<void> leave_out(const DirectoryEntry& entry, Omission omission,
                             std::optional<OsError> error = std::nullopt) {
        return leave_out(platform::join_path(path_, entry.name), omission, std::move(error));
    }

    // Leaving an entry out is the policy's to judge when the entry is at
    // fault, never when the process ran out of something or the work was
    // interrupted: then the whole walk fails.
    OsResult<void> leave_out(std::string_view path, Omission omission,
                             std::optional<OsError> error = std::nullopt) {
        if (error && ends_every_walk(*error)) {
            return std::unexpected(std::move(*error));
        }
        return policy_.leave_out({path, omission, std::move(error)});
    }

    std::string path_;  // the text of the directory being listed
    WalkPolicy& policy_;
    platform::Cancellation& cancellation_;
    // Every file of the walk (of the worker's every task) is read through it.
    digest::ReadBuffer& read_buffer_;
    ReadAheadBudget& budget_;
    WorkPool* pool_;  // borrowed; null when walking alone
    std::vector<Level> levels_;
    // The directories on the way down, those above a task's included.
    std::unordered_set<FileIdentity, IdentityHash> on_descent_;
    // Where a task sits in the tree: the chain above its directory, and
    // that directory's parent's depth.
    Ancestry base_ancestry_;
    std::size_t base_depth_ = 0;
    // Entries of the deepest directory taken ahead of their turn, in listing
    // order; their open files close with them. Empty whenever the walk
    // descends or leaves, since reading ahead stops at a directory.
    std::deque<Upcoming> upcoming_;
    std::optional<OsError> listing_failure_;
};

// Tells the workers of one walk to stop: the first failure of any of them,
// or of the caller, ends the walk, and the others stop at their next step.
class WalkEnd {
  public:
    std::stop_token token() const noexcept { return stop_.get_token(); }

    void fail(OsError error) {
        {
            const std::scoped_lock lock(mutex_);
            if (!failure_ && !exception_) {
                failure_ = std::move(error);
            }
        }
        stop_.request_stop();
    }
    void fail(std::exception_ptr exception) {
        {
            const std::scoped_lock lock(mutex_);
            if (!failure_ && !exception_) {
                exception_ = std::move(exception);
            }
        }
        stop_.request_stop();
    }

    // A worker is done; the caller is told when the last one is.
    void worker_done() {
        const std::scoped_lock lock(mutex_);
        ++done_;
        all_done_.notify_all();
    }
    // Waits at most `interval` for every one of `workers` to be done.
    bool wait_for_workers(std::size_t workers, std::chrono::milliseconds interval) {
        std::unique_lock lock(mutex_);
        return all_done_.wait_for(lock, interval, [&] { return done_ == workers; });
    }

    // After every worker is done: the walk's outcome. An exception that ended
    // a worker is thrown again here, on the calling thread.
    OsResult<void> outcome() {
        const std::scoped_lock lock(mutex_);
        if (exception_) {
            std::rethrow_exception(exception_);
        }
        if (failure_) {
            return std::unexpected(std::move(*failure_));
        }
        return {};
    }

    // Stops the workers when it goes, before they are joined.
    class StopOnExit {
      public:
        explicit StopOnExit(WalkEnd& end) noexcept : end_(end) {}
        StopOnExit(const StopOnExit&) = delete;
        StopOnExit& operator=(const StopOnExit&) = delete;
        ~StopOnExit() { end_.stop_.request_stop(); }

      private:
        WalkEnd& end_;
    };

  private:
    std::stop_source stop_;
    std::mutex mutex_;
    std::condition_variable all_done_;
    std::optional<OsError> failure_;  // guarded by mutex_
    std::exception_ptr exception_;    // guarded by mutex_
    std::size_t done_ = 0;            // guarded by mutex_
};

std::optional<OsError> stop_requested(void* token) {
    if (static_cast<const std::stop_token*>(token)->stop_requested()) {
        return OsError::simple(platform::ErrorKind::OperationInterrupted);
    }
    return std::nullopt;
}

// One worker: the top of the tree first (worker 0), then whatever tasks the
// others hand over, until the walk is over or stopped.
void work(std::size_t index, std::string_view directory_path, WalkPolicy& policy,
          ReadAheadBudget& budget, WorkPool& pool, WalkEnd& end) {
    // An exception cannot leave a thread: it is carried to the calling
    // thread, which throws it again there.
    try {
        const std::stop_token stop = end.token();
        platform::Cancellation stopped(stop_requested, const_cast<std::stop_token*>(&stop), 0);
        digest::ReadBuffer read_buffer;
        if (index == 0) {
            if (auto walked = TreeWalk(directory_path, policy, stopped, read_buffer, budget, &pool)
                                  .run_from_top();
                !walked) {
                end.fail(std::move(walked).error());
                return;
            }
        }
        while (auto task = pool.take()) {
            TreeWalk walk(task->directory_path, policy, stopped, read_buffer, budget, &pool);
            if (auto walked = walk.run_task(*task); !walked) {
                end.fail(std::move(walked).error());
                return;
            }
        }
    } catch (...) {
        end.fail(std::current_exception());
    }
}

}  // namespace

bool ends_every_walk(const OsError& error) noexcept {
    return platform::exhausts_resources(error) ||
           platform::error_kind(error) == platform::ErrorKind::OperationInterrupted;
}

OsResult<void> walk_directory(std::string_view directory_path, WalkPolicy& policy,
                              platform::Cancellation& cancellation) {
    if (!platform::is_directory(directory_path)) {
        return {};
    }
    digest::ReadBuffer read_buffer;
    ReadAheadBudget budget(platform::read_ahead_window());
    return TreeWalk(directory_path, policy, cancellation, read_buffer, budget).run_from_top();
}

OsResult<void> walk_directory_with_workers(std::string_view directory_path,
                                           std::span<WalkPolicy* const> policies,
                                           platform::Cancellation& cancellation) {
    if (policies.size() == 1) {
        return walk_directory(directory_path, *policies.front(), cancellation);
    }
    if (!platform::is_directory(directory_path)) {
        return {};
    }
    ReadAheadBudget budget(platform::read_ahead_window());
    WalkEnd end;
    WorkPool pool(policies.size(), end.token());
    std::vector<std::jthread> workers;
    workers.reserve(policies.size());
    // However this returns, the workers stop before they are joined.
    const WalkEnd::StopOnExit stop_on_exit(end);
    {
        // Signals go to the calling thread, which runs their handlers; the
        // workers start with them blocked and keep them so.
        const platform::SignalsBlocked blocked;
        for (std::size_t index = 0; index < policies.size(); ++index) {
            // A thread that cannot be started stops those that were; the
            // walk then fails as the system said, or as the exception says.
            try {
                workers.emplace_back([&, index] {
                    work(index, directory_path, *policies[index], budget, pool, end);
                    end.worker_done();
                });
            } catch (const std::system_error& error) {
                end.fail(OsError::from_os_code(error.code().value()));
            } catch (...) {
                end.fail(std::current_exception());
            }
            if (workers.size() <= index) {
                for (std::size_t missing = index; missing < policies.size(); ++missing) {
                    end.worker_done();
                }
                break;
            }
        }
    }
    // The caller waits detached, asking its cancellation between waits, so
    // Ctrl-C stops every worker within a wait and a step of theirs.
    while (!end.wait_for_workers(policies.size(), CALLER_WAIT)) {
        if (auto go_on = cancellation.check(); !go_on) {
            end.fail(std::move(go_on).error());
        }
    }
    workers.clear();
    return end.outcome();
}

}  // namespace driftmoor::manifest
