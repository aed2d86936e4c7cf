// The tasks of one walk waiting for a worker, and the workers waiting for
// them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <stop_token>

#include "walk/walk_task.h"

namespace driftmoor::walk {

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
    bool wants_work() const noexcept { return hunger() > 0; }
    // How many workers wait beyond the tasks there are for them.
    std::ptrdiff_t hunger() const noexcept { return hungry_.load(std::memory_order_relaxed); }

    void give(WalkTask task);

    // One worker fewer than the pool was made for will ever take a task (its
    // thread could not be started).
    void lose_worker();

    // The next task, waiting for one; none once the walk is over (no task
    // left and every worker waiting) or stopped.
    std::optional<WalkTask> take();

  private:
    // Under the lock.
    void count_hunger() noexcept;

    std::size_t workers_;  // guarded by mutex_
    const std::stop_token stop_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<WalkTask> tasks_;  // guarded by mutex_
    std::size_t waiting_ = 0;     // guarded by mutex_
    bool over_ = false;           // guarded by mutex_
    // Workers waiting beyond the tasks there are for them.
    std::atomic<std::ptrdiff_t> hungry_ = 0;
};

}  // namespace driftmoor::walk
