#include "platform/linux/platform_path.h"

#include <algorithm>
#include <utility>

#include "platform/path_text.h"

namespace driftmoor::platform {

PlatformPath::PlatformPath(std::string_view path_text) {
    if (path_text.size() < CAPACITY) {
        *std::ranges::copy(path_text, text_.begin()).out = '\0';
    } else {
        long_text_.assign(path_text);
    }
}

OsResult<PlatformPath> prepare_platform_path(std::string_view path_text) {
    if (auto checked = check_no_nul(path_text); !checked) {
        return std::unexpected(std::move(checked).error());
    }
    return OsResult<PlatformPath>(std::in_place, path_text);
}

}  // namespace driftmoor::platform
