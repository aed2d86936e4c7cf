#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "digest/file_digest.h"
#include "file_system_fixture.h"
#include "platform/file.h"
#include "platform/os_error.h"

namespace driftmoor {
namespace {

namespace fs = std::filesystem;
using platform::ErrorKind;
using platform::FileHandle;
using platform::OsError;

using testing_support::descriptor_is_open;
using testing_support::os_code_of;
using FileTest = testing_support::TemporaryDirectoryTest;

TEST_F(FileTest, OpenFailuresCarryTheSystemCode) {
    const std::string file = write("plain", "x");
    fs::create_symlink("loop", dir_ / "loop");
    struct Case {
        std::string path;
        int code;
        ErrorKind kind;
    };
    for (const auto& [path, code, kind] : {
             Case{(dir_ / "missing").string(), ENOENT, ErrorKind::EntityNotFound},
             Case{file + "/child", ENOTDIR, ErrorKind::NotADirectory},
             Case{(dir_ / "loop").string(), ELOOP, ErrorKind::FilesystemLoop},
             Case{(dir_ / std::string(300, 'n')).string(), ENAMETOOLONG,
                  ErrorKind::InvalidFilename},
         }) {
        SCOPED_TRACE(path);
        const auto opened = platform::open_for_reading(path);
        ASSERT_FALSE(opened.has_value());
        EXPECT_EQ(os_code_of(opened.error()), code);
        EXPECT_EQ(platform::error_kind(opened.error()), kind);
    }
}

TEST_F(FileTest, NulInPathIsRefusedBeforeTheSystemSeesIt) {
    // The text before the NUL names a real file, so a truncating open would succeed.
    const std::string path = write("real", "x") + std::string("\0tail", 5);
    const auto opened = platform::open_for_reading(path);
    ASSERT_FALSE(opened.has_value());
    EXPECT_TRUE(std::holds_alternative<OsError::StaticMessage>(opened.error().variant()));
    EXPECT_EQ(platform::error_kind(opened.error()), ErrorKind::InvalidInputParameter);
    EXPECT_EQ(platform::error_text(opened.error()), "strings passed to WinAPI cannot contain NULs");
}

// The counts that consecutive reads into a buffer of `size` bytes return.
std::vector<std::size_t> read_counts(FileHandle& file, std::size_t size, int reads) {
    std::vector<std::byte> buffer(size);
    std::vector<std::size_t> counts;
    for (int i = 0; i < reads; ++i) {
        auto count = platform::read_into(file, buffer);
        EXPECT_TRUE(count.has_value());
        counts.push_back(count.value_or(SIZE_MAX));
    }
    return counts;
}

TEST_F(FileTest, ReadsStopAtBufferSizeAndEndOfInput) {
    auto file = platform::open_for_reading(write("ten", "0123456789"));
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(read_counts(*file, 4, 5), (std::vector<std::size_t>{4, 4, 2, 0, 0}));

    // A pipe whose writer has gone ends the same way, again and again.
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ASSERT_EQ(::write(ends[1], "hello", 5), 5);
    ::close(ends[1]);
    FileHandle reader(ends[0]);
    EXPECT_EQ(read_counts(reader, 3, 4), (std::vector<std::size_t>{3, 2, 0, 0}));

    // A directory opens but cannot be read.
    auto directory = platform::open_for_reading(dir_.string());
    ASSERT_TRUE(directory.has_value());
    std::array<std::byte, 4> buffer{};
    const auto failed = platform::read_into(*directory, buffer);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(os_code_of(failed.error()), EISDIR);
}

TEST_F(FileTest, PathsReachTheSystemWholeUpToItsLimit) {
    // Linux takes paths of up to 4095 bytes (PATH_MAX with the NUL). Repeated
    // separators reach that length with short names: the longest path it takes
    // opens the file, and one byte more is refused by the system, not by us.
    const std::string file = write("plain", "x");
    const auto path_of_length = [&](std::size_t length) {
        const std::string directory = dir_.string();
        return directory + std::string(length - directory.size() - 6, '/') + "/plain";
    };
    auto longest = platform::open_for_reading(path_of_length(4095));
    ASSERT_TRUE(longest.has_value());
    EXPECT_EQ(read_counts(*longest, 8, 2), (std::vector<std::size_t>{1, 0}));

    const auto too_long = platform::open_for_reading(path_of_length(4096));
    ASSERT_FALSE(too_long.has_value());
    EXPECT_EQ(os_code_of(too_long.error()), ENAMETOOLONG);
}

TEST_F(FileTest, NonBlockingHandleFailsRatherThanWait) {
    // A pipe with a writer and nothing written yet stands for any stream that
    // waits for its next bytes: the read must say so at once. Should it wait
    // instead, the late write below ends the wait and the test fails.
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    FileHandle reader(ends[0]);
    FileHandle writer(ends[1]);
    std::thread late_writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(::write(static_cast<int>(writer.native()), "late", 4), 4);
    });
    std::array<std::byte, 8> buffer{};
    const auto count = platform::read_into(reader, buffer);
    late_writer.join();
    ASSERT_FALSE(count.has_value());
    EXPECT_EQ(platform::error_kind(count.error()), ErrorKind::OperationWouldBlock);
}

