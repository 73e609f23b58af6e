// tarvo-size: the offset line against its expression, and whole runs from arguments to printed
// lines, exit status and the table's bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "common/console.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "size/offset_list.hpp"
#include "size/size_patcher.hpp"
#include "tests/support/scratch.hpp"

#ifdef __linux__
#include <sys/wait.h>
#endif

namespace tarvo::size {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(OffsetLine, AgreesWithTheLineExpressionOnEveryShortLine)
{
    const std::regex expression("^([^!].*?);\\s*(0x[0-9a-fA-F]+)\\s*$");
    const std::string pieces[] = {"a", ";", "!", " ", "\t", "\r", "\v", "0x", "0X", "1f", "F", "g"};
    std::mt19937 random(5);
    for (int round = 0; round < 30000; ++round) {
        std::string line;
        for (auto n = random() % 9; n > 0; --n) line += pieces[random() % std::size(pieces)];
        SCOPED_TRACE(testing::PrintToString(line));
        std::smatch m;
        const bool expected = std::regex_match(line, m, expression);
        const auto entry = match_offset_line(line);
        ASSERT_EQ(entry.has_value(), expected);
        if (expected) {
            EXPECT_EQ(std::pair(entry->name, entry->offset_text), std::pair(m[1].str(), m[2].str()));
        }
    }
    // Lines of any length, far beyond what a backtracking matcher could take.
    const std::string name(1 << 20, 'n');
    const auto entry = match_offset_line(name + ";0x10");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(std::pair(entry->name, entry->offset_text), std::pair(name, "0x10"s));
}

using Result = std::tuple<int, std::wstring, std::wstring>;  // exit status, printed lines, error lines

std::string le32(std::uint32_t v)
{
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

// A table of 64 bytes 0xEE, a game directory with an empty "sub", and runs over them.
class SizePatcher : public testing::Test {
protected:
    SizePatcher()
    {
        fs::create_directories(scratch_.path / "game" / "sub");
        write("table.bin", std::string(64, '\xEE'));
    }

    void write(const fs::path& name, const std::string& bytes) { test::write_bytes(from_fs_path(scratch_.path / name), bytes); }
    std::wstring path(const char* name) const { return from_fs_path(scratch_.path / name); }
    static Result run(const std::vector<std::wstring>& args)
    {
        console::Capture capture;
        const int status = run_size_patcher(args);
        return {status, capture.out, capture.err};
    }
    Result patch(const std::string& offsets, std::vector<std::wstring> options = {})
    {
        write("offsets.txt", offsets);
        options.insert(options.begin(), {path("table.bin"), path("offsets.txt"), path("game")});
        return run(options);
    }
    std::string table() const { return test::read_bytes(path("table.bin")); }

    test::ScratchDir scratch_;
};

TEST_F(SizePatcher, PatchesEveryUsableLineAndSkipsTheRest)
{
    write("game/a.dat", "12345");
    // Sparse, and where the file system allows, past 4 GiB: only the low 32 bits are kept.
    write("game/b.dat", "");
    std::error_code ec;
    fs::resize_file(scratch_.path / "game" / "b.dat", (std::uintmax_t{1} << 32) + 0x01020304, ec);
    if (ec) fs::resize_file(scratch_.path / "game" / "b.dat", 0x01020304);
    write(fs::path("game") / to_fs_path(L"\u00e9t\u00e9.dat"), "abc");
    const Result r = patch(
        "a.dat;" + std::string(70000, ' ') + "0x0\n"  // one line across the reader's chunks
        "a.dat\0b;0x30\n"  // the system would see only "a.dat"
        "\xC3\xA9t\xC3\xA9.dat;0x28\n"
        "missing.dat;0x100000000\n"  // a missing file's offset is never looked at
        "sub;0x10\n"                 // nor is a directory measured
        "b.dat;0x100000000\n"
        "b.dat;0x10000000000000010\n"
        "b.dat;0xFFFFFFFF\n"
        "b.dat;0x3D\n"  // its last byte would lie past the table
        "b.dat;0x0000000000003c"s);
    EXPECT_EQ(r, (Result{0,
                         L"Patched \"a.dat\", new size: 5\nPatched \"\u00e9t\u00e9.dat\", new size: 3\n"
                         L"Patched \"b.dat\", new size: 16909060\nDone!\n",
                         L"Converted number too big, skipping\nConverted number too big, skipping\n"
                         L"Offset out of range, skipping\nOffset out of range, skipping\n"}));
    std::string expected(64, '\xEE');
    expected.replace(0, 4, le32(5)).replace(0x28, 4, le32(3)).replace(0x3C, 4, le32(0x01020304));
    EXPECT_EQ(table(), expected);
}

TEST_F(SizePatcher, LanguageAndFileListChooseTheNames)
{
    write("game/data/us/us/v.dat", "1234567");
    write("game/data/de/us/v.dat", "123");
    const auto list = [&](const char* name, const char* bytes) {
        write(name, bytes);
        return L"-s=" + path(name);
    };
    const std::wstring de_list = list("de.txt", "data\\de\\us/v.dat"), us_list = list("us.txt", "data/us/us/v.dat\n");
    const std::wstring us = L"Patched \"data/us/us/v.dat\", new size: 7\nDone!\n";
    const std::wstring de = L"Patched \"data/de/us/v.dat\", new size: 3\nDone!\n";
    const struct { std::vector<std::wstring> options; std::wstring out; } cases[] = {
        {{}, us}, {{L"-l=xx"}, us}, {{L"-l=deu"}, us}, {{L"-l=DE"}, us}, {{L"-l=de"}, de}, {{L"-l=de", L"-l=us"}, de},
        {{L"-l=de", de_list}, de}, {{de_list}, L"Done!\n"}, {{us_list, L"-s="}, us}, {{list("empty.txt", "")}, us},
        {{list("blank.txt", "\n")}, L"Done!\n"}, {{list("crlf.txt", "data/us/us/v.dat\r\n")}, L"Done!\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(patch("data/us/us/v.dat;0x0\n", c.options), (Result{0, c.out, L""})) << testing::PrintToString(c.options);
}

TEST_F(SizePatcher, UsageAndFailuresExitWithOne)
{
    const std::wstring usage =
        L"Usage: tarvo-size table offsets dir\nOptions:\n"
        L"\t-s=path\t\tpath to file list to change (only replace mode)\n"
        L"\t-l=lang\t\tuse tables for language 'lang'\n"
        L"\t\tus\tEnglish (default)\n\t\tde\tGerman\n\t\tes\tSpanish\n\t\tfr\tFrench\n\t\tit\tItalian\n"
        L"\t\tin\tJapanese\n\t\tkr\tKorean\n\t\tch\tChinese (simplified)\n\t\tcn\tChinese (traditional)\n\n";
    const std::wstring t = path("table.bin"), o = path("offsets.txt"), g = path("game"), none = path("none");
    write("offsets.txt", "");
    const struct { std::vector<std::wstring> args; std::wstring out; std::wstring err; } cases[] = {
        {{t, o}, L"Invalid parameters\n\n" + usage, L""},
        {{t, o, g, L"-l=de", L"-s=", L"-l=us"}, L"Invalid parameters\n\n" + usage, L""},
        {{t, o, g, L"-x"}, L"Too many paths specified\n\n" + usage, L""},
        {{t, o, L"-l=de"}, L"", L"Error: Directory \" doesn't exist\"\n"},
        {{t, o, t}, L"", L"Error: " + t + L" is a file, not a directory!\n"},
        {{none, o, g}, L"", L"Error: Cannot open input file \"" + none + L"\"\n"},
        {{t, g, g}, L"", L"Error: Cannot open input file \"" + g + L"\"\n"},
        {{t, o, g, L"-s=" + none}, L"", L"Error: Cannot open list file \"" + none + L"\"\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.args), (Result{1, c.out, c.err})) << testing::PrintToString(c.args);
    EXPECT_EQ(run({t, o, g + L"\\/\\"}), (Result{0, L"Done!\n", L""}));

    // A name that is not UTF-8 ends the run; the patches before it stay.
    write("game/a.dat", "123456789");
    write("game/b.dat", "123456789");
    EXPECT_EQ(patch("a.dat;0x0\n\xFF.dat;0x4\nb.dat;0x8\n"), (Result{1, L"Patched \"a.dat\", new size: 9\n", L"Error: bad conversion\n"}));
    EXPECT_EQ(table().substr(0, 12), le32(9) + std::string(8, '\xEE'));
}

#if defined(__linux__) && defined(TARVO_SIZE_PROGRAM)
// The program with files limited to 1 MiB (SIGXFSZ ignored: writes beyond fail) ends with the one
// error line and status 1.
TEST_F(SizePatcher, AWriteBeyondTheDiskEndsWithTheErrorAndStatusOne)
{
    if (std::system("command -v prlimit >/dev/null 2>&1") != 0) GTEST_SKIP() << "prlimit is not installed";
    write("table.bin", std::string(2 << 20, '\0'));
    write("offsets.txt", "a.dat;0x180000\n");
    write("game/a.dat", "a");
    std::string command = "sh -c 'trap \"\" XFSZ; exec prlimit --fsize=1048576 \"$0\" \"$@\"' '" TARVO_SIZE_PROGRAM "'";
    for (const char* arg : {"table.bin", "offsets.txt", "game"}) command += " '" + to_utf8(path(arg)) + "'";
    const int status = std::system((command + " >'" + to_utf8(path("out")) + "' 2>'" + to_utf8(path("err")) + "'").c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
    EXPECT_EQ(test::read_bytes(path("err")), "Error: Cannot write output file \"" + to_utf8(path("table.bin")) + "\"\n");
    EXPECT_EQ(test::read_bytes(path("out")).find("Done!"), std::string::npos);
}
#endif

}  // namespace
}  // namespace tarvo::size
