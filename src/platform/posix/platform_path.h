// The path as POSIX calls take it: the same bytes, NUL-terminated.
#pragma once

#include <string>
#include <string_view>

#include "platform/os_error.h"

namespace driftmoor::platform {

// A NUL-terminated copy of the path text, owned by the one operation that
// asked for it; fails for a text holding a NUL. Nothing else changes: POSIX
// takes the bytes as they are, relative paths against the current directory.
OsResult<std::string> prepare_platform_path(std::string_view path_text);

}  // namespace driftmoor::platform
