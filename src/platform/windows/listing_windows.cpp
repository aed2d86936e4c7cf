// Listings read with FindFirstFileExW and FindNextFileW. Windows has no call
// that opens a name relative to a search, so the entries of a listing are
// reached through their paths, joined to the directory path exactly as the
// listing was opened with it.
#include <windows.h>

#include <string>
#include <utility>

#include "platform/listing.h"
#include "platform/path_text.h"
#include "platform/windows/handle_location.h"
#include "platform/windows/metadata_windows.h"
#include "platform/windows/platform_path.h"
#include "platform/windows/wide_text.h"

namespace driftmoor::platform {

// The directory exactly as the caller wrote it; entry paths are joined to
// it, never to the platform path.
struct ListedDirectory {
    std::string path;
};

struct DirectoryListing::State {
    explicit State(SharedDirectory directory) noexcept : directory(std::move(directory)) {}
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        // A search has nothing to report when it is given up.
        if (search != INVALID_HANDLE_VALUE) {
            ::FindClose(search);
        }
    }

    HANDLE search = INVALID_HANDLE_VALUE;  // owned
    // The record FindFirstFileExW filled in: the first entry, until
    // `first_delivered`.
    WIN32_FIND_DATAW first{};
    bool first_delivered = false;
    SharedDirectory directory;  // shared with the entries delivered
};

void DirectoryListing::StateDeleter::operator()(State* state) const noexcept {
    delete state;
}

namespace {

// Names are compared by their first three units only, as the file system
// writes them: "." or ".." and the terminating NUL.
bool is_dot_or_dot_dot(const WIN32_FIND_DATAW& record) noexcept {
    const wchar_t* name = record.cFileName;
    return (name[0] == L'.' && name[1] == L'\0') ||
           (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

RecordedType recorded_type_of(DWORD attributes) noexcept {
    // A reparse point's record describes the link, not what it leads to.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return RecordedType::Unresolved;
    }
    // A directory is walked whatever else its record says.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return RecordedType::Directory;
    }
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return RecordedType::Special;
    }
    return RecordedType::RegularFile;
}

DirectoryEntry entry_of(const WIN32_FIND_DATAW& record, const SharedDirectory& directory) {
    // The name ends at its first NUL, or fills the whole field.
    const std::wstring_view field(record.cFileName, MAX_PATH);
    const std::wstring_view name = field.substr(0, field.find(L'\0'));
    return DirectoryEntry{utf16_to_wtf8(name), recorded_type_of(record.dwFileAttributes),
                          directory};
}

// Which directory the path names, for telling a directory already on the
// way down; none when Windows will not say.
std::optional<FileIdentity> identity_of(const std::wstring& platform_path) {
    auto metadata = query_platform_metadata(platform_path);
    return metadata ? metadata->identity : std::nullopt;
}

}  // namespace

OsResult<DirectoryListing> open_listing(std::string_view path_text) {
    if (path_text.empty()) {
        return std::unexpected(OsError::from_os_code(ERROR_PATH_NOT_FOUND));
    }
    auto pattern = prepare_platform_path(join_path(path_text, "*"));
    if (!pattern) {
        return std::unexpected(std::move(pattern).error());
    }
    // Made first, so that the search is owned from the moment it is open.
    DirectoryListing::OwnedState state(new DirectoryListing::State(
        std::make_shared<const ListedDirectory>(std::string(path_text))));
    // Basic information: no short 8.3 names, which nothing here uses.
    state->search = ::FindFirstFileExW(pattern->c_str(), FindExInfoBasic, &state->first,
                                       FindExSearchNameMatch, nullptr, 0);
    if (state->search == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        // Nothing matches the pattern: a directory with no entries at all,
        // not even "." and "..".
        if (error == ERROR_FILE_NOT_FOUND) {
            return DirectoryListing(nullptr, std::nullopt);
        }
        return std::unexpected(OsError::from_os_code(static_cast<std::int32_t>(error)));
    }
    auto directory = prepare_platform_path(path_text);
    return DirectoryListing(std::move(state), directory ? identity_of(*directory) : std::nullopt);
}

