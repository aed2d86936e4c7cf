#include "platform/path_text.h"

namespace driftmoor::platform {

// POSIX has one separator, "/"; a backslash is an ordinary character of a
// name, and there are no drive designators or verbatim prefixes to respect.
void append_to_path(std::string& directory_path, std::string_view name) {
    if (!directory_path.empty() && directory_path.back() != '/') {
        directory_path.push_back('/');
    }
    directory_path.append(name);
}

bool is_separator(char c) noexcept {
    return c == '/';
}

}  // namespace driftmoor::platform
