#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/file.h"
#include "platform/posix/platform_path.h"

namespace driftmoor::platform {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        close_file(std::move(*this));
        native_ = other.release();
    }
    return *this;
}

FileHandle::~FileHandle() {
    close_file(std::move(*this));
}

OsResult<FileHandle> open_for_reading(std::string_view path_text) {
    auto path = prepare_platform_path(path_text);
    if (!path) {
        return std::unexpected(std::move(path).error());
    }
    // O_NOCTTY: opening a terminal must not make it the process's controlling
    // terminal. No O_NOFOLLOW: a link is read through to its target.
    const int descriptor = ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0) {
        return std::unexpected(OsError::from_os_code(errno));
    }
    return FileHandle(descriptor);
}

OsResult<std::size_t> read_into(FileHandle& file, std::span<std::byte> buffer) {
    // read(2) leaves larger requests implementation-defined; shrink, never refuse.
    const std::size_t request = std::min<std::size_t>(buffer.size(), SSIZE_MAX);
    const int descriptor = static_cast<int>(file.native());
    ssize_t count = ::read(descriptor, buffer.data(), request);
    if (count < 0 && errno == EAGAIN) {
        // Only a handle opened non-blocking says this. Files found by a walk
        // are opened so, to keep the open itself from waiting on a pipe
        // swapped in; once the handle is known to be a regular file the flag
        // has done its work, and a file system that honours it for reads
        // must not make a readable file look unreadable. Cleared here, at the
        // rare read that needs it, instead of once per file.
        const int flags = ::fcntl(descriptor, F_GETFL);
        if (flags >= 0 && (flags & O_NONBLOCK) != 0 &&
            ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0) {
            count = ::read(descriptor, buffer.data(), request);
        }
    }
    if (count < 0) {
        OsError error = OsError::from_os_code(errno);
        if (error_kind(error) == ErrorKind::BrokenPipe) {
            return 0;
        }
        return std::unexpected(std::move(error));
    }
    return static_cast<std::size_t>(count);
}

void close_file(FileHandle&& file) noexcept {
    const std::intptr_t native = file.release();
    if (native != FileHandle::CLOSED) {
        // The result says nothing the reader can act on: every byte it wanted
        // has already been read, and a descriptor is released even on EINTR.
        ::close(static_cast<int>(native));
    }
}

}  // namespace driftmoor::platform
