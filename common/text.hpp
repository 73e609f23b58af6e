// Conversion between wide strings and UTF-8, and the UTF-16 code-unit order of names.
#pragma once

#include <string>
#include <string_view>

namespace tarvo {

// Both throw std::range_error("bad conversion") on input that is not well-formed
// (invalid UTF-8, overlong forms, unpaired surrogates, code points past U+10FFFF).
std::string to_utf8(std::wstring_view wide);
std::wstring from_utf8(std::string_view utf8);

// Widens each byte on its own (bytes 0x80..0xFF become U+0080..U+00FF); for ASCII texts.
std::wstring widen_bytes(std::string_view bytes);

// Lexicographic order of the UTF-16 code units of two wide strings, on every platform:
// with 32-bit wchar_t a character outside the BMP sorts as its surrogate pair would.
int compare_utf16(std::wstring_view a, std::wstring_view b);

struct Utf16Less {
    bool operator()(const std::wstring& a, const std::wstring& b) const
    {
        return compare_utf16(a, b) < 0;
    }
};

// Lower-case hexadecimal without padding, as offsets are printed.
std::wstring to_hex(unsigned long long value);

}  // namespace tarvo
