// The unpack mode end to end, and the extraction on the pool against the one-by-one loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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
#include "qar/base/pattern_list.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/format/directory_tree.hpp"
#include "qar/format/parallel_unpack.hpp"
#include "qar/format/safe_name.hpp"
#include "qar/format/unpack.hpp"
#include "tests/support/archive_builder.hpp"
#include "tests/support/scratch.hpp"

namespace qar::format {
namespace {

namespace fs = std::filesystem;
using tarvo::test::ArchiveFile;
using tarvo::test::build_archive;
using Image = std::vector<std::uint8_t>;
using Prepare = std::function<void(const std::wstring&)>;

// Small batches and window, so a few MB cross many batch boundaries and the reader waits for the
// writer; and the smallest possible pipeline.
const PipelineLimits kDefault{};
const PipelineLimits kSmall{70000, 5, 300000};
const PipelineLimits kSingleBlocks{1, 1, 0};

std::wstring at_out(const std::wstring& name) { return tarvo::join_path(L"<out>", name); }

struct Unpacked {
    std::wstring out;                         // the printed lines
    std::wstring error;                       // the message that ended the run, the output directory as "<out>"
    std::map<std::string, std::string> tree;  // what is below the output directory; directories end in "/"
    bool made_output = false;
};

// The reference the pool's pipeline is compared with: each entry written whole with
// extract_entry, one after the other, on the calling thread.
void extract_one_by_one(tarvo::File& archive, const ArchiveMetadata& metadata, std::span<const SelectedEntry> selection,
                        const std::wstring& output_dir, std::uint64_t total)
{
    std::uint64_t done = 0;
    for (const SelectedEntry& selected : selection) {
        const FileEntry& entry = metadata.entries[selected.index];
        done += entry.size;
        tarvo::console::out(progress_line(done, total, selected.name));
        extract_entry(archive, tarvo::join_archive_name(output_dir, selected.name), entry, metadata.block_table);
    }
}

// Unpacks the image into a fresh directory: with the unpack mode (on `pool`, or with no worker
// at all when none is given), or, given `limits`, with the mode's steps and then the pipeline
// (given a pool) or the reference loop. `prepare` fills the output directory first.
Unpacked unpack(std::span<const std::uint8_t> image, const std::wstring& patterns = L"", WorkerPool* pool = nullptr,
        const PipelineLimits* limits = nullptr, const Prepare& prepare = {})
{
    tarvo::test::ScratchDir dir;
    tarvo::test::write_bytes(dir / L"a.qar", image);
    const std::wstring output_dir = dir / L"out";
    const fs::path root = tarvo::to_fs_path(output_dir);
    if (prepare || limits != nullptr) fs::create_directories(root);
    if (prepare) prepare(output_dir);
    Unpacked result;
    {
        tarvo::console::Capture capture;
        WorkerPool no_workers(0);
        try {
            if (limits == nullptr) {
                unpack_archive(dir / L"a.qar", output_dir, patterns, pool != nullptr ? *pool : no_workers);
            } else {
                tarvo::File archive(dir / L"a.qar", tarvo::File::Mode::read);
                const ArchiveMetadata metadata = read_metadata(archive);
                const auto selection = select_entries(metadata, set_up_pattern_list(PatternListKind::extract, patterns));
                create_directory_tree(output_dir, selection, false);
                std::uint64_t total = 0;
                for (const SelectedEntry& selected : selection) total += metadata.entries[selected.index].size;
                if (pool != nullptr)
                    extract_in_parallel(archive, metadata, selection, output_dir, total, *pool, *limits);
                else
                    extract_one_by_one(archive, metadata, selection, output_dir, total);
            }
        } catch (const tarvo::wruntime_error& e) {
            result.error = e.message();
            if (const auto at = result.error.find(output_dir); at != std::wstring::npos)
                result.error.replace(at, output_dir.size(), L"<out>");
        }
        result.out = capture.out;
    }
    result.made_output = fs::exists(root);
    for (const auto& item : result.made_output ? fs::recursive_directory_iterator(root) : fs::recursive_directory_iterator()) {
        const std::string name = item.path().lexically_relative(root).generic_string();
        const bool is_dir = item.is_directory();
        result.tree[is_dir ? name + "/" : name] = is_dir ? "" : tarvo::test::read_bytes(tarvo::from_fs_path(item.path()));
    }
    return result;
}

// The contents of a file of the tree, its name compared without case: on Windows "B/" and "b/"
// are one directory, named as it was first made.
std::string file_at(const Unpacked& unpacked, const std::string& name)
{
    const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    for (const auto& [key, content] : unpacked.tree) {
        if (std::ranges::equal(key, name, {}, lower, lower)) return content;
    }
    ADD_FAILURE() << name << " was not written";
    return {};
}

TEST(Unpack, PrintsEveryPhaseAndWritesEachFile)
{
    const auto archive = build_archive({{"b/c/one.txt", "12345"}, {"B/two.txt", "abcde"}, {"three.txt", "0123456789"}});
    const Unpacked all = unpack(archive.bytes, L"", nullptr, nullptr, [](const std::wstring& out) {
        tarvo::test::write_bytes(tarvo::join_path(out, L"three.txt"), Image(100, 'x'));  // longer than the entry
    });
    EXPECT_EQ(all.error, L"");
    EXPECT_EQ(all.out, L"Setting up extract list...\nReading file structure...\n"
                       L"Creating directory structure. Please wait, it may take a while\n"
                       L"Creating: B/\nCreating: b/c/\n\nCollecting size data...\n\nExtracting files...\n"
                       L" 25.00%: b/c/one.txt\n 50.00%: B/two.txt\n100.00%: three.txt\nDone!\n");
    EXPECT_EQ(file_at(all, "b/c/one.txt"), "12345");  // b/ made on the way to b/c/
    EXPECT_EQ(file_at(all, "three.txt"), "0123456789");

    // Selection ignores case; what isn't selected gets no file.
    const Unpacked some = unpack(archive.bytes, L" b/* ;");
    EXPECT_NE(some.out.find(L"Extract patterns set to: ^(b/.+?)$\nReading"), std::wstring::npos);
    EXPECT_NE(some.out.find(L" 50.00%: b/c/one.txt\n100.00%: B/two.txt\nDone!"), std::wstring::npos);
    EXPECT_EQ(some.tree.count("three.txt"), 0u);

    // "\\" separates directories on every platform, so both write the same tree, on either loop.
    WorkerPool pool(2);
    for (WorkerPool* on : {static_cast<WorkerPool*>(nullptr), &pool}) {
        const Unpacked backslash = unpack(build_archive({{"d\\e\\f.txt", "x"}, {"d/g", "y"}}).bytes, L"", on);
        EXPECT_EQ(backslash.tree, (std::map<std::string, std::string>{{"d/", ""}, {"d/e/", ""}, {"d/e/f.txt", "x"}, {"d/g", "y"}}));
    }

    // Only empty files: the total is 0 and the line shows 100.00.
    const Unpacked empty = unpack(build_archive({{"e", ""}}).bytes);
    EXPECT_NE(empty.out.find(L"\n100.00%: e\n"), std::wstring::npos);
    EXPECT_EQ(file_at(empty, "e"), "");
}

TEST(Unpack, RefusesUnsafeNamesBeforeCreatingAnything)
{
    for (const char* name : {"", "/etc/x", "\\x", "c:x", "a/b:c", "..", "../x", "a/../../x", "a\\..\\x", "d/", "d\\"}) {
        const Unpacked r = unpack(build_archive({{"safe", "s"}, {name, "evil"}}).bytes);
        EXPECT_EQ(r.error, tarvo::quoted(L"Unsafe file name in archive ", tarvo::from_utf8(name)));
        EXPECT_FALSE(r.made_output) << name;
    }
    // An unsafe entry that isn't selected does not stop the others.
    const Unpacked selected = unpack(build_archive({{"../x", "evil"}, {"ok", "fine"}}).bytes, L"ok");
    EXPECT_EQ(selected.error, L"");
    EXPECT_EQ(selected.tree, (std::map<std::string, std::string>{{"ok", "fine"}}));

    for (const wchar_t* name : {L"..a", L".hidden/x", L"a b/c", L"x.y/z"}) EXPECT_FALSE(is_unsafe_archive_name(name)) << name;
    // Windows can't create these, so there they stop the run before anything exists; Linux keeps them.
    const Unpacked odd = unpack(build_archive({{"safe", "s"}, {"d/q?.txt", "odd"}}).bytes);
    if (tarvo::kPathSeparator == L'\\') {
        EXPECT_EQ(odd.error, L"Unsafe file name in archive \"d/q?.txt\"");
        EXPECT_FALSE(odd.made_output);
    } else {
        EXPECT_EQ(odd.tree, (std::map<std::string, std::string>{{"d/", ""}, {"d/q?.txt", "odd"}, {"safe", "s"}}));
    }
    for (const wchar_t* name : {L"CON", L"nul.txt", L"Com1", L"lpt9.a.b", L"a.", L"a ", L"a<b", L">", L"\"x", L"|", L"a*", L"\x1f", L"\t"})
        EXPECT_TRUE(tarvo::is_windows_unsafe_component(name)) << name;
    for (const wchar_t* name : {L"CONSOLE", L"com0", L"com10", L"x.con"}) EXPECT_FALSE(tarvo::is_windows_unsafe_component(name)) << name;
}

// Unpacked beside itself, an archive refuses an entry that would be the archive or its journal,
// before anything is written; an entry of that name in another directory is fine.
TEST(Unpack, NeverWritesOverItsOwnArchiveOrJournal)
{
    WorkerPool pool(2);
    tarvo::test::ScratchDir dir;
    const std::wstring archive = dir / L"a.qar";
    const std::pair<const char*, std::wstring> cases[] = {{"a.qar", L"archive " + tarvo::quoted(L"", archive)},
                                                          {"a.qar.journal", L"journal " + tarvo::quoted(L"", archive + L".journal")},
                                                          {"a.qar.journal.tmp", L"journal " + tarvo::quoted(L"", archive + L".journal.tmp")}};
    for (const auto& [name, what] : cases) {
        const auto image = build_archive({{"first/one", "1"}, {"sub/a.qar.journal", "2"}, {name, "evil"}}).bytes;
        tarvo::test::write_bytes(archive, image);
        tarvo::console::Capture capture;
        const std::wstring error = [&]() -> std::wstring {
            try { unpack_archive(archive, dir / L".", L"", pool); } catch (const tarvo::wruntime_error& e) { return e.message(); }
            return L"(no error)";
        }();
        EXPECT_EQ(error, tarvo::quoted(L"Archive entry ", tarvo::from_utf8(name)) + L" would overwrite the " + what);
        EXPECT_TRUE(tarvo::test::read_bytes(archive) == std::string(image.begin(), image.end()));
        EXPECT_FALSE(fs::exists(tarvo::to_fs_path(dir / L"first"))) << name;
    }
    tarvo::test::write_bytes(archive, build_archive({{"sub/a.qar", "3"}, {"sub/a.qar.journal", "2"}}).bytes);
    tarvo::console::Capture capture;
    unpack_archive(archive, dir / L".", L"", pool);
    EXPECT_EQ(tarvo::test::read_bytes(dir / L"sub/a.qar.journal"), "2");
}

TEST(Unpack, DamagedDataStopsWithProblemDecompressing)
{
    const auto good = build_archive({{"first", "kept"}, {"z", std::string(3000, 'a')}, {"r", "hi"}});
    const std::size_t z_data = good.entries[1].data_offset, r_block = good.block_table_offset() + 2 * 2;
    const std::tuple<const char*, const char*, std::function<void(Image&)>> cases[] = {
        {"zlib stream damaged", "z", [&](Image& b) { b[z_data + 3] ^= 0x55; }},
        {"inflates to more than the size", "z", [&](Image& b) { tarvo::put_le<std::uint64_t>(&b[good.entry_offset(1) + 8], 2999); }},
        {"inflates to less than the size", "z", [&](Image& b) { tarvo::put_le<std::uint64_t>(&b[good.entry_offset(1) + 8], 3001); }},
        {"raw block longer than the file", "r", [&](Image& b) {  // readable: bytes follow before the trailer
             tarvo::put_le<std::uint16_t>(b.data() + r_block, 0);
             b.insert(b.end() - 16, kBlockSize, 0);
         }},
        {"data cut short", "r", [&](Image& b) { b.resize(b.size() - 17); }},
    };
    WorkerPool pool(2);
    for (const auto& [label, file, patch] : cases) {
        for (WorkerPool* decoders : {static_cast<WorkerPool*>(nullptr), &pool}) {
            SCOPED_TRACE(testing::Message() << label << (decoders ? " on the pool" : ""));
            Image image = good.bytes;
            patch(image);
            const Unpacked r = unpack(image, L"", decoders);
            EXPECT_EQ(r.error, L"Problem decompressing file " + at_out(tarvo::from_utf8(file)));
            EXPECT_EQ(r.tree.at("first"), "kept");
            EXPECT_EQ(r.tree.at(file), "");  // nothing that wasn't read and decoded in full
        }
    }
}

TEST(Unpack, FileSystemFailuresAreReported)
{
    WorkerPool pool(2);
    tarvo::test::ScratchDir dir;
    const auto archive = build_archive({{"d/x", "1"}, {"d", "2"}});
    tarvo::test::write_bytes(dir / L"a.qar", archive.bytes);
    const auto failure = [&](const wchar_t* archive_name, const wchar_t* output_dir, const wchar_t* patterns = L"") {
        tarvo::console::Capture capture;
        try {
            unpack_archive(dir / archive_name, dir / output_dir, patterns, pool);
        } catch (const tarvo::wruntime_error& e) {
            return e.message();
        }
        return std::wstring(L"no error");
    };
    EXPECT_EQ(failure(L"missing.qar", L"out"), tarvo::quoted(L"Cannot open input file ", dir / L"missing.qar"));
    EXPECT_EQ(failure(L"a.qar", L"no/out"), L"Couldn't create directory '" + (dir / L"no/out") + L"'");
    EXPECT_THROW(failure(L"missing.qar", L"out", L"[abc"), std::regex_error);  // before anything is touched
    EXPECT_EQ(unpack(archive.bytes).error, tarvo::quoted(L"Cannot create output file ", at_out(L"d")));

    // A file where a needed directory belongs, and one where its parent belongs.
    const Prepare file_d = [](const std::wstring& out) { tarvo::test::write_bytes(tarvo::join_path(out, L"d"), Image{}); };
    EXPECT_EQ(unpack(archive.bytes, L"d/*", nullptr, nullptr, file_d).error, at_out(L"d/") + L" is a file, not a directory!");
    EXPECT_EQ(unpack(build_archive({{"d/e/f", ""}}).bytes, L"", nullptr, nullptr, file_d).error,
              L"Couldn't create directory '" + at_out(L"d/e") + L"'");
}

// 200 small files, some empty, in a few directories, one name twice; some at block boundaries; two
// large ones that span many batches, their blocks alternating between compressible and not.
std::vector<ArchiveFile> random_tree(unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<ArchiveFile> files;
    for (int i = 0; i < 200; ++i) {
        const std::string dir = "d" + std::to_string(random() % 4) + (random() % 3 == 0 ? "/sub/" : "/");
        const std::size_t size = random() % 5 == 0 ? 0 : random() % 4000;
        const std::uint32_t seed = random();
        files.push_back({dir + "f" + std::to_string(i) + (i % 2 == 0 ? ".txt" : ".bin"), tarvo::test::random_bytes(size, seed, "rt"[seed % 2])});
    }
    files.push_back({files[7].name, "again"});
    for (std::size_t size : {65535, 65536, 65537, 5 * 65536 + 3}) files.push_back({"edge/" + std::to_string(size), std::string(size, 'z')});
    for (int i = 0; i < 2; ++i) {
        std::string content;
        const std::size_t size = 2'600'000 + random() % 70000;
        while (content.size() < size)
            content += tarvo::test::random_bytes(std::min<std::size_t>(65536, size - content.size()), random(), "tr"[content.size() % 131072 != 0]);
        files.insert(files.begin() + static_cast<std::ptrdiff_t>(random() % files.size()), {"large/" + std::to_string(i), content});
    }
    return files;
}

// With every limit the pipeline prints, fails and writes as the one-by-one loop: the same files, but
// the failing one may hold more, yet only a prefix of its content (in `files`, unless the data was
// damaged where it still decodes). Returns the error.
std::wstring expect_same_as_one_by_one(std::span<const std::uint8_t> image, const std::vector<ArchiveFile>* files,
                                       WorkerPool& pool, const std::wstring& patterns = L"", const Prepare& prepare = {})
{
    const Unpacked expected = unpack(image, patterns, nullptr, &kDefault, prepare);
    for (const PipelineLimits* limits : {&kDefault, &kSmall, &kSingleBlocks}) {
        SCOPED_TRACE(testing::Message() << "patterns " << patterns << ", batch " << limits->batch_bytes);
        const Unpacked parallel = unpack(image, patterns, &pool, limits, prepare);
        EXPECT_EQ(parallel.error, expected.error);
        EXPECT_EQ(parallel.out, expected.out);
        EXPECT_EQ(parallel.tree.size(), expected.tree.size());
        for (const auto& entry : expected.tree) {
            const auto& [name, content] = entry;
            const auto written = parallel.tree.find(name);
            if (written == parallel.tree.end()) {
                ADD_FAILURE() << name << " missing";
            } else if (written->second != content) {
                // The loop writes whole 2 MiB pieces, the pipeline every block before the damage.
                EXPECT_NE(expected.error.find(tarvo::from_utf8(name)), std::wstring::npos) << name;
                EXPECT_TRUE(written->second.starts_with(content)) << name;
                if (files == nullptr) continue;
                const auto source = std::find_if(files->begin(), files->end(), [&](const auto& f) { return f.name == entry.first; });
                EXPECT_TRUE(source != files->end() && source->content.starts_with(written->second)) << name;
            }
        }
    }
    return expected.error;
}

TEST(ParallelUnpack, WritesWhatTheOneByOneLoopWrites)
{
    WorkerPool pool(2);
    const std::vector<ArchiveFile> files = random_tree(1);
    const Image image = build_archive(files).bytes;
    for (const wchar_t* patterns : {L"", L"d1/*;LARGE/1;*.TXT"}) EXPECT_EQ(expect_same_as_one_by_one(image, &files, pool, patterns), L"");

    // The mode writes every file (the later entry where two share a name), and the same on the run's pool.
    const Unpacked mode = unpack(image), mode_on_pool = unpack(image, L"", &pool);
    EXPECT_EQ(mode_on_pool.out, mode.out);
    EXPECT_TRUE(mode_on_pool.tree == mode.tree);
    std::map<std::string, std::string> contents;
    for (const ArchiveFile& file : files) contents[file.name] = file.content;
    for (const auto& [name, content] : contents) EXPECT_TRUE(mode.tree.count(name) && mode.tree.at(name) == content) << name;

    // With every worker busy elsewhere the main thread decodes each batch itself; the tasks that
    // lost their claim run later and must not touch the batches, long gone by then.
    const Unpacked expected = unpack(image, L"", nullptr, &kSmall);
    WorkerPool busy(1);
    std::promise<void> release;
    busy.submit([gate = release.get_future().share()](int) {
        gate.wait();
        return true;
    });
    const Unpacked parallel = unpack(image, L"", &busy, &kSmall);
    release.set_value();
    busy.shutdown();
    EXPECT_EQ(parallel.out, expected.out);
    EXPECT_TRUE(parallel.tree == expected.tree);
}

TEST(ParallelUnpack, FailsAtTheSameEntryAsTheOneByOneLoop)
{
    WorkerPool pool(2);
    // The damaged file's data comes last, so that a longer block or a moved offset makes it
    // share no bytes with another file (the reader refuses that before any decoding).
    std::vector<ArchiveFile> files = random_tree(4);
    const auto first_large = std::find_if(files.begin(), files.end(), [](const auto& f) { return f.name.starts_with("large/"); });
    std::rotate(first_large, first_large + 1, files.end());
    const auto good = build_archive(files);
    const std::size_t large = files.size() - 1;
    const std::size_t data_offset_field = good.entry_offset(large) + 16;
    const auto& entry = good.entries[large];
    std::size_t late_block = entry.data_offset;  // a compressed block past the loop's first 2 MiB write
    for (std::uint32_t j = 0; j < 34 || good.block_table[entry.first_block + j] == 0; ++j)
        late_block += stored_length(good.block_table[entry.first_block + j]);
    const std::size_t last_block = good.block_table_offset() + 2 * (entry.first_block + block_count(entry.size) - 1);
    const std::pair<const char*, std::function<void(Image&)>> cases[] = {
        {"zlib stream damaged late in a large file", [&](Image& b) { b[late_block + 5] ^= 0x5A; }},
        {"raw block longer than the file", [&](Image& b) { tarvo::put_le<std::uint16_t>(b.data() + last_block, 0); }},
        {"data beyond the end", [&](Image& b) { tarvo::put_le<std::uint64_t>(b.data() + data_offset_field, b.size() - 100); }},
        {"data where no seek reaches", [&](Image& b) { tarvo::put_le<std::uint64_t>(b.data() + data_offset_field, ~0ull >> 1); }},
        {"archive cut short in a raw block",
         [&](Image& b) { b.resize(entry.data_offset + stored_length(good.block_table[entry.first_block]) + 1000); }},
    };
    for (const auto& [label, damage] : cases) {
        SCOPED_TRACE(label);
        Image image = good.bytes;
        damage(image);
        EXPECT_NE(expect_same_as_one_by_one(image, &files, pool), L"");
    }
    const std::wstring large_name = tarvo::from_utf8(files[large].name);
    EXPECT_EQ(expect_same_as_one_by_one(good.bytes, &files, pool, L"", [&](const std::wstring& out) {
                  fs::create_directories(tarvo::to_fs_path(tarvo::join_path(out, large_name)));
              }),
              tarvo::quoted(L"Cannot create output file ", at_out(large_name)));

    // Random damage to the file data only.
    std::mt19937 random(77);
    for (int round = 0; round < 4; ++round) {
        Image image = good.bytes;
        for (int flips = 0; flips < 3; ++flips) image[good.metadata_size + random() % (image.size() - good.metadata_size)] ^= 0xFF;
        expect_same_as_one_by_one(image, nullptr, pool);
    }
}

}  // namespace
}  // namespace qar::format
