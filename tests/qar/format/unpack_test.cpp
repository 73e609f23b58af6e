// The unpack mode end to end, and the extraction on the pool against the one-by-one loop.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/base/file_lines.hpp"
#include "qar/base/pattern_list.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/format/directory_tree.hpp"
#include "qar/format/parallel_unpack.hpp"
#include "qar/base/safe_name.hpp"
#include "qar/format/unpack.hpp"
#include "tests/support/archive_builder.hpp"
#include "tests/support/scratch.hpp"

namespace qar::format {
namespace {

namespace fs = std::filesystem;
using tarvo::test::build_archive, tarvo::test::error_of, tarvo::test::kNoError;
using Tree = std::map<std::string, std::string>;

// Small batches and window: a few MB cross many batch boundaries, the reader waits for the writer.
const PipelineLimits kSmall{70000, 5, 300000};
const PipelineLimits kSingleBlocks{1, 1, 0};  // the smallest possible pipeline

struct Unpacked {
    std::wstring out;    // the printed lines
    std::wstring error;  // the message that ended the run, the output directory as "<out>"
    Tree tree;           // below the output directory; directories end in "/"
};

// The unpack mode's steps into a fresh directory that `prepare` fills first, then the pipeline (given
// a pool) or the reference: each entry written whole with extract_entry, one after the other.
Unpacked unpack(std::span<const std::uint8_t> image, const std::wstring& patterns, WorkerPool* pool, const PipelineLimits& limits,
                const std::function<void(const std::wstring&)>& prepare = {})
{
    tarvo::test::ScratchDir dir;
    tarvo::test::write_bytes(dir / L"a.qar", image);
    const std::wstring output_dir = dir / L"out";
    const fs::path root = dir.path / "out";
    fs::create_directories(root);
    if (prepare) prepare(output_dir);
    Unpacked result;
    {
        tarvo::console::Capture capture;
        try {
            tarvo::File archive(dir / L"a.qar", tarvo::File::Mode::read);
            const ArchiveMetadata metadata = read_metadata(archive);
            const auto selection = select_entries(metadata, set_up_pattern_list(PatternListKind::extract, patterns));
            create_directory_tree(output_dir, selection, false);
            std::uint64_t total = 0, done = 0;
            for (const SelectedEntry& selected : selection) total += metadata.entries[selected.index].size;
            if (pool != nullptr) extract_in_parallel(archive, metadata, selection, output_dir, total, *pool, limits);
            for (const SelectedEntry& selected : pool != nullptr ? std::span<const SelectedEntry>() : selection) {
                const FileEntry& entry = metadata.entries[selected.index];
                tarvo::console::out(progress_line(done += entry.size, total, selected.name));
                extract_entry(archive, tarvo::join_archive_name(output_dir, selected.name), entry, metadata.block_table);
            }
        } catch (const tarvo::wruntime_error& e) {
            result.error = e.message();
            if (const auto at = result.error.find(output_dir); at != std::wstring::npos)
                result.error.replace(at, output_dir.size(), L"<out>");
        }
        result.out = capture.out;
    }
    for (const auto& item : fs::exists(root) ? fs::recursive_directory_iterator(root) : fs::recursive_directory_iterator()) {
        const std::string name = item.path().lexically_relative(root).generic_string();
        const bool is_dir = item.is_directory();
        result.tree[is_dir ? name + "/" : name] = is_dir ? "" : tarvo::test::read_bytes(tarvo::from_fs_path(item.path()));
    }
    return result;
}

// The mode's lines and files; unsafe names, the archive or the output's parent missing, a file where
// a directory belongs, and, unpacked beside itself, an entry that would be the archive or its
// journal (not one of that name elsewhere): names are checked before anything is written.
TEST(Unpack, WritesTheSelectionAndRefusesUnsafeNamesAndFailures)
{
    WorkerPool pool(2);
    tarvo::test::ScratchDir dir;
    const std::wstring archive = dir / L"a.qar";
    std::wstring out;  // the lines of the last run
    const auto failure = [&](const wchar_t* archive_name, const wchar_t* output_dir, const wchar_t* patterns = L"") {
        tarvo::console::Capture capture;
        const std::wstring error = error_of([&] { unpack_archive(dir / archive_name, dir / output_dir, patterns, pool); });
        out = capture.out;
        return error;
    };
    // "\\" separates directories on every platform.
    tarvo::test::write_bytes(archive, build_archive({{"b/c/one.txt", "12345"}, {"B/two.txt", "abcde"}, {"three.txt", "0123456789"},
                                                     {"d\\e\\f.txt", ""}}).bytes);
    EXPECT_EQ(failure(L"a.qar", L"all"), kNoError);
    EXPECT_EQ(out, L"Setting up extract list...\nReading file structure...\n"
                   L"Creating directory structure. Please wait, it may take a while\n"
                   L"Creating: B/\nCreating: b/c/\nCreating: d\\e\\\n\nCollecting size data...\n\nExtracting files...\n"
                   L" 25.00%: b/c/one.txt\n 50.00%: B/two.txt\n100.00%: three.txt\n100.00%: d\\e\\f.txt\nDone!\n");
    EXPECT_EQ(tarvo::test::read_bytes(dir / L"all/b/c/one.txt"), "12345");  // b/ made on the way to b/c/, or found as B/
    EXPECT_TRUE(fs::is_regular_file(tarvo::to_fs_path(dir / L"all/d/e/f.txt")));
    // Selection ignores case; what isn't selected gets no file.
    EXPECT_EQ(failure(L"a.qar", L"some", L" b/* ;"), kNoError);
    EXPECT_NE(out.find(L"Extract patterns set to: ^(b/.+?)$\nReading"), std::wstring::npos);
    EXPECT_NE(out.find(L" 50.00%: b/c/one.txt\n100.00%: B/two.txt\nDone!"), std::wstring::npos);
    EXPECT_FALSE(fs::exists(tarvo::to_fs_path(dir / L"some/three.txt")));

    for (const char* name : {"", "/etc/x", "\\x", "c:x", "a/b:c", "..", "../x", "a/../../x", "a\\..\\x", "d/", "d\\", ".", "d/."}) {
        tarvo::test::write_bytes(archive, build_archive({{"safe/s", "s"}, {name, "evil"}}).bytes);
        EXPECT_EQ(failure(L"a.qar", L"out"), tarvo::quoted(L"Unsafe file name in archive ", tarvo::from_utf8(name)));
        EXPECT_FALSE(fs::exists(tarvo::to_fs_path(dir / L"out"))) << name;
    }
    // A file another entry needs as a directory (on Windows whatever the case of its letters) stops
    // the run before anything is written, with the error it would have stopped with at its turn.
    for (const char* file : {"z", "Z"}) {
        tarvo::test::write_bytes(archive, build_archive({{"a", "1"}, {file, "2"}, {"z\\x", "3"}}).bytes);
        const bool clash = file[0] == 'z' || tarvo::kWindowsFileNames;
        const std::wstring output = tarvo::join_path(dir / L"apart", tarvo::from_utf8(file));
        EXPECT_EQ(failure(L"a.qar", L"apart"), clash ? tarvo::quoted(L"Cannot create output file ", output) : kNoError);
        EXPECT_NE(fs::exists(tarvo::to_fs_path(dir / L"apart/a")), clash) << file;
    }
    // An unsafe entry that isn't selected does not stop the others.
    tarvo::test::write_bytes(archive, build_archive({{"../x", "evil"}, {"ok", "fine"}}).bytes);
    EXPECT_EQ(failure(L"a.qar", L"out", L"ok"), kNoError);
    EXPECT_EQ(tarvo::test::read_bytes(dir / L"out/ok"), "fine");
    for (const wchar_t* name : {L"..a", L".hidden/x", L"a b/c", L"x.y/z"}) EXPECT_FALSE(is_unsafe_archive_name(name)) << name;
    // Names Windows can't create are unsafe there only.
    EXPECT_EQ(is_unsafe_archive_name(L"d/q?.txt"), tarvo::kPathSeparator == L'\\');
    for (const wchar_t* name : {L"CON", L"nul.txt", L"Com1", L"lpt9.a.b", L"a.", L"a ", L"a<b", L">", L"\"x", L"|", L"a*", L"\x1f", L"\t"})
        EXPECT_TRUE(tarvo::is_windows_unsafe_component(name)) << name;
    for (const wchar_t* name : {L"CONSOLE", L"com0", L"com10", L"x.con"}) EXPECT_FALSE(tarvo::is_windows_unsafe_component(name)) << name;

    tarvo::test::write_bytes(archive, build_archive({{"d/x", ""}, {"d/e/f", ""}}).bytes);
    EXPECT_EQ(failure(L"missing.qar", L"out"), tarvo::quoted(L"Cannot open input file ", dir / L"missing.qar"));
    EXPECT_EQ(failure(L"a.qar", L"no/out"), L"Couldn't create directory '" + (dir / L"no/out") + L"'");
    EXPECT_THROW(failure(L"missing.qar", L"out", L"[abc"), std::regex_error);  // before anything is touched
    tarvo::test::write_bytes(dir / L"out/d", "");
    EXPECT_EQ(failure(L"a.qar", L"out"), tarvo::join_path(dir / L"out", L"d/") + L" is a file, not a directory!");
    EXPECT_EQ(failure(L"a.qar", L"out", L"d/e/*"), L"Couldn't create directory '" + tarvo::join_path(dir / L"out", L"d/e") + L"'");

    const std::pair<const char*, std::wstring> cases[] = {{"a.qar", L"archive " + tarvo::quoted(L"", archive)},
                                                          {"a.qar.journal", L"journal " + tarvo::quoted(L"", archive + L".journal")},
                                                          {"a.qar.journal.tmp", L"journal " + tarvo::quoted(L"", archive + L".journal.tmp")}};
    for (const auto& [name, what] : cases) {
        const auto image = build_archive({{"first/one", "1"}, {"sub/a.qar", "3"}, {"sub/a.qar.journal", "2"}, {name, "evil"}}).bytes;
        tarvo::test::write_bytes(archive, image);
        EXPECT_EQ(failure(L"a.qar", L"."), tarvo::quoted(L"Archive entry ", tarvo::from_utf8(name)) + L" would overwrite the " + what);
        EXPECT_FALSE(fs::exists(tarvo::to_fs_path(dir / L"first"))) << name;
    }
}

// With every limit the pipeline prints, fails and writes as the one-by-one loop: the same files,
// but the failing one may hold more, yet only a prefix of its content. Returns the error.
std::wstring expect_same_as_one_by_one(std::span<const std::uint8_t> image, const Tree& source, WorkerPool& pool,
                                       const std::wstring& patterns = L"", const std::function<void(const std::wstring&)>& prepare = {})
{
    const Unpacked expected = unpack(image, patterns, nullptr, PipelineLimits{}, prepare);
    for (const PipelineLimits& limits : {PipelineLimits{}, kSmall, kSingleBlocks}) {
        SCOPED_TRACE(testing::Message() << "patterns " << patterns << ", batch " << limits.batch_bytes);
        const Unpacked parallel = unpack(image, patterns, &pool, limits, prepare);
        EXPECT_EQ(parallel.error, expected.error);
        EXPECT_EQ(parallel.out, expected.out);
        EXPECT_EQ(parallel.tree.size(), expected.tree.size());
        for (const auto& [name, content] : parallel.tree) {
            const std::string& want = name.ends_with('/') ? content : source.at(name);
            // The loop writes whole 2 MiB pieces, the pipeline every block before the damage.
            if (expected.error.ends_with(tarvo::from_utf8(name)))
                EXPECT_TRUE(content.starts_with(expected.tree.at(name)) && want.starts_with(content)) << name;
            else
                EXPECT_TRUE(content == expected.tree.at(name) && content == want) << name;
        }
    }
    return expected.error;
}

TEST(ParallelUnpack, WritesAndFailsAsTheOneByOneLoop)
{
    // 200 small files, some empty, in a few directories, one name twice; some at block boundaries;
    // two large ones that span many batches, blocks alternating between compressible and not. The
    // second comes last: a longer block or a moved offset then shares no bytes with another file.
    std::mt19937 random(1);
    std::vector<tarvo::test::ArchiveFile> files;
    for (int i = 0; i < 200; ++i) {
        const std::string dir = "d" + std::to_string(random() % 4) + (random() % 3 == 0 ? "/sub/" : "/");
        const std::size_t size = random() % 5 == 0 ? 0 : random() % 4000;
        files.push_back({dir + "f" + std::to_string(i) + (i % 2 ? ".bin" : ".txt"), tarvo::test::random_bytes(size, random(), "rt"[i % 3 == 0])});
    }
    files.push_back({files[7].name, "again"});
    for (std::size_t size : {65535, 65536, 65537, 5 * 65536 + 3}) files.push_back({"edge/" + std::to_string(size), std::string(size, 'z')});
    for (int i = 0; i < 2; ++i) {
        std::string content;
        const std::size_t size = 2'630'000 + random() % 50000;  // 41 blocks, the last one compressed
        while (content.size() < size)
            content += tarvo::test::random_bytes(std::min<std::size_t>(65536, size - content.size()), random(), "tr"[content.size() % 131072 != 0]);
        files.insert(i == 0 ? files.begin() + static_cast<std::ptrdiff_t>(random() % 200) : files.end(), {"large/" + std::to_string(i), content});
    }
    Tree source;  // the later entry wins where two share a name
    for (const auto& file : files) source[file.name] = file.content;
    WorkerPool pool(2);
    const auto good = build_archive(files);
    for (const wchar_t* patterns : {L"", L"d1/*;LARGE/1;*.TXT"}) EXPECT_EQ(expect_same_as_one_by_one(good.bytes, source, pool, patterns), L"");

    // With every worker busy elsewhere the main thread decodes each batch itself; the tasks that
    // lost their claim run later and must not touch the batches, long gone by then.
    const Unpacked expected = unpack(good.bytes, L"", nullptr, kSmall);
    WorkerPool busy(1);
    std::promise<void> release;
    busy.submit([gate = release.get_future().share()](int) {
        gate.wait();
        return true;
    });
    const Unpacked parallel = unpack(good.bytes, L"", &busy, kSmall);
    release.set_value();
    EXPECT_EQ(parallel.out, expected.out);
    EXPECT_TRUE(parallel.tree == expected.tree);

    const std::size_t large = files.size() - 1, data_offset_field = good.entry_offset(large) + 16;
    const auto& entry = good.entries[large];
    std::size_t late_block = entry.data_offset;  // a compressed block past the loop's first 2 MiB write
    for (std::uint32_t j = 0; j < 34 || good.block_table[entry.first_block + j] == 0; ++j)
        late_block += stored_length(good.block_table[entry.first_block + j]);
    const std::size_t last_block = good.block_table_offset() + 2 * (entry.first_block + block_count(entry.size) - 1);
    const std::pair<const char*, std::function<void(std::vector<std::uint8_t>&)>> cases[] = {
        {"zlib stream damaged late in a large file", [&](auto& b) { b[late_block + 5] ^= 0x5A; }},
        {"inflates to less than the size", [&](auto& b) { tarvo::put_le<std::uint64_t>(&b[data_offset_field - 8], entry.size + 1); }},
        {"inflates to more than the size", [&](auto& b) { tarvo::put_le<std::uint64_t>(&b[data_offset_field - 8], entry.size - 1); }},
        {"raw block longer than the file", [&](auto& b) { tarvo::put_le<std::uint16_t>(b.data() + last_block, 0); }},
        {"raw block longer than the file, archive bytes after it", [&](auto& b) {
             tarvo::put_le<std::uint16_t>(b.data() + last_block, 0);
             b.insert(b.end() - 16, kBlockSize, 0);
         }},
        {"data beyond the end", [&](auto& b) { tarvo::put_le<std::uint64_t>(b.data() + data_offset_field, b.size() - 100); }},
        {"data where no seek reaches", [&](auto& b) { tarvo::put_le<std::uint64_t>(b.data() + data_offset_field, ~0ull >> 1); }},
        {"archive cut short in a raw block",
         [&](auto& b) { b.resize(entry.data_offset + stored_length(good.block_table[entry.first_block]) + 1000); }},
    };
    const std::wstring large_name = tarvo::from_utf8(files[large].name), large_out = tarvo::join_path(L"<out>", large_name);
    for (const auto& [label, damage] : cases) {
        SCOPED_TRACE(label);
        auto image = good.bytes;
        damage(image);
        EXPECT_EQ(expect_same_as_one_by_one(image, source, pool), L"Problem decompressing file " + large_out);
    }
    EXPECT_EQ(expect_same_as_one_by_one(good.bytes, source, pool, L"", [&](const std::wstring& out) {
                  fs::create_directories(tarvo::to_fs_path(tarvo::join_path(out, large_name)));
              }),
              tarvo::quoted(L"Cannot create output file ", large_out));
}

}  // namespace
}  // namespace qar::format
