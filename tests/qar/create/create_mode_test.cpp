// The create mode: exact archives, table layout and round trips, console output, ignore
// lists and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/text.hpp"
#include "qar/cli/pattern_list.hpp"
#include "qar/create/create_mode.hpp"
#include "qar/create/md5.hpp"
#include "qar/format/unpack.hpp"
#include "scratch.hpp"

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

namespace qar::create {
namespace {

using testing::Bytes;
using testing::PoolScope;
using testing::ScratchDir;
using Tree = std::map<std::wstring, Bytes, tarvo::Utf16Less>;

Bytes from_hex(std::string hex)
{
    std::erase(hex, ' ');
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Creates the archive of root, printing into a buffer; returns what was printed.
std::wstring create(const std::wstring& root, const std::wstring& archive,
                    const std::wstring& ignore = kDefaultIgnorePatterns,
                    FileStoring storing = FileStoring::pipelined)
{
    PoolScope pool(3);
    tarvo::console::Capture console;
    create_archive(root, archive, ignore, storing);
    return console.out;
}

void write_tree(const std::wstring& root, const Tree& tree)
{
    for (const auto& [name, contents] : tree) testing::write_file(root + L"/" + name, contents);
}

Tree read_tree(const std::wstring& root)
{
    Tree tree;
    const std::filesystem::path fs_root = tarvo::to_fs_path(root);
    for (const auto& item : std::filesystem::recursive_directory_iterator(fs_root)) {
        if (!item.is_regular_file()) continue;
        std::wstring name = tarvo::from_fs_path(item.path().lexically_relative(fs_root));
        std::replace(name.begin(), name.end(), L'\\', L'/');
        tree[name] = testing::read_file(tarvo::from_fs_path(item.path()));
    }
    return tree;
}

std::vector<std::string> names_in(const std::wstring& archive)
{
    const format::ArchiveMetadata metadata = testing::metadata_of(archive);
    std::vector<std::string> names;
    for (std::size_t k = 0; k < metadata.entries.size(); ++k) names.emplace_back(metadata.name_bytes(k));
    return names;
}

TEST(CreateMode, WritesTheWorkedExampleAndTheEmptyArchiveByteForByte)
{
    ScratchDir dir;
    testing::write_text(dir / L"src/a.txt", "hello");
    create(dir / L"src", dir / L"hello.qar");
    EXPECT_EQ(testing::read_file(dir / L"hello.qar"),
              from_hex("5352594b 4c000000 01000000 00000000"  // metadata_size 76, one file
                       "a5e54d1fd7bb69a228ef0dcd2431367e"     // MD5 of "a.txt"
                       "00000000 00000000 0500000000000000 4c00000000000000 0000000000000000"
                       "0a000000 612e74787400 0500"           // name_table_size, name, one raw block
                       "68656c6c6f"                           // hello
                       "4629c5d9e656e710377e7390febd69f0"));  // MD5 of bytes 0-75

    std::filesystem::create_directories(tarvo::to_fs_path(dir / L"empty/only/dirs"));
    const std::wstring out = create(dir / L"empty", dir / L"empty.qar");
    EXPECT_EQ(testing::read_file(dir / L"empty.qar"),
              from_hex("5352594b 14000000 00000000 00000000 04000000 b1749c9d5644fc6ab2b7fb73dbd3acc8"));
    EXPECT_EQ(out,
              L"Setting up ignore list...\n"
              L"Ignore patterns set to: ^(.+?/desktop\\.ini|.+?/thumbs\\.db)$\n"
              L"Reading directory structure\n"
              L"Writing headers...\n"
              L"Compressing files...\n"
              L"Done!\n");
}

// Block and batch boundaries, names outside ASCII (one outside the BMP), empty files, and
// compressible and incompressible data, created in an order the listing won't give.
Tree boundary_tree()
{
    Bytes mixed = testing::random_bytes(5 * 65536, 5);
    const Bytes text = testing::text_bytes(2 * 65536, 6);
    mixed.insert(mixed.begin() + 65536, text.begin(), text.end());
    return {
        {L"b.bin", testing::text_bytes(65537, 1)},
        {L"A.bin", testing::random_bytes(65536, 2)},
        {L"a/c.bin", testing::text_bytes(65535, 3)},
        {L"a/empty", {}},
        {L"a/one", {'1'}},
        {tarvo::from_utf8("d\xC3\xA9j\xC3\xA0/\xF0\x9F\x98\x80.dat"), testing::text_bytes(7 * 65536 + 3, 4)},
        {L"z/zeros", Bytes(65536, 0)},
        {L"z/mixed", mixed},
    };
}

TEST(CreateMode, LaysTheTablesOutInNameOrderAndUnpacksToTheSameTree)
{
    ScratchDir dir;
    const Tree tree = boundary_tree();
    write_tree(dir / L"src", tree);
    std::filesystem::create_directories(tarvo::to_fs_path(dir / L"src/no/files/here"));
    create(dir / L"src", dir / L"out.qar");

    const format::ArchiveMetadata metadata = testing::metadata_of(dir / L"out.qar");
    ASSERT_EQ(metadata.entries.size(), tree.size());
    std::uint64_t name_offset = 0;
    std::uint32_t first_block = 0;
    std::uint64_t data_offset = metadata.header.metadata_size;
    auto file = tree.begin();
    for (std::size_t k = 0; k < tree.size(); ++k, ++file) {
        const format::FileEntry& entry = metadata.entries[k];
        const std::string name = tarvo::to_utf8(file->first);
        SCOPED_TRACE(name);
        EXPECT_EQ(metadata.name_bytes(k), name);
        EXPECT_EQ(metadata.digests[k], name_digest(file->first));
        EXPECT_EQ(entry.name_offset, name_offset);
        EXPECT_EQ(entry.first_block, first_block);
        EXPECT_EQ(entry.first_block_copy, first_block);
        EXPECT_EQ(entry.size, file->second.size());
        EXPECT_EQ(entry.data_offset, data_offset);  // back to back; an empty file shares the next offset
        name_offset += name.size() + 1;
        first_block += format::block_count(entry.size);
        data_offset += format::stored_total(metadata.blocks_of(k));
    }
    EXPECT_EQ(metadata.archive_length, data_offset + 16);

    {
        tarvo::console::Capture console;
        format::unpack_archive(dir / L"out.qar", dir / L"unpacked", L"");
    }
    EXPECT_EQ(read_tree(dir / L"unpacked"), tree);
}

TEST(CreateMode, PipelinedAndOneFileAtATimeRunsWriteAndPrintTheSame)
{
    ScratchDir dir;
    Tree tree = boundary_tree();
    for (int k = 0; k < 60; ++k) {
        tree[L"many/t" + std::to_wstring(k)] = testing::text_bytes(static_cast<std::size_t>(k) * 37, k);
    }
    write_tree(dir / L"src", tree);
    const std::wstring pipelined = create(dir / L"src", dir / L"pipelined.qar");
    const std::wstring reference = create(dir / L"src", dir / L"reference.qar", kDefaultIgnorePatterns,
                                          FileStoring::one_at_a_time);
    EXPECT_EQ(pipelined, reference);
    EXPECT_TRUE(testing::read_file(dir / L"pipelined.qar") == testing::read_file(dir / L"reference.qar"));
}

TEST(CreateMode, PrintsListingAndProgressLinesWithRealCharacters)
{
    ScratchDir dir;
    const std::wstring name = tarvo::from_utf8("sub/\xC3\xA9\xF0\x9F\x98\x80.txt");
    write_tree(dir / L"src", Tree{{L"A.bin", testing::text_bytes(512, 1)},
                                  {L"desktop.ini", {}},
                                  {name, testing::text_bytes(1536, 2)},
                                  {L"sub/desktop.ini", {'x'}},
                                  {L"sub/Thumbs.DB", {'x'}},
                                  {L"z.bin", testing::random_bytes(8192, 3)}});
    EXPECT_EQ(create(dir / L"src", dir / L"out.qar"),
              L"Setting up ignore list...\n"
              L"Ignore patterns set to: ^(.+?/desktop\\.ini|.+?/thumbs\\.db)$\n"
              L"Reading directory structure\n"
              L"Ignoring sub/Thumbs.DB\n"
              L"Ignoring sub/desktop.ini\n"
              L"A.bin (0.50kB)\n"
              L"desktop.ini (0.00kB)\n" +
                  name + L" (1.50kB)\n" +
                  L"z.bin (8.00kB)\n"
                  L"Writing headers...\n"
                  L"Compressing files...\n"
                  L"  5.00%: A.bin\n"
                  L"  5.00%: desktop.ini\n"
                  L" 20.00%: " + name + L"\n" +
                  L"100.00%: z.bin\n"
                  L"Done!\n");

    // Nothing but empty files: every line shows the whole done.
    write_tree(dir / L"zeros", Tree{{L"a", {}}, {L"b", {}}});
    const std::wstring out = create(dir / L"zeros", dir / L"zeros.qar");
    EXPECT_NE(out.find(L"100.00%: a\n100.00%: b\n"), std::wstring::npos) << tarvo::to_utf8(out);
}

TEST(CreateMode, IgnoreListsLeaveOutWhatTheUserExpects)
{
    ScratchDir dir;
    Tree tree;
    for (const wchar_t* name : {L"a.txt", L"desktop.ini", L"thumbs.db", L"sub/desktop.ini", L"sub/Thumbs.DB",
                                L"sub/deeper/DESKTOP.INI", L"sub/notes.TXT", L"sub/desktop.ini.bak"}) {
        tree[name] = {'x'};
    }
    write_tree(dir / L"src", tree);
    create(dir / L"src", dir / L"default.qar");
    EXPECT_EQ(names_in(dir / L"default.qar"),
              (std::vector<std::string>{"a.txt", "desktop.ini", "sub/desktop.ini.bak", "sub/notes.TXT", "thumbs.db"}));

    // A list of its own replaces the default one.
    create(dir / L"src", dir / L"txt.qar", L" *.txt ;");
    EXPECT_EQ(names_in(dir / L"txt.qar"),
              (std::vector<std::string>{"desktop.ini", "sub/Thumbs.DB", "sub/deeper/DESKTOP.INI", "sub/desktop.ini",
                                        "sub/desktop.ini.bak", "thumbs.db"}));

    // A pattern that is no valid expression stops the run before anything is scanned or
    // written, with the library's error (reported with status 1, unlike the mode's own).
    PoolScope pool(1);
    tarvo::console::Capture console;
    EXPECT_THROW(create_archive(dir / L"src", dir / L"bad.qar", L"[abc;*.bin"), std::regex_error);
    EXPECT_EQ(console.out, L"Setting up ignore list...\n");
    EXPECT_FALSE(std::filesystem::exists(tarvo::to_fs_path(dir / L"bad.qar")));
}

TEST(CreateMode, FullDiskEndsTheRunWithAWriteError)
{
#ifdef _WIN32
    GTEST_SKIP() << "file size limits are a Linux facility";
#else
    ScratchDir dir;
    write_tree(dir / L"src", Tree{{L"big.bin", testing::random_bytes(3 << 20, 4)},
                                  {L"small.bin", testing::random_bytes(1000, 5)}});
    const std::wstring archive = dir / L"out.qar";

    // Writes past the limit fail with EFBIG instead of killing the process.
    struct FileSizeLimit {
        explicit FileSizeLimit(rlim_t bytes) : handler(std::signal(SIGXFSZ, SIG_IGN))
        {
            getrlimit(RLIMIT_FSIZE, &previous);
            rlimit limited = previous;
            limited.rlim_cur = bytes;
            setrlimit(RLIMIT_FSIZE, &limited);
        }
        ~FileSizeLimit()
        {
            setrlimit(RLIMIT_FSIZE, &previous);
            std::signal(SIGXFSZ, handler);
        }
        void (*handler)(int);
        rlimit previous{};
    };

    // The disk fills up in the middle of the data, and right at the end.
    for (rlim_t limit : {rlim_t{1} << 20, rlim_t{3} << 20}) {
        SCOPED_TRACE(limit);
        PoolScope pool(2);
        tarvo::console::Capture console;
        try {
            FileSizeLimit scope(limit);
            create_archive(dir / L"src", archive, kDefaultIgnorePatterns);
            ADD_FAILURE() << "an archive larger than the disk was reported as written";
        } catch (const tarvo::wruntime_error& e) {
            EXPECT_EQ(e.message(), L"Cannot write output file \"" + archive + L"\"");
        }
        EXPECT_EQ(console.out.find(L"Done!"), std::wstring::npos);
    }
#endif
}

}  // namespace
}  // namespace qar::create
