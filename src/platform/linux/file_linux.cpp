#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/file.h"
#include "platform/linux/platform_path.h"

namespace driftmoor::platform {

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
    const ssize_t count = ::read(static_cast<int>(file.native()), buffer.data(), request);
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
