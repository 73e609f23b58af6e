// Fuzzing the pattern lists (split, build, compile, match) for crashes, hangs and undefined
// behaviour. The input: a list as UTF-8, then after a NUL byte one more name to test. An
// expression left open ("(", "[") is a result; which names match, the unit tests decide.
#include <cstdint>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.hpp"
#include "qar/base/pattern_list.hpp"
#include "tests/fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = tarvo::fuzz::as_text(data, size);
    const std::size_t nul = input.find('\0');
    std::wstring text;
    std::vector<std::wstring> names = {L"a.txt", L"sub/desktop.ini", L"a/b/Thumbs.db", L"x", L"dir/my file.txt"};
    try {
        text = tarvo::from_utf8(input.substr(0, nul));
        // Archive names are never empty ("^()$" of an empty list matches only the empty text).
        if (nul != std::string_view::npos && nul + 1 < input.size()) names.push_back(tarvo::from_utf8(input.substr(nul + 1)));
    } catch (const std::range_error&) {
        return 0;  // not UTF-8: the command line never hands such a text over
    }
    // libstdc++ before GCC 13 reads a repetition bound "{n}" into a long without an overflow check
    // (undefined behaviour from 19 digits on): the library's defect, so such texts are left out.
    static const std::wregex overflowing_bound(L"[{,]0*[1-9][0-9]{18}");
    if (std::regex_search(text, overflowing_bound)) return 0;

    std::vector<std::wstring> items;
    qar::split_list(text, L';', items);
    std::optional<qar::PatternExpression> expression;
    try {
        expression = qar::compile_pattern_expression(qar::build_pattern_expression(items));
    } catch (const std::regex_error&) {
        return 0;
    }
    for (const std::wstring& item : items) {  // with its wildcards filled in, a name the item matches
        std::wstring name;
        for (wchar_t c : item) name += c == L'*' ? L"ab" : c == L'?' ? L"c" : std::wstring(1, c);
        names.push_back(name);
    }
    for (const std::wstring& name : names) (void)qar::matches(name, *expression);
    return 0;
}
