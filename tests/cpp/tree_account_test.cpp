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
#include "tree/part_run.h"
#include "tree/run_merge.h"
#include "tree/tree_account.h"
#include "tree/tree_part.h"

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

// The tree at `root` walked as a cluster walks it: the top, then every
// directory handed back as a part of its own, each part walked by `jobs`
// workers and handing back what it meets once `most_work` is done; the
// parts' runs merged.
Found account_in_parts(const std::string& root, std::size_t jobs, std::uint64_t most_work) {
    Found found;
    RunMerge merge;
    std::vector<std::optional<walk::WalkPart>> parts{std::nullopt};
    while (!parts.empty()) {
        const std::optional<walk::WalkPart> part = std::move(parts.back());
        parts.pop_back();
        alignas(std::uint64_t) std::uint64_t counts[2] = {};
        PartBound bound(most_work, UINT64_MAX, counts[0], counts[1]);
        AccountOptions options;
        options.jobs = jobs;
        options.part = part ? &*part : nullptr;
        options.taker = &bound;
        options.files_done = &counts[0];
        options.bytes_done = &counts[1];
        platform::Cancellation never;
        auto account = account_tree(root, options, never);
        EXPECT_TRUE(account.has_value());
        if (!account) {
            return found;
        }
        const std::string directory =
            part ? platform::join_path(part->directory_path, part->name) : root;
        for (const tree::LeftOutEntry& entry : account->left_out) {
            found.left_out.emplace_back(entry.path, entry.omission);
        }
        EXPECT_TRUE(merge.add(directory, sorted_run(std::move(*account), directory)));
        for (walk::WalkPart& taken : bound.taken()) {
            parts.emplace_back(std::move(taken));
        }
    }
    std::string previous;
    merge.drain(std::nullopt, [&](std::string_view path, const unsigned char* bytes) {
        EXPECT_LT(previous, path);
        previous = path;
        digest::Sha256Digest digest;
        std::copy_n(bytes, digest.size(), digest.begin());
        found.files.emplace(path, digest::hex_encode(digest).text());
        return true;
    });
    std::ranges::sort(found.left_out);
    return found;
}

TEST_F(TreeAccountTest, PartsHandedBackFindWhatOneWalkFinds) {
    for (unsigned seed = 3; seed <= 4; ++seed) {
        fs::remove_all(top_);
        fs::create_directories(top_);
        random_tree(seed);
        const Found alone = account(root(), 1);
        ASSERT_GT(alone.files.size(), 100u);
        // Every directory a part of its own, or parts of a few dozen files.
        for (const std::uint64_t most_work : {0u, 40u}) {
            for (const std::size_t jobs : {1u, 3u}) {
                EXPECT_EQ(account_in_parts(root(), jobs, most_work), alone)
                    << "seed " << seed << ", " << jobs << " jobs, " << most_work << " work";
            }
        }
    }
}

TEST(RunMerge, GivesFilesInPathOrderUpToTheLimit) {
    const auto run = [](std::vector<std::string> names) {
        std::string made;
        for (const std::string& name : names) {
            const auto length = static_cast<std::uint32_t>(name.size());
            for (int shift = 0; shift < 32; shift += 8) {
                made.push_back(static_cast<char>((length >> shift) & 0xFF));
            }
            made += name;
            made.push_back(static_cast<char>(RUN_READ));
            made.append(32, name.empty() ? '-' : name.back());
        }
        return made;
    };
    RunMerge merge;
    // No second separator after one there (the one separator on every platform).
    ASSERT_TRUE(merge.add("t/", run({"a", "b/x", "c"})));
    ASSERT_TRUE(merge.add("t/b/", run({"w", "y"})));
    ASSERT_TRUE(merge.add("t/b/x", run({})));
    // Not runs: out of order, repeated, cut short, the directory beside others.
    EXPECT_FALSE(merge.add("t/d", run({"b", "a"})));
    EXPECT_FALSE(merge.add("t/d", run({"a", "a"})));
    EXPECT_FALSE(merge.add("t/d", run({"a"}).substr(0, 20)));
    EXPECT_FALSE(merge.add("t/d", run({"", "a"})));
    EXPECT_EQ(merge.held_files(), 5u);
    std::vector<std::string> given;
    const auto take = [&](std::optional<std::string_view> limit) {
        merge.drain(limit, [&](std::string_view path, const unsigned char* digest) {
            // Each digest came with its own name: a tree of one file has none.
            EXPECT_EQ(digest[0], path == "t/e" ? '-' : static_cast<unsigned char>(path.back()));
            given.emplace_back(path);
            return true;
        });
    };
    take("t/b/");  // a part of t/b may still give anything below it
    EXPECT_EQ(given, (std::vector<std::string>{"t/a"}));
    ASSERT_TRUE(merge.add("t/e", run({""})));  // a tree of one file
    take(std::nullopt);
    EXPECT_EQ(given, (std::vector<std::string>{"t/a", "t/b/w", "t/b/x", "t/b/y", "t/c", "t/e"}));
    EXPECT_EQ(merge.held_files(), 0u);
    EXPECT_EQ(merge.held_bytes(), 0u);
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
