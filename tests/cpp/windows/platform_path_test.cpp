// Path texts on their way to Windows: the WTF-8 and UTF-16 forms of a name,
// and which paths Windows sees as written, made absolute, or verbatim.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/path_text.h"
#include "platform/windows/platform_path.h"
#include "platform/windows/wide_text.h"
#include "temporary_directory.h"

namespace driftmoor::platform {
namespace {

TEST(WideText, UnpairedSurrogatesSurviveTheRoundTrip) {
    struct Case {
        std::wstring_view units;
        std::string_view wtf8;
        bool is_utf16;
    };
    for (const auto& [units, wtf8, is_utf16] : {
             Case{L"plain", "plain", true},
             Case{L"\u00e9\u20ac", "\xC3\xA9\xE2\x82\xAC", true},
             Case{L"\xD83D\xDE00", "\xF0\x9F\x98\x80", true},           // a pair: one code point
             Case{L"a\xD800", "a\xED\xA0\x80", false},                  // lead at the end
             Case{L"\xDC00z", "\xED\xB0\x80z", false},                  // trail alone
             Case{L"\xDE00\xD83D", "\xED\xB8\x80\xED\xA0\xBD", false},  // reversed pair
             Case{L"\xD800\xD800\xDC00", "\xED\xA0\x80\xF0\x90\x80\x80", false},
         }) {
        SCOPED_TRACE(testing::PrintToString(wtf8));
        EXPECT_EQ(utf16_to_wtf8(units), wtf8);
        EXPECT_EQ(wtf8_to_utf16(wtf8), units);
        EXPECT_EQ(is_unicode_text(wtf8), is_utf16);
        EXPECT_EQ(utf16_to_utf8(units).has_value(), is_utf16);
    }
    // Bytes that are not WTF-8 at all cannot come from Python or from a
    // listing; should one arrive, it is replaced, never dropped or merged.
    EXPECT_EQ(wtf8_to_utf16("a\xFF\xC3z\xE0\x80\x80"), L"a\xFFFD\xFFFDz\xFFFD\xFFFD\xFFFD");
}

std::wstring current_directory() {
    std::wstring directory(MAX_PATH * 4, L'\0');
    directory.resize(
        ::GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data()));
    return directory;
}

std::wstring prepared(std::string_view path_text) {
    auto path = prepare_platform_path(path_text);
    EXPECT_TRUE(path.has_value()) << path_text;
    return path ? *path : std::wstring();
}

TEST(PreparePlatformPath, NulIsRefusedWithItsOwnMessage) {
    for (const std::string_view text :
         {std::string_view("a\0b", 3), std::string_view("\0", 1), std::string_view("C:\\x\0", 5)}) {
        auto path = prepare_platform_path(text);
        ASSERT_FALSE(path.has_value());
        EXPECT_EQ(error_kind(path.error()), ErrorKind::InvalidInputParameter);
        EXPECT_EQ(error_text(path.error()), "strings passed to WinAPI cannot contain NULs");
    }
}

TEST(PreparePlatformPath, ShortDriveUncDeviceAndVerbatimPathsGoAsWritten) {
    const std::string long_verbatim = "\\\\?\\C:\\" + std::string(400, 'v');
    const std::string unc_30 = "\\\\server\\share\\" + std::string(15, 'u');
    ASSERT_EQ(unc_30.size(), 30u);
    const std::string drive_246 = "C:\\" + std::string(243, 'd');
    for (const std::string& text :
         {std::string(""), std::string("C:/data/a.txt"), std::string("C:\\data\\..\\a.txt"),
          std::string("D:"), std::string("x:/"), std::string("\\\\.\\COM1"), std::string("//a/b"),
          std::string("/\\mixed"), unc_30, drive_246, long_verbatim,
          std::string("\\??\\C:\\x\\.\\y")}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(prepared(text), wtf8_to_utf16(text));
    }
}

TEST(PreparePlatformPath, EverythingElseIsMadeAbsoluteAndVerbatim) {
    const std::wstring here = current_directory();
    ASSERT_GE(here.size(), 3u);
    ASSERT_EQ(here.substr(1, 2), L":\\");
    const std::wstring here_slash = here.back() == L'\\' ? here : here + L'\\';
    const std::wstring drive = here.substr(0, 2);

    // Relative, with "." and ".." resolved and "/" turned into "\".
    EXPECT_EQ(prepared("data\\a.txt"), L"\\\\?\\" + here_slash + L"data\\a.txt");
    EXPECT_EQ(prepared("./x/../y/z"), L"\\\\?\\" + here_slash + L"y\\z");
    // Rooted without a drive: the current drive.
    EXPECT_EQ(prepared("\\data"), L"\\\\?\\" + drive + L"\\data");
    // Drive-relative on a drive with no current directory: its root.
    EXPECT_EQ(prepared("Q:rel"), L"\\\\?\\Q:\\rel");

    // 247 characters and more: absolute already, but only the verbatim form
    // reaches past the old length limit.
    const std::string drive_247 = "C:\\" + std::string(244, 'd');
    EXPECT_EQ(prepared(drive_247), L"\\\\?\\" + wtf8_to_utf16(drive_247));
    const std::string unc_300 = "\\\\server\\share\\" + std::string(285, 'u');
    EXPECT_EQ(prepared(unc_300), L"\\\\?\\UNC\\" + wtf8_to_utf16(unc_300.substr(2)));
    const std::string device_300 = "\\\\.\\C:\\" + std::string(293, 'e');
    EXPECT_EQ(prepared(device_300), L"\\\\?\\" + wtf8_to_utf16(device_300.substr(4)));

    // An absolute form longer than the first buffer is asked for again.
    const std::string long_relative = std::string(300, 'r') + "\\" + std::string(300, 's');
    EXPECT_EQ(prepared(long_relative), L"\\\\?\\" + here_slash + wtf8_to_utf16(long_relative));
}

}  // namespace
}  // namespace driftmoor::platform
