// Fuzzing the offset list of tarvo-size: the input is an offset list file, read line by line in
// text mode; each line is matched, its name decoded and its offset converted. The matcher is held
// to the line expression itself (on lines short enough for the library's backtracking), the
// conversion to strtoull with a 32-bit limit.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
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

void check_line(const std::string& line)
{
    const auto entry = sz::match_offset_line(line);
    if (line.size() <= 256) {  // the library's matcher recurses per character
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
        // a name that is not UTF-8 ends the run with "bad conversion": a result
    }
    const sz::OffsetValue value = sz::convert_offset(entry->offset_text);
    errno = 0;
    const unsigned long long reference = std::strtoull(entry->offset_text.c_str(), nullptr, 16);
    if (errno == ERANGE || reference > 0xFFFFFFFFull) {
        if (value.status != sz::OffsetStatus::too_big) finding("an offset above 32 bits was not refused");
    } else if (value.status != sz::OffsetStatus::ok || value.offset != reference) {
        finding("an offset converted to another value than base 16 gives");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const tarvo::fuzz::ScratchRoot scratch("offset_line");
    tarvo::File file = sz::open_for_reading(scratch.write_input("offsets.txt", data, size));
    if (!file.is_open()) finding("the input file doesn't open");
    sz::LineReader reader(file, sz::LineReader::Mode::text);
    std::vector<std::string> lines;
    for (std::string line; reader.next(line);) lines.push_back(line);
    const std::string_view input = tarvo::fuzz::as_text(data, size);
    if (lines != tarvo::fuzz::split_lines(input, true)) finding("the offset list was split into other lines");
    for (const std::string& line : lines) check_line(line);
    (void)sz::convert_offset(input.substr(0, 64));  // also where anything may follow the digits
    return 0;
}
