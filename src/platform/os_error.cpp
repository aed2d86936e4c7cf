#include "platform/os_error.h"

#include <array>

namespace driftmoor::platform {
namespace {

struct KindEntry {
    std::string_view description;
    ExceptionClass exception_class;
};

using enum ExceptionClass;

// Indexed by ErrorKind.
constexpr std::array<KindEntry, ERROR_KIND_COUNT> KIND_TABLE{{
    {"entity not found", FileNotFoundError},
    {"permission denied", PermissionError},
    {"connection refused", ConnectionRefusedError},
    {"connection reset", ConnectionResetError},
    {"host unreachable", OSError},
    {"network unreachable", OSError},
    {"connection aborted", ConnectionAbortedError},
    {"not connected", OSError},
    {"address in use", OSError},
    {"address not available", OSError},
    {"network down", OSError},
    {"broken pipe", BrokenPipeError},
    {"entity already exists", FileExistsError},
    {"operation would block", BlockingIOError},
    {"not a directory", NotADirectoryError},
    {"is a directory", IsADirectoryError},
    {"directory not empty", OSError},
    {"read-only filesystem or storage medium", OSError},
    {"filesystem loop or indirection limit (e.g. symlink loop)", OSError},
    {"stale network file handle", OSError},
    {"invalid input parameter", OSError},
    {"invalid data", OSError},
    {"timed out", TimeoutError},
    {"write zero", OSError},
    {"no storage space", OSError},
    {"seek on unseekable file", OSError},
    {"quota exceeded", OSError},
    {"file too large", OSError},
    {"resource busy", OSError},
    {"executable file busy", OSError},
    {"deadlock", OSError},
    {"cross-device link or rename", OSError},
    {"too many links", OSError},
    {"invalid filename", OSError},
    {"argument list too long", OSError},
    {"operation interrupted", InterruptedError},
    {"unsupported", OSError},
    {"unexpected end of file", OSError},
    {"out of memory", MemoryError},
    {"in progress", OSError},
    {"other error", OSError},
    {"uncategorized error", OSError},
}};
static_assert(KIND_TABLE.size() == static_cast<std::size_t>(ErrorKind::UncategorizedError) + 1);

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};

}  // namespace

std::string_view kind_description(ErrorKind kind) noexcept {
    return KIND_TABLE[static_cast<std::size_t>(kind)].description;
}

ExceptionClass kind_exception_class(ErrorKind kind) noexcept {
    return KIND_TABLE[static_cast<std::size_t>(kind)].exception_class;
}

ErrorKind error_kind(const OsError& error) noexcept {
    return std::visit(Overloaded{
                          [](const OsError::OsCode& e) { return decode_os_code(e.code); },
                          [](const OsError::SimpleKind& e) { return e.kind; },
                          [](const OsError::StaticMessage& e) { return e.kind; },
                          [](const OsError::Custom& e) { return e.kind; },
                      },
                      error.variant());
}

std::string error_text(const OsError& error) {
    return std::visit(
        Overloaded{
            [](const OsError::OsCode& e) {
                return system_message(e.code) + " (os error " + std::to_string(e.code) + ")";
            },
            [](const OsError::SimpleKind& e) { return std::string(kind_description(e.kind)); },
            [](const OsError::StaticMessage& e) { return std::string(e.message); },
            [](const OsError::Custom& e) { return e.object->display_text(); },
        },
        error.variant());
}

TextEncoding error_text_encoding(const OsError& error) noexcept {
    // Every other text is the module's own, or UTF-8 already.
    return std::holds_alternative<OsError::OsCode>(error.variant()) ? system_message_encoding()
                                                                    : TextEncoding::Utf8;
}

std::string_view trim_message_end(std::string_view message) noexcept {
    while (!message.empty()) {
        const char last = message.back();
        if (last != ' ' && last != '\t' && last != '\n' && last != '\f' && last != '\r') {
            break;
        }
        message.remove_suffix(1);
    }
    return message;
}

}  // namespace driftmoor::platform
