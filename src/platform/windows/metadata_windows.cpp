#include "platform/windows/metadata_windows.h"

#include <windows.h>

#include "platform/file.h"
#include "platform/windows/platform_path.h"

namespace driftmoor::platform {
namespace {

constexpr DWORD NAME_SURROGATE_BIT = 0x20000000;

enum class Links { Follow, Own };

OsError last_error() noexcept {
    return OsError::from_os_code(static_cast<std::int32_t>(::GetLastError()));
}

// The directory's own record of the entry, for when the entry itself
// refuses even an open without access rights (its security says no, or
// another process holds it without sharing). It may be out of date, and it
// describes a link rather than its target, so a link is refused when links
// are to be followed.
OsResult<WindowsMetadata> cached_record(const std::wstring& path, Links links, DWORD open_error) {
    WIN32_FIND_DATAW record{};
    const HANDLE search = ::FindFirstFileExW(path.c_str(), FindExInfoBasic, &record,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return std::unexpected(OsError::from_os_code(static_cast<std::int32_t>(open_error)));
    }
    ::FindClose(search);
    WindowsMetadata metadata{record.dwFileAttributes, 0, std::nullopt};
    if ((metadata.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // The find record keeps the reparse tag in its first reserved field.
        metadata.reparse_tag = record.dwReserved0;
    }
    if (links == Links::Follow && is_symbolic_link(metadata)) {
        return std::unexpected(OsError::from_os_code(static_cast<std::int32_t>(open_error)));
    }
    return metadata;
}

// What Windows says of the file an open handle reads; the reparse tag is
// asked only for a reparse point.
OsResult<WindowsMetadata> metadata_of_handle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(handle, &information)) {
        return std::unexpected(last_error());
    }
    WindowsMetadata metadata{information.dwFileAttributes, 0,
                             FileIdentity{information.dwVolumeSerialNumber,
                                          (std::uint64_t(information.nFileIndexHigh) << 32) |
                                              information.nFileIndexLow}};
    if ((metadata.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
            return std::unexpected(last_error());
        }
        if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            metadata.reparse_tag = tag.ReparseTag;
        }
    }
    return metadata;
}

OsResult<WindowsMetadata> handle_query(const std::wstring& path, Links links) {
    // No access rights are needed to read metadata; backup semantics let a
    // directory open too.
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (links == Links::Own) {
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    }
    const HANDLE handle =
        ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
            return cached_record(path, links, error);
        }
        return std::unexpected(OsError::from_os_code(static_cast<std::int32_t>(error)));
    }
    // Closes the handle on every path from here.
    const FileHandle owner(reinterpret_cast<std::intptr_t>(handle));
    return metadata_of_handle(handle);
}

}  // namespace

bool is_symbolic_link(const WindowsMetadata& metadata) noexcept {
    return (metadata.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (metadata.reparse_tag & NAME_SURROGATE_BIT) != 0;
}

OsResult<WindowsMetadata> query_platform_metadata(const std::wstring& platform_path) {
    auto followed = handle_query(platform_path, Links::Follow);
    if (followed) {
        return followed;
    }
    const auto* code = std::get_if<OsError::OsCode>(&followed.error().variant());
    if (code && code->code == ERROR_CANT_ACCESS_FILE) {
        // A reparse point that cannot be followed: its own metadata stands,
        // unless it is a link, whose target is what was asked about.
        if (auto own = handle_query(platform_path, Links::Own); own && !is_symbolic_link(*own)) {
            return own;
        }
    }
    return followed;
}

FileMetadata to_file_metadata(const WindowsMetadata& metadata) noexcept {
    FileType type = FileType::RegularFile;
    if (is_symbolic_link(metadata)) {
        type = FileType::Other;
    } else if ((metadata.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        // Whatever else the bits say: listing a directory reads nothing of a
        // device, and leaving one out would silently drop its files.
        type = FileType::Directory;
    } else if ((metadata.attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        // Never opened for its bytes: a device's reads may wait forever.
        type = FileType::Other;
    }
    return {type, metadata.identity};
}

OsResult<FileMetadata> query_metadata(std::string_view path_text) {
    auto path = prepare_platform_path(path_text);
    if (!path) {
        return std::unexpected(std::move(path).error());
    }
    auto metadata = query_platform_metadata(*path);
    if (!metadata) {
        return std::unexpected(std::move(metadata).error());
    }
    return to_file_metadata(*metadata);
}

OsResult<FileStatus> status_of_handle(HANDLE handle) {
    auto metadata = metadata_of_handle(handle);
    if (!metadata) {
        return std::unexpected(std::move(metadata).error());
    }
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
        !::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        return std::unexpected(last_error());
    }
    // Windows counts 100-nanosecond ticks from 1601.
    const auto nanoseconds = [](LARGE_INTEGER time) {
        constexpr std::int64_t TICKS_FROM_1601_TO_1970 = 116444736000000000;
        return (time.QuadPart - TICKS_FROM_1601_TO_1970) * 100;
    };
    const FileMetadata kind = to_file_metadata(*metadata);
    return FileStatus{.type = kind.type,
                      .size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart),
                      .mtime_ns = nanoseconds(basic.LastWriteTime),
                      .ctime_ns = nanoseconds(basic.ChangeTime),
                      .identity = kind.identity.value_or(FileIdentity{})};
}

OsResult<FileStatus> query_platform_status(const std::wstring& platform_path) {
    const HANDLE handle = ::CreateFileW(
        platform_path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::unexpected(last_error());
    }
    const FileHandle owner(reinterpret_cast<std::intptr_t>(handle));
    return status_of_handle(handle);
}

OsResult<FileStatus> query_status(std::string_view path_text) {
    auto path = prepare_platform_path(path_text);
    if (!path) {
        return std::unexpected(std::move(path).error());
    }
    return query_platform_status(*path);
}

OsResult<FileStatus> query_open_file_status(const FileHandle& file) {
    return status_of_handle(reinterpret_cast<HANDLE>(file.native()));
}

OsResult<FileMetadata> query_open_file_metadata(const FileHandle& file) {
    auto metadata = metadata_of_handle(reinterpret_cast<HANDLE>(file.native()));
    if (!metadata) {
        return std::unexpected(std::move(metadata).error());
    }
    return to_file_metadata(*metadata);
}

OsResult<FileIdentity> query_shared_identity(std::string_view path_text) {
    // The volume's serial number and the file index are the server's on a
    // network share, so every client of it already sees the same pair.
    auto metadata = query_metadata(path_text);
    if (!metadata) {
        return std::unexpected(std::move(metadata).error());
    }
    if (!metadata->identity) {
        return std::unexpected(OsError::simple(ErrorKind::Unsupported));
    }
    return *metadata->identity;
}

}  // namespace driftmoor::platform
