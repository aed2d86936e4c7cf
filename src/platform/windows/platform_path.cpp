#include "platform/windows/platform_path.h"

#include <windows.h>

#include <cstddef>

#include "platform/path_text.h"
#include "platform/windows/wide_text.h"

namespace driftmoor::platform {
namespace {

// Units, the terminating NUL included, below which a drive or UNC path is
// passed as written. From this length on, only the verbatim form reaches
// every path: without it, some calls refuse paths past the old 260 limit.
constexpr std::size_t LONGEST_UNCHANGED = 247;
// The first buffer for the absolute form; longer results ask again.
constexpr DWORD FIRST_FULL_PATH_BUFFER = 512;

bool is_separator(wchar_t unit) noexcept {
    return unit == L'\\' || unit == L'/';
}

bool starts_with(std::wstring_view path, std::wstring_view prefix) noexcept {
    return path.substr(0, prefix.size()) == prefix;
}

// Paths that Windows must see exactly as the caller wrote them.
bool passes_unchanged(std::wstring_view path) noexcept {
    if (starts_with(path, L"\\\\?\\") || starts_with(path, L"\\??\\") || path.empty()) {
        return true;
    }
    if (path.size() + 1 > LONGEST_UNCHANGED) {
        return false;
    }
    const bool drive_letter_first = path.size() >= 2 && !is_separator(path[0]) && path[1] == L':';
    if (drive_letter_first && (path.size() == 2 || is_separator(path[2]))) {
        return true;  // "D:", "C:\x", "C:/x"
    }
    return path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
}

// The absolute form, as Windows resolves it against the current directory
// (of the path's drive, for "D:rel").
OsResult<std::wstring> full_path_of(const std::wstring& path) {
    std::wstring absolute(FIRST_FULL_PATH_BUFFER, L'\0');
    for (;;) {
        ::SetLastError(0);
        const DWORD reported = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(absolute.size()),
                                                  absolute.data(), nullptr);
        if (reported == 0) {
            if (const DWORD error = ::GetLastError(); error != 0) {
                return std::unexpected(OsError::from_os_code(static_cast<std::int32_t>(error)));
            }
        }
        if (reported < absolute.size()) {
            absolute.resize(reported);
            return absolute;
        }
        // Too small: `reported` is the size needed, its NUL included. The
        // current directory can change between two calls, so ask until the
        // answer fits.
        absolute.assign(reported, L'\0');
    }
}

std::wstring with_verbatim_prefix(std::wstring absolute) {
    if (absolute.size() >= 3 && absolute[1] == L':' && absolute[2] == L'\\') {
        return L"\\\\?\\" + absolute;
    }
    if (starts_with(absolute, L"\\\\.\\")) {
        return L"\\\\?\\" + absolute.substr(4);
    }
    if (starts_with(absolute, L"\\\\?\\") || starts_with(absolute, L"\\??\\")) {
        return absolute;
    }
    if (starts_with(absolute, L"\\\\")) {
        return L"\\\\?\\UNC\\" + absolute.substr(2);
    }
    return absolute;
}

}  // namespace

OsResult<std::wstring> prepare_platform_path(std::string_view path_text) {
    if (auto checked = check_no_nul(path_text); !checked) {
        return std::unexpected(std::move(checked).error());
    }
    std::wstring path = wtf8_to_utf16(path_text);
    if (passes_unchanged(path)) {
        return path;
    }
    auto absolute = full_path_of(path);
    if (!absolute) {
        return absolute;
    }
    return with_verbatim_prefix(std::move(*absolute));
}

}  // namespace driftmoor::platform
