// errno values into kinds, and the C library's message for each.
#include <cerrno>
#include <cstring>

#include "platform/os_error.h"

namespace driftmoor::platform {

ErrorKind decode_os_code(std::int32_t code) noexcept {
    using enum ErrorKind;
    switch (code) {
        case ENOENT:
            return EntityNotFound;
        case EACCES:
        case EPERM:
            return PermissionDenied;
        case ECONNREFUSED:
            return ConnectionRefused;
        case ECONNRESET:
            return ConnectionReset;
        case ECONNABORTED:
            return ConnectionAborted;
        case EHOSTUNREACH:
            return HostUnreachable;
        case ENETUNREACH:
            return NetworkUnreachable;
        case ENOTCONN:
            return NotConnected;
        case EADDRINUSE:
            return AddressInUse;
        case EADDRNOTAVAIL:
            return AddressNotAvailable;
        case ENETDOWN:
            return NetworkDown;
        case EPIPE:
            return BrokenPipe;
        case EEXIST:
            return EntityAlreadyExists;
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EAGAIN:
            return OperationWouldBlock;
        case ENOTDIR:
            return NotADirectory;
        case EISDIR:
            return IsADirectory;
        case ENOTEMPTY:
            return DirectoryNotEmpty;
        case EROFS:
            return ReadOnlyFilesystem;
        case ELOOP:
            return FilesystemLoop;
        case ESTALE:
            return StaleNetworkFileHandle;
        case EINVAL:
            return InvalidInputParameter;
        case ETIMEDOUT:
            return TimedOut;
        case ENOSPC:
            return NoStorageSpace;
        case ESPIPE:
            return SeekOnUnseekableFile;
        case EDQUOT:
            return QuotaExceeded;
        case EFBIG:
            return FileTooLarge;
        case EBUSY:
            return ResourceBusy;
        case ETXTBSY:
            return ExecutableFileBusy;
        case EDEADLK:
            return Deadlock;
        case EXDEV:
            return CrossDeviceLinkOrRename;
        case EMLINK:
            return TooManyLinks;
        case ENAMETOOLONG:
            return InvalidFilename;
        case E2BIG:
            return ArgumentListTooLong;
        case EINTR:
            return OperationInterrupted;
        case ENOSYS:
            return Unsupported;
        case ENOMEM:
            return OutOfMemory;
        case EINPROGRESS:
            return InProgress;
        default:
            return UncategorizedError;
    }
}

std::string system_message(std::int32_t code) {
    // strerror is not thread-safe; strerror_r is, in either of its two forms.
    char buffer[256] = {};
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    // The GNU form returns the message, which may be a static string rather
    // than the buffer; unknown codes read "Unknown error N".
    const char* message = strerror_r(code, buffer, sizeof buffer);
#else
    const char* message = buffer;
    if (strerror_r(code, buffer, sizeof buffer) != 0) {
        return "Unknown error " + std::to_string(code);
    }
#endif
    return std::string(trim_message_end(message));
}

TextEncoding system_message_encoding() noexcept {
    // strerror_r's messages come from the C library's translations, in the
    // locale's own encoding: KOI8-R in ru_RU.KOI8-R, EUC-JP in ja_JP.EUC-JP.
    return TextEncoding::Locale;
}

bool exhausts_resources(const OsError& error) noexcept {
    if (error_kind(error) == ErrorKind::OutOfMemory) {
        return true;
    }
    const auto* code = std::get_if<OsError::OsCode>(&error.variant());
    return code && (code->code == EMFILE || code->code == ENFILE);
}

}  // namespace driftmoor::platform
