// The tree one walk stays in: where its top really lies and on which file
// system, so that the bounds of the walk are judged the same way by every
// worker, whatever task it took.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "walk/directory_walk.h"

namespace driftmoor::walk {

struct TreeScope {
    WalkBounds bounds;
    // The top's absolute path with every link resolved; none where the
    // platform cannot tell (then no link is known to stay inside).
    std::optional<std::string> location;
    // The top's file system; none where the platform cannot tell.
    std::optional<std::uint64_t> device;

    // Whether something that lies at `target` (a location as the platform
    // gives it, or none) lies inside the tree.
    bool holds(const std::optional<std::string>& target) const noexcept {
        if (!location || !target) {
            return false;
        }
        const std::string_view top = *location;
        if (!target->starts_with(top)) {
            return false;
        }
        return target->size() == top.size() || top.ends_with('/') || top.ends_with('\\') ||
               (*target)[top.size()] == '/' || (*target)[top.size()] == '\\';
    }
};

// The scope of a walk of the directory at `directory_path` within `bounds`.
// The top is looked at only when the bounds need it.
TreeScope scope_of(std::string_view directory_path, const WalkBounds& bounds);

}  // namespace driftmoor::walk
