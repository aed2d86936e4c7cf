// The WTF-8 and UTF-16 conversions on random unit sequences, rich in
// surrogates paired and unpaired, against Windows' own UTF-8 conversions
// wherever the units are valid UTF-16.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "../fuzz_cases.h"
#include "platform/path_text.h"
#include "platform/windows/wide_text.h"

namespace driftmoor::platform {
namespace {

using fuzzing::FuzzRandom;
using fuzzing::uniform;

// Windows' UTF-8 form of the units, or none when it refuses them as invalid.
std::optional<std::string> windows_utf8(const std::wstring& units) {
    if (units.empty()) {
        return std::string();
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, units.data(),
                            static_cast<int>(units.size()), nullptr, 0, nullptr, nullptr);
    if (size == 0) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, units.data(), static_cast<int>(units.size()),
                        text.data(), size, nullptr, nullptr);
    return text;
}

std::wstring windows_utf16(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0);
    std::wstring units(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        units.data(), size);
    return units;
}

std::wstring random_units(FuzzRandom& random) {
    constexpr wchar_t EDGES[] = {0x0000, 0x007F, 0x0080, 0x07FF, 0x0800, 0xD7FF, 0xD800,
                                 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
    std::wstring units(uniform(random, 0, 12), L'\0');
    for (wchar_t& unit : units) {
        unit = uniform(random, 0, 1) == 0 ? EDGES[uniform(random, 0, std::size(EDGES) - 1)]
                                          : static_cast<wchar_t>(uniform(random, 0xD7F0, 0xE010));
        if (uniform(random, 0, 4) == 0) {
            unit = static_cast<wchar_t>(uniform(random, 0, 0xFFFF));
        }
    }
    return units;
}

TEST(WideTextFuzz, ConversionsAreLosslessAndAgreeWithWindows) {
    FuzzRandom random(fuzzing::fuzz_seed());
    const std::uint64_t cases = fuzzing::fuzz_cases(50000);
    std::uint64_t valid = 0;
    for (std::uint64_t i = 0; i < cases; ++i) {
        const std::wstring units = random_units(random);
        SCOPED_TRACE(testing::PrintToString(units) + " (seed " +
                     std::to_string(fuzzing::fuzz_seed()) + ")");
        const std::string wtf8 = utf16_to_wtf8(units);
        ASSERT_EQ(wtf8_to_utf16(wtf8), units);

        const std::optional<std::string> expected = windows_utf8(units);
        ASSERT_EQ(utf16_to_utf8(units), expected);
        ASSERT_EQ(is_unicode_text(wtf8), expected.has_value());
        if (expected) {
            ASSERT_EQ(wtf8, *expected);
            ASSERT_EQ(wtf8_to_utf16(*expected), windows_utf16(*expected));
            ++valid;
        }
    }
    EXPECT_GT(valid, cases / 10);
    EXPECT_LT(valid, cases - cases / 10);
}

}  // namespace
}  // namespace driftmoor::platform
