// Path texts as the module carries them: UTF-8 with an explicit length, never
// NUL-terminated, borrowed as std::string_view. No platform call accepts a NUL
// inside a path, so every operation refuses one before calling the platform.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/fixed_texts.h"
#include "platform/os_error.h"

namespace driftmoor::platform {

// Succeeds when the path text holds no NUL character; otherwise the
// invalid-input error that every path operation reports for one.
inline OsResult<void> check_no_nul(std::string_view path_text) {
    if (path_text.find('\0') != std::string_view::npos) {
        return std::unexpected(
            OsError::static_message(ErrorKind::InvalidInputParameter, NUL_IN_PATH_MESSAGE));
    }
    return {};
}

// Extends `directory_path` to the path of the entry `name` inside it. Pure
// text: the directory keeps the caller's spelling, and one separator is put
// between the two unless the directory text needs none (it is empty or
// already ends in one, for instance). Implemented once per platform, since
// the separators and these rules differ.
void append_to_path(std::string& directory_path, std::string_view name);

// Whether `c` separates the names of a path on this platform.
bool is_separator(char c) noexcept;

// The same as a new text.
inline std::string join_path(std::string_view directory_path, std::string_view name) {
    std::string path;
    path.reserve(directory_path.size() + 1 + name.size());
    path.assign(directory_path);
    append_to_path(path, name);
    return path;
}

// True when the bytes are well-formed UTF-8: shortest forms only, no
// surrogate code points, nothing above U+10FFFF.
bool is_unicode_text(std::string_view bytes) noexcept;

// The path as Unicode text (the same bytes), or none when a part of it came
// from a name that has no Unicode spelling. Nothing is replaced or repaired.
inline std::optional<std::string_view> path_as_unicode(std::string_view path_text) noexcept {
    if (!is_unicode_text(path_text)) {
        return std::nullopt;
    }
    return path_text;
}

}  // namespace driftmoor::platform
