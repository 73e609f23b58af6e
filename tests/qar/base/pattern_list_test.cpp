// Pattern lists: trimmed items, the expression texts, and matching names of any length.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "qar/base/pattern_list.hpp"

namespace qar {
namespace {

TEST(PatternList, BuildsExpressionsFromTrimmedItemsAndMatchesNamesOfAnyLength)
{
    std::vector<std::wstring> items;
    split_list(L" *.txt ;\t*.bin\r\n;;  ; my file.txt;", L';', items);
    EXPECT_EQ(items, (std::vector<std::wstring>{L"*.txt", L"*.bin", L"my file.txt"}));
    EXPECT_EQ(build_pattern_expression({L"a\\b?.*", L"c"}), L"^(a\\\\b.\\..+?|c)$");
    EXPECT_EQ(build_pattern_expression({}), L"^()$");  // a list of separators only: matches no name

    // Names from archives can be far longer than any path: no recursion per character, and
    // no endless backtracking on a nested repetition.
    const std::wstring long_name = L"dir/" + std::wstring(100000, L'n') + L".txt";
    const std::tuple<const wchar_t*, std::wstring, bool> cases[] = {
        {L"a+.bin", L"aa.bin", true},  // "+" keeps its meaning
        {L"*.txt", long_name, true},
        {L"*/thumbs.db", long_name, false},
        {L"*+*+*+*+b", std::wstring(64, L'a'), false},
        {L"x)|(b", L"ab", true},  // closes the group: "(b)$" matches after the front
    };
    for (const auto& [pattern, name, expected] : cases) {
        EXPECT_EQ(matches(name, compile_pattern_expression(build_pattern_expression({pattern}))), expected) << pattern;
    }
}

}  // namespace
}  // namespace qar
