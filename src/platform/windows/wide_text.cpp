#include "platform/windows/wide_text.h"

#include <cstddef>
#include <cstdint>

namespace driftmoor::platform {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool is_continuation(std::uint8_t byte) noexcept {
    return (byte & 0xC0) == 0x80;
}

void append_code_point(std::string& text, char32_t point) {
    if (point < 0x80) {
        text.push_back(static_cast<char>(point));
    } else if (point < 0x800) {
        text.push_back(static_cast<char>(0xC0 | (point >> 6)));
        text.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        text.push_back(static_cast<char>(0xE0 | (point >> 12)));
        text.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    } else {
        text.push_back(static_cast<char>(0xF0 | (point >> 18)));
        text.push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
        text.push_back(static_cast<char>(0x80 | (point & 0x3F)));
    }
}

bool is_high_surrogate(wchar_t unit) noexcept {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(wchar_t unit) noexcept {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Walks the units as code points; an unpaired surrogate comes out as
// itself, flagged, so each caller decides what it means.
template <class Visit>
void for_each_code_point(std::wstring_view units, Visit visit) {
    for (std::size_t index = 0; index < units.size(); ++index) {
        const wchar_t unit = units[index];
        if (is_high_surrogate(unit) && index + 1 < units.size() &&
            is_low_surrogate(units[index + 1])) {
            const char32_t point =
                0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(units[index + 1]) - 0xDC00);
            ++index;
            visit(point, false);
        } else {
            visit(char32_t(unit), is_high_surrogate(unit) || is_low_surrogate(unit));
        }
    }
}

}  // namespace

std::wstring wtf8_to_utf16(std::string_view text) {
    std::wstring units;
    units.reserve(text.size());
    const auto* at = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto* const end = at + text.size();
    while (at != end) {
        const std::uint8_t lead = *at;
        std::ptrdiff_t length = 1;
        char32_t point = REPLACEMENT;
        if (lead < 0x80) {
            point = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07;
        } else {
            length = 0;
        }
        bool well_formed = length > 0 && end - at >= length;
        for (std::ptrdiff_t index = 1; well_formed && index < length; ++index) {
            well_formed = is_continuation(at[index]);
            point = (point << 6) | (at[index] & 0x3F);
        }
        // Overlong forms and points past U+10FFFF fit no sequence; surrogate
        // points (U+D800..U+DFFF in three bytes) are exactly what WTF-8 adds.
        constexpr char32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
        if (well_formed && (point < SMALLEST[length] || point > 0x10FFFF)) {
            well_formed = false;
        }
        if (!well_formed) {
            units.push_back(static_cast<wchar_t>(REPLACEMENT));
            ++at;
            continue;
        }
        if (point >= 0x10000) {
            units.push_back(static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10)));
            units.push_back(static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<wchar_t>(point));
        }
        at += length;
    }
    return units;
}

std::string utf16_to_wtf8(std::wstring_view units) {
    std::string text;
    text.reserve(units.size());
    for_each_code_point(units, [&](char32_t point, bool) { append_code_point(text, point); });
    return text;
}

std::optional<std::string> utf16_to_utf8(std::wstring_view units) {
    std::string text;
    text.reserve(units.size());
    bool valid = true;
    for_each_code_point(units, [&](char32_t point, bool unpaired) {
        valid = valid && !unpaired;
        append_code_point(text, point);
    });
    if (!valid) {
        return std::nullopt;
    }
    return text;
}

}  // namespace driftmoor::platform
