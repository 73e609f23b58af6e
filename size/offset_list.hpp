// The offset list (which file's size goes to which offset of the size table) and the
// file list that restricts a run to some of its names.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace tarvo::size {

// One used line of the offset list: the name (UTF-8 bytes, "/" between components)
// and the offset text, "0x" and one or more hexadecimal digits.
struct OffsetEntry {
    std::string name;
    std::string offset_text;
};

// A line is used when it is, as a whole,
//     ^([^!].*?);\s*(0x[0-9a-fA-F]+)\s*$
// read as an ECMAScript expression: the name is everything before the last semicolon,
// its first byte is not "!" and no later byte is a carriage return or line feed. Every
// other line gives nothing. Runs in one pass over the line, so a line of any length is safe.
std::optional<OffsetEntry> match_offset_line(std::string_view line);

enum class OffsetStatus {
    ok,
    no_number,  // "Conversion impossible, skipping"
    too_big,    // "Converted number too big, skipping"
};

struct OffsetValue {
    OffsetStatus status = OffsetStatus::no_number;
    std::uint32_t offset = 0;
};

// Base 16 after optional leading whitespace and an optional "0x" or "0X" prefix, as the C
// library's unsigned conversion reads such a text where unsigned long has 32 bits: the same
// result on every platform, whatever the width of unsigned long there. Leading zeros are
// fine; anything after the digits is ignored; a sign is not a number.
OffsetValue convert_offset(std::string_view text);

// The names of a file list, each "\" turned into "/"; a name listed twice is kept once.
using FileList = std::set<std::string, std::less<>>;

// Reads a file list in binary mode: lines end at a line feed and keep a carriage return
// before it. Throws wruntime_error `Cannot open list file "PATH"` when it can't be opened.
FileList read_file_list(const std::wstring& path);

// A name passes when the list is empty or holds it byte for byte.
bool passes(const FileList& list, std::string_view name);

}  // namespace tarvo::size
