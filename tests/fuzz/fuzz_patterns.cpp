// Fuzzing the pattern list pipeline: split, build, compile, match.
//
// The input is a pattern list text as UTF-8; a NUL byte, when there is one, ends the text and
// the bytes after it form one more name to test. Besides crashes the harness checks what
// the pipeline promises:
// - the items are non-empty, trimmed and free of the delimiter;
// - for a list whose items use only wildcards and literal characters, a name matches exactly
//   when a plain wildcard matcher says one of the items matches it ("*" one or more
//   characters, "?" one character, ASCII letters in either case), and the name made from an
//   item by filling in its wildcards always matches.
// A syntax error of the expression (a "(" or "[" left open) is a result, not a finding.
//
// libstdc++ before GCC 13 reads a repetition bound "{n}" into a long without an overflow check
// (undefined behaviour from 19 digits on; GCC 13 refuses such a bound). That is the library's
// defect, not this code's, so texts with such a bound are left out.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.hpp"
#include "qar/cli/pattern_list.hpp"
#include "tests/fuzz/fuzz_support.hpp"

namespace {

using tarvo::fuzz::finding;

bool is_trim_space(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

// Characters that keep a regular-expression meaning in an item.
bool is_expression_character(wchar_t c) { return std::wstring_view(L"()[]{}+^$|").find(c) != std::wstring_view::npos; }

bool is_plain_wildcard_list(const std::vector<std::wstring>& items)
{
    for (const std::wstring& item : items)
        for (wchar_t c : item)
            if (c > 0x7F || is_expression_character(c)) return false;
    return true;
}

bool is_ascii(const std::wstring& text)
{
    for (wchar_t c : text)
        if (c < 0 || c > 0x7F) return false;
    return true;
}

wchar_t fold(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// "." of the expression matches any character but a line terminator.
bool is_any_character(wchar_t c) { return c != L'\n' && c != L'\r'; }

// Does the wildcard item match the whole name? Iterative, over positions of item and name.
bool wildcard_matches(std::wstring_view item, std::wstring_view name)
{
    // reachable[j]: the part of the item read so far can match name[0, j).
    std::vector<char> reachable(name.size() + 1, 0);
    reachable[0] = 1;
    for (wchar_t p : item) {
        std::vector<char> next(name.size() + 1, 0);
        if (p == L'*') {
            // One or more characters from a reachable position, up to the next line terminator.
            bool open = false;
            for (std::size_t k = 0; k < name.size(); ++k) {
                open = (open || reachable[k]) && is_any_character(name[k]);
                if (open) next[k + 1] = 1;
            }
        } else {
            for (std::size_t j = 0; j < name.size(); ++j) {
                if (!reachable[j]) continue;
                if (p == L'?' ? is_any_character(name[j]) : fold(p) == fold(name[j])) next[j + 1] = 1;
            }
        }
        reachable.swap(next);
    }
    return reachable[name.size()] != 0;
}

// The item with its wildcards filled in: a name the item must match.
std::wstring fill_in(const std::wstring& item)
{
    std::wstring name;
    for (wchar_t c : item) {
        if (c == L'*') name += L"ab";
        else if (c == L'?') name += L'c';
        else name += c;
    }
    return name;
}

// A "{" followed by a bound of 19 or more significant digits.
bool has_overflowing_bound(std::wstring_view text)
{
    for (std::size_t i = text.find(L'{'); i != std::wstring_view::npos; i = text.find(L'{', i + 1)) {
        std::size_t significant = 0;
        for (std::size_t j = i + 1; j < text.size(); ++j) {
            if (text[j] == L',') {
                significant = 0;
                continue;
            }
            if (text[j] < L'0' || text[j] > L'9') break;
            if (significant > 0 || text[j] != L'0') ++significant;
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
        if (nul != std::string_view::npos && nul + 1 < input.size())
            names.push_back(tarvo::from_utf8(input.substr(nul + 1)));
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
        bool expected = false;
        for (const std::wstring& item : items) expected = expected || wildcard_matches(item, name);
        if (got != expected) finding(got ? "a name matches that no item matches" : "a name an item matches doesn't match");
    }
    return 0;
}