OsResult<std::optional<DirectoryEntry>> next_entry(DirectoryListing& listing) {
    DirectoryListing::State* state = listing.state();
    if (state == nullptr) {
        return std::nullopt;
    }
    if (!state->first_delivered) {
        state->first_delivered = true;
        if (!is_dot_or_dot_dot(state->first)) {
            return entry_of(state->first, state->directory);
        }
    }
    for (;;) {
        WIN32_FIND_DATAW record{};
        if (!::FindNextFileW(state->search, &record)) {
            // Read before the search is closed, which may set its own.
            const DWORD error = ::GetLastError();
            listing.release();
            if (error == ERROR_NO_MORE_FILES) {
                return std::nullopt;
            }
            return std::unexpected(OsError::from_os_code(static_cast<std::int32_t>(error)));
        }
        if (!is_dot_or_dot_dot(record)) {
            return entry_of(record, state->directory);
        }
    }
}

OsResult<FileMetadata> query_entry_metadata(const DirectoryEntry& entry) {
    return query_metadata(join_path(entry.directory->path, entry.name));
}

OsResult<FileStatus> query_entry_status(const DirectoryEntry& entry) {
    auto path = prepare_platform_path(join_path(entry.directory->path, entry.name));
    if (!path) {
        return std::unexpected(std::move(path).error());
    }
    return query_platform_status(*path);
}

OsResult<DirectoryListing> open_entry_listing(const DirectoryEntry& entry) {
    return open_listing(join_path(entry.directory->path, entry.name));
}

OsResult<FileHandle> open_entry_for_reading(const DirectoryEntry& entry) {
    auto file = open_for_reading(join_path(entry.directory->path, entry.name));
    if (!file) {
        return file;
    }
    // A name swapped for a link to a pipe or a device since it was listed
    // would open as that; its reads could wait for a writer forever.
    if (::GetFileType(reinterpret_cast<HANDLE>(file->native())) != FILE_TYPE_DISK) {
        return std::unexpected(not_a_regular_file());
    }
    return file;
}

OsResult<FileHandle> open_regular_file(std::string_view path_text) {
    // A directory is no file to read: told apart before the open, which
    // would refuse it as access denied.
    auto metadata = query_metadata(path_text);
    if (!metadata) {
        return std::unexpected(std::move(metadata).error());
    }
    if (metadata->type != FileType::RegularFile) {
        return std::unexpected(not_a_regular_file());
    }
    auto file = open_for_reading(path_text);
    if (file && ::GetFileType(reinterpret_cast<HANDLE>(file->native())) != FILE_TYPE_DISK) {
        return std::unexpected(not_a_regular_file());
    }
    return file;
}

std::optional<std::string> listing_location(const DirectoryListing& listing) {
    if (listing.state() == nullptr) {
        return std::nullopt;
    }
    const auto path = prepare_platform_path(listing.state()->directory->path);
    if (!path) {
        return std::nullopt;
    }
    // Opened for no access at all: only to ask where it lies.
    const HANDLE directory =
        ::CreateFileW(path->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    auto location = handle_location(directory);
    ::CloseHandle(directory);
    return location;
}

bool entry_is_link(const DirectoryEntry& entry) {
    const auto path = prepare_platform_path(join_path(entry.directory->path, entry.name));
    if (!path) {
        return false;
    }
    const DWORD attributes = ::GetFileAttributesW(path->c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

OsResult<DirectoryEntry> entry_in_directory(std::string_view directory_path, std::string name) {
    // Windows opens an entry by its joined path, so the directory is only
    // its path; that it is there is checked as a listing's open checks it.
    auto directory = prepare_platform_path(directory_path);
    if (!directory) {
        return std::unexpected(std::move(directory).error());
    }
    if (auto metadata = query_platform_metadata(*directory); !metadata) {
        return std::unexpected(std::move(metadata).error());
    }
    return DirectoryEntry{std::move(name), RecordedType::Unresolved,
                          std::make_shared<const ListedDirectory>(std::string(directory_path))};
}

}  // namespace driftmoor::platform
