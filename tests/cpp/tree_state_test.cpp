// What a state lets a check trust, how its records are stored, and how a
// listed file is found by the path a check reads it at.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tree/listed_manifest.h"
#include "tree/listed_places.h"
#include "tree/tree_state.h"

namespace driftmoor::tree {
namespace {

constexpr std::int64_t SECOND = 1'000'000'000;
constexpr std::int64_t READ_AT = 1'700'000'000 * SECOND;

const platform::FileStatus RECORDED{.type = platform::FileType::RegularFile,
                                    .size = 4096,
                                    .mtime_ns = READ_AT - 10 * SECOND,
                                    .ctime_ns = READ_AT - 9 * SECOND,
                                    .identity = {.device = 2049, .inode = 77}};

TEST(TreeState, TrustsOnlyWhatIsAsRecordedAndOlderThanTheRecordingByATick) {
    const StateRecord record = StateRecord::of_read(1, RECORDED, READ_AT, false);
    struct Case {
        const char* what;
        void (*change)(platform::FileStatus&);
        bool trusted;
    };
    const Case cases[] = {
        {"unchanged", [](platform::FileStatus&) {}, true},
        {"size", [](platform::FileStatus& now) { ++now.size; }, false},
        {"mtime put back by a nanosecond", [](platform::FileStatus& now) { --now.mtime_ns; },
         false},
        {"ctime", [](platform::FileStatus& now) { now.ctime_ns += SECOND; }, false},
        {"inode", [](platform::FileStatus& now) { ++now.identity.inode; }, false},
        {"device", [](platform::FileStatus& now) { ++now.identity.device; }, false},
        {"no longer a regular file",
         [](platform::FileStatus& now) { now.type = platform::FileType::Other; }, false},
    };
    for (const Case& test : cases) {
        platform::FileStatus now = RECORDED;
        test.change(now);
        EXPECT_EQ(trustworthy(record, now), test.trusted) << test.what;
    }
    // Changed in the tick of its reading: what followed the read could not
    // show in its times.
    for (const std::int64_t age : {std::int64_t{0}, SECOND, TIMESTAMP_TICK_NS}) {
        platform::FileStatus racy = RECORDED;
        racy.mtime_ns = READ_AT - age;
        EXPECT_FALSE(trustworthy(StateRecord::of_read(1, racy, READ_AT, false), racy)) << age;
        racy.mtime_ns = RECORDED.mtime_ns;
        racy.ctime_ns = READ_AT - age;
        EXPECT_FALSE(trustworthy(StateRecord::of_read(1, racy, READ_AT, false), racy)) << age;
    }
    EXPECT_FALSE(trustworthy(StateRecord{}, RECORDED)) << "never read";
}

TEST(TreeState, RecordsSurviveStorageAndForeignFlagsAreRefused) {
    std::vector<StateRecord> records;
    for (std::uint64_t i = 0; i < 5; ++i) {
        platform::FileStatus status = RECORDED;
        status.size = i << 40;
        status.mtime_ns = -static_cast<std::int64_t>(i);  // before 1970
        records.push_back(
            StateRecord::of_read(~i, status, READ_AT + static_cast<std::int64_t>(i), i % 2 == 0));
    }
    const std::string bytes = pack_records(records);
    ASSERT_EQ(bytes.size(), records.size() * TreeState::RECORD_SIZE);
    const auto back = unpack_records(bytes);
    ASSERT_TRUE(back);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ((*back)[i].path_hash, records[i].path_hash);
        EXPECT_EQ((*back)[i].size, records[i].size);
        EXPECT_EQ((*back)[i].mtime_ns, records[i].mtime_ns);
        EXPECT_EQ((*back)[i].ctime_ns, records[i].ctime_ns);
        EXPECT_EQ((*back)[i].identity, records[i].identity);
        EXPECT_EQ((*back)[i].read_at_ns, records[i].read_at_ns);
        EXPECT_EQ((*back)[i].digest_differs, records[i].digest_differs);
    }
    EXPECT_FALSE(unpack_records(bytes.substr(1)));
    std::string foreign = bytes;
    foreign[56] = '\x04';  // a flag no version wrote
    EXPECT_FALSE(unpack_records(foreign));

