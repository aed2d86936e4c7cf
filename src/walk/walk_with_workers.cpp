// The walk with workers: the same walker on each of several threads, which
// hand each other work through one pool, and the calling thread waiting for
// them while it watches its own cancellation.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <stop_token>
#include <system_error>
#include <vector>

#include "digest/file_digest.h"
#include "platform/path_text.h"
#include "platform/read_ahead.h"
#include "platform/signals_blocked.h"
#include "platform/thread.h"
#include "walk/directory_walk.h"
#include "walk/read_ahead_budget.h"
#include "walk/tree_scope.h"
#include "walk/tree_walk.h"
#include "walk/walk_part.h"
#include "walk/work_pool.h"

namespace driftmoor::walk {
namespace {

using platform::OsError;
using platform::OsResult;

// How long the caller of a walk with workers waits between two looks at
// its cancellation: well inside the 20 ms at which a probe for signals is due.
constexpr std::chrono::milliseconds CALLER_WAIT{5};

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

// What a worker's stack must hold: the walk keeps its state on the heap (the
// stack of open listings, the files read ahead, the read buffer), so each
// step needs only a few KiB of stack, for the system calls' small buffers
// and the calls between them. Measured: workers on the smallest stacks the
// system allows (16 KiB) walked /usr/lib and /usr/share (120,000 files,
// links and all) and ran the walk's unit tests; eight times that leaves a
// wide margin, and a thousand workers fit in 128 MiB of address space.
constexpr std::size_t WORKER_STACK_SIZE = std::size_t{128} << 10;

// One worker: the first task of the walk first (the first worker started:
// the top of the tree, or the part's directory), then whatever tasks the
// others hand over, until the walk is over or stopped.
void work(bool takes_top, std::string_view directory_path, WalkTask* first, WalkPolicy& policy,
          const TreeScope& scope, ReadAheadBudget& budget, WorkPool& pool, WalkEnd& end) {
    // An exception cannot leave a thread: it is carried to the calling
    // thread, which throws it again there.
    try {
        const std::stop_token stop = end.token();
        platform::Cancellation stopped(stop_requested, const_cast<std::stop_token*>(&stop), 0);
        digest::ReadBuffer read_buffer;
        if (takes_top) {
            TreeWalk walk(directory_path, policy, scope, stopped, read_buffer, budget, &pool);
            if (auto walked = first != nullptr ? walk.run_task(*first) : walk.run_from_top();
                !walked) {
                end.fail(std::move(walked).error());
                return;
            }
        }
        while (auto task = pool.take()) {
            TreeWalk walk(task->directory_path, policy, scope, stopped, read_buffer, budget, &pool);
            if (auto walked = walk.run_task(*task); !walked) {
                end.fail(std::move(walked).error());
                return;
            }
        }
    } catch (...) {
        end.fail(std::current_exception());
    }
}

// Walks with one worker per policy, the first one starting from `first`
// (none: the top at `directory_path`); nullopt when not one worker could be
// started, for the caller to walk alone.
std::optional<OsResult<void>> walk_with_workers(std::string_view directory_path, WalkTask* first,
                                                const TreeScope& scope,
                                                std::span<WalkPolicy* const> policies,
                                                platform::Cancellation& cancellation,
                                                ReadAheadBudget& budget) {
    WalkEnd end;
    WorkPool pool(policies.size(), end.token());
    std::vector<platform::Thread> workers;
    workers.reserve(policies.size());
    // However this returns, the workers stop before they are joined.
    const WalkEnd::StopOnExit stop_on_exit(end);
    {
        // Signals go to the calling thread, which runs their handlers; the
        // workers start with them blocked and keep them so.
        const platform::SignalsBlocked blocked;
        for (std::size_t index = 0; index < policies.size(); ++index) {
            const bool takes_top = workers.empty();
            auto started = platform::Thread::start(WORKER_STACK_SIZE, [&, index, takes_top] {
                work(takes_top, directory_path, first, *policies[index], scope, budget, pool, end);
                end.worker_done();
            });
            if (started) {
                workers.push_back(std::move(*started));
                continue;
            }
            // The system gave no more threads (a limit on threads, or on the
            // memory of their stacks): the walk goes on with the workers it
            // has, and those it does not have are done.
            for (std::size_t missing = index; missing < policies.size(); ++missing) {
                pool.lose_worker();
                end.worker_done();
            }
            break;
        }
    }
    if (workers.empty()) {
        return std::nullopt;
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

// Why the directory of a part is left out when its directory cannot be
// reached: as when the walk's own open of a directory fails.
Omission unreached_part_omission(const OsError& error) noexcept {
    const auto kind = platform::error_kind(error);
    return kind == platform::ErrorKind::EntityNotFound || kind == platform::ErrorKind::NotADirectory
               ? Omission::Vanished
               : Omission::UnlistableDirectory;
}

}  // namespace

OsResult<void> walk_directory_with_workers(std::string_view directory_path,
                                           std::span<WalkPolicy* const> policies,
                                           platform::Cancellation& cancellation) {
    ReadAheadBudget budget(platform::read_ahead_window());
    return walk_directory_with_workers(directory_path, policies, cancellation, budget);
}

OsResult<void> walk_directory_with_workers(std::string_view directory_path,
                                           std::span<WalkPolicy* const> policies,
                                           platform::Cancellation& cancellation,
                                           ReadAheadBudget& budget) {
    if (policies.size() == 1) {
        return walk_directory(directory_path, *policies.front(), cancellation, budget);
    }
    if (!platform::is_directory(directory_path)) {
        return {};
    }
    const TreeScope scope = scope_of(directory_path, policies.front()->bounds);
    if (auto walked =
            walk_with_workers(directory_path, nullptr, scope, policies, cancellation, budget)) {
        return std::move(*walked);
    }
    // Not one worker: the calling thread walks alone.
    return walk_directory(directory_path, *policies.front(), cancellation, budget);
}

OsResult<void> walk_part_with_workers(std::string_view top_path, const WalkPart& part,
                                      std::span<WalkPolicy* const> policies,
                                      platform::Cancellation& cancellation) {
    WalkPolicy& first_policy = *policies.front();
    auto entry = platform::entry_in_directory(part.directory_path, part.name);
    if (!entry) {
        OsError error = std::move(entry).error();
        if (ends_every_walk(error)) {
            return std::unexpected(std::move(error));
        }
        const Omission omission = unreached_part_omission(error);
        return first_policy.leave_out(
            {platform::join_path(part.directory_path, part.name), omission, std::move(error)});
    }
    Ancestry above;
    for (auto identity = part.above.rbegin(); identity != part.above.rend(); ++identity) {
        above = std::make_shared<const Ancestor>(*identity, std::move(above));
    }
    WalkTask task{.kind = WalkTask::Kind::Directory,
                  .directory_path = part.directory_path,
                  .entry = std::move(*entry),
                  .through_link = part.through_link,
                  .ancestry = std::move(above),
                  .depth = part.depth};
    // The bounds are the whole tree's: its top is looked at here again, as
    // on every machine that takes a part of it.
    const TreeScope scope = scope_of(top_path, first_policy.bounds);
    ReadAheadBudget budget(platform::read_ahead_window());
    if (policies.size() > 1) {
        if (auto walked = walk_with_workers(part.directory_path, &task, scope, policies,
                                            cancellation, budget)) {
            return std::move(*walked);
        }
    }
    digest::ReadBuffer read_buffer;
    return TreeWalk(part.directory_path, first_policy, scope, cancellation, read_buffer, budget)
        .run_task(task);
}

}  // namespace driftmoor::walk
