// Fuzzing the pattern list pipeline: split, build, compile, match. The input is a pattern list
// text as UTF-8; after a NUL byte, if any, comes one more name to test. The items must be
// non-empty, trimmed and free of ";"; for a list of plain wildcards and literal characters, a
// name matches exactly when a simple wildcard matcher says one item matches it ("*" one or more
// characters, "?" one, ASCII letters in either case), and an item with its wildcards filled in
// always matches. An expression left open ("(", "[") is a result, not a finding.
//
// libstdc++ before GCC 13 reads a repetition bound "{n}" into a long without an overflow check
// (undefined behaviour from 19 digits on): the library's defect, so such texts are left out.
#include <algorithm>
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

namespace {

using tarvo::fuzz::finding;

bool is_trim_space(wchar_t c) { return std::wstring_view(L" \t\n\v\f\r").find(c) != std::wstring_view::npos; }

bool is_ascii(std::wstring_view text)
{
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= 0 && c <= 0x7F; });
}

// Items of ASCII characters, none of which keeps a regular-expression meaning.
bool is_plain_wildcard_list(const std::vector<std::wstring>& items)
{
    return std::all_of(items.begin(), items.end(),
                       [](const std::wstring& item) { return is_ascii(item) && item.find_first_of(L"()[]{}+^$|") == std::wstring::npos; });
}

wchar_t fold(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// "." of the expression matches any character but a line terminator.
bool is_any_character(wchar_t c) { return c != L'\n' && c != L'\r'; }

// Does the wildcard item match the whole name? reachable[j]: the item so far can match name[0, j).
bool wildcard_matches(std::wstring_view item, std::wstring_view name)
{
    std::vector<char> reachable(name.size() + 1, 0);
    reachable[0] = 1;
    for (wchar_t p : item) {
        std::vector<char> next(name.size() + 1, 0);
        bool open = false;  // for "*": one or more characters from a reachable position
        for (std::size_t k = 0; k < name.size(); ++k) {
            if (p == L'*')
                open = (open || reachable[k]) && is_any_character(name[k]);
            else
                open = reachable[k] && (p == L'?' ? is_any_character(name[k]) : fold(p) == fold(name[k]));
            next[k + 1] = open;
        }
        reachable.swap(next);
    }
    return reachable[name.size()] != 0;
}

// The item with its wildcards filled in: a name the item must match.
std::wstring fill_in(const std::wstring& item)
{
    std::wstring name;
    for (wchar_t c : item) name += c == L'*' ? L"ab" : c == L'?' ? L"c" : std::wstring(1, c);
    return name;
}

// A "{" followed by a bound of 19 or more significant digits.
bool has_overflowing_bound(std::wstring_view text)
{
    for (std::size_t i = text.find(L'{'); i != std::wstring_view::npos; i = text.find(L'{', i + 1)) {
        std::size_t significant = 0;
        for (std::size_t j = i + 1; j < text.size() && (text[j] == L',' || (text[j] >= L'0' && text[j] <= L'9')); ++j) {
            if (text[j] == L',') significant = 0;
            else if (significant > 0 || text[j] != L'0') ++significant;
            if (significant >= 19) return true;
        }
    }
    return false;
}

}  // namespace

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
    if (has_overflowing_bound(text)) return 0;

    std::vector<std::wstring> items;
    qar::split_list(text, L';', items);
    for (const std::wstring& item : items) {
        if (item.empty()) finding("split_list kept an empty item");
        if (item.find(L';') != std::wstring::npos) finding("split_list kept a delimiter");
        if (is_trim_space(item.front()) || is_trim_space(item.back())) finding("split_list left white space");
    }
    std::optional<qar::PatternExpression> expression;
    try {
        expression = qar::compile_pattern_expression(qar::build_pattern_expression(items));
    } catch (const std::regex_error&) {
        return 0;
    }

    for (const std::wstring& item : items) names.push_back(fill_in(item));
    const bool checkable = is_plain_wildcard_list(items);
    for (const std::wstring& name : names) {
        const bool got = qar::matches(name, *expression);
        if (!checkable || !is_ascii(name)) continue;
        const bool expected = std::any_of(items.begin(), items.end(), [&](const auto& item) { return wildcard_matches(item, name); });
        if (got != expected) finding(got ? "a name matches that no item matches" : "a name an item matches doesn't match");
    }
    return 0;
}
