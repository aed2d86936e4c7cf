// How many files a walk holds open ahead of their turn, shared by all the
// workers of one walk, and one place of it held by one file.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace driftmoor::walk {

// The number of files a walk may hold open ahead: a share of the descriptors
// the process may open, whether one thread or many walk. It shrinks when
// descriptors run short, and never grows back within the walk.
class ReadAheadBudget {
  public:
    explicit ReadAheadBudget(std::size_t capacity) noexcept : capacity_(capacity) {}
    ReadAheadBudget(const ReadAheadBudget&) = delete;
    ReadAheadBudget& operator=(const ReadAheadBudget&) = delete;

    // How many files may be held ahead at most.
    std::size_t capacity() const noexcept { return capacity_.load(std::memory_order_relaxed); }
    // How many are held now: none once every file opened ahead was taken or
    // dropped, as at the end of every walk.
    std::size_t held() const noexcept { return held_.load(std::memory_order_relaxed); }

    // Takes one place; false when every place is taken.
    bool try_take() noexcept {
        std::size_t held = held_.load(std::memory_order_relaxed);
        do {
            if (held >= capacity()) {
                return false;
            }
        } while (!held_.compare_exchange_weak(held, held + 1, std::memory_order_relaxed));
        return true;
    }
    void give_back() noexcept { held_.fetch_sub(1, std::memory_order_relaxed); }

    // Descriptors ran short while files were held ahead: from now on hold at
    // most half as many as are held now.
    void shrink() noexcept {
        capacity_.store(held_.load(std::memory_order_relaxed) / 2, std::memory_order_relaxed);
    }

  private:
    std::atomic<std::size_t> capacity_;
    std::atomic<std::size_t> held_ = 0;
};

// One place of a budget, held by a file opened ahead until the file is taken
// for reading or dropped. Move-only; gives its place back exactly once.
class BudgetPlace {
  public:
    BudgetPlace() noexcept = default;
    explicit BudgetPlace(ReadAheadBudget& budget) noexcept : budget_(&budget) {}
    BudgetPlace(BudgetPlace&& other) noexcept : budget_(std::exchange(other.budget_, nullptr)) {}
    BudgetPlace& operator=(BudgetPlace&& other) noexcept {
        BudgetPlace taken(std::move(other));
        std::swap(budget_, taken.budget_);
        return *this;
    }
    BudgetPlace(const BudgetPlace&) = delete;
    BudgetPlace& operator=(const BudgetPlace&) = delete;
    ~BudgetPlace() { give_back(); }

    void give_back() noexcept {
        if (budget_ != nullptr) {
            std::exchange(budget_, nullptr)->give_back();
        }
    }

  private:
    ReadAheadBudget* budget_ = nullptr;  // borrowed; null once given back
};

}  // namespace driftmoor::walk
