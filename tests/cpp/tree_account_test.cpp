// The account of a tree with workers: the same as one walk's, whatever the
// number of workers and the order they run in, and stopped as one.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/path_text.h"
#include "tree/tree_account.h"

namespace driftmoor::tree {
namespace {

namespace fs = std::filesystem;

// What an account found, in an order that does not depend on the walk's.
struct Found {
    std::map<std::string, std::string> files;
    std::vector<std::pair<std::string, walk::Omission>> left_out;
    friend bool operator==(const Found&, const Found&) = default;
};

platform::OsResult<Found> account(const std::string& root, std::size_t jobs,
                                  platform::Cancellation& cancellation) {
    AccountOptions options;
    options.jobs = jobs;
    auto account = account_tree(root, options, cancellation);
    if (!account) {
        return std::unexpected(std::move(account).error());
    }
    Found found;
    account->files.consume([&](const walk::FileRecord& record) {
        EXPECT_TRUE(found.files.emplace(record.key(), record.digest().text()).second);
        return true;
    });
    EXPECT_EQ(found.files.size(), account->file_count);
    for (const tree::LeftOutEntry& entry : account->left_out) {
        found.left_out.emplace_back(entry.path, entry.omission);
    }
    std::ranges::sort(found.left_out);
    return found;
}

Found account(const std::string& root, std::size_t jobs) {
    platform::Cancellation never;
    auto found = account(root, jobs, never);
    EXPECT_TRUE(found.has_value()) << platform::error_text(found.error());
    return found.value_or(Found{});
}

class TreeAccountTest : public ::testing::Test {
  protected:
    void SetUp() override {
        top_ = fs::temp_directory_path() / "driftmoor-tree-account";
        top_ += std::to_string(std::random_device{}());
        fs::create_directories(top_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(top_, ignored);
    }

    std::string root() const { return top_.string(); }

    static void write(const fs::path& path, std::size_t size) {
        std::ofstream(path, std::ios::binary)
            << std::string(size, static_cast<char>('a' + size % 26));
    }

    // Directories up to six deep with files in them, and, where the system
    // has them, links: back up the tree (loops), across it (diamonds), to
    // files and to nothing.
    void random_tree(unsigned seed) {
        std::mt19937 random(seed);
        std::vector<fs::path> directories{top_};
        std::vector<fs::path> files;
        const auto depth = [](const fs::path& path) {
            return std::distance(path.begin(), path.end());
        };
        for (int step = 0; step < 600; ++step) {
            const fs::path& parent = directories[random() % directories.size()];
            fs::path path = parent / "e";
            path += std::to_string(step);
            const unsigned kind = random() % 20;
            if (kind < 4 && depth(parent) - depth(top_) < 6) {
                fs::create_directory(path);
                directories.push_back(path);
            } else if (kind < 17) {
                write(path, random() % 5000);
                files.push_back(path);
            } else {
#ifndef _WIN32
                if (kind == 17) {
                    fs::create_directory_symlink(directories[random() % directories.size()], path);
                } else if (kind == 18 && !files.empty()) {
                    fs::create_symlink(files[random() % files.size()], path);
                } else {
                    fs::create_symlink(top_ / "nowhere", path);
                }
#endif
            }
        }
    }

    fs::path top_;
};

TEST_F(TreeAccountTest, WorkersFindWhatOneWalkFinds) {
    for (unsigned seed = 1; seed <= 2; ++seed) {
        fs::remove_all(top_);
        fs::create_directories(top_);
        random_tree(seed);
        const Found alone = account(root(), 1);
        ASSERT_GT(alone.files.size(), 100u);
        for (std::size_t jobs = 2; jobs <= 8; ++jobs) {
            EXPECT_EQ(account(root(), jobs), alone) << "seed " << seed << ", " << jobs << " jobs";
        }
    }
}

TEST_F(TreeAccountTest, FilesOfOneDirectoryAreSharedOut) {
    for (int index = 0; index < 2000; ++index) {
        write(top_ / std::to_string(index), static_cast<std::size_t>(index));
    }
    const Found alone = account(root(), 1);
    ASSERT_EQ(alone.files.size(), 2000u);
    for (std::size_t jobs : {2u, 3u, 8u}) {
        EXPECT_EQ(account(root(), jobs), alone) << jobs << " jobs";
    }
}

// Ends the work at its third look.
std::optional<platform::OsError> third_look_stops(void* looks) {
    if (++*static_cast<int*>(looks) < 3) {
        return std::nullopt;
    }
    return platform::OsError::static_message(platform::ErrorKind::TimedOut, "stopped by the test");
}

TEST_F(TreeAccountTest, TheCallersCancellationStopsEveryWorker) {
    for (int directory = 0; directory < 40; ++directory) {
        fs::create_directory(top_ / std::to_string(directory));
        for (int index = 0; index < 50; ++index) {
            write(top_ / std::to_string(directory) / std::to_string(index), 20000);
        }
    }
    for (std::size_t jobs : {1u, 4u}) {
        int looks = 0;
        platform::Cancellation cancellation(third_look_stops, &looks, 0);
        const auto found = account(root(), jobs, cancellation);
        ASSERT_FALSE(found.has_value()) << jobs << " jobs";
        EXPECT_EQ(platform::error_text(found.error()), "stopped by the test");
    }
}

}  // namespace
}  // namespace driftmoor::tree
