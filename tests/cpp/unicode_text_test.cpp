#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/path_text.h"

namespace driftmoor::platform {
namespace {

// Every way of placing `sequence` among ASCII: 0 to 17 bytes before it and
// after it, so it starts at every offset of, and right after, an 8-byte run.
std::vector<std::string> placements(std::string_view sequence) {
    std::vector<std::string> texts;
    for (std::size_t before = 0; before <= 17; ++before) {
        for (std::size_t after = 0; after <= 17; ++after) {
            texts.push_back(std::string(before, 'a') + std::string(sequence) +
                            std::string(after, 'z'));
        }
    }
    return texts;
}

TEST(UnicodeText, AcceptsEveryBoundaryOfEachLength) {
    EXPECT_TRUE(is_unicode_text(""));
    for (const std::string_view sequence :
         {"\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
          "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF",
          "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"}) {
        for (const std::string& text : placements(sequence)) {
            SCOPED_TRACE(testing::PrintToString(text));
            EXPECT_TRUE(is_unicode_text(text));
            const auto unicode = path_as_unicode(text);
            ASSERT_TRUE(unicode.has_value());
            EXPECT_EQ(unicode->data(), text.data());
            EXPECT_EQ(unicode->size(), text.size());
        }
    }
}

TEST(UnicodeText, RejectsMalformedSequencesAtEveryOffset) {
    for (const std::string_view sequence :
         {// overlong forms
          "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF", "\xF0\x80\x80\x80",
          "\xF0\x8F\xBF\xBF",
          // surrogates
          "\xED\xA0\x80", "\xED\xBF\xBF",
          // past U+10FFFF
          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF7\xBF\xBF\xBF", "\xFF", "\xFE",
          // stray continuation bytes
          "\x80", "\xBF", "\xC3\xA9\x80",
          // truncated: cut short, or broken by a byte that continues nothing
          "\xC2", "\xE2\x82", "\xF0\x9F\x98", "\xC2\x41", "\xE2\x41\xAC", "\xE2\x82\x41",
          "\xF0\x9F\x41\x80", "\xF0\x9F\x98\x41", "\xE2\x82\xC3\xA9", "\xF0\x9F\x98\xF0"}) {
        for (const std::string& text : placements(sequence)) {
            SCOPED_TRACE(testing::PrintToString(text));
            EXPECT_FALSE(is_unicode_text(text));
            EXPECT_FALSE(path_as_unicode(text).has_value());
        }
    }
}

}  // namespace
}  // namespace driftmoor::platform
