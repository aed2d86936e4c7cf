#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "digest/file_digest.h"
#include "file_system_fixture.h"
#include "platform/listing.h"
#include "platform/metadata.h"
#include "platform/path_text.h"

namespace driftmoor::platform {
namespace {

namespace fs = std::filesystem;

using testing_support::descriptor_is_open;
using testing_support::os_code_of;

// The descriptors open right now.
std::set<int> open_descriptors() {
    std::set<int> open;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        open.insert(std::stoi(entry.path().filename().string()));
    }
    // Drops the one that read the listing, closed by now.
    std::erase_if(open, [](int fd) { return ::fcntl(fd, F_GETFD) == -1; });
    return open;
}

// The one descriptor opened since `before`, or -1 when there is not exactly one.
int new_descriptor(const std::set<int>& before) {
    std::vector<int> added;
    std::ranges::set_difference(open_descriptors(), before, std::back_inserter(added));
    return added.size() == 1 ? added.front() : -1;
}

// Runs `call` on another thread. Should it still be waiting after a few
// seconds, stuck opening the pipe for a writer, one is opened to set it free,
// so the test fails instead of hanging.
template <class Call>
auto without_waiting_on(const std::string& fifo, Call call) {
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "the call waited for a writer of " << fifo;
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        result.wait();
        ::close(writer);
    }
    return result.get();
}

TEST(JoinPath, OneSeparatorUnlessTheDirectoryEndsInOneOrIsEmpty) {
    struct Case {
        std::string_view directory, name, joined;
    };
    for (const auto& [directory, name, joined] :
         {Case{"d", "a", "d/a"}, Case{"d/", "a", "d/a"}, Case{"d//", "a", "d//a"},
          Case{"/", "a", "/a"}, Case{"", "a", "a"}, Case{"d\\", "a", "d\\/a"},
          Case{"a/b", "c d", "a/b/c d"}}) {
        SCOPED_TRACE(std::string(directory) + " + " + std::string(name));
        EXPECT_EQ(join_path(directory, name), joined);
        std::string extended(directory);
        append_to_path(extended, name);
        EXPECT_EQ(extended, joined);
    }
}

class ListingTest : public testing_support::TemporaryDirectoryTest {
  protected:
    std::string make_fifo(const std::string& name) {
        EXPECT_EQ(::mkfifo(path(name).c_str(), 0600), 0) << std::strerror(errno);
        return path(name);
    }
    std::optional<FileIdentity> identity_of(const std::string& name) const {
        const auto metadata = query_metadata(path(name));
        EXPECT_TRUE(metadata && metadata->identity);
        return metadata ? metadata->identity : std::nullopt;
    }
    // Every entry of the listing, to its end.
    static std::vector<DirectoryEntry> drain(DirectoryListing& listing) {
        std::vector<DirectoryEntry> entries;
        while (true) {
            auto entry = next_entry(listing);
            EXPECT_TRUE(entry.has_value());
            if (!entry || !*entry) {
                return entries;
            }
            entries.push_back(std::move(**entry));
        }
    }
};

TEST_F(ListingTest, MetadataFollowsLinksAndTellsTypes) {
    write("file", "x");
    fs::create_directory(dir_ / "sub");
    make_fifo("fifo");
    fs::create_directory_symlink("sub", dir_ / "to_sub");
    fs::create_symlink("file", dir_ / "to_file");
    fs::create_symlink("missing", dir_ / "dangling");

    EXPECT_EQ(query_metadata(path("sub"))->type, FileType::Directory);
    EXPECT_EQ(query_metadata(path("file"))->type, FileType::RegularFile);
    EXPECT_EQ(query_metadata(path("fifo"))->type, FileType::Other);
    EXPECT_EQ(query_metadata(path("to_sub"))->type, FileType::Directory);
    EXPECT_EQ(identity_of("to_sub"), identity_of("sub"));
    EXPECT_EQ(identity_of("to_file"), identity_of("file"));
    EXPECT_NE(identity_of("file"), identity_of("sub"));

    for (const std::string& missing : {path("missing"), path("dangling"), std::string()}) {
        const auto metadata = query_metadata(missing);
        ASSERT_FALSE(metadata.has_value());
        EXPECT_EQ(os_code_of(metadata.error()), ENOENT);
    }
    const auto with_nul = query_metadata(path("sub") + std::string("\0x", 2));
    ASSERT_FALSE(with_nul.has_value());
    const auto* message = std::get_if<OsError::StaticMessage>(&with_nul.error().variant());
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->kind, ErrorKind::InvalidInputParameter);
    EXPECT_EQ(message->message, NUL_IN_PATH_MESSAGE);

    EXPECT_TRUE(is_directory(path("sub")));
    EXPECT_TRUE(is_directory(path("to_sub")));
    for (const std::string& not_one :
         {path("file"), path("fifo"), path("dangling"), path("missing"), std::string()}) {
        EXPECT_FALSE(is_directory(not_one)) << not_one;
    }
}