    TreeState state(3);
    EXPECT_FALSE(state.unpack(0, bytes)) << "more records than the manifest's files";
    EXPECT_FALSE(state.unpack(2, bytes.substr(0, 2 * TreeState::RECORD_SIZE)));
    EXPECT_TRUE(state.unpack(1, bytes.substr(0, 2 * TreeState::RECORD_SIZE)));
    EXPECT_EQ(state.record(2).path_hash, records[1].path_hash);
}

ListedManifest sealed(const std::vector<std::string>& paths) {
    ListedManifest listed;
    for (const std::string& path : paths) {
        EXPECT_FALSE(listed.add(path, std::string(64, 'a')));
    }
    EXPECT_FALSE(listed.seal());
    return listed;
}

TEST(TreeState, ReadsBindToTheManifestByPathAndAHashTwoShareBindsNeither) {
    const ListedManifest listed = sealed({"t/b", "t/a", "t/c"});
    std::vector<StateRecord> reads;
    for (const char* path : {"t/c", "t/a", "elsewhere"}) {
        reads.push_back(StateRecord::of_read(path_hash(path), RECORDED, READ_AT, false));
    }
    reads.push_back(reads[0]);  // t/c twice: a hash two records share
    const TreeState state = state_of_reads(listed, reads);
    EXPECT_EQ(state.record(0).path_hash, path_hash("t/a"));
    EXPECT_EQ(state.record(1).read_at_ns, 0) << "t/b was not read";
    EXPECT_EQ(state.record(2).read_at_ns, 0) << "t/c is named by two records";
}

// The order of the paths' bytes, joined: what the two pieces must agree with.
int joined_order(const CheckedPath& a, const CheckedPath& b) {
    const std::string left = std::string(a.head) + std::string(a.tail);
    const std::string right = std::string(b.head) + std::string(b.tail);
    return left.compare(right) < 0 ? -1 : left == right ? 0 : 1;
}

int sign(int order) {
    return (order > 0) - (order < 0);
}

TEST(ListedPlaces, PathsInTwoPiecesCompareAsTheirBytesJoined) {
    std::mt19937 random(7);
    const std::string letters = "ab/\xff";
    const auto text = [&] {
        std::string made(random() % 4, ' ');
        for (char& c : made) {
            c = letters[random() % letters.size()];
        }
        return made;
    };
    for (int round = 0; round < 20000; ++round) {
        const std::string a_head = text(), a_tail = text(), b_head = text(), b_tail = text();
        const CheckedPath a{a_head, a_tail};
        const CheckedPath b{b_head, b_tail};
        ASSERT_EQ(sign(a.compare(b)), joined_order(a, b))
            << a_head << a_tail << " " << b_head << b_tail;
        const std::string joined = b_head + b_tail;
        ASSERT_EQ(sign(a.compare(joined)), joined_order(a, b));
        ASSERT_EQ(a.starts_with(joined), (a_head + a_tail).starts_with(joined));
    }
}

TEST(ListedPlaces, EachFileIsFoundByThePathItIsCheckedAt) {
    // Relative paths under old/ are read under /new/; the rest where they
    // are. "/new/old-" sorts between the moved paths and one that stays.
    const ListedManifest listed =
        sealed({"old/z", "old/a", "old/sub/b", "other/x", "/new/m", "/new/old-x", "old/a-b"});
    const ListedPlaces places(listed, "old/", "/new/");
    std::vector<std::string> order;
    std::string buffer;
    for (std::size_t index = 0; index < places.size(); ++index) {
        order.emplace_back(places.path(index).view(buffer));
    }
    EXPECT_TRUE(std::ranges::is_sorted(order));
    const std::vector<std::string> expected = {"/new/a",     "/new/a-b", "/new/m", "/new/old-x",
                                               "/new/sub/b", "/new/z",   "other/x"};
    EXPECT_EQ(order, expected);
    ListedPlaces::DirectoryRange range;
    for (std::size_t index = 0; index < expected.size(); ++index) {
        EXPECT_EQ(places.find(expected[index], range), index) << expected[index];
    }
    for (const char* absent : {"/new/b", "/new/sub", "old/a", "/new/sub/b/c", "/new"}) {
        EXPECT_EQ(places.find(absent, range), ListedPlaces::NOT_FOUND) << absent;
    }
}

}  // namespace
}  // namespace driftmoor::tree
