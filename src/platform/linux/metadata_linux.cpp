#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/file.h"
#include "platform/linux/file_system_number.h"

#include "platform/linux/metadata_linux.h"
#include "platform/linux/platform_path.h"
#include "platform/metadata.h"

namespace driftmoor::platform {

FileMetadata metadata_from_stat(const struct stat& status) noexcept {
    FileType type = FileType::Other;
    if (S_ISDIR(status.st_mode)) {
        type = FileType::Directory;
    } else if (S_ISREG(status.st_mode)) {
        type = FileType::RegularFile;
    }
    return {type, FileIdentity{static_cast<std::uint64_t>(status.st_dev),
                               static_cast<std::uint64_t>(status.st_ino)}};
}

FileStatus status_from_stat(const struct stat& status) noexcept {
    const FileMetadata metadata = metadata_from_stat(status);
    const auto nanoseconds = [](const struct timespec& time) {
        return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
    };
    return {.type = metadata.type,
            .size = static_cast<std::uint64_t>(status.st_size),
            .mtime_ns = nanoseconds(status.st_mtim),
            .ctime_ns = nanoseconds(status.st_ctim),
            .identity = *metadata.identity};
}

namespace {

// stat, not lstat: links are followed to whatever they finally name.
OsResult<struct stat> stat_of(const PlatformPath& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    return status;
}

OsResult<struct stat> stat_of_file(const FileHandle& file) {
    struct stat status;
    if (::fstat(static_cast<int>(file.native()), &status) != 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    return status;
}

// What a stat says, read one way (std::expected's transform is not in every
// standard library this builds with).
template <typename Reading>
auto read_as(OsResult<struct stat> status, Reading reading)
    -> OsResult<decltype(reading(*status))> {
    if (!status) {
        return std::unexpected(std::move(status).error());
    }
    return reading(*status);
}

}  // namespace

OsResult<FileMetadata> query_metadata(std::string_view path_text) {
    auto path = prepare_platform_path(path_text);
    if (!path) {
        return std::unexpected(std::move(path).error());
    }
    return read_as(stat_of(*path), metadata_from_stat);
}

OsResult<FileStatus> query_status(std::string_view path_text) {
    auto path = prepare_platform_path(path_text);
    if (!path) {
        return std::unexpected(std::move(path).error());
    }
    const auto shared = [&path](const struct stat& status) {
        // The file system's own number where it has one the same on every
        // machine that mounts it.
        FileStatus found = status_from_stat(status);
        found.identity.device = remembered_shared_device_number(status.st_dev, -1, path->c_str());
        return found;
    };
    return read_as(stat_of(*path), shared);
}

OsResult<FileStatus> query_open_file_status(const FileHandle& file) {
    const int descriptor = static_cast<int>(file.native());
    const auto shared = [descriptor](const struct stat& status) {
        FileStatus found = status_from_stat(status);
        found.identity.device = remembered_shared_device_number(status.st_dev, descriptor, nullptr);
        return found;
    };
    return read_as(stat_of_file(file), shared);
}

OsResult<FileMetadata> query_open_file_metadata(const FileHandle& file) {
    return read_as(stat_of_file(file), metadata_from_stat);
}

OsResult<FileIdentity> query_shared_identity(std::string_view path_text) {
    auto path = prepare_platform_path(path_text);
    if (!path) {
        return std::unexpected(std::move(path).error());
    }
    // O_PATH opens nothing: a pipe or a device is only located.
    const int descriptor = ::open(path->c_str(), O_PATH | O_CLOEXEC);
    if (descriptor < 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    const FileHandle owner(descriptor);
    struct stat status;
    if (::fstat(descriptor, &status) != 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    return FileIdentity{shared_device_number(descriptor, status.st_dev),
                        static_cast<std::uint64_t>(status.st_ino)};
}

}  // namespace driftmoor::platform