TEST_F(FileTest, HandleClosesExactlyOnce) {
    const std::string path = write("f", "x");
    int fd = -1;
    {
        auto file = platform::open_for_reading(path);
        ASSERT_TRUE(file.has_value());
        fd = static_cast<int>(file->native());
        ASSERT_TRUE(descriptor_is_open(fd));
    }
    EXPECT_FALSE(descriptor_is_open(fd));

    {
        auto file = platform::open_for_reading(path);
        ASSERT_TRUE(file.has_value());
        fd = static_cast<int>(file->native());
        platform::close_file(std::move(*file));
        EXPECT_FALSE(descriptor_is_open(fd));
        // POSIX hands out the lowest free number, so this reuses fd; the
        // closed handle's destructor must leave it alone.
        const int reused = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(reused, fd);
    }
    EXPECT_TRUE(descriptor_is_open(fd));
    ::close(fd);

    // A moved-from handle owns nothing and closes nothing.
    std::optional<FileHandle> target;
    {
        auto source = platform::open_for_reading(path);
        ASSERT_TRUE(source.has_value());
        fd = static_cast<int>(source->native());
        target.emplace(std::move(*source));
        EXPECT_EQ(source->native(), FileHandle::CLOSED);
    }
    EXPECT_EQ(target->native(), fd);
    EXPECT_TRUE(descriptor_is_open(fd));

    // Assigning over a handle closes the file it held.
    auto other = platform::open_for_reading(path);
    ASSERT_TRUE(other.has_value());
    const int other_fd = static_cast<int>(other->native());
    *target = std::move(*other);
    EXPECT_FALSE(descriptor_is_open(fd));
    EXPECT_EQ(target->native(), other_fd);
    target.reset();
    EXPECT_FALSE(descriptor_is_open(other_fd));
}

TEST(HexEncode, HighNibbleFirstLowercase) {
    digest::Sha256Digest counting{};
    digest::Sha256Digest all_ones{};
    for (std::size_t i = 0; i < counting.size(); ++i) {
        counting[i] = static_cast<std::uint8_t>(i);
        all_ones[i] = 0xff;
    }
    EXPECT_EQ(digest::hex_encode(counting).text(),
              "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    EXPECT_EQ(digest::hex_encode(all_ones).text(), std::string(64, 'f'));
    EXPECT_EQ(digest::hex_encode(counting), digest::hex_encode(counting));
    EXPECT_NE(digest::hex_encode(counting), digest::hex_encode(all_ones));
}

}  // namespace
}  // namespace driftmoor
