#include "tree/path_spelling.h"

#include <algorithm>

namespace driftmoor::tree {

std::string plain_spelling(std::string_view path) {
    std::string plain;
    plain.reserve(path.size());
    const bool absolute = path.starts_with('/');
    if (absolute) {
        plain += '/';
    }
    std::size_t start = 0;
    while (start < path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view component = path.substr(start, end - start);
        if (!component.empty() && component != ".") {
            if (!plain.empty() && plain.back() != '/') {
                plain += '/';
            }
            plain += component;
        }
        start = end + 1;
    }
    if (plain.empty()) {
        // Nothing but dots and slashes, and not absolute: the directory
        // itself.
        return path.empty() ? std::string() : std::string(".");
    }
    // A path that named a directory by its trailing slash still does.
    if (path.ends_with('/') && plain.back() != '/') {
        plain += '/';
    }
    return plain;
}

std::string_view directory_of(std::string_view path) noexcept {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

std::string_view shared_directory(std::string_view a, std::string_view b) noexcept {
    const auto [end, other] = std::ranges::mismatch(a, b);
    return directory_of(a.substr(0, static_cast<std::size_t>(end - a.begin())));
}

}  // namespace driftmoor::tree
