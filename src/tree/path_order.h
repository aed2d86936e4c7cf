// Paths put in the order of their bytes, fast where many share long starts.
#pragma once

#include <span>
#include <string_view>
#include <utility>

namespace driftmoor::tree {

// A path and what goes with it (a manifest line's digest).
using PathEntry = std::pair<std::string_view, std::string_view>;

// Sorts `entries` by path in the order of the paths' bytes, as memcmp
// compares them (unsigned; a path before every longer one it starts). Paths
// must be unique. The paths of one tree share the root, and each directory's
// files their directory, so a comparison of two whole paths mostly compares
// what they share: this skips what each group of paths shares and sorts on
// the next eight bytes as one integer, group by group. The same order as
// std::ranges::sort by path, in a third of its time on a walk's paths.
// Throws std::bad_alloc when memory runs out; `entries` is then unchanged.
void sort_by_path(std::span<PathEntry> entries);

}  // namespace driftmoor::tree
