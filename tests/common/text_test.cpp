// Text conversion and the UTF-16 order of names.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/text.hpp"

namespace tarvo {
namespace {

std::wstring wide_of_code_point(char32_t c)
{
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
        const char32_t v = c - 0x10000;
        return {static_cast<wchar_t>(0xD800 + (v >> 10)), static_cast<wchar_t>(0xDC00 + (v & 0x3FF))};
    }
    return std::wstring(1, static_cast<wchar_t>(c));
}

TEST(TextConversion, RoundTripsEveryKindOfCharacter)
{
    // ASCII, two-, three- and four-byte forms (the last outside the BMP).
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    const std::wstring wide = L"a" + wide_of_code_point(0xE9) + wide_of_code_point(0x20AC) +
                              wide_of_code_point(0x1F600) + L"z";
    EXPECT_EQ(from_utf8(utf8), wide);
    EXPECT_EQ(to_utf8(wide), utf8);
}

TEST(TextConversion, RejectsMalformedInputWithBadConversion)
{
    const std::vector<std::string> bad = {
        "\x80", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF", "ab\xE2\x82"};
    for (const std::string& input : bad) {
        SCOPED_TRACE(input.size());
        try {
            (void)from_utf8(input);
            ADD_FAILURE() << "accepted malformed UTF-8";
        } catch (const std::range_error& e) {
            EXPECT_STREQ(e.what(), "bad conversion");
        }
    }
    const std::wstring lone_surrogate(1, static_cast<wchar_t>(0xD800));
    EXPECT_THROW((void)to_utf8(lone_surrogate), std::range_error);
    EXPECT_THROW((void)to_utf8(L"x" + std::wstring(1, static_cast<wchar_t>(0xDC00))), std::range_error);
}

TEST(TextOrder, SortsByUtf16CodeUnits)
{
    // Upper case before "_" and lower case; "." before "/"; a prefix first; a character
    // outside the BMP before U+E000..U+FFFF, as its surrogates would.
    std::vector<std::wstring> names = {L"b", L"a/b", wide_of_code_point(0xFF21), L"a.txt", L"a",
                                       wide_of_code_point(0x1F600), L"B/x", L"A.txt", L"_"};
    std::sort(names.begin(), names.end(), Utf16Less{});
    const std::vector<std::wstring> expected = {L"A.txt", L"B/x", L"_", L"a", L"a.txt", L"a/b", L"b",
                                                wide_of_code_point(0x1F600), wide_of_code_point(0xFF21)};
    EXPECT_EQ(names, expected);
}

TEST(WideError, KeepsBaseTextAndWideMessageAcrossCopies)
{
    const wruntime_error original(L"Cannot open input file \"x\"");
    const wruntime_error copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_STREQ(copy.what(), "Error");
    EXPECT_EQ(copy.message(), L"Cannot open input file \"x\"");
    EXPECT_EQ(to_hex(0), L"0");
    EXPECT_EQ(to_hex(0xA00000ULL), L"a00000");
}

}  // namespace
}  // namespace tarvo
