#include "platform/os_error.h"

#include "platform/fixed_texts.h"

namespace driftmoor::platform {
namespace {

static_assert(KIND_DESCRIPTIONS.size() == ERROR_KIND_COUNT);
static_assert(ERROR_KIND_COUNT == static_cast<std::size_t>(ErrorKind::UncategorizedError) + 1);

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
                return with_os_error_code(system_message(e.code), e.code);
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
