#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tree/path_order.h"

namespace driftmoor::tree {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

// The paths sorted by sort_by_path and by std::ranges::sort, each path with
// its own digest text carried along.
void expect_the_order_of_bytes(std::vector<std::string> paths) {
    std::vector<std::string> digests;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        digests.push_back("digest of " + std::to_string(i));
    }
    std::vector<PathEntry> entries;
    std::vector<PathEntry> expected;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        entries.emplace_back(paths[i], digests[i]);
    }
    expected = entries;
    std::ranges::sort(expected, {}, &PathEntry::first);
    sort_by_path(entries);
    ASSERT_EQ(entries.size(), expected.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].first, expected[i].first) << "at " << i;
        EXPECT_EQ(entries[i].second, expected[i].second) << "at " << i;
    }
}

struct Case {
    const char* name;
    std::vector<std::string> paths;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class PathOrder : public testing::TestWithParam<Case> {};

TEST_P(PathOrder, IsTheOrderOfTheBytes) {
    expect_the_order_of_bytes(GetParam().paths);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathOrder,
    testing::Values(Case{"Empty", {}}, Case{"One", {"only"}}, Case{"TheEmptyPath", {"b", "", "a"}},
                    // A path before every longer one it starts, a NUL byte included.
                    Case{"Prefixes",
                         {"a\0"s, "a", "a\0\0"s, "ab", "a\0b"s, "abcdefgh", "abcdefg", "abcdefghi",
                          "abcdefgh\0"s, "abcdefgh\0\0\0\0\0\0\0\0"s, "abcdefgh\0\0\0\0\0\0\0"s}},
                    // Bytes from 0x80 up sort after ASCII: unsigned, as memcmp compares.
                    Case{"HighBytes",
                         {"caf\xc3\xa9", "caf\xe9", "cafe", "caf\xff", "caf\x7f", "\x80", "z"}},
                    // Groups sharing starts longer than eight bytes, of every length.
                    Case{"SharedStarts",
                         {"/tmp/tree/group00/dir000/file001", "/tmp/tree/group00/dir000/file000",
                          "/tmp/tree/group00/dir001/file000", "/tmp/tree/group01/dir000/file000",
                          "/tmp/tree/group00/dir000/file000.bak", "/tmp/tree/group00/dir000/file00",
                          "/tmp/tree/group00/dir000", "/tmp/tree/group0", "/tmp/tree"}}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// Random sets of unique paths over a few bytes that make every boundary
// likely: NUL, '/', ASCII, 0x7f, 0x80, 0xff; lengths around multiples of
// eight; and trees, many paths sharing a root and directories.
TEST(PathOrderRandom, IsTheOrderOfTheBytes) {
    constexpr std::string_view alphabet = "\0/ab\x7f\x80\xff"sv;
    for (unsigned seed = 1; seed <= 200; ++seed) {
        std::mt19937 random(seed);
        const auto below = [&](std::size_t bound) {
            return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
        };
        std::set<std::string> unique;
        const std::size_t count = below(300);
        const std::string root(below(30), 'r');
        while (unique.size() < count) {
            std::string path = seed % 2 ? root + "/" : "";
            const std::size_t levels = below(4);
            for (std::size_t level = 0; level < levels; ++level) {
                path += "dir" + std::to_string(below(3)) + "/";
            }
            const std::size_t length = below(20);
            for (std::size_t i = 0; i < length; ++i) {
                path += alphabet[below(alphabet.size())];
            }
            unique.insert(path);
        }
        std::vector<std::string> paths(unique.begin(), unique.end());
        std::ranges::shuffle(paths, random);
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        expect_the_order_of_bytes(paths);
    }
}

}  // namespace
}  // namespace driftmoor::tree
