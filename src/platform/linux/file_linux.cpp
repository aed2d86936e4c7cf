#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <string_view>

#include "platform/file.h"
#include "platform/linux/descriptor_location.h"
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

std::optional<std::string> descriptor_location(int descriptor) {
    std::array<char, 32> link{};
    constexpr std::string_view PREFIX = "/proc/self/fd/";
    std::memcpy(link.data(), PREFIX.data(), PREFIX.size());
    std::to_chars(link.data() + PREFIX.size(), link.data() + link.size() - 1, descriptor);
    std::string location(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink(link.data(), location.data(), location.size());
        if (length < 0) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(length) < location.size()) {
            location.resize(static_cast<std::size_t>(length));
            break;
        }
        location.resize(2 * location.size());
    }
    // Only a path the file still has: a removed one reads "<path> (deleted)",
    // and what is no file at all ("pipe:[…]") does not start with a slash.
    if (!location.starts_with('/') || location.ends_with(" (deleted)")) {
        return std::nullopt;
    }
    return location;
}

std::optional<std::string> file_location(const FileHandle& file) {
    return descriptor_location(static_cast<int>(file.native()));
}

}  // namespace driftmoor::platform
