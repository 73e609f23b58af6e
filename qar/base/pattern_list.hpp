// Pattern lists: semicolon-separated wildcard items turned into one anchored,
// case-insensitive regular expression.
#pragma once

#include <cstddef>
#include <locale>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace qar {

// The ignore text used when "-i=" is absent or empty.
inline constexpr wchar_t kDefaultIgnorePatterns[] = L"*/desktop.ini; */thumbs.db;";

// Appends the trimmed, non-empty pieces of text between delimiters to items.
void split_list(std::wstring_view text, wchar_t delimiter, std::vector<std::wstring>& items);

// Replaces every occurrence of the non-empty `from` by `to`, left to right, never rescanning.
void replace_all(std::wstring& text, std::wstring_view from, std::wstring_view to);

// "^(" item "|" item ... ")$" with "\" and "." made literal, "?" one character, "*" the fewest
// of one or more characters.
std::wstring build_pattern_expression(const std::vector<std::wstring>& items);

// Case folding that asks the locale once, not once per character compared: matching the names
// of a large tree spent most of its time in that lookup. The same facet folds the same way.
class PatternTraits : public std::regex_traits<wchar_t> {
public:
    PatternTraits() { imbue(getloc()); }
    locale_type imbue(locale_type locale);
    wchar_t translate_nocase(wchar_t c) const
    {
        return static_cast<std::size_t>(c) < kFolded ? lower_[static_cast<std::size_t>(c)] : ctype_->tolower(c);
    }

private:
    // Folded in advance: ASCII, most of every name, up to the line separators U+2028 and
    // U+2029, which every "." of the expression folds to compare them with each character.
    static constexpr std::size_t kFolded = 0x202A;
    const std::ctype<wchar_t>* ctype_ = nullptr;
    wchar_t lower_[kFolded] = {};
};

struct PatternExpression {
    std::wstring text;
    std::basic_regex<wchar_t, PatternTraits> regex;
    bool from_front = false;  // a match can only start at a name's first character
};

// Compiles case-insensitively (ECMAScript); a syntax error throws std::regex_error.
PatternExpression compile_pattern_expression(std::wstring text);

// True when the expression matches the whole name.
bool matches(const std::wstring& name, const PatternExpression& expression);

enum class PatternListKind { ignore, extract };

// Prints "Setting up ignore list..." or "Setting up extract list..."; for a non-empty text it
// then builds and compiles the expression and prints "... patterns set to: " and its text.
// An empty text builds nothing.
std::optional<PatternExpression> set_up_pattern_list(PatternListKind kind, const std::wstring& text);

}  // namespace qar
