// Path texts as the module carries them: UTF-8 with an explicit length, never
// NUL-terminated, borrowed as std::string_view. No platform call accepts a NUL
// inside a path, so every operation refuses one before calling the platform.
#pragma once

#include <string_view>

#include "platform/os_error.h"

namespace driftmoor::platform {

inline constexpr std::string_view NUL_IN_PATH_MESSAGE =
    "strings passed to WinAPI cannot contain NULs";

// Succeeds when the path text holds no NUL character; otherwise the
// invalid-input error that every path operation reports for one.
inline OsResult<void> check_no_nul(std::string_view path_text) {
    if (path_text.find('\0') != std::string_view::npos) {
        return std::unexpected(
            OsError::static_message(ErrorKind::InvalidInputParameter, NUL_IN_PATH_MESSAGE));
    }
    return {};
}

}  // namespace driftmoor::platform
