// What a worker hands over, and when: the pool's own rules (a worker that
// waits makes the others hand work over; the walk is over when every worker
// waits with nothing left), and the walker's (the rest of the oldest open
// listing, a directory with entries after it, the next file and about half
// of those opened ahead, and never the last file of a task).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "walk/tree_walk.h"
#include "walk/work_pool.h"

namespace driftmoor::walk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Waits until the pool has `workers` waiting beyond the tasks there are.
void await_hunger(const WorkPool& pool, std::ptrdiff_t workers = 1) {
    for (int look = 0; look < 10000 && pool.hunger() < workers; ++look) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(pool.hunger(), workers);
}

WalkTask files_task(std::string directory) {
    return {.kind = WalkTask::Kind::Files, .directory_path = std::move(directory)};
}

TEST(WorkPoolTest, TasksAreTakenInTheOrderGiven) {
    std::stop_source stop;
    WorkPool pool(1, stop.get_token());
    pool.give(files_task("first"));
    pool.give(files_task("second"));
    EXPECT_EQ(pool.take()->directory_path, "first");
    EXPECT_EQ(pool.take()->directory_path, "second");
    // The only worker waits with nothing left: the walk is over.
    EXPECT_FALSE(pool.take().has_value());
}

TEST(WorkPoolTest, WorkersWaitingBeyondTheTasksAskForWork) {
    std::stop_source stop;
    WorkPool pool(3, stop.get_token());
    EXPECT_FALSE(pool.wants_work());
    std::vector<std::string> taken(2);
    {
        std::jthread first(
            [&] { taken[0] = pool.take().value_or(files_task("none")).directory_path; });
        std::jthread second(
            [&] { taken[1] = pool.take().value_or(files_task("none")).directory_path; });
        await_hunger(pool, 2);
        pool.give(files_task("one"));
        // One worker still waits for a task of its own.
        EXPECT_TRUE(pool.wants_work());
        pool.give(files_task("two"));
    }
    EXPECT_FALSE(pool.wants_work());
    EXPECT_EQ(std::set<std::string>(taken.begin(), taken.end()),
              (std::set<std::string>{"one", "two"}));
}

TEST(WorkPoolTest, TheWalkIsOverWhenEveryWorkerWaits) {
    std::stop_source stop;
    WorkPool pool(3, stop.get_token());
    std::vector<std::jthread> workers;
    std::atomic<int> ended = 0;
    for (int worker = 0; worker < 3; ++worker) {
        workers.emplace_back([&] {
            EXPECT_FALSE(pool.take().has_value());
            ++ended;
        });
    }
    workers.clear();
    EXPECT_EQ(ended, 3);
}

TEST(WorkPoolTest, AStopWakesTheWaitingWorkers) {
    std::stop_source stop;
    WorkPool pool(2, stop.get_token());
    std::jthread waiting([&] { EXPECT_FALSE(pool.take().has_value()); });
    await_hunger(pool);
    stop.request_stop();
    waiting.join();
    // A task given after the stop is not taken either.
    pool.give(files_task("late"));
    EXPECT_FALSE(pool.take().has_value());
}

// Every file it is given, by name.
class Names final : public WalkPolicy {
  public:
    void add_file(std::string_view path, const digest::Sha256Digest&,
                  const walk::ReadStatus*) override {
        read.insert(fs::path(std::string(path)).filename().string());
    }
    platform::OsResult<void> leave_out(LeftOut) override { return {}; }
    std::set<std::string> read;
};

// A pool of two workers whose second worker waits for work from the start,
// takes the first task handed over and keeps it.
class HungryPool {
  public:
    HungryPool() : taker_([this] { task_ = pool_.take(); }) { await_hunger(pool_); }
    HungryPool(const HungryPool&) = delete;
    HungryPool& operator=(const HungryPool&) = delete;
    ~HungryPool() { stop_.request_stop(); }

    WorkPool& pool() { return pool_; }

    // What the second worker took, once the walk beside it is over; an empty
    // Files task if nothing was handed over.
    WalkTask task() {
        if (pool_.wants_work()) {
            stop_.request_stop();  // still hungry: nothing came
        }
        taker_.join();
        EXPECT_TRUE(task_.has_value()) << "nothing was handed over";
        return task_ ? std::move(*task_) : files_task("none");
    }

  private:
    std::stop_source stop_;
    WorkPool pool_{2, stop_.get_token()};
    std::optional<WalkTask> task_;
    std::jthread taker_;
};

class HandOverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        top_ = fs::temp_directory_path() / "driftmoor-hand-over";
        top_ += std::to_string(std::random_device{}());
        fs::create_directories(top_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(top_, ignored);
    }

    static std::set<std::string> write_files(const fs::path& directory, int count) {
        fs::create_directories(directory);
        std::set<std::string> names;
        for (int index = 0; index < count; ++index) {
            std::ofstream(directory / std::to_string(index)) << index;
            names.insert(std::to_string(index));
        }
        return names;
    }

    // Walks the top with a second, hungry worker that takes the first task
    // handed over: what the walk read itself, and that task.
    std::pair<std::set<std::string>, WalkTask> walk_beside_a_taker() {
        HungryPool hungry;
        Names names;
        EXPECT_TRUE(TreeWalk(top_.string(), names, scope_, never_, buffer_, budget_, &hungry.pool())
                        .run_from_top());
        return {names.read, hungry.task()};
    }

    fs::path top_;
    TreeScope scope_;
    platform::Cancellation never_;
    digest::ReadBuffer buffer_;
    ReadAheadBudget budget_{16};
};

std::set<std::string> names_of(const WalkTask& task) {
    std::set<std::string> names;
    for (const Upcoming& file : task.files) {
        names.insert(file.entry.name);
    }
    return names;
}

TEST_F(HandOverTest, TheNextFileAndHalfOfThoseOpenedAheadGoTogether) {
    const auto all = write_files(top_, 40);
    auto [read, task] = walk_beside_a_taker();
    ASSERT_EQ(task.kind, WalkTask::Kind::Files);
    const auto handed = names_of(task);
    // The first file met and half of the fifteen read ahead behind it.
    EXPECT_EQ(handed.size(), 1 + (budget_.capacity() - 1) / 2);
    std::set<std::string> together = read;
    together.insert(handed.begin(), handed.end());
    EXPECT_EQ(together.size(), read.size() + handed.size()) << "a file both read and handed over";
    EXPECT_EQ(together, all);
    EXPECT_EQ(budget_.held(), handed.size()) << "only the handed files hold places";
}

TEST_F(HandOverTest, TheLastFileOfATaskIsReadByItsWorker) {
    write_files(top_, 40);
    auto [read, first] = walk_beside_a_taker();
    ASSERT_EQ(first.kind, WalkTask::Kind::Files);
    const auto handed = names_of(first);
    const std::string last = first.files.back().entry.name;
    ASSERT_GT(handed.size(), 2u);
    // That task taken by a worker while another waits: it hands on a share,
    // and never the file it would be left without.
    HungryPool hungry;
    Names names;
    TreeWalk worker(first.directory_path, names, scope_, never_, buffer_, budget_, &hungry.pool());
    ASSERT_TRUE(worker.run_task(first));
    auto second = hungry.task();
    const auto handed_on = names_of(second);
    EXPECT_FALSE(handed_on.empty());
    EXPECT_TRUE(names.read.contains(last));
    std::set<std::string> together = names.read;
    together.insert(handed_on.begin(), handed_on.end());
    EXPECT_EQ(together, handed);

    // A task of one file is read where it is, however hungry the others.
    Names alone;
    HungryPool waiting;
    WalkTask single = files_task(first.directory_path);
    single.files.push_back(std::move(second.files.front()));
    ASSERT_TRUE(
        TreeWalk(single.directory_path, alone, scope_, never_, buffer_, budget_, &waiting.pool())
            .run_task(single));
    EXPECT_EQ(alone.read.size(), 1u);
    EXPECT_TRUE(waiting.pool().wants_work());
}

TEST_F(HandOverTest, TheRestOfTheOldestListingGoesOnceTheWalkIsBelowIt) {
    // The top's one directory has nothing after it: the walk goes down,
    // and the top's listing, still open above it, is what it hands over.
    const auto below = write_files(top_ / "only", 10);
    auto [read, task] = walk_beside_a_taker();
    EXPECT_EQ(task.kind, WalkTask::Kind::Listing);
    EXPECT_EQ(task.directory_path, top_.string());
    EXPECT_TRUE(task.listing.has_value());
    EXPECT_EQ(read, below);
}

TEST_F(HandOverTest, ADirectoryGoesWhenEntriesFollowIt) {
    const auto first = write_files(top_ / "a", 5);
    const auto second = write_files(top_ / "b", 7);
    auto [read, task] = walk_beside_a_taker();
    ASSERT_EQ(task.kind, WalkTask::Kind::Directory);
    // The directory met first went; the walk read the other one.
    EXPECT_EQ(read, task.entry.name == "a" ? second : first);
}

}  // namespace
}  // namespace driftmoor::walk
