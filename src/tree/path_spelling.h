// One spelling for every name of a path that names the same file by its
// letters alone, so that a manifest's `d//a`, `d/./a` and `./d/a` are the
// walk's `d/a`.
#pragma once

#include <string>
#include <string_view>

namespace driftmoor::tree {

// The path with each run of slashes made one and each `.` component
// dropped (a path of `.` components alone is `.`). `..` components stay as
// they are: what they lead to depends on the links on the way, which only
// opening the path tells. A slash at the start or the end stays.
std::string plain_spelling(std::string_view path);

// The directory of `path` as it is spelled, with its last slash: `a/b/c`
// gives `a/b/`, `c` gives the empty path, `/c` gives `/`.
std::string_view directory_of(std::string_view path) noexcept;

// The longest directory that both spellings lie under, ending in a slash,
// or the empty path when they share none.
std::string_view shared_directory(std::string_view a, std::string_view b) noexcept;

}  // namespace driftmoor::tree
