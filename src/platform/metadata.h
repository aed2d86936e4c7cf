// What the directory walk needs to know about a path without reading it: what
// kind of object it names, and which object that is.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/file.h"
#include "platform/os_error.h"

namespace driftmoor::platform {

// Names one file-system object for as long as it exists: two paths with the
// same identity lead to the same directory, however they are spelled.
struct FileIdentity {
    std::uint64_t device = 0;  // the device, or the volume's serial number
    std::uint64_t inode = 0;   // the inode, or the file index within the volume
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

enum class FileType : std::uint8_t {
    Directory,
    RegularFile,
    // Devices, pipes, sockets: nothing the walk may open.
    Other,
};

struct FileMetadata {
    FileType type = FileType::Other;
    // None when the platform answered from a record that does not say which
    // object it describes.
    std::optional<FileIdentity> identity;
};

// What the file system says of a file that tells whether it changed: its
// size, the time its content last changed (which anyone who may write it
// can set back), the time it or its metadata last changed (which nobody can
// set but by changing the clock), and which file it is, as every machine that
// mounts its file system knows it (query_shared_identity's identity), so that
// what one machine recorded of a file another may trust.
struct FileStatus {
    FileType type = FileType::Other;
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;  // nanoseconds since 1970
    std::int64_t ctime_ns = 0;
    FileIdentity identity{};
};

// The metadata of what the path names at the end of any chain of links.
OsResult<FileMetadata> query_metadata(std::string_view path_text);

// The status of what the path names at the end of any chain of links,
// without opening it for reading.
OsResult<FileStatus> query_status(std::string_view path_text);

// The metadata of the file that an open handle reads.
OsResult<FileMetadata> query_open_file_metadata(const FileHandle& file);

// Which object the path names at the end of any chain of links, as every
// machine that mounts its file system names it: the file system's own id
// where it gives all its clients one (network and cluster file systems), else
// the device, with the inode or file index. What a directory listing is
// identified by (DirectoryListing::identity), so that machines sharing out
// the walk of one tree know its directories alike.
OsResult<FileIdentity> query_shared_identity(std::string_view path_text);

// The status of an open file, asked of the handle itself.
OsResult<FileStatus> query_open_file_status(const FileHandle& file);

// True only when query_metadata succeeds and shows a directory; a failure
// (missing path, dangling link, NUL in the text) answers false.
bool is_directory(std::string_view path_text);

}  // namespace driftmoor::platform
