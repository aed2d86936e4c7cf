// Shared by the Linux metadata and listing code.
#pragma once

#include <sys/stat.h>

#include "platform/metadata.h"

namespace driftmoor::platform {

FileMetadata metadata_from_stat(const struct stat& status) noexcept;
FileStatus status_from_stat(const struct stat& status) noexcept;

}  // namespace driftmoor::platform
