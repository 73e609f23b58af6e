// The offset line format, offset conversion and line reading of the size patcher.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "common/file.hpp"
#include "common/platform.hpp"
#include "size/line_reader.hpp"
#include "size/offset_list.hpp"

namespace tarvo::size {
namespace {

TEST(OffsetLine, AgreesWithTheLineExpressionOnEveryShortLine)
{
    const std::regex expression("^([^!].*?);\\s*(0x[0-9a-fA-F]+)\\s*$");
    const std::vector<std::string> pieces = {"a", ";", "!", " ", "\t", "\r", "\v", "0x", "0X", "1f", "F", "g"};
    std::mt19937 random(5);
    for (int round = 0; round < 50000; ++round) {
        std::string line;
        for (auto n = random() % 9; n > 0; --n) line += pieces[random() % pieces.size()];
        SCOPED_TRACE(testing::PrintToString(line));
        std::smatch m;
        const bool expected = std::regex_match(line, m, expression);
        const auto entry = match_offset_line(line);
        ASSERT_EQ(entry.has_value(), expected);
        if (expected) {
            EXPECT_EQ(entry->name, m[1].str());
            EXPECT_EQ(entry->offset_text, m[2].str());
        }
    }
}

TEST(OffsetLine, HandlesLinesOfAnyLength)
{
    const std::string name(1 << 20, 'n');
    const auto entry = match_offset_line(name + ";0x10");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->name, name);
    EXPECT_FALSE(match_offset_line(name + name).has_value());
}

TEST(OffsetConversion, ReadsBase16As32BitNumbers)
{
    struct Case { const char* text; OffsetStatus status; std::uint32_t offset; };
    const Case cases[] = {
        {"0x1A", OffsetStatus::ok, 0x1A},           {"0x00000010", OffsetStatus::ok, 16},
        {"0x0000000000010", OffsetStatus::ok, 16},  {"0xffffFFFF", OffsetStatus::ok, 0xFFFFFFFF},
        {"0x100000000", OffsetStatus::too_big, 0},  {"0x123456789abcdef0123", OffsetStatus::too_big, 0},
        {" 0X2f;", OffsetStatus::ok, 0x2F},         {"0x", OffsetStatus::ok, 0},
        {"", OffsetStatus::no_number, 0},           {"g1", OffsetStatus::no_number, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const OffsetValue value = convert_offset(c.text);
        EXPECT_EQ(value.status, c.status);
        EXPECT_EQ(value.offset, c.offset);
    }
}

// The lines of a file holding the given bytes, read in the given mode.
std::vector<std::string> lines_of(const std::string& bytes, LineReader::Mode mode)
{
    const std::filesystem::path path = std::filesystem::temp_directory_path() / "tarvo-size-lines.txt";
    std::ofstream(path, std::ios::binary) << bytes;
    std::vector<std::string> out;
    {
        File file = open_for_reading(from_fs_path(path));
        LineReader reader(file, mode);
        for (std::string line; reader.next(line);) out.push_back(line);
    }
    std::filesystem::remove(path);
    return out;
}

TEST(LineReading, TextModeDropsOnlyACarriageReturnBeforeALineFeed)
{
    // The first line ends exactly at the reader's chunk boundary, between CR and LF.
    const std::string first(65535, 'a'), bytes = first + "\r\n\r\r\nb\rc\n\nd\r";
    EXPECT_EQ(lines_of(bytes, LineReader::Mode::text), (std::vector<std::string>{first, "\r", "b\rc", "", "d\r"}));
    EXPECT_EQ(lines_of(bytes, LineReader::Mode::binary),
              (std::vector<std::string>{first + "\r", "\r\r", "b\rc", "", "d\r"}));
    EXPECT_EQ(lines_of("x\n", LineReader::Mode::text), std::vector<std::string>{"x"});
    EXPECT_TRUE(lines_of("", LineReader::Mode::text).empty());
}

}  // namespace
}  // namespace tarvo::size
