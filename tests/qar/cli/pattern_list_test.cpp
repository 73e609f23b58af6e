// Pattern lists: the expression texts, what they match, and their messages.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "common/console.hpp"
#include "qar/cli/pattern_list.hpp"

namespace qar {
namespace {

PatternExpression expression_of(const std::wstring& text)
{
    std::vector<std::wstring> items;
    split_list(text, L';', items);
    return compile_pattern_expression(build_pattern_expression(items));
}

TEST(PatternList, SplitsTrimsAndDropsEmptyPieces)
{
    std::vector<std::wstring> items;
    split_list(L" *.txt ;\t*.bin\r\n;;  ; my file.txt;", L';', items);
    EXPECT_EQ(items, (std::vector<std::wstring>{L"*.txt", L"*.bin", L"my file.txt"}));
}

TEST(PatternList, ReplaceAllNeverRescansInsertedText)
{
    std::wstring text = L"a.b.c";
    replace_all(text, L".", L"\\.");
    EXPECT_EQ(text, L"a\\.b\\.c");
    std::wstring doubled = L"aaa";
    replace_all(doubled, L"a", L"aa");
    EXPECT_EQ(doubled, L"aaaaaa");
}

TEST(PatternList, BuildsTheExpressionTexts)
{
    EXPECT_EQ(expression_of(kDefaultIgnorePatterns).text, L"^(.+?/desktop\\.ini|.+?/thumbs\\.db)$");
    EXPECT_EQ(expression_of(L" ; ;").text, L"^()$");
    EXPECT_EQ(expression_of(L"a\\b?.*").text, L"^(a\\\\b.\\..+?)$");
}

TEST(PatternList, MatchesWholeNamesIgnoringCase)
{
    struct Case {
        const wchar_t* patterns;
        const wchar_t* name;
        bool expected;
    };
    const Case cases[] = {
        {kDefaultIgnorePatterns, L"sub/desktop.ini", true},
        {kDefaultIgnorePatterns, L"a/b/Thumbs.db", true},
        {kDefaultIgnorePatterns, L"desktop.ini", false},  // "*" needs a character before "/"
        {kDefaultIgnorePatterns, L"sub/desktop.ini.bak", false},
        {L"*.txt", L"a.txt", true},
        {L"*.txt", L"dir/B.TXT", true},
        {L"*.txt", L".txt", false},
        {L"*.txt", L"atxt", false},  // the dot is literal
        {L"?", L"x", true},
        {L"?", L"xy", false},
        {L"*", L"anything/at/all", true},
        {L"my file.txt", L"MY FILE.TXT", true},
        {L"a+.bin", L"aa.bin", true},  // "+" keeps its meaning
        {L"dir\\x.bin", L"dir/x.bin", false},
        {L" ; ", L"a", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::wstring(c.patterns) + L" vs " + c.name);
        EXPECT_EQ(matches(c.name, expression_of(c.patterns)), c.expected);
    }
}

// Names come from archives and can be far longer than any path: matching must not recurse
// per character (a backtracking matcher runs out of an 8 MiB stack at about 50,000 characters,
// out of a Windows main thread's far sooner), and a nested repetition must not backtrack for
// ever.
TEST(PatternList, MatchesVeryLongNamesAndNestedRepetitions)
{
    const std::wstring long_name = L"dir/" + std::wstring(100000, L'n') + L".txt";
    EXPECT_TRUE(matches(long_name, expression_of(L"*.txt")));
    EXPECT_FALSE(matches(long_name, expression_of(kDefaultIgnorePatterns)));
    EXPECT_FALSE(matches(std::wstring(64, L'a'), expression_of(L"*+*+*+*+b")));
}

TEST(PatternList, UnbalancedBracketFailsToCompileWithoutSetLine)
{
    tarvo::console::Capture capture;
    EXPECT_THROW(set_up_pattern_list(PatternListKind::extract, L"a[b"), std::regex_error);
    EXPECT_EQ(capture.out, L"Setting up extract list...\n");
}

TEST(PatternList, PrintsItsMessagesAndBuildsNothingForEmptyText)
{
    tarvo::console::Capture capture;
    EXPECT_FALSE(set_up_pattern_list(PatternListKind::extract, L"").has_value());
    EXPECT_TRUE(set_up_pattern_list(PatternListKind::ignore, L"*.txt").has_value());
    EXPECT_EQ(capture.out,
              L"Setting up extract list...\nSetting up ignore list...\nIgnore patterns set to: ^(.+?\\.txt)$\n");
}

}  // namespace
}  // namespace qar
