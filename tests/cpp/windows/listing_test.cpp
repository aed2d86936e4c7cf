// Metadata, listings, joined paths, and the keys a walk gives on Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/directory_manifest.h"
#include "platform/listing.h"
#include "platform/metadata.h"
#include "platform/path_text.h"
#include "temporary_directory.h"

namespace driftmoor::platform {
namespace {

using testing_support::os_code_of;

TEST(JoinPath, BackslashUnlessTheDirectoryEndsInASeparatorIsEmptyOrABareDrive) {
    struct Case {
        std::string_view directory, joined;
    };
    for (const auto& [directory, joined] : {
             Case{"C:\\data", "C:\\data\\a.txt"},
             Case{"C:\\data\\", "C:\\data\\a.txt"},
             Case{"C:/data", "C:/data\\a.txt"},
             Case{"C:/data/", "C:/data/a.txt"},
             Case{"data", "data\\a.txt"},
             Case{".", ".\\a.txt"},
             Case{"D:", "D:a.txt"},
             Case{"z:", "z:a.txt"},
             Case{"1:", "1:\\a.txt"},
             Case{"", "a.txt"},
             Case{"C:\\\\data\\\\", "C:\\\\data\\\\a.txt"},  // only verbatim paths are rebuilt
             Case{"\\\\?\\C:\\data\\\\", "\\\\?\\C:\\data\\a.txt"},
             Case{"\\\\?\\C:\\\\x/y\\.\\..\\", "\\\\?\\C:\\x/y\\.\\..\\a.txt"},
             Case{"\\\\?\\", "\\\\?\\\\a.txt"},
         }) {
        SCOPED_TRACE(directory);
        EXPECT_EQ(join_path(directory, "a.txt"), joined);
    }
}

class ListingTest : public testing_support::TemporaryDirectoryTest {
  protected:
    // Every entry name of a listing, to its end.
    static std::vector<std::string> names_of(std::string_view directory) {
        auto listing = open_listing(directory);
        EXPECT_TRUE(listing.has_value());
        std::vector<std::string> names;
        while (listing) {
            auto entry = next_entry(*listing);
            EXPECT_TRUE(entry.has_value());
            if (!entry || !*entry) {
                break;
            }
            names.push_back((*entry)->name);
        }
        return names;
    }

    // The manifest's keys, with their digests.
    static std::map<std::string, std::string> keys_of(std::string_view dir_path) {
        auto table = manifest::calculate_manifest(dir_path);
        EXPECT_TRUE(table.has_value()) << dir_path;
        std::map<std::string, std::string> keys;
        if (table) {
            table->drain([&](std::string_view key, const digest::FileDigest& digest) {
                keys.emplace(key, digest.text());
                return true;
            });
        }
        return keys;
    }
};

TEST_F(ListingTest, MetadataFollowsLinksAndTellsDirectoriesApart) {
    make_directory("sub");
    write("file", "x");
    EXPECT_TRUE(is_directory(path("sub")));
    EXPECT_TRUE(is_directory(path("sub") + "/"));
    EXPECT_FALSE(is_directory(path("file")));
    EXPECT_FALSE(is_directory(path("missing")));
    EXPECT_FALSE(is_directory(std::string("C:\\\0", 4)));
    const auto sub = query_metadata(path("sub"));
    const auto same = query_metadata(path("sub\\..\\sub"));
    const auto file = query_metadata(path("file"));
    ASSERT_TRUE(sub && same && file);
    EXPECT_EQ(file->type, FileType::RegularFile);
    ASSERT_TRUE(sub->identity.has_value());
    EXPECT_EQ(sub->identity, same->identity);
    EXPECT_NE(sub->identity, file->identity);
    const auto missing = query_metadata(path("missing\\deeper"));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(os_code_of(missing.error()), ERROR_PATH_NOT_FOUND);
}

TEST_F(ListingTest, ListsEveryNameOnceWithoutDotEntries) {
    make_directory("many");
    std::set<std::string> expected;
    for (int index = 0; index < 3000; ++index) {
        const std::string name = 'f' + std::to_string(index) + (index % 7 == 0 ? " \xC3\xA9" : "");
        write("many\\" + name, "");
        expected.insert(name);
    }
    make_directory("many\\a directory");
    expected.insert("a directory");
    auto names = names_of(path("many"));
    std::ranges::sort(names);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected);
    EXPECT_EQ(names.size(), expected.size());

