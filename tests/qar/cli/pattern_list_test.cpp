// Pattern lists: the expression texts, what they match, and their messages.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "common/console.hpp"
#include "qar/base/pattern_list.hpp"

namespace qar {
namespace {

PatternExpression expression_of(const std::wstring& text)
{
    std::vector<std::wstring> items;
    split_list(text, L';', items);
    return compile_pattern_expression(build_pattern_expression(items));
}

TEST(PatternList, BuildsExpressionsFromTrimmedPiecesAndPrintsThem)
{
    std::vector<std::wstring> items;
    split_list(L" *.txt ;\t*.bin\r\n;;  ; my file.txt;", L';', items);
    EXPECT_EQ(items, (std::vector<std::wstring>{L"*.txt", L"*.bin", L"my file.txt"}));
    std::wstring doubled = L"aaa";
    replace_all(doubled, L"a", L"aa");  // never rescans what it inserted
    EXPECT_EQ(doubled, L"aaaaaa");
    EXPECT_EQ(expression_of(L" ; ;").text, L"^()$");
    EXPECT_EQ(expression_of(L"a\\b?.*").text, L"^(a\\\\b.\\..+?)$");

    tarvo::console::Capture capture;
    EXPECT_FALSE(set_up_pattern_list(PatternListKind::extract, L"").has_value());  // builds nothing
    EXPECT_TRUE(set_up_pattern_list(PatternListKind::ignore, kDefaultIgnorePatterns).has_value());
    EXPECT_THROW(set_up_pattern_list(PatternListKind::extract, L"a[b"), std::regex_error);
    EXPECT_EQ(capture.out, L"Setting up extract list...\nSetting up ignore list...\n"
                           L"Ignore patterns set to: ^(.+?/desktop\\.ini|.+?/thumbs\\.db)$\nSetting up extract list...\n");
}

TEST(PatternList, MatchesWholeNamesIgnoringCase)
{
    const std::wstring long_name = L"dir/" + std::wstring(100000, L'n') + L".txt";
    const std::tuple<const wchar_t*, std::wstring, bool> cases[] = {
        {kDefaultIgnorePatterns, L"a/b/Thumbs.db", true},
        {kDefaultIgnorePatterns, L"desktop.ini", false},  // "*" needs a character before "/"
        {kDefaultIgnorePatterns, L"sub/desktop.ini.bak", false},
        {L"*.txt", L"dir/B.TXT", true},
        {L"*.txt", L"atxt", false},  // the dot is literal
        {L"?", L"xy", false},
        {L"a+.bin", L"aa.bin", true},  // "+" keeps its meaning
        {L"dir\\x.bin", L"dir/x.bin", false},
        // Names from archives can be far longer than any path: no recursion per character, and
        // no endless backtracking on a nested repetition.
        {L"*.txt", long_name, true},
        {kDefaultIgnorePatterns, long_name, false},
        {L"*+*+*+*+b", std::wstring(64, L'a'), false},
    };
    for (const auto& [patterns, name, expected] : cases) {
        EXPECT_EQ(matches(name, expression_of(patterns)), expected) << name.size() << " characters";
    }
}

}  // namespace
}  // namespace qar
