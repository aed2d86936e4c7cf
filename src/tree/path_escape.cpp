#include "tree/path_escape.h"

#include <cstring>

namespace driftmoor::tree {

bool needs_escape(std::string_view path) noexcept {
    // Three scans by memchr, each a few vector steps for a path: a quarter
    // of what one scan testing each byte against three costs. Every line
    // of every manifest asks this.
    return std::memchr(path.data(), '\\', path.size()) != nullptr ||
           std::memchr(path.data(), '\n', path.size()) != nullptr ||
           std::memchr(path.data(), '\r', path.size()) != nullptr;
}

void append_escaped(std::string& out, std::string_view path) {
    for (const char c : path) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
}

std::optional<std::string> unescaped(std::string_view text) {
    std::string path;
    path.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\\') {
            path += text[at];
            continue;
        }
        if (++at == text.size()) {
            return std::nullopt;
        }
        switch (text[at]) {
            case '\\':
                path += '\\';
                break;
            case 'n':
                path += '\n';
                break;
            case 'r':
                path += '\r';
                break;
            default:
                return std::nullopt;
        }
    }
    return path;
}

}  // namespace driftmoor::tree
