#include "platform/posix/platform_path.h"

#include "platform/path_text.h"

namespace driftmoor::platform {

OsResult<std::string> prepare_platform_path(std::string_view path_text) {
    if (auto checked = check_no_nul(path_text); !checked) {
        return std::unexpected(std::move(checked).error());
    }
    return std::string(path_text);
}

}  // namespace driftmoor::platform
