// Text conversion, the UTF-16 order of names, and the form in which Windows is handed a path.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/platform.hpp"
#include "common/text.hpp"

namespace tarvo {
namespace {

// ASCII and the two-, three- and four-byte forms (the last a surrogate pair where wchar_t has 16 bits).
TEST(TextConversion, RoundTripsEveryKindOfCharacterAndRejectsMalformedInput)
{
    const std::wstring emoji =
        sizeof(wchar_t) == 2 ? std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)} : std::wstring(1, wchar_t(0x1F600));
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    const std::wstring wide = std::wstring(L"a") + wchar_t(0xE9) + wchar_t(0x20AC) + emoji + L"z";
    EXPECT_EQ(from_utf8(utf8), wide);
    EXPECT_EQ(to_utf8(wide), utf8);

    for (const std::string bad : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF",
                                  "ab\xE2\x82"})
        EXPECT_THROW((void)from_utf8(bad), std::range_error) << bad.size() << " bytes";
    EXPECT_THROW((void)to_utf8(std::wstring(1, wchar_t(0xD800))), std::range_error);  // lone surrogates
    EXPECT_THROW((void)to_utf8(L"x" + std::wstring(1, wchar_t(0xDC00))), std::range_error);

    // "A" < "_" < "a", "." < "/", a prefix first, a character outside the BMP before U+E000 as surrogates.
    const std::wstring full_width_a(1, wchar_t(0xFF21));
    std::vector<std::wstring> names = {L"b", L"a/b", full_width_a, L"a.txt", L"a", emoji, L"B/x", L"_"};
    std::sort(names.begin(), names.end(), Utf16Less{});
    EXPECT_EQ(names, (std::vector<std::wstring>{L"B/x", L"_", L"a", L"a.txt", L"a/b", L"b", emoji, full_width_a}));
}

TEST(WindowsSystemPath, LongFormFromTheThresholdOnAndForEveryAbsolutePathWhenForced)
{
    const std::wstring a(kLongPathThreshold - 4, L'a'), b = a + L'b';  // after "C:\": 247 and 248 characters
    const std::wstring r(kLongPathThreshold - 6, L'r');                 // after "C:\g\": 247 characters
    struct Case { std::wstring path, current; bool force; std::wstring expected; } const cases[] = {
        {L"C:\\" + a, L"C:\\g", false, L"C:\\" + a},
        {L"C:\\" + b, L"C:\\g", false, L"\\\\?\\C:\\" + b},
        {r, L"C:\\g", false, r},
        {L"m/" + r, L"C:\\g", false, L"\\\\?\\C:\\g\\m\\" + r},
        {L"C:/g/./x/../" + b + L"/", L"D:\\", false, L"\\\\?\\C:\\g\\" + b},
        {L"C:\\..\\..\\" + b, L"C:\\g", false, L"\\\\?\\C:\\" + b},
        {L"C:\\g\\" + b + L"\\..\\x.txt", L"C:\\g", false, L"\\\\?\\C:\\g\\x.txt"},
        {L"\\\\server\\share\\" + b, L"C:\\g", false, L"\\\\?\\UNC\\server\\share\\" + b},
        {L"//server/share/x/../../" + b, L"C:\\g", false, L"\\\\?\\UNC\\server\\share\\" + b},
        {L"\\" + b, L"D:\\games", false, L"\\\\?\\D:\\" + b},
        {L"\\" + b, L"\\\\srv\\sh\\dir", false, L"\\\\?\\UNC\\srv\\sh\\" + b},
        {L"c:" + b, L"C:\\g", false, L"\\\\?\\C:\\g\\" + b},
        {L"E:" + b, L"C:\\g", false, L"\\\\?\\E:\\" + b},
        {L"C:\\g\\x.txt", L"D:\\", true, L"\\\\?\\C:\\g\\x.txt"},
        {L"\\\\srv\\sh\\x.txt", L"D:\\", true, L"\\\\?\\UNC\\srv\\sh\\x.txt"},
        {L"x.txt", L"C:\\g", true, L"x.txt"},
        {L"\\\\?\\C:\\" + b + L"\\..", L"D:\\", true, L"\\\\?\\C:\\" + b + L"\\.."},
        {L"\\\\.\\pipe\\x", L"D:\\", true, L"\\\\.\\pipe\\x"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(windows_system_path(c.path, c.current, c.force), c.expected) << to_utf8(c.path + L" in " + c.current) << c.force;
}

}  // namespace
}  // namespace tarvo
