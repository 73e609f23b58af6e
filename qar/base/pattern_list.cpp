// Pattern list splitting, wildcard-to-expression rewriting and matching.
#include "qar/base/pattern_list.hpp"

#include "common/console.hpp"

namespace qar {
namespace {

bool is_space(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

}  // namespace

void split_list(std::wstring_view text, wchar_t delimiter, std::vector<std::wstring>& items)
{
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(delimiter, start);
        if (end == std::wstring_view::npos) end = text.size();
        std::wstring_view piece = text.substr(start, end - start);
        while (!piece.empty() && is_space(piece.front())) piece.remove_prefix(1);
        while (!piece.empty() && is_space(piece.back())) piece.remove_suffix(1);
        if (!piece.empty()) items.emplace_back(piece);
        start = end + 1;
    }
}

void replace_all(std::wstring& text, std::wstring_view from, std::wstring_view to)
{
    if (from.empty()) return;
    std::wstring out;
    out.reserve(text.size());
    std::size_t pos = 0;
    for (;;) {
        const std::size_t hit = text.find(from, pos);
        if (hit == std::wstring::npos) break;
        out.append(text, pos, hit - pos);
        out.append(to);
        pos = hit + from.size();
    }
    out.append(text, pos, std::wstring::npos);
    text = std::move(out);
}

std::wstring build_pattern_expression(const std::vector<std::wstring>& items)
{
    std::wstring expression = L"^(";
    bool first = true;
    for (const std::wstring& item : items) {
        if (!first) expression += L'|';
        first = false;
        std::wstring part = item;
        // The order matters: later passes write "." and "?" that must not be escaped again.
        replace_all(part, L"\\", L"\\\\");
        replace_all(part, L".", L"\\.");
        replace_all(part, L"?", L".");
        replace_all(part, L"*", L".+?");
        expression += part;
    }
    expression += L")$";
    return expression;
}

PatternTraits::locale_type PatternTraits::imbue(locale_type locale)
{
    const locale_type old = std::regex_traits<wchar_t>::imbue(locale);
    ctype_ = &std::use_facet<std::ctype<wchar_t>>(getloc());
    for (std::size_t c = 0; c < kFolded; ++c) lower_[c] = ctype_->tolower(static_cast<wchar_t>(c));
    return old;
}

// Case-insensitive, ECMAScript. With libstdc++ the expression is also marked for the matcher
// that walks a name once with a set of states instead of backtracking: the backtracking one
// recurses once per character, so a long archive name would overflow the stack, and an item
// such as "*+*x" would take exponential time. Which names match stays the same; the expressions
// built here can't hold the back-references that this matcher refuses (every "\" is doubled).
constexpr std::regex_constants::syntax_option_type kPatternSyntax =
#ifdef __GLIBCXX__
    std::regex_constants::icase | std::regex_constants::__polynomial;
#else
    std::regex_constants::icase;
#endif

PatternExpression compile_pattern_expression(std::wstring text)
{
    std::basic_regex<wchar_t, PatternTraits> regex(text, kPatternSyntax);
    // Items without groups or classes stay inside the group that "^" anchors, so the search
    // need not try again from every later character of the name.
    const bool from_front = text.starts_with(L"^(") && text.ends_with(L")$") &&
                            text.find_first_of(L"()[]", 2) == text.size() - 2;
    return PatternExpression{std::move(text), std::move(regex), from_front};
}

bool matches(const std::wstring& name, const PatternExpression& expression)
{
    return std::regex_search(name, expression.regex,
                             expression.from_front ? std::regex_constants::match_continuous
                                                   : std::regex_constants::match_default);
}

std::optional<PatternExpression> set_up_pattern_list(PatternListKind kind, const std::wstring& text)
{
    const bool ignore = kind == PatternListKind::ignore;
    tarvo::console::out(ignore ? L"Setting up ignore list..." : L"Setting up extract list...");
    if (text.empty()) return std::nullopt;
    std::vector<std::wstring> items;
    split_list(text, L';', items);
    PatternExpression expression = compile_pattern_expression(build_pattern_expression(items));
    tarvo::console::out((ignore ? L"Ignore patterns set to: " : L"Extract patterns set to: ") + expression.text);
    return expression;
}

}  // namespace qar
