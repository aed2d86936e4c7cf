// Reading files: open, read, close. The interface names no system type, so
// each platform's implementation (Linux, Windows) stands beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/os_error.h"

namespace driftmoor::platform {

// An open file, read from its start. Move-only; the owner closes it exactly
// once, by close_file or, failing that, when the handle is destroyed.
class FileHandle {
  public:
    // Wraps a native handle (a descriptor here; a HANDLE fits as well).
    explicit FileHandle(std::intptr_t native) noexcept : native_(native) {}
    FileHandle(FileHandle&& other) noexcept : native_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    std::intptr_t native() const noexcept { return native_; }
    // Gives up ownership without closing.
    std::intptr_t release() noexcept {
        const std::intptr_t native = native_;
        native_ = CLOSED;
        return native;
    }

    static constexpr std::intptr_t CLOSED = -1;

  private:
    std::intptr_t native_;
};

// Opens an existing file for reading only, following links, creating and
// truncating nothing; the handle is not inherited by child processes.
OsResult<FileHandle> open_for_reading(std::string_view path_text);

// One read at the file's position into the start of `buffer`: the count of
// bytes placed (never more than buffer.size()), 0 at end of input. A pipe whose
// writer has gone also reads as end of input. Fewer bytes than asked do not
// mean the end. Nothing is retried. A handle opened non-blocking fails with
// "would block" instead of waiting for bytes that are not there yet.
OsResult<std::size_t> read_into(FileHandle& file, std::span<std::byte> buffer);

// Closes the file; nothing is reported.
void close_file(FileHandle&& file) noexcept;

// Where the open file lies: its absolute path with every link resolved, as
// the platform finds it from the handle; none where it cannot tell.
std::optional<std::string> file_location(const FileHandle& file);

}  // namespace driftmoor::platform
