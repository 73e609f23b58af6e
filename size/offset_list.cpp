// Line format and offset conversion of the offset list, and reading of the file list.
#include "size/offset_list.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "common/error.hpp"
#include "common/file.hpp"
#include "common/line_reader.hpp"

namespace tarvo::size {
namespace {

constexpr std::uint64_t kMaxOffset = std::numeric_limits<std::uint32_t>::max();  // offsets are 32-bit on every platform

// The whitespace class of the expression in the "C" locale.
bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "\s*0x[0-9a-fA-F]+\s*" over the whole of text; the offset part goes to offset_text.
bool match_offset_part(std::string_view text, std::string& offset_text)
{
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) ++i;
    const std::size_t start = i;
    if (text.substr(i, 2) != "0x") return false;
    i += 2;
    const std::size_t digits = i;
    while (i < text.size() && hex_digit(text[i]) >= 0) ++i;
    if (i == digits) return false;
    const std::size_t stop = i;
    while (i < text.size() && is_space(text[i])) ++i;
    if (i != text.size()) return false;
    offset_text.assign(text.substr(start, stop - start));
    return true;
}

}  // namespace

std::optional<OffsetEntry> match_offset_line(std::string_view line)
{
    // The offset part holds no semicolon, so only the last one can end the name; the
    // name needs at least one byte before it.
    const std::size_t semicolon = line.rfind(';');
    if (semicolon == std::string_view::npos || semicolon == 0) return std::nullopt;
    if (line[0] == '!') return std::nullopt;
    const std::string_view rest_of_name = line.substr(1, semicolon - 1);
    if (rest_of_name.find_first_of("\r\n") != std::string_view::npos) return std::nullopt;

    OffsetEntry entry;
    if (!match_offset_part(line.substr(semicolon + 1), entry.offset_text)) return std::nullopt;
    entry.name.assign(line.substr(0, semicolon));
    return entry;
}

OffsetValue convert_offset(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) ++i;
    // The prefix counts only when a digit follows it; "0x" alone reads as the number 0.
    if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        hex_digit(text[i + 2]) >= 0) {
        i += 2;
    }
    if (i == text.size() || hex_digit(text[i]) < 0) return {OffsetStatus::no_number, 0};

    std::uint64_t value = 0;
    for (; i < text.size() && hex_digit(text[i]) >= 0; ++i) {
        value = value * 16 + static_cast<std::uint64_t>(hex_digit(text[i]));
        if (value > kMaxOffset) return {OffsetStatus::too_big, 0};
    }
    return {OffsetStatus::ok, static_cast<std::uint32_t>(value)};
}

FileList read_file_list(const std::wstring& path)
{
    File file = open_for_reading(path);
    if (!file.is_open()) throw wruntime_error(quoted(L"Cannot open list file ", path));

    FileList list;
    LineReader reader(file, LineReader::Mode::binary);
    std::string line;
    while (reader.next(line)) {
        std::replace(line.begin(), line.end(), '\\', '/');
        list.insert(line);
    }
    return list;
}

bool passes(const FileList& list, std::string_view name)
{
    return list.empty() || list.find(name) != list.end();
}

}  // namespace tarvo::size
