// tarvo-size runs from arguments to printed lines, exit status and the table's bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/console.hpp"
#include "common/platform.hpp"
#include "size/size_patcher.hpp"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace tarvo::size {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr std::size_t kTableLength = 64;

struct Result {
    int status;
    std::wstring out;
    std::wstring err;
};

class SizePatcher : public testing::Test {
protected:
    void SetUp() override
    {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        root_ = fs::temp_directory_path() /
                ("tarvo-size-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) +
                 "-" + std::to_string(stamp));
        fs::create_directories(root_ / "game" / "sub");
        write(root_ / "table.bin", std::string(kTableLength, '\xEE'));
    }
    void TearDown() override { fs::remove_all(root_); }

    static void write(const fs::path& path, const std::string& bytes)
    {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    void game_file(const std::string& name, std::size_t size) { write(root_ / "game" / name, std::string(size, 'x')); }
    std::wstring path(const char* name) const { return from_fs_path(root_ / name); }

    static Result run(const std::vector<std::wstring>& args)
    {
        console::Capture capture;
        const int status = run_size_patcher(args);
        return {status, capture.out, capture.err};
    }
    // Runs over the given offset list with the table, the list and the game directory.
    Result patch(const std::string& offsets, std::vector<std::wstring> options = {})
    {
        write(root_ / "offsets.txt", offsets);
        options.insert(options.begin(), {path("table.bin"), path("offsets.txt"), path("game")});
        return run(options);
    }
    std::string table() const
    {
        std::ifstream in(root_ / "table.bin", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path root_;
};

std::string le32(std::uint32_t v)
{
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

TEST_F(SizePatcher, PatchesEveryUsableLineAndSkipsTheRest)
{
    game_file("a.dat", 5);
    game_file("b.dat", 0x01020304);
    game_file("semi;colon.dat;0x10", 7);
    game_file("!a.dat", 2);
    write(root_ / "game" / to_fs_path(L"\u00e9t\u00e9.dat"), "abc");
    const Result r = patch(
        "a.dat;0x0\n"
        "a.dat\0b;0x30\n"           // the system would see only "a.dat"
        "semi;colon.dat;0x10;0x20\n"
        "!a.dat;0x30\n"
        "\xC3\xA9t\xC3\xA9.dat;0x28\n"
        "a.dat;0X30\n"
        "a.dat;  0x00000008\t\r\n"
        "\n"
        "missing.dat;0x100000000\n"   // a missing file's offset is never looked at
        "sub;0xZZ\n"                  // nor a directory's
        "b.dat;0x100000000\n"
        "b.dat;0x3D\n"                // its last byte would lie past the table
        "b.dat;0x0000000000000C\n"
        "b.dat;0x3C"s);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, L"Patched \"a.dat\", new size: 5\n"
                     L"Patched \"semi;colon.dat;0x10\", new size: 7\n"
                     L"Patched \"\u00e9t\u00e9.dat\", new size: 3\n"
                     L"Patched \"a.dat\", new size: 5\n"
                     L"Patched \"b.dat\", new size: 16909060\n"
                     L"Patched \"b.dat\", new size: 16909060\n"
                     L"Done!\n");
    EXPECT_EQ(r.err, L"Converted number too big, skipping\nOffset out of range, skipping\n");
    std::string expected(kTableLength, '\xEE');
    expected.replace(0, 4, le32(5)).replace(8, 4, le32(5)).replace(12, 4, le32(0x01020304));
    expected.replace(0x20, 4, le32(7)).replace(0x28, 4, le32(3)).replace(0x3C, 4, le32(0x01020304));
    EXPECT_EQ(table(), expected);
}

TEST_F(SizePatcher, LanguageAndFileListChooseTheNames)
{
    game_file("data/us/us/v.dat", 7);
    game_file("data/de/us/v.dat", 3);
    const auto list = [&](const char* name, const char* bytes) {
        write(root_ / name, bytes);
        return L"-s=" + path(name);
    };
    const std::wstring de_list = list("de.txt", "data\\de\\us/v.dat"), us_list = list("us.txt", "data/us/us/v.dat\n");
    const std::wstring us = L"Patched \"data/us/us/v.dat\", new size: 7\nDone!\n";
    const std::wstring de = L"Patched \"data/de/us/v.dat\", new size: 3\nDone!\n";
    const struct { std::vector<std::wstring> options; std::wstring out; } cases[] = {
        {{}, us}, {{L"-l=us"}, us}, {{L"-l=xx"}, us}, {{L"-l=deu"}, us}, {{L"-l=DE"}, us},
        {{L"-l=de"}, de}, {{L"-l=de", L"-l=us"}, de},
        {{L"-l=de", de_list}, de}, {{de_list}, L"Done!\n"}, {{L"-l=de", us_list}, L"Done!\n"},
        {{us_list, L"-s="}, us}, {{list("empty.txt", "")}, us}, {{list("blank.txt", "\n")}, L"Done!\n"},
        {{list("crlf.txt", "data/us/us/v.dat\r\n")}, L"Done!\n"}, {{list("last.txt", "x\r\ndata/us/us/v.dat")}, us},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        const Result r = patch("data/us/us/v.dat;0x0\n", c.options);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
    }
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
    write(root_ / "offsets.txt", "");
    const struct { std::vector<std::wstring> args; std::wstring out; std::wstring err; } cases[] = {
        {{t, o}, L"Invalid parameters\n\n" + usage, L""},
        {{t, o, g, L"-l=de", L"-s=", L"-l=us"}, L"Invalid parameters\n\n" + usage, L""},
        {{t, o, g, L"-x"}, L"Too many paths specified\n\n" + usage, L""},
        {{t, o, L"-l=de"}, L"", L"Error: Directory \" doesn't exist\"\n"},
        {{t, o, L"-x"}, L"", L"Error: Directory \"-x doesn't exist\"\n"},
        {{t, o, t}, L"", L"Error: " + t + L" is a file, not a directory!\n"},
        {{none, o, g}, L"", L"Error: Cannot open input file \"" + none + L"\"\n"},
        {{t, none, g}, L"", L"Error: Cannot open input file \"" + none + L"\"\n"},
        {{t, g, g}, L"", L"Error: Cannot open input file \"" + g + L"\"\n"},
        {{t, o, g, L"-s=" + none}, L"", L"Error: Cannot open list file \"" + none + L"\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Result r = run(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
    for (const std::wstring& dir : {g + L"//", g + L"\\/\\"}) {
        EXPECT_EQ(run({t, o, dir}).out, L"Done!\n");
    }
}

TEST_F(SizePatcher, NameThatIsNotUtf8EndsTheRunAndEarlierPatchesStay)
{
    game_file("a.dat", 9);
    game_file("b.dat", 9);
    const Result r = patch("a.dat;0x0\n\xFF.dat;0x4\nb.dat;0x8\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, L"Patched \"a.dat\", new size: 9\n");
    EXPECT_EQ(r.err, L"Error: bad conversion\n");
    EXPECT_EQ(table().substr(0, 12), le32(9) + std::string(8, '\xEE'));
}

TEST_F(SizePatcher, SizesOf4GiBAndMoreKeepTheirLow32Bits)
{
    std::ofstream(root_ / "game" / "huge.bin", std::ios::binary).close();
    std::error_code ec;
    fs::resize_file(root_ / "game" / "huge.bin", (std::uintmax_t{1} << 32) + 6, ec);  // sparse
    if (ec) GTEST_SKIP() << "no room for a 4 GiB file here";
    EXPECT_EQ(patch("huge.bin;0x4\n").out, L"Patched \"huge.bin\", new size: 6\nDone!\n");
    EXPECT_EQ(table().substr(4, 4), le32(6));
}

#ifndef _WIN32
TEST_F(SizePatcher, TableThatCannotBeWrittenIsAnErrorNotDone)
{
    fs::remove(root_ / "table.bin");
    ASSERT_EQ(::mkfifo((root_ / "table.bin").c_str(), 0600), 0);
    game_file("a.dat", 1);
    const Result r = patch("a.dat;0x0\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, L"");
    EXPECT_EQ(r.err, L"Error: Cannot write output file \"" + path("table.bin") + L"\"\n");
}
#endif

}  // namespace
}  // namespace tarvo::size
