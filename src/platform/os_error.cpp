#include "platform/os_error.h"

#include <array>

namespace driftmoor::platform {
namespace {

// The display texts of the kinds, indexed by ErrorKind.
constexpr std::array<std::string_view, ERROR_KIND_COUNT> KIND_DESCRIPTIONS{{
    "entity not found",
    "permission denied",
    "connection refused",
    "connection reset",
    "host unreachable",
    "network unreachable",
    "connection aborted",
    "not connected",
    "address in use",
    "address not available",
    "network down",
    "broken pipe",
    "entity already exists",
    "operation would block",
    "not a directory",
    "is a directory",
    "directory not empty",
    "read-only filesystem or storage medium",
    "filesystem loop or indirection limit (e.g. symlink loop)",
    "stale network file handle",
    "invalid input parameter",
    "invalid data",
    "timed out",
    "write zero",
    "no storage space",
    "seek on unseekable file",
    "quota exceeded",
    "file too large",
    "resource busy",
    "executable file busy",
    "deadlock",
    "cross-device link or rename",
    "too many links",
    "invalid filename",
    "argument list too long",
    "operation interrupted",
    "unsupported",
    "unexpected end of file",
    "out of memory",
    "in progress",
    "other error",
    "uncategorized error",
}};
static_assert(KIND_DESCRIPTIONS.size() ==
              static_cast<std::size_t>(ErrorKind::UncategorizedError) + 1);

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};

}  // namespace

std::string_view kind_description(ErrorKind kind) noexcept {
    return KIND_DESCRIPTIONS[static_cast<std::size_t>(kind)];
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
