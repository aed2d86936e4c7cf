// The Windows side of the error model: the code table, and the message
// lookup with its two fallbacks.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "../decode_table.h"
#include "platform/os_error.h"
#include "platform/windows/os_error_windows.h"

namespace driftmoor::platform {
namespace {

using enum ErrorKind;

using testing_support::CodeRow;

// clang-format off
constexpr CodeRow CODE_ROWS[] = {
    {2, EntityNotFound}, {3, EntityNotFound}, {15, EntityNotFound}, {53, EntityNotFound},
    {67, EntityNotFound}, {5, PermissionDenied}, {10013, PermissionDenied},
    {10061, ConnectionRefused}, {10054, ConnectionReset}, {1232, HostUnreachable},
    {10065, HostUnreachable}, {1231, NetworkUnreachable}, {10051, NetworkUnreachable},
    {10053, ConnectionAborted}, {10057, NotConnected}, {10048, AddressInUse},
    {10049, AddressNotAvailable}, {10050, NetworkDown}, {109, BrokenPipe}, {232, BrokenPipe},
    {80, EntityAlreadyExists}, {183, EntityAlreadyExists}, {10035, OperationWouldBlock},
    {267, NotADirectory}, {336, IsADirectory}, {145, DirectoryNotEmpty},
    {19, ReadOnlyFilesystem}, {1921, FilesystemLoop}, {87, InvalidInputParameter},
    {10022, InvalidInputParameter}, {121, TimedOut}, {258, TimedOut}, {594, TimedOut},
    {995, TimedOut}, {1053, TimedOut}, {1121, TimedOut}, {1460, TimedOut}, {5910, TimedOut},
    {7012, TimedOut}, {7040, TimedOut}, {8014, TimedOut}, {8226, TimedOut}, {9705, TimedOut},
    {10060, TimedOut}, {13805, TimedOut}, {15402, TimedOut}, {15403, TimedOut},
    {39, NoStorageSpace}, {112, NoStorageSpace}, {132, SeekOnUnseekableFile},
    {1295, QuotaExceeded}, {10069, QuotaExceeded}, {223, FileTooLarge}, {170, ResourceBusy},
    {1131, Deadlock}, {17, CrossDeviceLinkOrRename}, {1142, TooManyLinks},
    {123, InvalidFilename}, {161, InvalidFilename}, {206, InvalidFilename},
    {120, Unsupported}, {8, OutOfMemory}, {14, OutOfMemory},
};
// clang-format on

TEST(DecodeWindowsCode, NamedCodesAndEverythingElseUncategorized) {
    // Sharing and lock violations and unfollowable reparse points matter in
    // file work and still have no kind of their own.
    for (const std::int32_t code : {32, 33, 1920, 0, -1, INT32_MIN, INT32_MAX, 0x10000002}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(decode_os_code(code), UncategorizedError);
    }
    testing_support::expect_decode_table(CODE_ROWS, 20000);
}

TEST(WindowsMessage, TextsAndBothFallbacks) {
    EXPECT_EQ(message_lookup_failed(2, 1813), "OS Error 2 (FormatMessageW() returned error 1813)");
    EXPECT_EQ(message_lookup_failed(-5, -1), "OS Error -5 (FormatMessageW() returned error -1)");
    EXPECT_EQ(message_from_units(7, L"\xD800 broken"),
              "OS Error 7 (FormatMessageW() returned invalid UTF-16)");
    EXPECT_EQ(message_from_units(7, L"Done.\r\n"), "Done.");
    EXPECT_EQ(message_from_units(7, L"Two\r\nlines. \t\f"), "Two\r\nlines.");
    EXPECT_EQ(message_from_units(7, L"caf\u00e9\v"), "caf\xC3\xA9\v");

    // The system's own text (wording differs between Windows and wine).
    const std::string missing = system_message(2);
    EXPECT_FALSE(missing.empty());
    EXPECT_FALSE(missing.starts_with("OS Error"));
    EXPECT_EQ(trim_message_end(missing), missing);

    // A code with no message at all gets the first fallback.
    EXPECT_TRUE(system_message(0x0DEADBEE)
                    .starts_with("OS Error 233495534 (FormatMessageW() "
                                 "returned error "));

    // An NTSTATUS-wrapping code is looked up in ntdll without its facility
    // bit; the error's own text keeps the code as given.
    const std::string wrapped = system_message(0x10000000 | 2);
    EXPECT_EQ(wrapped.find("268435458"), std::string::npos) << wrapped;
    EXPECT_TRUE(error_text(OsError::from_os_code(0x10000002)).ends_with(" (os error 268435458)"));
}

}  // namespace
}  // namespace driftmoor::platform
