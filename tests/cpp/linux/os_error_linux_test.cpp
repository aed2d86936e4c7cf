// The errno side of the error model: which kind each code decodes to, and
// the C library's message for it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "../decode_table.h"
#include "platform/os_error.h"

namespace driftmoor::platform {
namespace {

using enum ErrorKind;

using testing_support::CodeRow;

// clang-format off
constexpr CodeRow CODE_ROWS[] = {
    {ENOENT, EntityNotFound}, {EACCES, PermissionDenied}, {EPERM, PermissionDenied},
    {ECONNREFUSED, ConnectionRefused}, {ECONNRESET, ConnectionReset},
    {ECONNABORTED, ConnectionAborted}, {EHOSTUNREACH, HostUnreachable},
    {ENETUNREACH, NetworkUnreachable}, {ENOTCONN, NotConnected}, {EADDRINUSE, AddressInUse},
    {EADDRNOTAVAIL, AddressNotAvailable}, {ENETDOWN, NetworkDown}, {EPIPE, BrokenPipe},
    {EEXIST, EntityAlreadyExists}, {EAGAIN, OperationWouldBlock},
    {EWOULDBLOCK, OperationWouldBlock}, {ENOTDIR, NotADirectory}, {EISDIR, IsADirectory},
    {ENOTEMPTY, DirectoryNotEmpty}, {EROFS, ReadOnlyFilesystem}, {ELOOP, FilesystemLoop},
    {ESTALE, StaleNetworkFileHandle}, {EINVAL, InvalidInputParameter}, {ETIMEDOUT, TimedOut},
    {ENOSPC, NoStorageSpace}, {ESPIPE, SeekOnUnseekableFile}, {EDQUOT, QuotaExceeded},
    {EFBIG, FileTooLarge}, {EBUSY, ResourceBusy}, {ETXTBSY, ExecutableFileBusy},
    {EDEADLK, Deadlock}, {EXDEV, CrossDeviceLinkOrRename}, {EMLINK, TooManyLinks},
    {ENAMETOOLONG, InvalidFilename}, {E2BIG, ArgumentListTooLong}, {EINTR, OperationInterrupted},
    {ENOSYS, Unsupported}, {ENOMEM, OutOfMemory}, {EINPROGRESS, InProgress},
};
// clang-format on

TEST(DecodeOsCode, NamedCodesAndEverythingElseUncategorized) {
    for (const std::int32_t code : {EIO, EMFILE, 0, -1, 99999, INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(decode_os_code(code), UncategorizedError);
    }
    // Every code a C library could plausibly hand out: the listed ones keep
    // their kind and the rest are uncategorized, so the kinds the platform
    // never reports (InvalidData, WriteZero, UnexpectedEndOfFile, OtherError)
    // come from no code.
    testing_support::expect_decode_table(CODE_ROWS, 4096);
}

TEST(SystemMessage, TheCLibraryTextWithoutTrailingWhitespace) {
    EXPECT_EQ(system_message(ENOENT), std::strerror(ENOENT));
    EXPECT_EQ(system_message(EISDIR), std::strerror(EISDIR));
    EXPECT_NE(system_message(99999).find("99999"), std::string::npos);
    for (std::int32_t code = -5; code < 200; ++code) {
        const std::string message = system_message(code);
        ASSERT_FALSE(message.empty()) << "code " << code;
        EXPECT_EQ(trim_message_end(message), message) << "code " << code;
    }
}

}  // namespace
}  // namespace driftmoor::platform
