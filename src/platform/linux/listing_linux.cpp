// Listings read with getdents64 into a buffer each listing owns. Unlike
// opendir's stream, whose buffer is at least 32 KiB, the buffer starts small
// and grows only for directories that fill it, so the one listing held open
// for every level of a very deep tree costs little.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/linux/descriptor_location.h"
#include "platform/linux/file_system_number.h"
#include "platform/linux/metadata_linux.h"
#include "platform/linux/platform_path.h"
#include "platform/listing.h"
#include "platform/path_text.h"

namespace driftmoor::platform {
namespace {

// Larger than the largest record (a 255-byte name), so a fetch always fits
// one; doubled on every refill up to the largest size.
constexpr std::size_t FIRST_BUFFER_SIZE = 2048;
constexpr std::size_t LARGEST_BUFFER_SIZE = 65536;

RecordedType recorded_type_of(unsigned char d_type) noexcept {
    switch (d_type) {
        case DT_DIR:
            return RecordedType::Directory;
        case DT_REG:
            return RecordedType::RegularFile;
        case DT_FIFO:
        case DT_SOCK:
        case DT_CHR:
        case DT_BLK:
            return RecordedType::Special;
        default:
            return RecordedType::Unresolved;
    }
}

bool is_dot_or_dot_dot(std::string_view name) noexcept {
    return name == "." || name == "..";
}

}  // namespace

// The open directory, shared by its listing and the entries it delivered.
struct ListedDirectory {
    explicit ListedDirectory(int descriptor) noexcept : descriptor(descriptor) {}
    ListedDirectory(const ListedDirectory&) = delete;
    ListedDirectory& operator=(const ListedDirectory&) = delete;
    ~ListedDirectory() {
        // Nothing was written through a directory descriptor, so its close
        // has nothing to report.
        ::close(descriptor);
    }

    int descriptor;  // owned
    // True when nobody but this process's own user (and the superuser) can
    // add, remove or rename the directory's entries, so what the listing
    // recorded as a regular file is still one when it is opened by name.
    bool names_only_ours = false;
    // What that was worked out from, handed down to the directories below:
    // the process's effective user, the directory's device, and whether that
    // device holds a local file system (unknown until it was asked).
    uid_t effective_user = 0;
    dev_t device = 0;
    std::optional<bool> local_file_system;
    // The file system's number as every machine that mounts it knows it
    // (shared_device_number), handed down like the rest: one fstatfs per
    // file system a walk enters, not per directory.
    std::uint64_t shared_device = 0;
};

// The listing's share of its directory, and the records fetched from it but
// not delivered.
struct DirectoryListing::State {
    explicit State(SharedDirectory directory) noexcept : directory(std::move(directory)) {}

