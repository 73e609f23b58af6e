// Fuzzing the offset list of the size patcher: the input is an offset list file, read line by
// line in text mode; each line is matched, its name decoded and its offset converted.
//
// The harness checks the line matcher against the line expression itself, evaluated by the
// standard library on lines short enough for its backtracking, and the conversion against
// the C library's base-16 conversion with a 32-bit limit.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "size/line_reader.hpp"
#include "size/offset_list.hpp"
#include "tests/fuzz/fuzz_support.hpp"

namespace {

namespace sz = tarvo::size;
using tarvo::fuzz::finding;

constexpr std::size_t kLongestCheckedLine = 256;  // the library's matcher recurses per character

// Text-mode lines: split at line feeds, a carriage return right before one dropped, and a
// last line only when bytes follow the last line feed.
std::vector<std::string> text_lines(std::string_view input)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < input.size()) {
        const std::size_t feed = input.find('\n', start);
        if (feed == std::string_view::npos) {
            lines.emplace_back(input.substr(start));
            break;
        }
        std::string_view line = input.substr(start, feed - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        start = feed + 1;
    }
    return lines;
}

void check_line(const std::string& line)
{
    const std::optional<sz::OffsetEntry> entry = sz::match_offset_line(line);

    if (line.size() <= kLongestCheckedLine) {
        static const std::regex expression("^([^!].*?);\\s*(0x[0-9a-fA-F]+)\\s*$");
        std::smatch parts;
        const bool expected = std::regex_match(line, parts, expression);
        if (entry.has_value() != expected) finding(expected ? "a used line was skipped" : "a skipped line was used");
        if (expected && (entry->name != parts[1].str() || entry->offset_text != parts[2].str()))
            finding("a line's name or offset differs from the expression's groups");
    }
    if (!entry) return;

    try {
        (void)tarvo::from_utf8(entry->name);
    } catch (const std::range_error&) {
        // A name that is not UTF-8 ends the run with "bad conversion": a result.
    }

    const sz::OffsetValue value = sz::convert_offset(entry->offset_text);
    errno = 0;
    const unsigned long long reference = std::strtoull(entry->offset_text.c_str(), nullptr, 16);
    const bool too_big = errno == ERANGE || reference > 0xFFFFFFFFull;
    if (too_big) {
        if (value.status != sz::OffsetStatus::too_big) finding("an offset above 32 bits was not refused");
    } else if (value.status != sz::OffsetStatus::ok || value.offset != reference) {
        finding("an offset converted to another value than base 16 gives");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const tarvo::fuzz::ScratchRoot scratch("offset_line");
    const std::wstring path = scratch.wide("offsets.txt");
    tarvo::fuzz::write_input(path, data, size);

    tarvo::File file = sz::open_for_reading(path);
    if (!file.is_open()) finding("the input file doesn't open");
    sz::LineReader reader(file, sz::LineReader::Mode::text);
    std::vector<std::string> lines;
    for (std::string line; reader.next(line);) lines.push_back(line);
    if (lines != text_lines(tarvo::fuzz::as_text(data, size))) finding("the offset list was split into other lines");
    for (const std::string& line : lines) check_line(line);

    // The conversion also on the raw input, where anything may follow the digits.
    const std::string_view raw = tarvo::fuzz::as_text(data, size);
    (void)sz::convert_offset(raw.substr(0, 64));
    return 0;
}
