// Files opened ahead of their turns: every place of the budget that a walk
// takes is given back exactly once, so that reading ahead stays on for the
// whole walk and the next one, whatever the tree holds and however many
// workers walk it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "walk/directory_walk.h"
#include "walk/read_ahead_budget.h"

namespace driftmoor::walk {
namespace {

namespace fs = std::filesystem;

// Watches the budget from inside the walk: a place given back twice makes
// the count of places held wrap round, above any capacity.
class BudgetWatch final : public WalkPolicy {
  public:
    explicit BudgetWatch(const ReadAheadBudget& budget) : budget_(budget) {
        unicode_paths_only = false;
    }

    void add_file(std::string_view, const digest::Sha256Digest&, const walk::ReadStatus*) override {
        look();
    }
    platform::OsResult<void> leave_out(LeftOut) override {
        look();
        return {};
    }

    std::size_t most_held = 0;
    bool over_capacity = false;

  private:
    void look() {
        const std::size_t held = budget_.held();
        most_held = std::max(most_held, held);
        over_capacity = over_capacity || held > budget_.capacity();
    }
    const ReadAheadBudget& budget_;
};

void files(const fs::path& directory, int count) {
    fs::create_directories(directory);
    for (int index = 0; index < count; ++index) {
        std::ofstream(directory / std::to_string(index)) << index;
    }
}

class ReadAheadTest : public ::testing::TestWithParam<std::size_t> {
  protected:
    void SetUp() override {
        top_ = fs::temp_directory_path() / "driftmoor-read-ahead";
        top_ += std::to_string(std::random_device{}());
        fs::create_directories(top_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(top_, ignored);
    }

    fs::path top_;
};

constexpr std::size_t CAPACITY = 16;

// Each tree with the entries a walk meets between the files it opens ahead.
struct Shape {
    const char* name;
    void (*make)(const fs::path&);
};

TEST_P(ReadAheadTest, EveryPlaceIsGivenBackOnce) {
    const std::size_t jobs = GetParam();
    const Shape shapes[] = {
        {"one directory of files", [](const fs::path& top) { files(top, 300); }},
        {"files beside directories",
         [](const fs::path& top) {
             for (int directory = 0; directory < 12; ++directory) {
                 files(top / (std::to_string(directory) + ".d"), 40);
                 files(top / (std::to_string(directory) + ".d") / "below", 20);
             }
             files(top, 30);
         }},
#ifndef _WIN32
        {"files among entries left out",
         [](const fs::path& top) {
             files(top, 100);
             for (int index = 0; index < 20; ++index) {
                 const std::string name = std::to_string(index);
                 ::mkfifo((top / (name + ".fifo")).c_str(), 0600);
                 fs::create_symlink(top / "nowhere", top / (name + ".dangling"));
                 // Opens, then fails on its first read.
                 fs::create_symlink("/proc/self/mem", top / (name + ".failing"));
             }
         }},
#endif
    };
    for (const Shape& shape : shapes) {
        fs::remove_all(top_);
        fs::create_directories(top_);
        shape.make(top_);
        ReadAheadBudget budget(CAPACITY);
        std::vector<std::unique_ptr<BudgetWatch>> watches;
        std::vector<WalkPolicy*> policies;
        for (std::size_t job = 0; job < jobs; ++job) {
            policies.push_back(watches.emplace_back(std::make_unique<BudgetWatch>(budget)).get());
        }
        platform::Cancellation never;
        // Twice through the same budget: what one walk leaves held, the next
        // one cannot use.
        for (int walk = 0; walk < 2; ++walk) {
            ASSERT_TRUE(walk_directory_with_workers(top_.string(), policies, never, budget))
                << shape.name;
            EXPECT_EQ(budget.held(), 0u) << shape.name << ", walk " << walk;
            EXPECT_EQ(budget.capacity(), CAPACITY) << shape.name << ", walk " << walk;
        }
        std::size_t most_held = 0;
        for (const auto& watch : watches) {
            EXPECT_FALSE(watch->over_capacity) << shape.name;
            most_held = std::max(most_held, watch->most_held);
        }
        // Reading ahead was on: files were held open ahead of their turns.
        EXPECT_GT(most_held, 0u) << shape.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Jobs, ReadAheadTest, ::testing::Values(1, 2, 4));

}  // namespace
}  // namespace driftmoor::walk
