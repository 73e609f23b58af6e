// The unpack mode end to end: console output, selection, directories, unsafe names, damaged archives.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/format/directory_tree.hpp"
#include "qar/format/safe_name.hpp"
#include "qar/format/unpack.hpp"
#include "tests/qar/format/scratch_dir.hpp"
#include "tests/support/archive_builder.hpp"

#ifdef __linux__
#include <sys/resource.h>

#include <csignal>
#endif

namespace qar::format {
namespace {

using tarvo::test::ArchiveFileSpec;
using tarvo::test::build_archive;
using tarvo::test::read_bytes;

struct Unpacked {
    std::wstring out;    // what the mode printed
    std::wstring error;  // the wruntime_error's message, if one ended the run
};

// Unpacks the image as dir/a.qar into dir/out (or the given output directory).
Unpacked unpack(const tarvo::test::ScratchDir& dir, std::span<const std::uint8_t> image,
                const std::wstring& patterns = L"", const std::wstring& output_dir = L"")
{
    tarvo::test::write_bytes(dir.path(L"a.qar"), image);
    tarvo::console::Capture capture;
    Unpacked result;
    try {
        unpack_archive(dir.path(L"a.qar"), output_dir.empty() ? dir.path(L"out") : output_dir, patterns);
    } catch (const tarvo::wruntime_error& e) {
        result.error = e.message();
    }
    result.out = capture.out;
    return result;
}

// Where the unpack writes an archive name: joined with the platform's separator, its "/" kept.
std::wstring out_path(const tarvo::test::ScratchDir& dir, const std::wstring& name)
{
    return tarvo::join_path(dir.path(L"out"), name);
}

bool exists(const std::wstring& path) { return std::filesystem::exists(tarvo::to_fs_path(path)); }

// Bytes that zlib can't shrink, with a compressible run in the middle.
std::string mixed_content(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = (i > size / 3 && i < size / 2) ? 'r' : static_cast<char>(random());
    return content;
}

TEST(Unpack, PrintsEveryPhaseAndWritesEachFile)
{
    tarvo::test::ScratchDir dir;
    const auto archive = build_archive({{"b/c/one.txt", "12345"}, {"B/two.txt", "abcde"}, {"three.txt", "0123456789"}});
    const Unpacked all = unpack(dir, archive.bytes);
    EXPECT_EQ(all.error, L"");
    EXPECT_EQ(all.out, L"Setting up extract list...\n"
                       L"Reading file structure...\n"
                       L"Creating directory structure. Please wait, it may take a while\n"
                       L"Creating: B/\n"
                       L"Creating: b/c/\n"
                       L"\n"
                       L"Collecting size data...\n"
                       L"\n"
                       L"Extracting files...\n"
                       L" 25.00%: b/c/one.txt\n"
                       L" 50.00%: B/two.txt\n"
                       L"100.00%: three.txt\n"
                       L"Done!\n");
    EXPECT_EQ(read_bytes(dir.path(L"out/b/c/one.txt")), "12345");  // b/ made on the way to b/c/

    // Selection ignores case; what isn't selected gets neither a directory nor a file.
    tarvo::test::ScratchDir again;
    const Unpacked some = unpack(again, archive.bytes, L" b/* ;");
    EXPECT_NE(some.out.find(L"Extract patterns set to: ^(b/.+?)$\nReading"), std::wstring::npos);
    EXPECT_NE(some.out.find(L" 50.00%: b/c/one.txt\n100.00%: B/two.txt\nDone!"), std::wstring::npos);
    EXPECT_FALSE(exists(again.path(L"out/three.txt")));

    // Only empty files: the total is 0 and the line shows 100.00.
    tarvo::test::ScratchDir empty;
    EXPECT_NE(unpack(empty, build_archive({{"e", ""}}).bytes).out.find(L"\n100.00%: e\n"), std::wstring::npos);
    EXPECT_EQ(read_bytes(empty.path(L"out/e")), "");
}

TEST(Unpack, RoundTripsBlockBoundariesAndOverwrites)
{
    std::vector<ArchiveFileSpec> files;
    for (std::size_t size : {0, 1, 65535, 65536, 65537, 5 * 65536 + 3})
        files.push_back({"f" + std::to_string(size), std::string(size, 'z')});
    files.push_back({"mixed", mixed_content(5'000'000, 1)});  // passes the output buffer twice
    files.push_back({"dup", "first"});
    files.push_back({"dup", "second"});
    tarvo::test::ScratchDir dir;
    std::filesystem::create_directories(tarvo::to_fs_path(dir.path(L"out")));
    tarvo::test::write_bytes(dir.path(L"out/f1"), std::vector<std::uint8_t>(100, 'x'));  // longer than the entry

    EXPECT_EQ(unpack(dir, build_archive(files).bytes).error, L"");
    for (std::size_t i = 0; i + 2 < files.size(); ++i) {
        SCOPED_TRACE(files[i].name);
        EXPECT_EQ(read_bytes(out_path(dir, tarvo::from_utf8(files[i].name))), files[i].content);
    }
    EXPECT_EQ(read_bytes(dir.path(L"out/dup")), "second");  // entry order: the later one remains
}

TEST(Unpack, RefusesUnsafeNamesBeforeCreatingAnything)
{
    for (const char* name : {"", "/etc/x", "\\x", "c:x", "a/b:c", "..", "../x", "a/../../x", "a\\..\\x"}) {
        SCOPED_TRACE(name);
        tarvo::test::ScratchDir dir;
        const Unpacked run = unpack(dir, build_archive({{"safe", "s"}, {name, "evil"}}).bytes);
        EXPECT_EQ(run.error, tarvo::quoted(L"Unsafe file name in archive ", tarvo::from_utf8(name)));
        EXPECT_FALSE(exists(dir.path(L"out")));
    }
    for (const wchar_t* name : {L"..a", L".hidden/x", L"a b/c", L"x.y/z"}) EXPECT_FALSE(is_unsafe_archive_name(name));

    // An unsafe entry that isn't selected does not stop the others.
    tarvo::test::ScratchDir dir;
    EXPECT_EQ(unpack(dir, build_archive({{"../x", "evil"}, {"ok", "fine"}}).bytes, L"ok").error, L"");
    EXPECT_EQ(read_bytes(dir.path(L"out/ok")), "fine");

    for (const wchar_t* unsafe : {L"CON", L"nul.txt", L"Com1", L"lpt9.a.b", L"a.", L"a "})
        EXPECT_TRUE(tarvo::is_windows_unsafe_component(unsafe)) << unsafe;
    for (const wchar_t* safe : {L"CONSOLE", L"com0", L"com10", L"x.con"}) EXPECT_FALSE(tarvo::is_windows_unsafe_component(safe)) << safe;
}

TEST(Unpack, DamagedDataStopsWithProblemDecompressing)
{
    const std::string text(3000, 'a');  // compresses to a few bytes
    const auto good = build_archive({{"first", "kept"}, {"z", text}, {"r", "hi"}});
    const std::size_t z_data = good.entries[1].data_offset;
    const std::size_t z_block = good.block_table_offset() + 2;
    struct Case {
        const char* label;
        const wchar_t* file;
        std::function<void(std::vector<std::uint8_t>&)> patch;
    };
    const std::vector<Case> cases = {
        {"zlib stream damaged", L"z", [&](auto& b) { b[z_data + 3] ^= 0x55; }},
        {"inflates to more than the size", L"z", [&](auto& b) { tarvo::put_le<std::uint64_t>(b.data() + good.entry_offset(1) + 8, 2999); }},
        {"raw block longer than the file", L"z", [&](auto& b) { tarvo::put_le<std::uint16_t>(b.data() + z_block, 0); }},
        {"data cut short", L"r", [&](auto& b) { b.resize(b.size() - 17); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::uint8_t> image = good.bytes;
        c.patch(image);
        tarvo::test::ScratchDir dir;
        const std::wstring damaged = out_path(dir, c.file);
        EXPECT_EQ(unpack(dir, image).error, L"Problem decompressing file " + damaged);
        EXPECT_EQ(read_bytes(dir.path(L"out/first")), "kept");
        EXPECT_EQ(read_bytes(damaged), "");  // nothing that wasn't read and decoded in full
    }

    // A damaged table refuses the whole archive before anything exists.
    std::vector<std::uint8_t> image = good.bytes;
    tarvo::put_le<std::uint64_t>(image.data() + good.entry_offset(2) + 24, 1000);
    tarvo::test::ScratchDir dir;
    EXPECT_EQ(unpack(dir, image).error, L"Invalid input file format");
    EXPECT_FALSE(exists(dir.path(L"out")));
}

TEST(Unpack, CorruptionLoopOnlyEndsInReportedErrors)
{
    const std::vector<std::vector<ArchiveFileSpec>> sources = {
        {{"d/a.txt", "hello hello hello"}, {"d/e/b.bin", mixed_content(70000, 2)}, {"c", ""}},
        {{"x", std::string(140000, 'q')}, {"y/z", "tail"}},
    };
    // The failures a damaged archive may cause; a write error or a crash would be a fault.
    const std::wregex expected(L"^(Invalid input file format|Problem decompressing file |Unsafe file name in archive |"
                               L"Cannot create output file |Couldn't create directory )|is a file, not a directory!$");
    std::mt19937 random(20240611);
    for (const auto& files : sources) {
        const auto good = build_archive(files);
        for (int round = 0; round < 150; ++round) {
            std::vector<std::uint8_t> image = good.bytes;
            // Mostly the tables: that is where a damaged byte steers the reader.
            for (int flips = 1 + static_cast<int>(random() % 3); flips > 0; --flips) {
                const std::size_t span = (random() % 4 != 0) ? good.metadata_size : image.size();
                image[random() % span] ^= static_cast<std::uint8_t>(1 + random() % 255);
            }
            if (random() % 8 == 0) image.resize(random() % image.size());
            tarvo::test::ScratchDir dir;
            std::string outcome;
            try {
                const std::wstring error = unpack(dir, image).error;
                if (!error.empty() && !std::regex_search(error, expected)) outcome = tarvo::to_utf8(error);
            } catch (const std::range_error&) {
                // a name that is no longer UTF-8
            } catch (const std::exception& e) {
                outcome = e.what();
            }
            if (!outcome.empty()) {
                const std::wstring saved = tarvo::from_fs_path(std::filesystem::temp_directory_path()) + L"/tarvo-failing.qar";
                tarvo::test::write_bytes(saved, image);
                ADD_FAILURE() << "unexpected: " << outcome << "; image saved as " << tarvo::to_utf8(saved);
            }
        }
    }
}

TEST(Unpack, FileSystemFailuresAreReported)
{
    tarvo::test::ScratchDir dir;
    const auto archive = build_archive({{"d/x", "1"}, {"d", "2"}});
    {
        tarvo::console::Capture capture;
        try {
            unpack_archive(dir.path(L"missing.qar"), dir.path(L"out"), L"");
            ADD_FAILURE() << "no error";
        } catch (const tarvo::wruntime_error& e) {
            EXPECT_EQ(e.message(), tarvo::quoted(L"Cannot open input file ", dir.path(L"missing.qar")));
        }
        // An unbalanced "[" fails while the expression is compiled, before anything is touched.
        EXPECT_THROW(unpack_archive(dir.path(L"missing.qar"), dir.path(L"out"), L"[abc"), std::regex_error);
    }

    EXPECT_EQ(unpack(dir, archive.bytes, L"", dir.path(L"no/out")).error, L"Couldn't create directory '" + dir.path(L"no/out") + L"'");
    EXPECT_EQ(unpack(dir, archive.bytes).error, tarvo::quoted(L"Cannot create output file ", out_path(dir, L"d")));

    // A file where a needed directory belongs, and one where its parent belongs.
    tarvo::test::ScratchDir blocked;
    std::filesystem::create_directories(tarvo::to_fs_path(blocked.path(L"out")));
    tarvo::test::write_bytes(blocked.path(L"out/d"), std::vector<std::uint8_t>{});
    EXPECT_EQ(unpack(blocked, archive.bytes, L"d/*").error, out_path(blocked, L"d/") + L" is a file, not a directory!");
    EXPECT_EQ(unpack(blocked, build_archive({{"d/e/f", ""}}).bytes).error,
              L"Couldn't create directory '" + out_path(blocked, L"d/e") + L"'");

    // make_directories makes every missing level, with a trailing separator or without.
    make_directories(dir.path(L"made/x/y/"));
    make_directories(dir.path(L"made/x/y"));
    EXPECT_TRUE(std::filesystem::is_directory(tarvo::to_fs_path(dir.path(L"made/x/y"))));
}

TEST(Unpack, FullDiskIsAWriteError)
{
#ifdef __linux__
    // A small archive that unpacks to 3 MB, against a limit of 1 MB per file.
    tarvo::test::ScratchDir dir;
    const auto archive = build_archive({{"big", std::string(3'000'000, 'z')}});
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = 1'000'000;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limited);
    const Unpacked run = unpack(dir, archive.bytes);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(run.error, tarvo::quoted(L"Cannot write output file ", out_path(dir, L"big")));
#else
    GTEST_SKIP() << "a file size limit needs Linux";
#endif
}

}  // namespace
}  // namespace qar::format
