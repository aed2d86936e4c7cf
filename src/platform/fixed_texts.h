// The platform layer's texts that reach callers, all of them here.
//
// These texts are fixed by compatibility, not chosen: callers match on them
// (`except OSError as e: if str(e) == ...`), results stored by earlier runs
// and other implementations of this module are compared with them, and the
// tests pin each one byte for byte. Never reword, re-case or re-punctuate
// one, though some read oddly (the NUL message names WinAPI on every
// platform); a new text that callers will see belongs here too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace driftmoor::platform {

// The display text of each ErrorKind (os_error.h), in the enumeration's order.
inline constexpr std::array<std::string_view, 42> KIND_DESCRIPTIONS{{
    "entity not found",
    "permission denied",
    "connection refused",
    "connection reset",
    "host unreachable",
    "network unreachable",
    "connection aborted",
    "not connected",
    "address in use",
    "address not available",
    "network down",
    "broken pipe",
    "entity already exists",
    "operation would block",
    "not a directory",
    "is a directory",
    "directory not empty",
    "read-only filesystem or storage medium",
    "filesystem loop or indirection limit (e.g. symlink loop)",
    "stale network file handle",
    "invalid input parameter",
    "invalid data",
    "timed out",
    "write zero",
    "no storage space",
    "seek on unseekable file",
    "quota exceeded",
    "file too large",
    "resource busy",
    "executable file busy",
    "deadlock",
    "cross-device link or rename",
    "too many links",
    "invalid filename",
    "argument list too long",
    "operation interrupted",
    "unsupported",
    "unexpected end of file",
    "out of memory",
    "in progress",
    "other error",
    "uncategorized error",
}};

// The display text of an error from the system: its message, then the code
// as the system gave it, signed.
inline std::string with_os_error_code(std::string system_message, std::int32_t code) {
    return std::move(system_message) + " (os error " + std::to_string(code) + ")";
}

// A path text holding a NUL, refused before any system call on every platform.
inline constexpr std::string_view NUL_IN_PATH_MESSAGE =
    "strings passed to WinAPI cannot contain NULs";

// A file the walk will not open because it is not a regular file (a pipe or
// device swapped in under a listed name). One text on every platform:
// callers tell it apart from the failures of the open itself.
inline constexpr std::string_view NOT_A_REGULAR_FILE = "not a regular file";

// Windows: what an error code reads when the system has no message for it,
// because FormatMessageW failed with `last_error`, or because the message
// it returned is not valid UTF-16.
inline std::string message_lookup_failed_text(std::int32_t code, std::int32_t last_error) {
    return "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " +
           std::to_string(last_error) + ")";
}
inline std::string message_not_utf16_text(std::int32_t code) {
    return "OS Error " + std::to_string(code) + " (FormatMessageW() returned invalid UTF-16)";
}

// Windows: written to standard error, line feed included, before the process
// is stopped because a read did not complete synchronously.
inline constexpr std::string_view READ_NOT_SYNCHRONOUS_MESSAGE =
    "fatal runtime error: I/O error: operation failed to complete synchronously, aborting\n";

}  // namespace driftmoor::platform
