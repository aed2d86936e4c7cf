#include "walk/work_pool.h"

namespace driftmoor::walk {

void WorkPool::count_hunger() noexcept {
    hungry_.store(
        static_cast<std::ptrdiff_t>(waiting_) - static_cast<std::ptrdiff_t>(tasks_.size()),
        std::memory_order_relaxed);
}

void WorkPool::give(WalkTask task) {
    {
        const std::scoped_lock lock(mutex_);
        tasks_.push_back(std::move(task));
        count_hunger();
    }
    changed_.notify_one();
}

void WorkPool::lose_worker() {
    const std::scoped_lock lock(mutex_);
    --workers_;
    if (waiting_ == workers_ && tasks_.empty()) {
        over_ = true;
        changed_.notify_all();
    }
}

std::optional<WalkTask> WorkPool::take() {
    std::unique_lock lock(mutex_);
    if (tasks_.empty() && !over_) {
        ++waiting_;
        if (waiting_ == workers_) {
            over_ = true;
            changed_.notify_all();
        }
        count_hunger();
        changed_.wait(lock, stop_, [this] { return !tasks_.empty() || over_; });
        --waiting_;
    }
    if (tasks_.empty() || stop_.stop_requested()) {
        count_hunger();
        return std::nullopt;
    }
    WalkTask task = std::move(tasks_.front());
    tasks_.pop_front();
    count_hunger();
    return task;
}

}  // namespace driftmoor::walk