TEST_F(ListingTest, OpenFailuresCarryTheSystemCode) {
    const std::string file = write("file", "x");
    for (const auto& [text, code] : std::vector<std::pair<std::string, int>>{
             {"", ENOENT}, {path("missing"), ENOENT}, {file, ENOTDIR}, {file + "/", ENOTDIR}}) {
        SCOPED_TRACE(text);
        const auto listing = open_listing(text);
        ASSERT_FALSE(listing.has_value());
        EXPECT_EQ(os_code_of(listing.error()), code);
    }
    const auto with_nul = open_listing(dir_.string() + std::string("\0", 1));
    ASSERT_FALSE(with_nul.has_value());
    EXPECT_EQ(error_kind(with_nul.error()), ErrorKind::InvalidInputParameter);
}

TEST_F(ListingTest, RecordsTypesAndNeverDeliversDotEntries) {
    write("file", "x");
    fs::create_directory(dir_ / "sub");
    fs::create_symlink("file", dir_ / "link");
    make_fifo("fifo");
    auto listing = open_listing(dir_.string());
    ASSERT_TRUE(listing.has_value());
    EXPECT_EQ(listing->identity(), identity_of(""));

    std::map<std::string, RecordedType> seen;
    for (auto& entry : drain(*listing)) {
        EXPECT_TRUE(seen.emplace(entry.name, entry.recorded_type).second) << entry.name;
    }
    EXPECT_EQ(seen, (std::map<std::string, RecordedType>{{"file", RecordedType::RegularFile},
                                                         {"sub", RecordedType::Directory},
                                                         {"link", RecordedType::Unresolved},
                                                         {"fifo", RecordedType::Special}}));
    // The end is final: every later call answers none.
    EXPECT_FALSE(listing->is_open());
    for (int i = 0; i < 3; ++i) {
        const auto after = next_entry(*listing);
        ASSERT_TRUE(after.has_value());
        EXPECT_FALSE(after->has_value());
    }

    auto empty = open_listing(path("sub"));
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(drain(*empty).empty());
}

