// Listings read with getdents64 into a buffer each listing owns. Unlike
// opendir's stream, whose buffer is at least 32 KiB, the buffer starts small
// and grows only for directories that fill it, so the one listing held open
// for every level of a very deep tree costs little.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

#include "platform/listing.h"
#include "platform/path_text.h"
#include "platform/posix/metadata_posix.h"
#include "platform/posix/platform_path.h"

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

// The open directory and the records fetched from it but not delivered.
struct DirectoryListing::State {
    explicit State(int descriptor) noexcept : descriptor(descriptor) {}
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        // Nothing was written through a directory descriptor, so its close
        // has nothing to report.
        ::close(descriptor);
    }

    int descriptor;  // owned
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

// The listing of a directory just opened, or the failure of that open. The
// identity comes from the open descriptor itself, so it names the directory
// that is listed even if the path has changed meanwhile.
OsResult<DirectoryListing> listing_of(int descriptor) {
    if (descriptor < 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    // Owns the descriptor until the listing does.
    FileHandle directory(descriptor);
    struct stat status;
    if (::fstat(descriptor, &status) != 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    DirectoryListing::OwnedState state(new DirectoryListing::State(descriptor));
    directory.release();
    return DirectoryListing(std::move(state), metadata_from_stat(status).identity);
}

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
    return listing_of(::open(path->c_str(), LISTING_OPEN_FLAGS));
}

OsResult<DirectoryListing> open_entry_listing(const DirectoryListing& listing,
                                              const DirectoryEntry& entry) {
    return listing_of(
        ::openat(listing.state()->descriptor, entry.name.c_str(), LISTING_OPEN_FLAGS));
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
            const ssize_t count =
                ::getdents64(state->descriptor, state->buffer.get(), state->buffer_size);
            if (count <= 0) {
                const int error = errno;
                // The end, or a failure: either way the listing is over.
                listing.release();
                if (count < 0) {
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
        return DirectoryEntry{std::string(name_text), recorded_type_of(d_type)};
    }
}

OsResult<FileMetadata> query_entry_metadata(const DirectoryListing& listing,
                                            const DirectoryEntry& entry) {
    struct stat status;
    // No AT_SYMLINK_NOFOLLOW: links are followed.
    if (::fstatat(listing.state()->descriptor, entry.name.c_str(), &status, 0) != 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    return metadata_from_stat(status);
}

OsResult<FileHandle> open_entry_for_reading(const DirectoryListing& listing,
                                            const DirectoryEntry& entry) {
    // O_NONBLOCK: should the entry have become a pipe, the open returns at
    // once instead of waiting for a writer; the check below then refuses it.
    // O_NOCTTY: a terminal swapped in must not become the controlling one.
    const int descriptor = ::openat(listing.state()->descriptor, entry.name.c_str(),
                                    O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    FileHandle file(descriptor);
    struct stat status;
    if (::fstat(descriptor, &status) != 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        return std::unexpected(
            OsError::static_message(ErrorKind::InvalidInputParameter, "not a regular file"));
    }
    // The handle stays non-blocking. Reads of an ordinary file wait for the
    // disk all the same; only a kernel interface dressed as a regular file
    // (a log or trace stream that waits for its next line) says it would
    // wait, and is then left unread instead of holding the walk forever.
    return file;
}

}  // namespace driftmoor::platform
