#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "platform/os_error.h"

namespace driftmoor::platform {
namespace {

using enum ErrorKind;

struct KindRow {
    ErrorKind kind;
    std::string_view description;
};

// Written out from the published kind list, so an entry out of place or a
// changed word shows up here rather than in a Python traceback.
// Each kind's exception class is the binding's choice, checked kind by kind
// in tests/python/test_os_errors.py.
constexpr KindRow KIND_ROWS[] = {
    {EntityNotFound, "entity not found"},
    {PermissionDenied, "permission denied"},
    {ConnectionRefused, "connection refused"},
    {ConnectionReset, "connection reset"},
    {HostUnreachable, "host unreachable"},
    {NetworkUnreachable, "network unreachable"},
    {ConnectionAborted, "connection aborted"},
    {NotConnected, "not connected"},
    {AddressInUse, "address in use"},
    {AddressNotAvailable, "address not available"},
    {NetworkDown, "network down"},
    {BrokenPipe, "broken pipe"},
    {EntityAlreadyExists, "entity already exists"},
    {OperationWouldBlock, "operation would block"},
    {NotADirectory, "not a directory"},
    {IsADirectory, "is a directory"},
    {DirectoryNotEmpty, "directory not empty"},
    {ReadOnlyFilesystem, "read-only filesystem or storage medium"},
    {FilesystemLoop, "filesystem loop or indirection limit (e.g. symlink loop)"},
    {StaleNetworkFileHandle, "stale network file handle"},
    {InvalidInputParameter, "invalid input parameter"},
    {InvalidData, "invalid data"},
    {TimedOut, "timed out"},
    {WriteZero, "write zero"},
    {NoStorageSpace, "no storage space"},
    {SeekOnUnseekableFile, "seek on unseekable file"},
    {QuotaExceeded, "quota exceeded"},
    {FileTooLarge, "file too large"},
    {ResourceBusy, "resource busy"},
    {ExecutableFileBusy, "executable file busy"},
    {Deadlock, "deadlock"},
    {CrossDeviceLinkOrRename, "cross-device link or rename"},
    {TooManyLinks, "too many links"},
    {InvalidFilename, "invalid filename"},
    {ArgumentListTooLong, "argument list too long"},
    {OperationInterrupted, "operation interrupted"},
    {Unsupported, "unsupported"},
    {UnexpectedEndOfFile, "unexpected end of file"},
    {OutOfMemory, "out of memory"},
    {InProgress, "in progress"},
    {OtherError, "other error"},
    {UncategorizedError, "uncategorized error"},
};

TEST(ErrorKindTable, EveryKindInOrderWithDescription) {
    ASSERT_EQ(std::size(KIND_ROWS), ERROR_KIND_COUNT);
    for (std::size_t i = 0; i < ERROR_KIND_COUNT; ++i) {
        SCOPED_TRACE(i);
        const KindRow& row = KIND_ROWS[i];
        EXPECT_EQ(static_cast<std::size_t>(row.kind), i);
        EXPECT_EQ(kind_description(row.kind), row.description);
    }
}

// Counts its destructions so the test can see the error owns it.
class CountingObject : public CustomErrorObject {
  public:
    explicit CountingObject(int& destroyed) : destroyed_(destroyed) {}
    ~CountingObject() override { ++destroyed_; }
    std::string display_text() const override { return "custom failure: disk on fire"; }

  private:
    int& destroyed_;
};

TEST(OsErrorVariants, KindAndTextOfEach) {
    // Code 2 is a missing file both to the C library and to Windows.
    const OsError from_code = OsError::from_os_code(2);
    EXPECT_EQ(error_kind(from_code), EntityNotFound);
    EXPECT_EQ(error_text(from_code), system_message(2) + " (os error 2)");

    // The code is printed signed, down to the most negative one.
    struct Negative {
        std::int32_t code;
        std::string_view suffix;
    };
    for (const auto& [code, suffix] :
         {Negative{-1, " (os error -1)"}, Negative{INT32_MIN, " (os error -2147483648)"}}) {
        EXPECT_EQ(error_text(OsError::from_os_code(code)),
                  system_message(code) + std::string(suffix));
    }

    const OsError simple = OsError::simple(UnexpectedEndOfFile);
    EXPECT_EQ(error_kind(simple), UnexpectedEndOfFile);
    EXPECT_EQ(error_text(simple), "unexpected end of file");

    const OsError fixed = OsError::static_message(InvalidData, "stream did not contain UTF-8");
    EXPECT_EQ(error_kind(fixed), InvalidData);
    EXPECT_EQ(error_text(fixed), "stream did not contain UTF-8");

    int destroyed = 0;
    {
        OsError custom = OsError::custom(OtherError, std::make_unique<CountingObject>(destroyed));
        OsError moved = std::move(custom);
        EXPECT_EQ(error_kind(moved), OtherError);
        EXPECT_EQ(error_text(moved), "custom failure: disk on fire");
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);
}

TEST(TrimMessageEnd, DropsOnlyTheFiveAsciiCharactersAtTheEnd) {
    EXPECT_EQ(trim_message_end(""), "");
    EXPECT_EQ(trim_message_end("   "), "");
    EXPECT_EQ(trim_message_end("line\r\n"), "line");
    EXPECT_EQ(trim_message_end("x \t\n\f\r"), "x");
    EXPECT_EQ(trim_message_end("\r\n x"), "\r\n x");
    EXPECT_EQ(trim_message_end("a\r\nb"), "a\r\nb");
    EXPECT_EQ(trim_message_end("tab\v"), "tab\v");
    EXPECT_EQ(trim_message_end("tab\v "), "tab\v");
    EXPECT_EQ(trim_message_end("nbsp\xc2\xa0"), "nbsp\xc2\xa0");
    // A NUL is not whitespace, and the view's length, not a terminator, rules.
    EXPECT_EQ(trim_message_end(std::string_view("z\0 ", 3)), std::string_view("z\0", 2));
}

}  // namespace
}  // namespace driftmoor::platform
