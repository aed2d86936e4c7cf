// Windows error codes into kinds, and the system's message for each.
#include "platform/windows/os_error_windows.h"

#include <windows.h>

#include <string>

#include "platform/fixed_texts.h"
#include "platform/os_error.h"
#include "platform/windows/wide_text.h"

namespace driftmoor::platform {
namespace {

// Bit 28 of a code marks an NTSTATUS wrapped as an error code: its message
// lives in ntdll's table, under the code without the bit.
constexpr DWORD NTSTATUS_FACILITY_BIT = 0x10000000;
constexpr DWORD MESSAGE_BUFFER_UNITS = 2048;

}  // namespace

ErrorKind decode_os_code(std::int32_t code) noexcept {
    using enum ErrorKind;
    switch (code) {
        case 2:   // ERROR_FILE_NOT_FOUND
        case 3:   // ERROR_PATH_NOT_FOUND
        case 15:  // ERROR_INVALID_DRIVE
        case 53:  // ERROR_BAD_NETPATH
        case 67:  // ERROR_BAD_NET_NAME
            return EntityNotFound;
        case 5:      // ERROR_ACCESS_DENIED
        case 10013:  // WSAEACCES
            return PermissionDenied;
        case 10061:  // WSAECONNREFUSED
            return ConnectionRefused;
        case 10054:  // WSAECONNRESET
            return ConnectionReset;
        case 1232:   // ERROR_HOST_UNREACHABLE
        case 10065:  // WSAEHOSTUNREACH
            return HostUnreachable;
        case 1231:   // ERROR_NETWORK_UNREACHABLE
        case 10051:  // WSAENETUNREACH
            return NetworkUnreachable;
        case 10053:  // WSAECONNABORTED
            return ConnectionAborted;
        case 10057:  // WSAENOTCONN
            return NotConnected;
        case 10048:  // WSAEADDRINUSE
            return AddressInUse;
        case 10049:  // WSAEADDRNOTAVAIL
            return AddressNotAvailable;
        case 10050:  // WSAENETDOWN
            return NetworkDown;
        case 109:  // ERROR_BROKEN_PIPE
        case 232:  // ERROR_NO_DATA
            return BrokenPipe;
        case 80:   // ERROR_FILE_EXISTS
        case 183:  // ERROR_ALREADY_EXISTS
            return EntityAlreadyExists;
        case 10035:  // WSAEWOULDBLOCK
            return OperationWouldBlock;
        case 267:  // ERROR_DIRECTORY
            return NotADirectory;
        case 336:  // ERROR_DIRECTORY_NOT_SUPPORTED
            return IsADirectory;
        case 145:  // ERROR_DIR_NOT_EMPTY
            return DirectoryNotEmpty;
        case 19:  // ERROR_WRITE_PROTECT
            return ReadOnlyFilesystem;
        case 1921:  // ERROR_CANT_RESOLVE_FILENAME
            return FilesystemLoop;
        case 87:     // ERROR_INVALID_PARAMETER
        case 10022:  // WSAEINVAL
            return InvalidInputParameter;
        case 121:  // ERROR_SEM_TIMEOUT
        case 258:  // WAIT_TIMEOUT
        case 594:
        case 995:  // ERROR_OPERATION_ABORTED
        case 1053:
        case 1121:
        case 1460:  // ERROR_TIMEOUT
        case 5910:
        case 7012:
        case 7040:
        case 8014:
        case 8226:
        case 9705:
        case 10060:  // WSAETIMEDOUT
        case 13805:
        case 15402:
        case 15403:
            return TimedOut;
        case 39:   // ERROR_HANDLE_DISK_FULL
        case 112:  // ERROR_DISK_FULL
            return NoStorageSpace;
        case 132:  // ERROR_SEEK_ON_DEVICE
            return SeekOnUnseekableFile;
        case 1295:   // ERROR_DISK_QUOTA_EXCEEDED
        case 10069:  // WSAEDQUOT
            return QuotaExceeded;
        case 223:  // ERROR_FILE_TOO_LARGE
            return FileTooLarge;
        case 170:  // ERROR_BUSY
            return ResourceBusy;
        case 1131:  // ERROR_POSSIBLE_DEADLOCK
            return Deadlock;
        case 17:  // ERROR_NOT_SAME_DEVICE
            return CrossDeviceLinkOrRename;
        case 1142:  // ERROR_TOO_MANY_LINKS
            return TooManyLinks;
        case 123:  // ERROR_INVALID_NAME
        case 161:  // ERROR_BAD_PATHNAME
        case 206:  // ERROR_FILENAME_EXCED_RANGE
            return InvalidFilename;
        case 120:  // ERROR_CALL_NOT_IMPLEMENTED
            return Unsupported;
        case 8:   // ERROR_NOT_ENOUGH_MEMORY
        case 14:  // ERROR_OUTOFMEMORY
            return OutOfMemory;
        default:
            return UncategorizedError;
    }
}

std::string message_lookup_failed(std::int32_t code, std::int32_t last_error) {
    return message_lookup_failed_text(code, last_error);
}

std::string message_from_units(std::int32_t code, std::wstring_view units) {
    auto text = utf16_to_utf8(units);
    if (!text) {
        return message_not_utf16_text(code);
    }
    text->resize(trim_message_end(*text).size());
    return std::move(*text);
}

std::string system_message(std::int32_t code) {
    // On the heap, as every buffer of a call is: the stack may be short.
    std::wstring buffer(MESSAGE_BUFFER_UNITS, L'\0');
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    auto asked = static_cast<DWORD>(code);
    HMODULE source = nullptr;
    if ((asked & NTSTATUS_FACILITY_BIT) != 0) {
        if (HMODULE ntdll = ::GetModuleHandleW(L"NTDLL.DLL")) {
            asked &= ~NTSTATUS_FACILITY_BIT;
            flags |= FORMAT_MESSAGE_FROM_HMODULE;
            source = ntdll;
        }
    }
    // Language 0: the system's own order of languages.
    const DWORD length =
        ::FormatMessageW(flags, source, asked, 0, buffer.data(), MESSAGE_BUFFER_UNITS, nullptr);
    if (length == 0) {
        const auto last_error = static_cast<std::int32_t>(::GetLastError());
        return message_lookup_failed(static_cast<std::int32_t>(asked), last_error);
    }
    return message_from_units(static_cast<std::int32_t>(asked),
                              std::wstring_view(buffer.data(), length));
}

TextEncoding system_message_encoding() noexcept {
    // FormatMessageW's UTF-16, converted.
    return TextEncoding::Utf8;
}

bool exhausts_resources(const OsError& error) noexcept {
    if (error_kind(error) == ErrorKind::OutOfMemory) {
        return true;
    }
    const auto* code = std::get_if<OsError::OsCode>(&error.variant());
    // ERROR_TOO_MANY_OPEN_FILES, ERROR_NO_SYSTEM_RESOURCES
    return code && (code->code == 4 || code->code == 1450);
}

}  // namespace driftmoor::platform
