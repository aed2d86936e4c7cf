// Opening and reading files through CreateFileW and NtReadFile.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "digest/file_digest.h"
#include "digest/sha256.h"
#include "platform/file.h"
#include "platform/random.h"
#include "temporary_directory.h"

namespace driftmoor::platform {
namespace {

using testing_support::os_code_of;

class FileTest : public testing_support::TemporaryDirectoryTest {};

TEST_F(FileTest, OpenFailuresCarryTheWindowsCode) {
    make_directory("dir");
    struct Case {
        std::string path;
        int code;
        ErrorKind kind;
    };
    for (const auto& [path, code, kind] : {
             Case{path("missing"), ERROR_FILE_NOT_FOUND, ErrorKind::EntityNotFound},
             Case{path("missing\\file"), ERROR_PATH_NOT_FOUND, ErrorKind::EntityNotFound},
             // The empty path goes to Windows as it is, and gets its answer.
             Case{"", ERROR_PATH_NOT_FOUND, ErrorKind::EntityNotFound},
             // No backup semantics: a directory refuses to open for reading.
             Case{path("dir"), ERROR_ACCESS_DENIED, ErrorKind::PermissionDenied},
         }) {
        SCOPED_TRACE(path);
        auto file = open_for_reading(path);
        ASSERT_FALSE(file.has_value());
        EXPECT_EQ(os_code_of(file.error()), code);
        EXPECT_EQ(error_kind(file.error()), kind);
        EXPECT_TRUE(error_text(file.error()).ends_with(" (os error " + std::to_string(code) + ")"));
    }
}

TEST_F(FileTest, SharingDecidesWhetherAFileInUseOpens) {
    const std::wstring name = wide(write("shared", "in use"));
    // A writer that lets others read: the read open goes ahead.
    const HANDLE writer = ::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(open_for_reading(path("shared")).has_value());
    ::CloseHandle(writer);
    // A holder that shares nothing: a sharing violation, which is no kind
    // of its own.
    const HANDLE holder =
        ::CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    auto refused = open_for_reading(path("shared"));
    ::CloseHandle(holder);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(os_code_of(refused.error()), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(error_kind(refused.error()), ErrorKind::UncategorizedError);
}

TEST_F(FileTest, ReadsFillFromTheStartAndEndWithZero) {
    // Sizes around the read request and the 64-byte block; the digest read
    // through the file must equal the digest of the same bytes in memory.
    std::mt19937 generator(7);
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, std::size_t{64}, digest::READ_CHUNK_SIZE - 1,
          digest::READ_CHUNK_SIZE, 3 * digest::READ_CHUNK_SIZE + 17}) {
        SCOPED_TRACE(size);
        std::string bytes(size, '\0');
        for (char& byte : bytes) {
            byte = static_cast<char>(generator());
        }
        write("data", bytes);
        digest::Sha256State state = digest::sha256_init();
        digest::sha256_update(
            state, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        const auto digest = digest::calculate_file_hash(path("data"));
        ASSERT_TRUE(digest.has_value());
        EXPECT_EQ(*digest, digest::hex_encode(digest::sha256_finalize(state)));
    }

    write("small", "abcdef");
    auto file = open_for_reading(path("small"));
    ASSERT_TRUE(file.has_value());
    std::array<std::byte, 4> buffer{};
    EXPECT_EQ(read_into(*file, buffer).value_or(99), 4u);
    EXPECT_EQ(read_into(*file, buffer).value_or(99), 2u);
    // The end reads as 0, and goes on doing so.
    EXPECT_EQ(read_into(*file, buffer).value_or(99), 0u);
    EXPECT_EQ(read_into(*file, buffer).value_or(99), 0u);
}

TEST(PipeReading, AGoneWriterIsTheEnd) {
    HANDLE read_end;
    HANDLE write_end;
    ASSERT_TRUE(::CreatePipe(&read_end, &write_end, nullptr, 0));
    FileHandle reader(reinterpret_cast<std::intptr_t>(read_end));
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(write_end, "xyz", 3, &written, nullptr));
    ::CloseHandle(write_end);
    std::array<std::byte, 16> buffer{};
    EXPECT_EQ(read_into(reader, buffer).value_or(99), 3u);
    const auto end = read_into(reader, buffer);
    ASSERT_TRUE(end.has_value()) << error_text(end.error());
    EXPECT_EQ(*end, 0u);
}

TEST(RandomSource, EveryDrawFillsAllSixteenBytesAfresh) {
    // Zeroed first: a draw that filled nothing would leave zeros, and two
    // draws would then agree.
    std::array<std::byte, 16> first{};
    std::array<std::byte, 16> second{};
    ASSERT_TRUE(fill_random(first).has_value());
    ASSERT_TRUE(fill_random(second).has_value());
    EXPECT_NE(first, decltype(first){});
    EXPECT_NE(first, second);
}

}  // namespace
}  // namespace driftmoor::platform