TEST_F(ListingTest, DeliversEveryNameOnceAcrossManyRefills) {
    // Names of 1 to 255 bytes, so records of every size fill the buffer many
    // times over as it grows.
    std::set<std::string> names;
    for (int i = 0; i < 3000; ++i) {
        const std::string number = std::to_string(i);
        const std::size_t length = std::max<std::size_t>(number.size(), 1 + (i * 97) % 255);
        names.insert(number + std::string(length - number.size(), 'n'));
    }
    for (const std::string& name : names) {
        const int fd = ::open(path(name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << name.size();
        ::close(fd);
    }
    auto listing = open_listing(dir_.string());
    ASSERT_TRUE(listing.has_value());
    std::multiset<std::string> listed;
    for (auto& entry : drain(*listing)) {
        listed.insert(std::move(entry.name));
    }
    EXPECT_EQ(listed.size(), names.size());
    EXPECT_TRUE(std::ranges::equal(listed, names));
}

TEST_F(ListingTest, DescriptorIsClosedExactlyOnce) {
    write("file", "x");
    // A listing of the directory, and the descriptor it took.
    const auto open_one = [&] {
        const auto before = open_descriptors();
        auto listing = open_listing(dir_.string());
        // Not value(): libc++ requires a copyable error type for it.
        if (!listing.has_value()) {
            throw std::runtime_error("the directory could not be listed");
        }
        return std::pair{std::move(*listing), new_descriptor(before)};
    };
    // Released by its end or by close_listing, a listing must leave its old
    // number alone, even once another file has taken it.
    for (const bool to_the_end : {true, false}) {
        auto [listing, fd] = open_one();
        ASSERT_TRUE(descriptor_is_open(fd));
        if (to_the_end) {
            drain(listing);
        } else {
            close_listing(std::move(listing));
        }
        EXPECT_FALSE(listing.is_open());
        EXPECT_FALSE(descriptor_is_open(fd));
        ASSERT_EQ(::open(path("file").c_str(), O_RDONLY | O_CLOEXEC), fd);
        close_listing(std::move(listing));
        {
            DirectoryListing destroyed = std::move(listing);
        }
        EXPECT_TRUE(descriptor_is_open(fd));
        ::close(fd);
    }
    // Moving hands the descriptor over; assigning over an open listing
    // closes the one it held; destruction closes the last.
    auto [first, first_fd] = open_one();
    auto [second, second_fd] = open_one();
    {
        DirectoryListing moved(std::move(first));
        EXPECT_FALSE(first.is_open());
        first = std::move(second);
        EXPECT_TRUE(descriptor_is_open(first_fd));
        moved = std::move(first);
        EXPECT_FALSE(descriptor_is_open(first_fd));
        EXPECT_TRUE(descriptor_is_open(second_fd));
    }
    EXPECT_FALSE(descriptor_is_open(second_fd));
}

TEST_F(ListingTest, EntriesAreQueriedAndOpenedRelativeToTheirDirectoryAfterTheListingEnded) {
    write("file", "relative content");
    fs::create_directory(dir_ / "sub");
    write("sub/inner", "i");
    fs::create_directory_symlink("sub", dir_ / "to_sub");
    fs::create_symlink("file", dir_ / "to_file");
    make_fifo("fifo");
    auto listing = open_listing(dir_.string());
    ASSERT_TRUE(listing.has_value());
    // Every entry below is used once its listing has ended and released what
    // it held: an entry keeps its own share of the open directory.
    const auto listed = drain(*listing);
    ASSERT_FALSE(listing->is_open());
    ASSERT_FALSE(listed.empty());
    const auto entry = [&](std::string name) {
        return DirectoryEntry{std::move(name), RecordedType::Unresolved, listed.front().directory};
    };

    const auto linked = query_entry_metadata(entry("to_sub"));
    ASSERT_TRUE(linked.has_value());
    EXPECT_EQ(linked->type, FileType::Directory);
    EXPECT_EQ(linked->identity, identity_of("sub"));
    EXPECT_EQ(query_entry_metadata(entry("fifo"))->type, FileType::Other);
    EXPECT_EQ(os_code_of(query_entry_metadata(entry("missing")).error()), ENOENT);

    for (const char* name : {"sub", "to_sub"}) {
        auto below = open_entry_listing(entry(name));
        ASSERT_TRUE(below.has_value()) << name;
        EXPECT_EQ(below->identity(), identity_of("sub"));
        const auto entries = drain(*below);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].name, "inner");
    }
    EXPECT_EQ(os_code_of(open_entry_listing(entry("file")).error()), ENOTDIR);
    EXPECT_EQ(os_code_of(open_entry_listing(entry("missing")).error()), ENOENT);

    const auto expected = digest::calculate_file_hash(path("file"));
    ASSERT_TRUE(expected.has_value());
    for (const char* name : {"file", "to_file"}) {
        auto file = open_entry_for_reading(entry(name));
        ASSERT_TRUE(file.has_value()) << name;
        const auto digest = digest::digest_open_file(*file);
        ASSERT_TRUE(digest.has_value()) << name;
        EXPECT_EQ(digest::hex_encode(*digest), *expected);
    }

    const auto before = open_descriptors();
    const auto fifo =
        without_waiting_on(path("fifo"), [&] { return open_entry_for_reading(entry("fifo")); });
    ASSERT_FALSE(fifo.has_value());
    EXPECT_EQ(error_kind(fifo.error()), ErrorKind::InvalidInputParameter);
    const auto directory = open_entry_for_reading(entry("sub"));
    ASSERT_FALSE(directory.has_value());
    EXPECT_EQ(error_kind(directory.error()), ErrorKind::InvalidInputParameter);
    EXPECT_EQ(os_code_of(open_entry_for_reading(entry("missing")).error()), ENOENT);
    // A refused entry was opened to be checked; it must have been closed again.
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace driftmoor::platform
