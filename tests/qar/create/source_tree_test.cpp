// The source tree scan: the full walk, links, and the name-list lookup.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "common/text.hpp"
#include "qar/create/source_tree.hpp"
#include "scratch.hpp"

namespace qar::create {
namespace {

using testing::ScratchDir;
using testing::write_text;
using Listing = std::vector<std::pair<std::wstring, std::uint64_t>>;

Listing scan(const std::wstring& root, const NameList& names = {})
{
    FileSizeMap files;
    scan_source_tree(root, files, root.size(), names);
    return Listing(files.begin(), files.end());
}

// A character outside the BMP, as the platform's wide strings hold it.
const std::wstring kEmoji = tarvo::from_utf8("\xF0\x9F\x98\x80");
const std::wstring kFullWidthA = tarvo::from_utf8("\xEF\xBC\xA1");  // U+FF21

TEST(SourceTreeScan, ListsEveryFileBelowTheRootInUtf16Order)
{
    ScratchDir dir;
    // Upper case before "_" before lower case, "." before "/", and a character outside the
    // BMP before U+FF21, as its surrogates do. (No two names differ in case only, so the
    // tree is the same on a case-insensitive file system.)
    write_text(dir / L"c", "cc");
    write_text(dir / L"a_", "");
    write_text(dir / L"_x", "_");
    write_text(dir / L"a.txt", "a.txt");
    write_text(dir / L"Q.txt", "Q");
    write_text(dir / L"a/b", "nested");
    write_text(dir / L"B/x", "x");
    write_text(dir / L"deep/er/still/x.bin", "123");
    write_text(dir / (kFullWidthA + L".bin"), "1");
    write_text(dir / (kEmoji + L".bin"), "12");
    std::filesystem::create_directories(tarvo::to_fs_path(dir / L"empty/dirs/only"));

    const Listing expected = {
        {L"B/x", 1},  {L"Q.txt", 1}, {L"_x", 1},          {L"a.txt", 5},          {L"a/b", 6},
        {L"a_", 0},   {L"c", 2},     {L"deep/er/still/x.bin", 3}, {kEmoji + L".bin", 2}, {kFullWidthA + L".bin", 1},
    };
    EXPECT_EQ(scan(dir.root()), expected);
}

TEST(SourceTreeScan, FollowsLinksAndSkipsDanglingOnes)
{
    ScratchDir dir;
    write_text(dir / L"target/file.bin", "12345");
    write_text(dir / L"outside.bin", "1234567");
    const std::wstring root = dir / L"root";
    std::filesystem::create_directories(tarvo::to_fs_path(root));
    std::error_code ec;
    std::filesystem::create_symlink(tarvo::to_fs_path(dir / L"outside.bin"), tarvo::to_fs_path(root + L"/file_link"), ec);
    if (!ec) std::filesystem::create_directory_symlink(tarvo::to_fs_path(dir / L"target"), tarvo::to_fs_path(root + L"/dir_link"), ec);
    if (!ec) std::filesystem::create_symlink(tarvo::to_fs_path(dir / L"nowhere"), tarvo::to_fs_path(root + L"/dangling"), ec);
    if (ec) GTEST_SKIP() << "symbolic links are not available here: " << ec.message();

    const Listing expected = {{L"dir_link/file.bin", 5}, {L"file_link", 7}};
    EXPECT_EQ(scan(root), expected);
}

TEST(SourceTreeScan, NameListAddsOnlyExistingRegularFilesBelowTheRoot)
{
    ScratchDir dir;
    write_text(dir / L"outside.bin", "secret");
    const std::wstring root = dir / L"root";
    write_text(root + L"/x.bin", "1");
    write_text(root + L"/sub/x.bin", "22");
    write_text(root + L"/sub/y.bin", "333");
    write_text(root + L"/" + kEmoji + L".bin", "4444");

    const NameList names = {
        "sub\\x.bin",                 // stored with "/", found on every platform
        "sub/y.bin",
        "\xF0\x9F\x98\x80.bin",       // decoded as UTF-8 for the lookup and the name
        "x.bin\r",                    // a CR LF line: names no file
        std::string("x.bin\0.bak", 10), // nor does a line holding a NUL
        "missing.bin",
        "sub",                        // a directory
        "",
        "../outside.bin",             // unsafe names never reach outside the root
        "sub/../../outside.bin",
        "/etc/hostname",
        "\\outside.bin",
        "C:outside.bin",
        "x.bin",
        "x.bin",                      // a repeat changes nothing
    };
    const Listing expected = {{L"sub/x.bin", 2}, {L"sub/y.bin", 3}, {L"x.bin", 1}, {kEmoji + L".bin", 4}};
    EXPECT_EQ(scan(root, names), expected);
    // Bytes that are no UTF-8 fail the conversion, whether or not they name a file.
    EXPECT_THROW(scan(root, NameList{"x\xFF.bin"}), std::range_error);
}

}  // namespace
}  // namespace qar::create
