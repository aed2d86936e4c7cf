#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/file.h"
#include "platform/fixed_texts.h"
#include "platform/windows/handle_location.h"
#include "platform/windows/native_api.h"
#include "platform/windows/platform_path.h"
#include "platform/windows/wide_text.h"

namespace driftmoor::platform {
namespace {

// Not in every MinGW header set.
constexpr NTSTATUS STATUS_PENDING_CODE = 0x00000103;
constexpr NTSTATUS STATUS_END_OF_FILE_CODE = static_cast<NTSTATUS>(0xC0000011);
constexpr unsigned FAST_FAIL_FATAL_APP_EXIT_CODE = 7;

HANDLE handle_of(const FileHandle& file) noexcept {
    return reinterpret_cast<HANDLE>(file.native());
}

// A read that has not completed may still write into the caller's buffer
// after this function has returned it, so nothing may run on: the process
// stops without unwinding, running no handler that could touch the buffer.
[[noreturn]] void stop_on_pending_read() noexcept {
    std::fwrite(READ_NOT_SYNCHRONOUS_MESSAGE.data(), 1, READ_NOT_SYNCHRONOUS_MESSAGE.size(),
                stderr);
    std::fflush(stderr);
    __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_FATAL_APP_EXIT_CODE) : "memory");
    std::abort();  // only if fast fail is unavailable
}

}  // namespace

OsResult<FileHandle> open_for_reading(std::string_view path_text) {
    auto path = prepare_platform_path(path_text);
    if (!path) {
        return std::unexpected(std::move(path).error());
    }
    // Every share right, so readers, writers and deleters elsewhere keep
    // theirs; no security attributes, so no child process inherits the
    // handle; flags 0: synchronous, and a link is followed to its target.
    // Without backup semantics a directory refuses to open (access denied).
    const HANDLE handle = ::CreateFileW(path->c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::unexpected(OsError::from_os_code(static_cast<std::int32_t>(::GetLastError())));
    }
    return FileHandle(reinterpret_cast<std::intptr_t>(handle));
}

OsResult<std::size_t> read_into(FileHandle& file, std::span<std::byte> buffer) {
    // One request takes at most 2^32 - 1 bytes; shrink, never refuse.
    const auto length = static_cast<ULONG>(std::min<std::size_t>(buffer.size(), 0xFFFFFFFFu));
    IO_STATUS_BLOCK io_status{};
    io_status.Status = STATUS_PENDING_CODE;
    NTSTATUS status = ::NtReadFile(handle_of(file), nullptr, nullptr, nullptr, &io_status,
                                   buffer.data(), length, nullptr, nullptr);
    if (status == STATUS_PENDING_CODE) {
        ::WaitForSingleObject(handle_of(file), INFINITE);
        status = io_status.Status;
    }
    if (status == STATUS_END_OF_FILE_CODE) {
        return 0;
    }
    if (status == STATUS_PENDING_CODE) {
        stop_on_pending_read();
    }
    if (status >= 0) {
        return static_cast<std::size_t>(io_status.Information);
    }
    OsError error =
        OsError::from_os_code(static_cast<std::int32_t>(::RtlNtStatusToDosError(status)));
    // A pipe whose writer has gone has simply reached its end.
    if (error_kind(error) == ErrorKind::BrokenPipe) {
        return 0;
    }
    return std::unexpected(std::move(error));
}

void close_file(FileHandle&& file) noexcept {
    const std::intptr_t native = file.release();
    if (native != FileHandle::CLOSED) {
        // Nothing the reader could act on: every byte it wanted is read.
        ::CloseHandle(reinterpret_cast<HANDLE>(native));
    }
}

std::optional<std::string> handle_location(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(
            handle, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
        if (length == 0) {
            return std::nullopt;
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(length + 1);
    }
    // The verbatim forms Windows answers with, back to plain ones.
    if (path.starts_with(L"\\\\?\\UNC\\")) {
        path = L"\\\\" + path.substr(8);
    } else if (path.starts_with(L"\\\\?\\")) {
        path = path.substr(4);
    }
    return utf16_to_wtf8(path);
}

std::optional<std::string> file_location(const FileHandle& file) {
    return handle_location(reinterpret_cast<HANDLE>(file.native()));
}

}  // namespace driftmoor::platform
