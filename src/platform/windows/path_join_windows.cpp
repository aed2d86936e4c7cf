#include <cstddef>

#include "platform/path_text.h"

namespace driftmoor::platform {
namespace {

constexpr std::string_view VERBATIM_PREFIX = "\\\\?\\";

bool is_ascii_letter(char character) noexcept {
    return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z');
}

// A verbatim path reaches the file system without any of Windows' path
// clean-up, so an empty component there would name nothing: the directory
// part is rebuilt with exactly one backslash between its components. A "/"
// is an ordinary character of such a path.
void rebuild_verbatim(std::string& directory_path) {
    std::string rebuilt(VERBATIM_PREFIX);
    rebuilt.reserve(directory_path.size());
    std::string_view rest = std::string_view(directory_path).substr(VERBATIM_PREFIX.size());
    bool first = true;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\\');
        const std::string_view component = rest.substr(0, end);
        if (!component.empty()) {
            if (!first) {
                rebuilt.push_back('\\');
            }
            rebuilt.append(component);
            first = false;
        }
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    directory_path = std::move(rebuilt);
}

// No separator goes after an empty path, after one that already ends in a
// separator, or after a bare drive designator ("D:" names the current
// directory of drive D, and "D:a.txt" a file in it).
bool needs_separator(std::string_view directory_path) noexcept {
    if (directory_path.empty() || directory_path.back() == '\\' || directory_path.back() == '/') {
        return false;
    }
    return !(directory_path.size() == 2 && is_ascii_letter(directory_path[0]) &&
             directory_path[1] == ':');
}

}  // namespace

// Windows separates with "\" but accepts "/", so the caller's spelling is
// kept as written and only the separator this function adds is "\".
void append_to_path(std::string& directory_path, std::string_view name) {
    if (directory_path.starts_with(VERBATIM_PREFIX)) {
        rebuild_verbatim(directory_path);
        directory_path.push_back('\\');
    } else if (needs_separator(directory_path)) {
        directory_path.push_back('\\');
    }
    directory_path.append(name);
}

bool is_separator(char c) noexcept {
    return c == '\\' || c == '/';
}

}  // namespace driftmoor::platform