    SharedDirectory directory;  // shared with the entries delivered
    // `filled` bytes of `buffer` hold records, of which the first `position`
    // are delivered. Allocated at the first fetch.
    std::unique_ptr<std::byte[]> buffer;
    std::size_t buffer_size = 0;
    std::size_t filled = 0;
    std::size_t position = 0;
};

void DirectoryListing::StateDeleter::operator()(State* state) const noexcept {
    delete state;
}

namespace {

// File systems whose permission bits are the whole truth about who may
// change a directory: local ones, without server-side rules or ACLs that
// the mode does not show. POSIX ACLs are shown: the group bits are their mask.
bool is_local_file_system(int descriptor) noexcept {
    struct statfs about;
    if (::fstatfs(descriptor, &about) != 0) {
        return false;
    }
    switch (static_cast<unsigned long>(about.f_type)) {
        case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4 alike
        case XFS_SUPER_MAGIC:
        case BTRFS_SUPER_MAGIC:
        case TMPFS_MAGIC:
            return true;
        default:
            return false;
    }
}

// Works out who may change the directory's names. A directory below
// another on the same device shares its file system and user, so only the
// first directory of each device asks for them.
void judge_names(ListedDirectory& directory, const struct stat& status,
                 const ListedDirectory* parent) noexcept {
    directory.effective_user = parent != nullptr ? parent->effective_user : ::geteuid();
    directory.device = status.st_dev;
    if (parent != nullptr && parent->device == status.st_dev) {
        directory.local_file_system = parent->local_file_system;
    }
    if (status.st_uid != directory.effective_user || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return;
    }
    if (!directory.local_file_system) {
        directory.local_file_system = is_local_file_system(directory.descriptor);
    }
    directory.names_only_ours = *directory.local_file_system;
}

// The listing of a directory just opened, or the failure of that open. The
// identity comes from the open descriptor itself, so it names the directory
// that is listed even if the path has changed meanwhile. `parent` is the
// directory it was found in, if any.
OsResult<DirectoryListing> listing_of(int descriptor, const ListedDirectory* parent) {
    if (descriptor < 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    // Owns the descriptor until the shared directory does.
    FileHandle owner(descriptor);
    struct stat status;
    if (::fstat(descriptor, &status) != 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    auto directory = std::make_shared<ListedDirectory>(descriptor);
    owner.release();
    judge_names(*directory, status, parent);
    directory->shared_device = parent != nullptr && parent->device == status.st_dev
                                   ? parent->shared_device
                                   : shared_device_number(descriptor, status.st_dev);
    // Identified as every machine that mounts the directory's file system
    // identifies it, so that a walk shared out between machines knows a
    // directory above it again on any of them.
    const FileIdentity identity{directory->shared_device,
                                static_cast<std::uint64_t>(status.st_ino)};
    DirectoryListing::OwnedState state(new DirectoryListing::State(std::move(directory)));
    return DirectoryListing(std::move(state), identity);
}

// Opens for reading the file that `location` (an O_PATH descriptor) names,
// through its entry under /proc/self/fd: the same file, whatever its name
// leads to now. -1 with errno set on failure; ENOENT when /proc is not there.
int reopen_for_reading(int location, int flags) noexcept {
    std::array<char, 32> path{};
    constexpr std::string_view PREFIX = "/proc/self/fd/";
    std::memcpy(path.data(), PREFIX.data(), PREFIX.size());
    std::to_chars(path.data() + PREFIX.size(), path.data() + path.size() - 1, location);
    return ::open(path.data(), flags);
}

// Nothing if `descriptor` is a regular file; otherwise the error it is
// refused with, or the failure to find out.
OsResult<void> regular_file_only(int descriptor) {
    struct stat status;
    if (::fstat(descriptor, &status) != 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        return std::unexpected(not_a_regular_file());
    }
    return {};
}

// Without /proc, a file is opened by its name again, non-blocking, and
// refused after the open unless it is a regular file: nothing is waited on
// or read, but the open itself reaches whatever the name leads to by then.
OsResult<FileHandle> open_by_name_if_regular(int directory, const char* name, int flags) {
    const int descriptor = ::openat(directory, name, flags);
    if (descriptor < 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    FileHandle file(descriptor);
    if (auto regular = regular_file_only(descriptor); !regular) {
        return std::unexpected(std::move(regular).error());
    }
    return file;
}

// Flags for opening a file to read it. O_NONBLOCK: the handle stays
// non-blocking. Reads of an ordinary file wait for the disk all the same;
// only a kernel interface dressed as a regular file (a log or trace stream
// that waits for its next line) says it would wait, and is then left unread
// instead of holding the walk forever. O_NOCTTY: no terminal becomes the
// controlling one.
constexpr int READING_FLAGS = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// Flags for opening a directory to list it: O_DIRECTORY makes the open fail,
// instead of opening, if the name no longer leads to a directory, so a pipe
// or device swapped in is never opened.
constexpr int LISTING_OPEN_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

}  // namespace

OsResult<DirectoryListing> open_listing(std::string_view path_text) {
    if (path_text.empty()) {
        return std::unexpected(OsError::from_os_code(ENOENT));
    }
    auto path = prepare_platform_path(path_text);
    if (!path) {
        return std::unexpected(std::move(path).error());
    }
    return listing_of(::open(path->c_str(), LISTING_OPEN_FLAGS), nullptr);
}

OsResult<DirectoryListing> open_entry_listing(const DirectoryEntry& entry) {
    return listing_of(::openat(entry.directory->descriptor, entry.name.c_str(), LISTING_OPEN_FLAGS),
                      entry.directory.get());
}

OsResult<std::optional<DirectoryEntry>> next_entry(DirectoryListing& listing) {
    for (;;) {
        DirectoryListing::State* state = listing.state();
        if (state == nullptr) {
            return std::nullopt;
        }
        if (state->position == state->filled) {
            const std::size_t wanted = state->buffer
                                           ? std::min(2 * state->buffer_size, LARGEST_BUFFER_SIZE)
                                           : FIRST_BUFFER_SIZE;
            if (wanted != state->buffer_size) {
                state->buffer = std::make_unique_for_overwrite<std::byte[]>(wanted);
                state->buffer_size = wanted;
            }
            // Through syscall(): the C library's getdents64 wrapper exists only
            // from glibc 2.30, and the modules are built to load on 2.28.
            const auto count =
                static_cast<ssize_t>(::syscall(SYS_getdents64, state->directory->descriptor,
                                               state->buffer.get(), state->buffer_size));
            if (count <= 0) {
                const int error = errno;
                // The end, or a failure: either way the listing is over.
                listing.release();
                // A directory removed while it was being listed answers
                // ENOENT: it holds nothing more, which is its end, not a
                // failure.
                if (count < 0 && error != ENOENT) {
                    return std::unexpected(OsError::from_os_code(error));
                }
                return std::nullopt;
            }
            state->filled = static_cast<std::size_t>(count);
            state->position = 0;
        }
        // Records are variable-length and only their fixed header is laid
        // out as struct dirent64 says, so fields are copied out by offset.
        const std::byte* record = state->buffer.get() + state->position;
        unsigned short record_length;
        std::memcpy(&record_length, record + offsetof(struct dirent64, d_reclen),
                    sizeof record_length);
        unsigned char d_type;
        std::memcpy(&d_type, record + offsetof(struct dirent64, d_type), sizeof d_type);
        const char* name =
            reinterpret_cast<const char*>(record + offsetof(struct dirent64, d_name));
        const std::string_view name_text(
            name, ::strnlen(name, record_length - offsetof(struct dirent64, d_name)));
        state->position += record_length;
        if (is_dot_or_dot_dot(name_text)) {
            continue;
        }
        return DirectoryEntry{std::string(name_text), recorded_type_of(d_type), state->directory};
    }
}

OsResult<FileMetadata> query_entry_metadata(const DirectoryEntry& entry) {
    struct stat status;
    // No AT_SYMLINK_NOFOLLOW: links are followed.
    if (::fstatat(entry.directory->descriptor, entry.name.c_str(), &status, 0) != 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    return metadata_from_stat(status);
}

OsResult<FileStatus> query_entry_status(const DirectoryEntry& entry) {
    const ListedDirectory& directory = *entry.directory;
    struct stat status;
    if (::fstatat(directory.descriptor, entry.name.c_str(), &status, 0) != 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    FileStatus found = status_from_stat(status);
    // Identified as every machine that mounts it identifies it: a file on
    // its directory's file system by the number the listing holds, any
    // other (at the end of a link) by its own file system's.
    if (status.st_dev == directory.device) {
        found.identity.device = directory.shared_device;
    } else {
        const FileHandle probe(
            ::openat(directory.descriptor, entry.name.c_str(), O_PATH | O_CLOEXEC));
        found.identity.device = remembered_shared_device_number(
            status.st_dev, static_cast<int>(probe.native()), nullptr);
    }
    return found;
}

OsResult<FileHandle> open_entry_for_reading(const DirectoryEntry& entry) {
    const ListedDirectory& directory = *entry.directory;
    // A regular file in a directory that only this user can change is still
    // that file: the name is opened directly, the cheaper way. A link may
    // lead anywhere, so it takes the careful way below.
    if (directory.names_only_ours && entry.recorded_type == RecordedType::RegularFile) {
        return open_by_name_if_regular(directory.descriptor, entry.name.c_str(), READING_FLAGS);
    }
    // Where others could swap a pipe or a device in, the name is resolved
    // once, to a descriptor that only locates the file (O_PATH opens nothing:
    // a pipe's writer is not released, a device's driver is not called). Its
    // type is checked on that descriptor, and only a regular file is then
    // opened for reading, through the descriptor itself, so nothing swapped
    // in under the name meanwhile can be opened.
    const int location = ::openat(directory.descriptor, entry.name.c_str(), O_PATH | O_CLOEXEC);
    if (location < 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    const FileHandle located(location);
    if (auto regular = regular_file_only(location); !regular) {
        return std::unexpected(std::move(regular).error());
    }
    const int descriptor = reopen_for_reading(location, READING_FLAGS);
    if (descriptor >= 0) {
        return FileHandle(descriptor);
    }
    if (errno != ENOENT) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    return open_by_name_if_regular(directory.descriptor, entry.name.c_str(), READING_FLAGS);
}

OsResult<FileHandle> open_regular_file(std::string_view path_text) {
    auto path = prepare_platform_path(path_text);
    if (!path) {
        return std::unexpected(std::move(path).error());
    }
    const int location = ::open(path->c_str(), O_PATH | O_CLOEXEC);
    if (location < 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    const FileHandle located(location);
    if (auto regular = regular_file_only(location); !regular) {
        return std::unexpected(std::move(regular).error());
    }
    const int descriptor = reopen_for_reading(location, READING_FLAGS);
    if (descriptor >= 0) {
        return FileHandle(descriptor);
    }
    if (errno != ENOENT) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    return open_by_name_if_regular(AT_FDCWD, path->c_str(), READING_FLAGS);
}

std::optional<std::string> listing_location(const DirectoryListing& listing) {
    if (listing.state() == nullptr) {
        return std::nullopt;
    }
    return descriptor_location(listing.state()->directory->descriptor);
}

bool entry_is_link(const DirectoryEntry& entry) {
    struct stat status;
    return ::fstatat(entry.directory->descriptor, entry.name.c_str(), &status,
                     AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(status.st_mode);
}

OsResult<DirectoryEntry> entry_in_directory(std::string_view directory_path, std::string name) {
    auto path = prepare_platform_path(directory_path);
    if (!path) {
        return std::unexpected(std::move(path).error());
    }
    // O_PATH: only the right to pass through the directory is needed, as for
    // a directory whose listing delivered the entry.
    const int descriptor = ::open(path->c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    FileHandle owner(descriptor);
    struct stat status;
    if (::fstat(descriptor, &status) != 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    auto directory = std::make_shared<ListedDirectory>(descriptor);
    owner.release();
    // Names taken as others may change them: the entry is opened the careful way.
    directory->effective_user = ::geteuid();
    directory->device = status.st_dev;
    directory->shared_device = shared_device_number(descriptor, status.st_dev);
    return DirectoryEntry{std::move(name), RecordedType::Unresolved, std::move(directory)};
}

}  // namespace driftmoor::platform
