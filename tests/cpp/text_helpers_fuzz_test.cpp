// The text helpers on random inputs, each against a plain reference written
// from its rule rather than from its code: the UTF-8 check against a decoder
// that computes each code point, path joining against the joining rules, and
// the digest's hex form against printf.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "digest/file_digest.h"
#include "fuzz_cases.h"
#include "platform/path_text.h"

namespace driftmoor {
namespace {

using fuzzing::FuzzRandom;
using fuzzing::uniform;

// --- Well-formed UTF-8 --------------------------------------------------------

// Decodes each sequence by its bit pattern, then refuses what Unicode does
// not allow: overlong forms, surrogates and code points past U+10FFFF.
bool reference_is_utf8(std::string_view text) {
    constexpr char32_t SHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[at]);
        std::size_t length;
        char32_t code_point;
        if (lead < 0x80) {
            ++at;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code_point = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code_point = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code_point = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - at < length) {
            return false;
        }
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<std::uint8_t>(text[at + i]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code_point = (code_point << 6) | (next & 0x3F);
        }
        if (code_point < SHORTEST[length] || code_point > 0x10FFFF ||
            (code_point >= 0xD800 && code_point <= 0xDFFF)) {
            return false;
        }
        at += length;
    }
    return true;
}

// The bytes of `code_point` in `length` bytes, whether or not that is its
// shortest form or a code point at all.
std::string encode(char32_t code_point, std::size_t length) {
    if (length == 1) {
        return std::string(1, static_cast<char>(code_point & 0x7F));
    }
    constexpr std::uint8_t LEAD_BITS[] = {0, 0, 0xC0, 0xE0, 0xF0};
    std::string bytes(length, '\0');
    for (std::size_t i = length - 1; i > 0; --i) {
        bytes[i] = static_cast<char>(0x80 | (code_point & 0x3F));
        code_point >>= 6;
    }
    bytes[0] = static_cast<char>(LEAD_BITS[length] | code_point);
    return bytes;
}

char32_t random_code_point(FuzzRandom& random) {
    // Mostly next to the edges where the rules change.
    constexpr char32_t EDGES[] = {0x7F,   0x80,   0x7FF,   0x800,    0xD7FF,   0xD800,  0xDFFF,
                                  0xE000, 0xFFFF, 0x10000, 0x10FFFF, 0x110000, 0x3FFFFF};
    if (uniform(random, 0, 3) == 0) {
        return static_cast<char32_t>(uniform(random, 0, 0x1FFFFF));
    }
    const char32_t edge = EDGES[uniform(random, 0, std::size(EDGES) - 1)];
    return edge + static_cast<char32_t>(uniform(random, 0, 2)) - 1;
}

// Runs of ASCII (so sequences start at every offset of the 8-byte fast
// path), sequences of every length right, overlong or out of range, cut
// short, and stray bytes; sometimes one bit flipped afterwards.
std::string random_utf8_like(FuzzRandom& random) {
    std::string text;
    const std::size_t pieces = uniform(random, 0, 6);
    for (std::size_t piece = 0; piece < pieces; ++piece) {
        switch (uniform(random, 0, 4)) {
            case 0:
                text.append(uniform(random, 0, 17), static_cast<char>(uniform(random, 0, 0x7F)));
                break;
            case 1:
            case 2: {
                const std::string sequence =
                    encode(random_code_point(random), uniform(random, 2, 4));
                text += uniform(random, 0, 5) == 0 ? sequence.substr(0, uniform(random, 1, 3))
                                                   : sequence;
                break;
            }
            case 3:
                text += static_cast<char>(uniform(random, 0x80, 0xFF));
                break;
            default:
                text += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
                break;
        }
    }
    if (!text.empty() && uniform(random, 0, 3) == 0) {
        text[uniform(random, 0, text.size() - 1)] ^= static_cast<char>(1 << uniform(random, 0, 7));
    }
    return text;
}

TEST(TextHelpersFuzz, UnicodeCheckAgreesWithADecoder) {
    FuzzRandom random(fuzzing::fuzz_seed());
    const std::uint64_t cases = fuzzing::fuzz_cases(200000);
    std::uint64_t valid = 0;
    for (std::uint64_t i = 0; i < cases; ++i) {
        const std::string text = random_utf8_like(random);
        const bool expected = reference_is_utf8(text);
        ASSERT_EQ(platform::is_unicode_text(text), expected)
            << testing::PrintToString(text) << " (seed " << fuzzing::fuzz_seed() << ")";
        ASSERT_EQ(platform::path_as_unicode(text).has_value(), expected);
        valid += expected;
    }
    // Both answers must be common, or the comparison proves little.
    EXPECT_GT(valid, cases / 10);
    EXPECT_LT(valid, cases - cases / 10);
}