    make_directory("empty");
    EXPECT_TRUE(names_of(path("empty")).empty());

    auto empty_path = open_listing("");
    ASSERT_FALSE(empty_path.has_value());
    EXPECT_EQ(os_code_of(empty_path.error()), ERROR_PATH_NOT_FOUND);
    auto missing = open_listing(path("missing"));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(error_kind(missing.error()), ErrorKind::EntityNotFound);
}

TEST_F(ListingTest, EntriesAreReachedThroughTheListingsOwnSpelling) {
    make_directory("d\\sub");
    write("d\\file", "contents");
    auto listing = open_listing(path("d") + "/");
    ASSERT_TRUE(listing.has_value());
    // Used once the listing has ended: each entry keeps its directory.
    std::vector<DirectoryEntry> entries;
    while (auto entry = next_entry(*listing).value_or(std::nullopt)) {
        entries.push_back(std::move(*entry));
    }
    EXPECT_FALSE(listing->is_open());
    int seen = 0;
    for (const auto& listed : entries) {
        const auto* entry = &listed;
        ++seen;
        const auto metadata = query_entry_metadata(*entry);
        ASSERT_TRUE(metadata.has_value()) << entry->name;
        if (entry->name == "sub") {
            EXPECT_EQ(entry->recorded_type, RecordedType::Directory);
            auto below = open_entry_listing(*entry);
            ASSERT_TRUE(below.has_value());
            EXPECT_EQ(below->identity(), metadata->identity);
            EXPECT_FALSE(open_entry_for_reading(*entry).has_value());
        } else {
            EXPECT_EQ(entry->recorded_type, RecordedType::RegularFile);
            EXPECT_TRUE(open_entry_for_reading(*entry).has_value());
            EXPECT_FALSE(open_entry_listing(*entry).has_value());
        }
    }
    EXPECT_EQ(seen, 2);
}

// Every spelling of the same directory gives keys that begin with it exactly
// as written, and go on with one backslash per level.
TEST_F(ListingTest, KeysKeepTheCallersSpellingAndAddBackslashes) {
    make_directory("data\\sub");
    write("data\\a.txt", "a");
    write("data\\sub\\b.txt", "b");
    const std::string data = path("data");
    std::string forward = data;
    std::ranges::replace(forward, '\\', '/');
    const std::string drive = data.substr(0, 2);

    struct Case {
        std::string dir_path, a, b;
    };
    std::vector<Case> cases = {
        {data, data + "\\a.txt", data + "\\sub\\b.txt"},
        {data + "\\", data + "\\a.txt", data + "\\sub\\b.txt"},
        {forward, forward + "\\a.txt", forward + "\\sub\\b.txt"},
        {forward + "/", forward + "/a.txt", forward + "/sub\\b.txt"},
        {"\\\\?\\" + data + "\\", "\\\\?\\" + data + "\\a.txt", "\\\\?\\" + data + "\\sub\\b.txt"},
    };
    for (const auto& [dir_path, a, b] : cases) {
        SCOPED_TRACE(dir_path);
        const auto keys = keys_of(dir_path);
        EXPECT_EQ(keys.size(), 2u);
        EXPECT_TRUE(keys.contains(a));
        EXPECT_TRUE(keys.contains(b));
    }

    // Relative spellings resolve against the current directory, and the
    // current directory of the drive for a bare drive designator.
    std::wstring previous(MAX_PATH * 4, L'\0');
    previous.resize(::GetCurrentDirectoryW(static_cast<DWORD>(previous.size()), previous.data()));
    ASSERT_TRUE(::SetCurrentDirectoryW(wide(path()).c_str()));
    const auto relative = keys_of("data");
    ASSERT_TRUE(::SetCurrentDirectoryW(wide(data).c_str()));
    const auto dot = keys_of(".");
    const auto bare_drive = keys_of(drive);
    ::SetCurrentDirectoryW(previous.c_str());
    EXPECT_TRUE(relative.contains("data\\a.txt") && relative.contains("data\\sub\\b.txt"));
    EXPECT_TRUE(dot.contains(".\\a.txt") && dot.contains(".\\sub\\b.txt"));
    EXPECT_TRUE(bare_drive.contains(drive + "a.txt") && bare_drive.contains(drive + "sub\\b.txt"));
}

}  // namespace
}  // namespace driftmoor::platform
