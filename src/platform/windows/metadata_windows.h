// The metadata query as Windows answers it, shared by the metadata and the
// listing code.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/metadata.h"
#include "platform/os_error.h"

namespace driftmoor::platform {

// What a query tells: the attribute bits, the reparse tag (0 unless the
// reparse-point bit is set), and which object it is when the answer came
// from an open handle rather than the directory's cached record.
struct WindowsMetadata {
    std::uint32_t attributes = 0;
    std::uint32_t reparse_tag = 0;
    std::optional<FileIdentity> identity;
};

// A reparse point that stands for another name: a symbolic link or a
// junction. Other reparse points (deduplicated or cloud files) are not links.
bool is_symbolic_link(const WindowsMetadata& metadata) noexcept;

// The metadata of what the platform path names at the end of any chain of
// links. When even a metadata open is refused, the directory's cached record
// answers instead; when a reparse point cannot be followed, its own metadata
// answers unless it is a link.
OsResult<WindowsMetadata> query_platform_metadata(const std::wstring& platform_path);

FileMetadata to_file_metadata(const WindowsMetadata& metadata) noexcept;

// The status of what an open handle reads (its size and times asked of the
// handle), or of what a platform path names, following links.
OsResult<FileStatus> status_of_handle(HANDLE handle);
OsResult<FileStatus> query_platform_status(const std::wstring& platform_path);

}  // namespace driftmoor::platform