// --- Path joining -------------------------------------------------------------

#ifdef _WIN32
// Windows: "\" is added unless the directory is empty, ends in "\" or "/",
// or is a bare drive ("D:"). A verbatim directory ("\\?\...") reaches the
// file system without clean-up, so it is rebuilt from its non-empty
// components, one "\" between each and one before the name.
std::string reference_join(std::string_view directory, std::string_view name) {
    constexpr std::string_view VERBATIM = "\\\\?\\";
    if (directory.starts_with(VERBATIM)) {
        std::vector<std::string_view> components;
        std::string_view rest = directory.substr(VERBATIM.size());
        for (std::size_t start = 0; start <= rest.size();) {
            std::size_t end = rest.find('\\', start);
            if (end == std::string_view::npos) {
                end = rest.size();
            }
            if (end > start) {
                components.push_back(rest.substr(start, end - start));
            }
            start = end + 1;
        }
        std::string joined(VERBATIM);
        for (const std::string_view component : components) {
            joined.append(component).append("\\");
        }
        if (components.empty()) {
            joined += '\\';
        }
        return joined.append(name);
    }
    const bool bare_drive = directory.size() == 2 && directory[1] == ':' &&
                            ((directory[0] >= 'a' && directory[0] <= 'z') ||
                             (directory[0] >= 'A' && directory[0] <= 'Z'));
    const bool ends_in_separator =
        !directory.empty() && (directory.back() == '\\' || directory.back() == '/');
    if (directory.empty() || ends_in_separator || bare_drive) {
        return std::string(directory).append(name);
    }
    return std::string(directory).append("\\").append(name);
}
#else
// POSIX: "/" is added unless the directory is empty or already ends in "/";
// a backslash is an ordinary character.
std::string reference_join(std::string_view directory, std::string_view name) {
    const bool ends_in_separator = !directory.empty() && directory.back() == '/';
    return std::string(directory) + (directory.empty() || ends_in_separator ? "" : "/") +
           std::string(name);
}
#endif

std::string random_path_text(FuzzRandom& random) {
    constexpr std::string_view PIECES[] = {
        "a", "/", "\\", ":", "C", "z", ".", "?", "\\\\?\\", "\xC3\xA9", std::string_view("\0", 1)};
    std::string text;
    const std::size_t pieces = uniform(random, 0, 8);
    for (std::size_t i = 0; i < pieces; ++i) {
        text += PIECES[uniform(random, 0, std::size(PIECES) - 1)];
    }
    return text;
}

TEST(TextHelpersFuzz, JoiningAgreesWithTheRules) {
    FuzzRandom random(fuzzing::fuzz_seed());
    const std::uint64_t cases = fuzzing::fuzz_cases(100000);
    for (std::uint64_t i = 0; i < cases; ++i) {
        const std::string directory = random_path_text(random);
        const std::string name = random_path_text(random);
        const std::string expected = reference_join(directory, name);
        ASSERT_EQ(platform::join_path(directory, name), expected)
            << testing::PrintToString(directory) << " + " << testing::PrintToString(name)
            << " (seed " << fuzzing::fuzz_seed() << ")";
        std::string extended = directory;
        platform::append_to_path(extended, name);
        ASSERT_EQ(extended, expected);
    }
}

// --- The digest's hex form ----------------------------------------------------

TEST(TextHelpersFuzz, HexFormAgreesWithPrintf) {
    FuzzRandom random(fuzzing::fuzz_seed());
    const std::uint64_t cases = fuzzing::fuzz_cases(20000);
    for (std::uint64_t i = 0; i < cases; ++i) {
        digest::Sha256Digest bytes;
        // Every byte value turns up at every position early on.
        for (std::size_t at = 0; at < bytes.size(); ++at) {
            bytes[at] = static_cast<std::uint8_t>(i < 256 ? i + at : uniform(random, 0, 255));
        }
        std::string expected;
        for (const std::uint8_t byte : bytes) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(byte));
            expected += pair;
        }
        ASSERT_EQ(digest::hex_encode(bytes).text(), expected);
    }
}

}  // namespace
}  // namespace driftmoor
