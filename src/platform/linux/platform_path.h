// The path as POSIX calls take it: the same bytes, NUL-terminated.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/os_error.h"

namespace driftmoor::platform {

// A NUL-terminated copy of a path text, owned by the one operation that asked
// for it. Nothing else changes: POSIX takes the bytes as they are, relative
// paths against the current directory.
//
// A path is prepared for every open, so a path as long as any the kernel
// accepts (PATH_MAX, NUL included) is copied into the object itself and
// costs no allocation; only a longer one, which the kernel then refuses with
// its own error, is copied to the heap. The object is neither copied nor
// moved: it lives where prepare_platform_path's result is kept.
class PlatformPath {
  public:
    explicit PlatformPath(std::string_view path_text);
    PlatformPath(const PlatformPath&) = delete;
    PlatformPath& operator=(const PlatformPath&) = delete;

    const char* c_str() const noexcept {
        return long_text_.empty() ? text_.data() : long_text_.c_str();
    }

  private:
    static constexpr std::size_t CAPACITY = 4096;

    std::array<char, CAPACITY> text_;  // only its first path_text.size() + 1 bytes are written
    std::string long_text_;            // empty unless the path does not fit text_
};

// The path ready for a POSIX call; fails for a text holding a NUL.
OsResult<PlatformPath> prepare_platform_path(std::string_view path_text);

}  // namespace driftmoor::platform
