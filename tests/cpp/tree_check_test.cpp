// What a check and a comparison of two manifests say of each path, in the
// order of the paths' bytes: which missing and added files are one file
// moved, and that a tree's findings do not depend on how many workers
// walked it.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "digest/sha256.h"
#include "platform/cancellation.h"
#include "platform/path_text.h"
#include "tree/listed_manifest.h"
#include "tree/tree_check.h"

namespace driftmoor::tree {
namespace {

namespace fs = std::filesystem;

std::string hex_digest_of(std::string_view content) {
    digest::Sha256State state = digest::sha256_init();
    digest::sha256_update(state,
                          {reinterpret_cast<const std::uint8_t*>(content.data()), content.size()});
    std::string text;
    for (const std::uint8_t byte : digest::sha256_finalize(state)) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 15];
    }
    return text;
}

// A manifest listing each (path, content) by the digest of the content.
ListedManifest manifest_of(const std::vector<std::pair<std::string, std::string>>& files) {
    ListedManifest listed;
    for (const auto& [path, content] : files) {
        EXPECT_FALSE(listed.read(hex_digest_of(content) + "  " + path + "\n")) << path;
    }
    EXPECT_FALSE(listed.finish_reading());
    EXPECT_FALSE(listed.seal());
    return listed;
}

// One finding as the report words it: "state path", and " -> path" moved.
using Said = std::vector<std::string>;

const char* word(PathState state) {
    switch (state) {
        case PathState::Ok:
            return "ok";
        case PathState::Changed:
            return "changed";
        case PathState::Damaged:
            return "damaged";
        case PathState::Moved:
            return "moved";
        case PathState::Missing:
            return "missing";
        case PathState::Added:
            return "added";
        case PathState::Unreadable:
            return "unreadable";
        case PathState::PassedOver:
            return "passed over";
    }
    return "?";
}

Said said(const Findings& findings, std::string_view dropped_start = {}) {
    Said lines;
    std::uint64_t counted = 0;
    for (std::size_t state = 0; state < PATH_STATE_COUNT; ++state) {
        counted += findings.count(static_cast<PathState>(state));
    }
    Findings::Cursor cursor;
    while (const auto finding = findings.next(cursor)) {
        std::string line = std::string(word(finding->state)) + " " +
                           std::string(finding->path.substr(dropped_start.size()));
        if (finding->state == PathState::Moved) {
            line += " -> " + std::string(finding->moved_to.substr(dropped_start.size()));
        }
        lines.push_back(line);
    }
    EXPECT_EQ(counted, lines.size()) << "the counts disagree with the findings";
    EXPECT_EQ(findings.size(), lines.size());
    return lines;
}

TEST(CompareManifests, EachPathOnceInByteOrderWithMovesPairedOneToOne) {
    using Files = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char* what;
        Files old_files;
        Files new_files;
        Said expected;
    };
    const Case cases[] = {
        {"the same", {{"a", "1"}, {"b", "2"}}, {{"b", "2"}, {"a", "1"}}, {"ok a", "ok b"}},
        {"changed, missing, added",
         {{"a", "1"}, {"b", "2"}},
         {{"a", "x"}, {"c", "3"}},
         {"changed a", "missing b", "added c"}},
        {"renamed: told once, at the old path", {{"z", "1"}}, {{"a", "1"}}, {"moved z -> a"}},
        {"two gone with one content: neither moved",
         {{"a", "1"}, {"b", "1"}},
         {{"c", "1"}},
         {"missing a", "missing b", "added c"}},
        {"one gone, two new with its content: neither moved",
         {{"a", "1"}},
         {{"b", "1"}, {"c", "1"}},
         {"missing a", "added b", "added c"}},
        {"a content that stays does not stop a move",
         {{"a", "1"}, {"b", "1"}},
         {{"a", "1"}, {"c", "1"}},
         {"ok a", "moved b -> c"}},
        {"a changed file's new content is no move",
         {{"a", "1"}, {"b", "2"}},
         {{"a", "2"}},
         {"changed a", "missing b"}},
        {"names by their bytes, not their text",
         {{"caf\xc3\xa9", "1"}, {"caf\xa9", "2"}, {"cafe", "3"}},
         {{"caf\xc3\xa9", "1"}, {"caf\xa9", "2"}, {"cafe", "3"}},
         {"ok cafe", "ok caf\xa9", "ok caf\xc3\xa9"}},
        {"two moves and a swap of contents",
         {{"a", "1"}, {"b", "2"}, {"m", "3"}, {"n", "4"}},
         {{"a", "2"}, {"b", "1"}, {"x", "3"}, {"y", "4"}},
         {"changed a", "changed b", "moved m -> x", "moved n -> y"}},
    };
    for (const Case& test : cases) {
        const auto findings =
            compare_manifests(manifest_of(test.old_files), manifest_of(test.new_files));
        EXPECT_EQ(said(*findings), test.expected) << test.what;
    }
}

class TreeCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        top_ = fs::temp_directory_path() / "driftmoor-tree-check";
        top_ += std::to_string(std::random_device{}());
        fs::create_directories(top_ / "sub");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(top_, ignored);
    }

    std::string root() const { return top_.string() + "/"; }

    void write(const std::string& path, const std::string& content) const {
        std::ofstream(root() + path, std::ios::binary) << content;
    }

    Said check(ListedManifest listed, std::size_t jobs) const {
        CheckPlan plan;
        plan.listed_start = plan.checked_start = plan.walked_start = root();
        plan.tree = root();
        plan.walk.jobs = jobs;
        platform::Cancellation never;
        auto findings = check_tree(std::move(listed), plan, std::nullopt, never);
        EXPECT_TRUE(findings.has_value()) << platform::error_text(findings.error());
        return findings ? said(**findings, root()) : Said{};
    }

    fs::path top_;
};

TEST_F(TreeCheckTest, FindingsAreTheSameForAnyNumberOfWorkers) {
    // Listed as written, absolute; on disk as the tree now is.
    const std::vector<std::pair<std::string, std::string>> listed = {
        {"ok", "same"},  {"sub/changed", "before"}, {"gone", "lost"}, {"renamed", "once"},
        {"empty-1", ""}, {"empty-2", ""},           {"empty-4", ""},
    };
    for (const auto& [path, content] : listed) {
        if (path != "gone" && path != "renamed" && path != "empty-2" && path != "empty-4") {
            write(path, path == "sub/changed" ? "after" : content);
        }
    }
    write("sub/renamed-to", "once");
    write("new", "fresh");
    // Two empty files gone and one new: which went where cannot be told.
    write("empty-3", "");
    std::vector<std::pair<std::string, std::string>> absolute;
    for (const auto& [path, content] : listed) {
        absolute.emplace_back(root() + path, content);
    }
    const Said expected = {
        "ok empty-1",
        "missing empty-2",
        "added empty-3",
        "missing empty-4",
        "missing gone",
        "added new",
        "ok ok",
        "moved renamed -> sub/renamed-to",
        "changed sub/changed",
    };
    for (const std::size_t jobs : {1, 2, 4}) {
        EXPECT_EQ(check(manifest_of(absolute), jobs), expected) << jobs << " workers";
    }
}

}  // namespace
}  // namespace driftmoor::tree
