// Where an open descriptor's file lies, as the kernel tells it.
#pragma once

#include <optional>
#include <string>

namespace driftmoor::platform {

// The absolute path, links resolved, of the file or directory that
// `descriptor` is open on, read from /proc/self/fd; none where /proc is not
// there, or the file has no path any more (removed: the kernel then names it
// with " (deleted)" after it, which no check of its place should trust).
std::optional<std::string> descriptor_location(int descriptor);

}  // namespace driftmoor::platform
