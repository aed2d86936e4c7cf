// What travels between the machines of a cluster: a part's run read back
// whole, with the status of each read and each file judged, and a trust
// table's entries judged as the check would judge them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/path_text.h"
#include "tree/part_run.h"
#include "tree/run_merge.h"
#include "tree/tree_part.h"

namespace driftmoor::tree {
namespace {

platform::FileStatus status_of(std::uint64_t seed) {
    return {.type = platform::FileType::RegularFile,
            .size = seed,
            .mtime_ns = static_cast<std::int64_t>(seed * 1'000'000'000),
            .ctime_ns = static_cast<std::int64_t>(seed * 1'000'000'001),
            .identity = {seed + 7, seed + 9}};
}

// Paths joined as the walk joins them on this platform.
std::string under(std::string_view directory, std::string_view name) {
    return platform::join_path(directory, name);
}

digest::Sha256Digest digest_of(char fill) {
    digest::Sha256Digest digest;
    digest.fill(static_cast<std::uint8_t>(fill));
    return digest;
}

// What a policy was told, in order.
class Recorder final : public walk::WalkPolicy {
  public:
    std::vector<std::string> told;

    bool takes_unread(std::string_view path, const platform::FileStatus& status) override {
        tell("judged", path, std::to_string(status.size));
        return false;
    }
    void add_file(std::string_view path, const digest::Sha256Digest& digest,
                  const walk::ReadStatus* read) override {
        std::string what(1, static_cast<char>(digest[0]));
        if (read != nullptr) {
            what += ' ';
            what += std::to_string(read->status.size);
            what += '@';
            what += std::to_string(read->began_ns);
        }
        tell("read", path, what);
    }
    platform::OsResult<void> leave_out(walk::LeftOut left_out) override {
        tell("left out", left_out.path, "");
        return {};
    }

  private:
    void tell(std::string_view what, std::string_view path, std::string_view more) {
        std::string line(what);
        line += ' ';
        line += path;
        if (!more.empty()) {
            line += ' ';
            line += more;
        }
        told.push_back(std::move(line));
    }
};

TEST(PartRun, AnAccountTravelsWholeAndIsToldInItsOrder) {
    TreeAccount sent;
    // Read in the walk's order, not the names'.
    sent.files.append(0, under("/top/d", "b"), digest_of('b'));
    sent.files.append(0, under("/top/d", "a"), digest_of('a'));
    sent.files.append(0, under("/top/d", "c"), digest_of('c'));
    sent.file_count = 3;
    sent.reads = {StateRecord::of_read(1, status_of(2), 20, false), StateRecord{},
                  StateRecord::of_read(3, status_of(4), 40, false)};
    // Taken unread; and c, judged before it was read for the scrub.
    sent.judged = {{under("/top/d", "t"), status_of(5), true},
                   {under("/top/d", "c"), status_of(6), false}};
    sent.left_out.push_back({under("/top/d", "x"), walk::Omission::SpecialFile, std::nullopt});
    const std::string run = sorted_run(std::move(sent), "/top/d");
    ASSERT_EQ(run_file_count(run), 4u);

    TreeAccount gathered;
    ASSERT_TRUE(add_run(gathered, "t/d", run));
    gathered.left_out.push_back({under("t/d", "x"), walk::Omission::SpecialFile, std::nullopt});
    Recorder recorder;
    ASSERT_TRUE(play_account(std::move(gathered), recorder));
    const auto told = [](std::string_view what, std::string_view name, std::string_view more) {
        std::string line(what);
        line += ' ';
        line += under("t/d", name);
        if (!more.empty()) {
            line += ' ';
            line += more;
        }
        return line;
    };
    EXPECT_EQ(recorder.told,
              (std::vector<std::string>{told("judged", "c", "6"), told("judged", "t", "5"),
                                        told("read", "a", "a"), told("read", "b", "b 2@20"),
                                        told("read", "c", "c 4@40"), told("left out", "x", "")}));

    // A manifest's merge takes no file unread; a run of files read it takes.
    RunMerge merge;
    EXPECT_FALSE(merge.add("t/d", run));
    TreeAccount read_only;
    read_only.files.append(0, under("/top/d", "a"), digest_of('a'));
    read_only.file_count = 1;
    EXPECT_TRUE(merge.add("t/d", sorted_run(std::move(read_only), "/top/d")));
}

TEST(PartRun, FlagsThatSayNothingThatCanBeAreRefused) {
    TreeAccount sent;
    sent.files.append(0, under("/top", "a"), digest_of('a'));
    sent.file_count = 1;
    const std::string run = sorted_run(std::move(sent), "/top");
    ASSERT_EQ(run_file_count(run), 1u);
    const std::size_t flags_at = 4 + 1;
    for (const std::uint8_t flags :
         {std::uint8_t{0}, std::uint8_t(RUN_READ | RUN_TAKEN | RUN_JUDGED), RUN_READ_STATUS,
          RUN_TAKEN, std::uint8_t{0x10}}) {
        std::string changed = run;
        changed[flags_at] = static_cast<char>(flags);
        EXPECT_FALSE(run_file_count(changed)) << int(flags);
    }
}

TEST(TrustTable, PartsAreSentTheEntriesBelowThemAndJudgeAsTheCheckWould) {
    // Recorded well after the files last changed: trustworthy while the
    // status is the one recorded.
    const auto record = [](std::uint64_t seed) {
        return StateRecord::of_read(0, status_of(seed), std::int64_t{1} << 60, false);
    };
    // Names as the walk forms them below the top, in their order.
    const std::string db = under("d", "b");
    const std::string dec = under(under("d", "e"), "c");
    const TrustTable table({{"a", record(1), false},
                            {db, record(2), true},
                            {dec, record(3), false},
                            {"dz", record(4), false}});
    const std::vector<std::pair<std::string, std::uint64_t>> files = {
        {"a", 1}, {db, 2}, {dec, 3}, {"dz", 4}};
    const auto names = [&](std::string_view packed) {
        std::vector<std::string> found;
        const auto trust = PartTrust::unpack("/top", packed);
        EXPECT_TRUE(trust);
        for (const auto& [name, seed] : files) {
            if (trust &&
                trust->judge(under("/top", name), status_of(seed)) != FileJudge::Verdict::Read) {
                found.push_back(name);
            }
        }
        return found;
    };
    EXPECT_EQ(names(table.packed_below("", true)), (std::vector<std::string>{"a", db, dec, "dz"}));
    EXPECT_EQ(names(table.packed_below("", false)), (std::vector<std::string>{"a", "dz"}));
    EXPECT_EQ(names(table.packed_below("d", true)), (std::vector<std::string>{db, dec}));
    EXPECT_EQ(names(table.packed_below("d", false)), (std::vector<std::string>{db}));

    const auto trust = PartTrust::unpack("/top", table.packed_below("", true));
    ASSERT_TRUE(trust);
    EXPECT_EQ(trust->judge(under("/top", "a"), status_of(1)), FileJudge::Verdict::Taken);
    EXPECT_EQ(trust->judge(under("/top", db), status_of(2)), FileJudge::Verdict::ReadForScrub);
    // Another status, another file, a path outside the top: read.
    EXPECT_EQ(trust->judge(under("/top", "a"), status_of(9)), FileJudge::Verdict::Read);
    EXPECT_EQ(trust->judge(under("/top", "b"), status_of(1)), FileJudge::Verdict::Read);
    EXPECT_EQ(trust->judge(under("/elsewhere", "a"), status_of(1)), FileJudge::Verdict::Read);
    // Cut short: refused.
    const std::string packed = table.packed_below("", true);
    EXPECT_FALSE(PartTrust::unpack("/top", packed.substr(0, packed.size() - 1)));
}

}  // namespace
}  // namespace driftmoor::tree
