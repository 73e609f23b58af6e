// UTF-8 <-> wide conversion (UTF-16 where wchar_t is 16 bits, UTF-32 elsewhere).
#include "common/text.hpp"

#include <cstdint>
#include <stdexcept>

namespace tarvo {
namespace {

constexpr std::uint32_t kHighSurrogateFirst = 0xD800;
constexpr std::uint32_t kLowSurrogateFirst = 0xDC00;
constexpr std::uint32_t kSurrogateLast = 0xDFFF;
constexpr std::uint32_t kMaxCodePoint = 0x10FFFF;
constexpr std::uint32_t kFirstSupplementary = 0x10000;
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

[[noreturn]] void bad_conversion() { throw std::range_error("bad conversion"); }

bool is_surrogate(std::uint32_t c) { return c >= kHighSurrogateFirst && c <= kSurrogateLast; }

void append_utf8(std::string& out, std::uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < kFirstSupplementary) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void append_wide(std::wstring& out, std::uint32_t c)
{
    if (kWideIsUtf16 && c >= kFirstSupplementary) {
        const std::uint32_t v = c - kFirstSupplementary;
        out += static_cast<wchar_t>(kHighSurrogateFirst + (v >> 10));
        out += static_cast<wchar_t>(kLowSurrogateFirst + (v & 0x3FF));
    } else {
        out += static_cast<wchar_t>(c);
    }
}

// Sort key of one code point that reproduces UTF-16 code-unit order: characters
// U+E000..U+FFFF come after every supplementary character, as their code units do.
std::uint32_t utf16_order_key(std::uint32_t c)
{
    constexpr std::uint32_t kPastAllCodePoints = 0x200000;
    return (c >= 0xE000 && c < kFirstSupplementary) ? c + kPastAllCodePoints : c;
}

}  // namespace

std::string to_utf8(std::wstring_view wide)
{
    std::string out;
    out.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        std::uint32_t c = static_cast<std::uint32_t>(wide[i]);
        if constexpr (kWideIsUtf16) {
            c &= 0xFFFF;
            if (c >= kHighSurrogateFirst && c < kLowSurrogateFirst) {
                if (i + 1 >= wide.size()) bad_conversion();
                const std::uint32_t low = static_cast<std::uint32_t>(wide[i + 1]) & 0xFFFF;
                if (low < kLowSurrogateFirst || low > kSurrogateLast) bad_conversion();
                c = kFirstSupplementary + ((c - kHighSurrogateFirst) << 10) + (low - kLowSurrogateFirst);
                ++i;
            } else if (is_surrogate(c)) {
                bad_conversion();
            }
        } else if (is_surrogate(c) || c > kMaxCodePoint) {
            bad_conversion();
        }
        append_utf8(out, c);
    }
    return out;
}

std::wstring from_utf8(std::string_view utf8)
{
    std::wstring out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::uint32_t c = 0;
        std::size_t extra = 0;
        std::uint32_t min_value = 0;
        if (lead < 0x80) {
            c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1F; extra = 1; min_value = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0F; extra = 2; min_value = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            c = lead & 0x07; extra = 3; min_value = kFirstSupplementary;
        } else {
            bad_conversion();
        }
        if (utf8.size() - i - 1 < extra) bad_conversion();
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) bad_conversion();
            c = (c << 6) | (next & 0x3F);
        }
        if (c < min_value || c > kMaxCodePoint || is_surrogate(c)) bad_conversion();
        append_wide(out, c);
        i += extra + 1;
    }
    return out;
}

std::wstring widen_bytes(std::string_view bytes)
{
    std::wstring out;
    out.reserve(bytes.size());
    for (char b : bytes) out += static_cast<wchar_t>(static_cast<unsigned char>(b));
    return out;
}

int compare_utf16(std::wstring_view a, std::wstring_view b)
{
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t ca = static_cast<std::uint32_t>(a[i]);
        std::uint32_t cb = static_cast<std::uint32_t>(b[i]);
        if constexpr (kWideIsUtf16) {
            ca &= 0xFFFF;
            cb &= 0xFFFF;
        } else {
            ca = utf16_order_key(ca);
            cb = utf16_order_key(cb);
        }
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::wstring to_hex(unsigned long long value)
{
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring out;
    do {
        out.insert(out.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return out;
}

}  // namespace tarvo
