#include "platform/metadata.h"

namespace driftmoor::platform {

bool is_directory(std::string_view path_text) {
    const auto metadata = query_metadata(path_text);
    return metadata && metadata->type == FileType::Directory;
}

}  // namespace driftmoor::platform
