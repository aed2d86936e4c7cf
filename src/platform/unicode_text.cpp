#include <cstdint>
#include <cstring>

#include "platform/path_text.h"

namespace driftmoor::platform {

bool is_unicode_text(std::string_view bytes) noexcept {
    const auto* at = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto* const end = at + bytes.size();
    while (at != end) {
        // Path texts are mostly ASCII: skip eight such bytes at a time.
        if (end - at >= 8) {
            std::uint64_t word;
            std::memcpy(&word, at, sizeof word);
            if ((word & 0x8080808080808080u) == 0) {
                at += 8;
                continue;
            }
        }
        const std::uint8_t lead = *at;
        if (lead < 0x80) {
            ++at;
            continue;
        }
        // The lead byte fixes the length and the range of the first
        // continuation byte; the narrowed ranges are what exclude overlong
        // forms (E0, F0), surrogates (ED) and code points past U+10FFFF (F4).
        std::ptrdiff_t length;
        std::uint8_t second_low = 0x80;
        std::uint8_t second_high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) {
                second_low = 0xA0;
            } else if (lead == 0xED) {
                second_high = 0x9F;
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) {
                second_low = 0x90;
            } else if (lead == 0xF4) {
                second_high = 0x8F;
            }
        } else {
            return false;
        }
        if (end - at < length || at[1] < second_low || at[1] > second_high) {
            return false;
        }
        for (std::ptrdiff_t index = 2; index < length; ++index) {
            if ((at[index] & 0xC0) != 0x80) {
                return false;
            }
        }
        at += length;
    }
    return true;
}

}  // namespace driftmoor::platform
