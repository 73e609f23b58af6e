// The create mode: pipelined against one-file-at-a-time runs, tables and console output; the scan.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/file.hpp"
#include "common/text.hpp"
#include "qar/base/pattern_list.hpp"
#include "qar/create/create_mode.hpp"
#include "qar/base/source_tree.hpp"
#include "qar/unpack/unpack_mode.hpp"
#include "tests/support/archive_builder.hpp"

namespace qar::create {
namespace {

namespace testing = tarvo::test;
using Bytes = std::vector<std::uint8_t>;
using testing::PoolScope;

// Text-like unless told otherwise: most of a mod's files compress.
Bytes make_bytes(std::size_t size, std::uint32_t seed, char kind = 't') { return testing::random_bytes<Bytes>(size, seed, kind); }
using tarvo::test::read_archive, tarvo::test::ScratchDir;
using Tree = std::map<std::wstring, Bytes, tarvo::Utf16Less>;

const std::wstring kEmoji = tarvo::from_utf8("\xF0\x9F\x98\x80");  // outside the BMP

// Creates the archive of the tree at src, printing into a buffer; returns what was printed.
std::wstring create(const ScratchDir& dir, const std::wstring& archive, const std::wstring& ignore = kDefaultIgnorePatterns,
                    int workers = 3)
{
    PoolScope pool(workers);
    tarvo::console::Capture console;
    create_archive(dir / L"src", dir / archive, ignore, pool.pool);
    return console.out;
}

void write_tree(const ScratchDir& dir, const Tree& tree)
{
    for (const auto& [name, contents] : tree) testing::write_bytes(dir / (L"src/" + name), contents);
}

// Trees like a mod's (many small files, some empty, a few large; far more blocks than are in flight at once).
TEST(CreateMode, OneAndThreeWorkersWriteTheSameArchiveAndItsTablesUnpackToTheTree)
{
    for (std::uint32_t seed : {1u, 2u, 3u}) {
        ScratchDir dir;
        std::mt19937 generator(seed);
        Tree tree = {{L"b.bin", make_bytes(65537, 1)}, {L"a/c.bin", make_bytes(65535, 3)}, {L"a/one", {'1'}},
                     {tarvo::from_utf8("d\xC3\xA9j\xC3\xA0/") + kEmoji, make_bytes(7 * 65536 + 3, 4)}};
        for (int k = 150 + static_cast<int>(generator() % 100); k > 0; --k) {
            const std::uint32_t pick = generator() % 100;
            const std::size_t size = pick < 10   ? 0
                                     : pick < 70 ? generator() % 2000
                                     : pick < 95 ? generator() % 98304
                                     : pick < 98 ? 65536 * (1 + generator() % 3)
                                                 : 12 * 65536 + generator() % 65536;
            tree[L"d" + std::to_wstring(k % 7) + L"/f" + std::to_wstring(k)] = make_bytes(size, generator(), "rtz"[k % 3]);
        }
        write_tree(dir, tree);
        std::filesystem::create_directories(tarvo::to_fs_path(dir / L"src/no/files/here"));
        const std::wstring out = create(dir, L"p.qar", kDefaultIgnorePatterns, 1);
        EXPECT_EQ(out, create(dir, L"r.qar", kDefaultIgnorePatterns, 3));
        EXPECT_TRUE(testing::read_bytes<Bytes>(dir / L"p.qar") == testing::read_bytes<Bytes>(dir / L"r.qar")) << seed;

        const format::ArchiveMetadata metadata = read_archive(dir / L"p.qar");
        ASSERT_EQ(metadata.entries.size(), tree.size());
        std::uint64_t data_offset = metadata.header.metadata_size;
        std::uint32_t first_block = 0;
        auto file = tree.begin();
        for (std::size_t k = 0; k < tree.size(); ++k, ++file) {
            const format::FileEntry& entry = metadata.entries[k];
            const std::string name = tarvo::to_utf8(file->first);
            EXPECT_EQ(entry.first_block, first_block) << name;
            EXPECT_EQ(entry.first_block_copy, first_block) << name;
            EXPECT_EQ(entry.data_offset, data_offset) << name;  // back to back; an empty file shares the next offset
            first_block += format::block_count(entry.size);
            data_offset += format::stored_total(metadata.blocks_of(k));
        }
        EXPECT_EQ(metadata.archive_length, data_offset + format::kTrailerSize);
        tarvo::console::Capture console;
        PoolScope unpacking(2);
        unpack::unpack_archive(dir / L"p.qar", dir / L"unpacked", L"", unpacking.pool);
        for (const auto& [name, contents] : tree) EXPECT_TRUE(testing::read_bytes<Bytes>(dir / (L"unpacked/" + name)) == contents);
    }
}

TEST(CreateMode, PrintsListingAndProgressLinesAndLeavesOutIgnoredFiles)
{
    ScratchDir dir;
    const std::wstring name = tarvo::from_utf8("sub/\xC3\xA9") + kEmoji + L".txt";
    write_tree(dir, {{L"A.bin", make_bytes(512, 1)}, {L"desktop.ini", {}}, {name, make_bytes(1536, 2)},
                     {L"sub/desktop.ini", {'x'}}, {L"sub/Thumbs.DB", {'x'}}, {L"sub/deeper/DESKTOP.INI", {'x'}},
                     {L"sub/desktop.ini.bak", {}}, {L"z.bin", make_bytes(8192, 3, 'r')}});
    EXPECT_EQ(create(dir, L"out.qar"),
              L"Setting up ignore list...\nIgnore patterns set to: ^(.+?/desktop\\.ini|.+?/thumbs\\.db)$\n"
              L"Reading directory structure\n"
              L"Ignoring sub/Thumbs.DB\nIgnoring sub/deeper/DESKTOP.INI\nIgnoring sub/desktop.ini\n"
              L"A.bin (0.50kB)\ndesktop.ini (0.00kB)\nsub/desktop.ini.bak (0.00kB)\n" + name + L" (1.50kB)\n"
              L"z.bin (8.00kB)\nWriting headers...\nCompressing files...\n  5.00%: A.bin\n  5.00%: desktop.ini\n"
              L"  5.00%: sub/desktop.ini.bak\n 20.00%: " + name + L"\n100.00%: z.bin\nDone!\n");

    // A list of its own replaces the default one.
    const std::wstring own = create(dir, L"own.qar", L" *.bin ;");
    EXPECT_NE(own.find(L"^(.+?\\.bin)$\nReading directory structure\nIgnoring A.bin\nIgnoring z.bin\ndesktop.ini (0.00kB)\n"),
              std::wstring::npos) << tarvo::to_utf8(own);
    EXPECT_EQ(read_archive(dir / L"own.qar").entries.size(), 6u);

    // No files: the tables and the trailer alone. Nothing but empty files: every line shows the whole done.
    std::filesystem::remove_all(dir.path / "src");
    std::filesystem::create_directories(dir.path / "src");
    create(dir, L"none.qar");
    const format::ArchiveMetadata none = read_archive(dir / L"none.qar");
    EXPECT_EQ(none.header.metadata_size, format::kHeaderSize + format::kNameTableSizeField);
    EXPECT_EQ(none.archive_length, none.header.metadata_size + format::kTrailerSize);
    write_tree(dir, {{L"a", {}}, {L"b", {}}});
    EXPECT_NE(create(dir, L"zeros.qar").find(L"100.00%: a\n100.00%: b\n"), std::wstring::npos);

    // A list that is no valid expression stops the run before anything is scanned or written.
    PoolScope pool(1);
    tarvo::console::Capture console;
    EXPECT_THROW(create_archive(dir / L"src", dir / L"bad.qar", L"[abc;*.bin", pool.pool), std::regex_error);
    EXPECT_EQ(console.out, L"Setting up ignore list...\n");
    EXPECT_FALSE(std::filesystem::exists(tarvo::to_fs_path(dir / L"bad.qar")));
}

// An archive written inside its source stores neither itself nor its journal, even the second
// time, when it exists; a name holding a "\\" (where one can) is never read, nor what lies below it,
// and no name that either platform's unpack would refuse is stored.
TEST(CreateMode, LeavesOutItsOwnArchiveAndNamesHoldingABackslash)
{
    ScratchDir dir;
    write_tree(dir, {{L"a/desktop.ini", {'x'}}, {L"sub/in.qar", make_bytes(300, 1)}, {L"z.bin", make_bytes(70000, 2)}});
    create(dir, L"outside.qar");
    const bool backslash_names = tarvo::name_holds_separator(L"\\");
    if (backslash_names) {
        // And names only Windows refuses, and a file Windows would find where the folder sub/ must be.
        write_tree(dir, {{L"..\\planted.bin", {'p'}}, {L"d\\e/f.bin", {'f'}}, {L"sub/x\\y", {'y'}}, {L"aux.txt", {}},
                         {L"notes 12:30.txt", {}}, {L"trail.", {}}, {L"what?.txt", {}}, {L"SUB", {}}});
        testing::write_bytes(dir / L"planted.bin", Bytes{'o'});
    }
    create(dir, L"src/in.qar");
    testing::write_bytes(dir / L"src/in.qar.journal", Bytes{'j'});
    const std::wstring out = create(dir, L"src/in.qar");
    EXPECT_FALSE(std::filesystem::exists(tarvo::to_fs_path(dir / L"src/in.qar.journal")));  // never applied to the new archive
    const std::wstring unportable = L"Ignoring notes 12:30.txt\nIgnoring trail.\nIgnoring what?.txt\nIgnoring SUB\n";
    EXPECT_NE(out.find(L"\nIgnoring a/desktop.ini\n" + std::wstring(backslash_names ? L"Ignoring aux.txt\n" : L"") +
                       L"Ignoring in.qar\nIgnoring in.qar.journal\n" + (backslash_names ? unportable : L"") + L"sub/in.qar ("),
              std::wstring::npos) << tarvo::to_utf8(out);
    for (const wchar_t* name : {L"..\\planted.bin", L"d\\e", L"sub/x\\y"})
        EXPECT_EQ(backslash_names, out.find(L"\nIgnoring " + std::wstring(name) + L"\n") < out.find(L"Ignoring a/")) << name;
    EXPECT_TRUE(testing::read_bytes<Bytes>(dir / L"src/in.qar") == testing::read_bytes<Bytes>(dir / L"outside.qar"));
}

using Listing = std::vector<std::pair<std::wstring, std::uint64_t>>;

// Every file below the root in name order, or only those a list names and never anything outside the root.
TEST(SourceTreeScan, ListsEveryFileOrOnlyTheNamedOnesAndFollowsLinks)
{
    ScratchDir dir;
    write_tree(dir, {{L"c", Bytes(2)}, {L"a_", {}}, {L"a.txt", Bytes(5)}, {L"B/x", Bytes(1)}, {L"deep/er/x.bin", Bytes(3)},
                     {kEmoji + L".bin", Bytes(2)}});
    testing::write_bytes(dir / L"outside.bin", Bytes(7));
    std::filesystem::create_directories(tarvo::to_fs_path(dir / L"src/empty/dirs"));
    const std::wstring root = dir / L"src";
    const auto scan = [&](const NameList& names) {
        FileSizeMap files;
        scan_source_tree(root, files, root.size(), names);
        return Listing(files.begin(), files.end());
    };
    EXPECT_EQ(scan({}), (Listing{{L"B/x", 1}, {L"a.txt", 5}, {L"a_", 0}, {L"c", 2}, {L"deep/er/x.bin", 3},
                                 {kEmoji + L".bin", 2}}));
    const NameList names = {"deep\\er\\x.bin", "\xF0\x9F\x98\x80.bin",  // "\" taken for "/"; names decoded as UTF-8
                            "c\r", std::string("c\0.bak", 6), "missing.bin", "deep", "",  // no regular file
                            "../outside.bin", "a/../../outside.bin", "/etc/hostname", "\\outside.bin", "C:outside.bin", "c", "c"};
    EXPECT_EQ(scan(names), (Listing{{L"c", 2}, {L"deep/er/x.bin", 3}, {kEmoji + L".bin", 2}}));
    EXPECT_THROW(scan(NameList{"x\xFF.bin"}), std::range_error);  // no UTF-8

    // Links to a file and to a directory outside the root are followed, a dangling one skipped.
    std::filesystem::remove_all(dir.path / "src" / "deep");
    testing::write_bytes(dir / L"target/file.bin", Bytes(5));
    std::error_code ec;
    std::filesystem::create_symlink(dir.path / "outside.bin", tarvo::to_fs_path(root + L"/file_link"), ec);
    if (!ec) std::filesystem::create_symlink(dir.path / "nowhere", tarvo::to_fs_path(root + L"/dangling"), ec);
    if (!ec) std::filesystem::create_directory_symlink(dir.path / "target", tarvo::to_fs_path(root + L"/dir_link"), ec);
    if (ec) GTEST_SKIP() << "symbolic links are not available here: " << ec.message();
    EXPECT_EQ(scan(NameList{"c", "dir_link/file.bin", "dangling"}), (Listing{{L"c", 2}, {L"dir_link/file.bin", 5}}));
    EXPECT_EQ(scan({}).size(), 7u);
}

}  // namespace
}  // namespace qar::create
