// Unpacking on the pool against the one-by-one loop: same lines, same tree, same failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/cli/pattern_list.hpp"
#include "qar/cli/worker_pool.hpp"
#include "qar/format/directory_tree.hpp"
#include "qar/format/parallel_unpack.hpp"
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

// Small batches and a small window, so a tree of a few MB crosses many batch boundaries and the
// reader has to wait for the writer; and the smallest possible pipeline.
const PipelineLimits kDefault{};
const PipelineLimits kSmall{70000, 5, 300000};
const PipelineLimits kSingleBlocks{1, 1, 0};

struct Outcome {
    std::wstring out;                          // the lines of the extraction
    std::wstring error;                        // the message that ended it, if any
    std::map<std::string, std::string> tree;  // what is below the output directory; directories end in "/"
};

// Runs the unpack's steps up to the extraction, then one of the two loops (parallel when a pool
// is given). `prepare` can put things in the output directory first.
Outcome extract(std::span<const std::uint8_t> image, WorkerPool* pool, const PipelineLimits& limits = kDefault,
                const std::wstring& patterns = L"", const std::function<void(const std::wstring&)>& prepare = {})
{
    tarvo::test::ScratchDir dir;
    tarvo::test::write_bytes(dir.path(L"a.qar"), image);
    const std::wstring output_dir = dir.path(L"out");
    std::filesystem::create_directories(tarvo::to_fs_path(output_dir));
    if (prepare) prepare(output_dir);
    Outcome outcome;
    {
        tarvo::console::Capture capture;
        tarvo::File archive(dir.path(L"a.qar"), tarvo::File::Mode::read);
        const ArchiveMetadata metadata = read_metadata(archive);
        const auto selection = select_entries(metadata, set_up_pattern_list(PatternListKind::extract, patterns));
        create_directory_tree(output_dir, selection, false);
        std::uint64_t total = 0;
        for (const SelectedEntry& selected : selection) total += metadata.entries[selected.index].size;
        try {
            if (pool != nullptr)
                extract_in_parallel(archive, metadata, selection, output_dir, total, *pool, limits);
            else
                extract_one_by_one(archive, metadata, selection, output_dir, total);
        } catch (const tarvo::wruntime_error& e) {
            outcome.error = e.message();  // with the output directory as "<out>": each run has its own
            if (const auto at = outcome.error.find(output_dir); at != std::wstring::npos)
                outcome.error.replace(at, output_dir.size(), L"<out>");
        }
        outcome.out = capture.out;
    }
    const std::filesystem::path root = tarvo::to_fs_path(output_dir);
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        const std::string name = item.path().lexically_relative(root).generic_string();
        if (item.is_directory())
            outcome.tree[name + "/"];
        else
            outcome.tree[name] = tarvo::test::read_bytes(tarvo::from_fs_path(item.path()));
    }
    return outcome;
}

std::string random_bytes(std::mt19937& random, std::size_t size, bool text)
{
    std::string bytes(size, '\0');
    for (char& c : bytes) c = text ? "abcde \n"[random() % 7] : static_cast<char>(random());
    return bytes;
}

// Many small files, some empty, in a few directories; a few large ones that span several
// batches, their blocks alternating between compressible and not; one name twice.
std::vector<ArchiveFileSpec> random_tree(unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<ArchiveFileSpec> files;
    for (int i = 0; i < 200; ++i) {
        const std::string dir = "d" + std::to_string(random() % 4) + (random() % 3 == 0 ? "/sub/" : "/");
        const std::size_t size = random() % 5 == 0 ? 0 : random() % 4000;
        const std::string name = dir + "f" + std::to_string(i) + (i % 2 == 0 ? ".txt" : ".bin");
        files.push_back({name, random_bytes(random, size, random() % 2 == 0)});
    }
    files.push_back({files[7].name, "again"});
    for (int i = 0; i < 3; ++i) {
        std::string content;
        const std::size_t size = 2'600'000 + random() % 70000;
        while (content.size() < size) {
            const bool text = content.size() % 131072 == 0;
            content += random_bytes(random, std::min<std::size_t>(65536, size - content.size()), text);
        }
        const auto at = files.begin() + static_cast<std::ptrdiff_t>(random() % files.size());
        files.insert(at, {"large/" + std::to_string(i), content});
    }
    return files;
}

TEST(ParallelUnpack, WritesWhatTheOneByOneLoopWrites)
{
    WorkerPool pool(2);
    for (unsigned seed : {1u, 2u}) {
        const auto archive = build_archive(random_tree(seed));
        for (const wchar_t* patterns : {L"", L"d1/*;LARGE/1;*.TXT"}) {
            const Outcome expected = extract(archive.bytes, nullptr, kDefault, patterns);
            ASSERT_EQ(expected.error, L"");
            for (const PipelineLimits* limits : {&kDefault, &kSmall, &kSingleBlocks}) {
                SCOPED_TRACE(testing::Message() << "seed " << seed << ", patterns " << patterns << ", batch "
                                                << limits->batch_bytes);
                const Outcome parallel = extract(archive.bytes, &pool, *limits, patterns);
                EXPECT_EQ(parallel.error, L"");
                EXPECT_EQ(parallel.out, expected.out);
                EXPECT_TRUE(parallel.tree == expected.tree);
            }
        }
    }

    const auto archive = build_archive(random_tree(3));
    const Outcome expected = extract(archive.bytes, nullptr);

    // With every worker busy elsewhere the main thread decodes each batch itself; the tasks that
    // lost their claim run later and must not touch the batches, long gone by then.
    {
        WorkerPool busy(1);
        std::promise<void> release;
        busy.submit([gate = release.get_future().share()](int) {
            gate.wait();
            return true;
        });
        const Outcome parallel = extract(archive.bytes, &busy, kSmall);
        release.set_value();
        busy.shutdown();
        EXPECT_EQ(parallel.out, expected.out);
        EXPECT_TRUE(parallel.tree == expected.tree);
    }

    // The mode takes the run's pool when there is one, and prints the same from start to end.
    tarvo::test::ScratchDir dir;
    tarvo::test::write_bytes(dir.path(L"a.qar"), archive.bytes);
    std::wstring printed[2];
    for (WorkerPool* run_pool : {static_cast<WorkerPool*>(nullptr), &pool}) {
        worker_pool = run_pool;
        tarvo::console::Capture capture;
        unpack_archive(dir.path(L"a.qar"), dir.path(run_pool != nullptr ? L"parallel" : L"one"), L"");
        printed[run_pool != nullptr ? 1 : 0] = capture.out;
    }
    worker_pool = nullptr;
    EXPECT_EQ(printed[1], printed[0]);
}

// Both loops stop at the same entry with the same message; what's before it is the same, nothing
// after it exists, and the failing file holds nothing but a prefix of its content (`files`,
// when the data wasn't changed where it still decodes).
// Returns the message.
std::wstring expect_same_failure(std::span<const std::uint8_t> image, const std::vector<ArchiveFileSpec>* files,
                                 WorkerPool& pool, const std::function<void(const std::wstring&)>& prepare = {})
{
    const Outcome expected = extract(image, nullptr, kDefault, L"", prepare);
    for (const PipelineLimits* limits : {&kDefault, &kSmall, &kSingleBlocks}) {
        SCOPED_TRACE(testing::Message() << "batch " << limits->batch_bytes);
        const Outcome parallel = extract(image, &pool, *limits, L"", prepare);
        EXPECT_EQ(parallel.error, expected.error);
        EXPECT_EQ(parallel.out, expected.out);
        if (parallel.tree.size() != expected.tree.size()) {
            ADD_FAILURE() << "not the same files";
            continue;
        }
        for (const auto& item : expected.tree) {
            const std::string& name = item.first;
            const std::string& content = item.second;
            SCOPED_TRACE(name);
            if (parallel.tree.count(name) == 0) {
                ADD_FAILURE() << "missing";
                continue;
            }
            const std::string& written = parallel.tree.at(name);
            if (written == content) continue;
            // Only the failing file may differ: the loop wrote whole 2 MiB pieces of it, the
            // pipeline every block decoded before the damaged one.
            EXPECT_NE(expected.error.find(tarvo::from_utf8(name)), std::wstring::npos);
            EXPECT_TRUE(written.starts_with(content));
            if (files == nullptr) continue;
            const auto source = std::find_if(files->begin(), files->end(), [&](const auto& f) { return f.name == name; });
            EXPECT_TRUE(source != files->end() && source->content.starts_with(written));
        }
    }
    return expected.error;
}

TEST(ParallelUnpack, FailsAtTheSameEntryAsTheOneByOneLoop)
{
    WorkerPool pool(2);
    const std::vector<ArchiveFileSpec> files = random_tree(4);
    const auto good = build_archive(files);
    const std::size_t large = static_cast<std::size_t>(std::find_if(files.begin(), files.end(), [](const auto& f) {
                                                            return f.name.starts_with("large/");
                                                        }) - files.begin());
    const std::wstring large_name = tarvo::from_utf8(files[large].name);
    const std::size_t block_sizes = good.block_table_offset();
    const std::size_t data_offset_field = good.entry_offset(large) + 16;
    const auto& entry = good.entries[large];
    std::size_t late_block = entry.data_offset;  // a compressed block past the loop's first 2 MiB write
    for (std::uint32_t j = 0; j < 34 || good.block_table[entry.first_block + j] == 0; ++j)
        late_block += stored_length(good.block_table[entry.first_block + j]);

    const std::vector<std::pair<const char*, std::function<void(std::vector<std::uint8_t>&)>>> cases = {
        {"zlib stream damaged late in a large file", [&](auto& b) { b[late_block + 5] ^= 0x5A; }},
        {"raw block longer than the file", [&](auto& b) {
             const std::size_t last = entry.first_block + block_count(entry.size) - 1;
             tarvo::put_le<std::uint16_t>(b.data() + block_sizes + 2 * last, 0);
         }},
        {"data beyond the end", [&](auto& b) { tarvo::put_le<std::uint64_t>(b.data() + data_offset_field, b.size() - 100); }},
        {"data where no seek reaches", [&](auto& b) { tarvo::put_le<std::uint64_t>(b.data() + data_offset_field, ~0ull >> 1); }},
        {"archive cut short in a raw block", [&](auto& b) {
             b.resize(entry.data_offset + stored_length(good.block_table[entry.first_block]) + 1000);
         }},
    };
    for (const auto& [label, damage] : cases) {
        SCOPED_TRACE(label);
        std::vector<std::uint8_t> image = good.bytes;
        damage(image);
        EXPECT_NE(expect_same_failure(image, &files, pool), L"");
    }

    {
        SCOPED_TRACE("a directory where a file belongs");
        const std::wstring error = expect_same_failure(good.bytes, &files, pool, [&](const std::wstring& out) {
            std::filesystem::create_directories(tarvo::to_fs_path(tarvo::join_path(out, large_name)));
        });
        EXPECT_EQ(error, tarvo::quoted(L"Cannot create output file ", tarvo::join_path(L"<out>", large_name)));
    }

    // Random damage to the file data, with a fixed seed (damage to raw data only must give
    // the same changed files).
    std::mt19937 random(77);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        std::vector<std::uint8_t> image = good.bytes;
        for (int flips = 0; flips < 3; ++flips)
            image[good.metadata_size + random() % (image.size() - good.metadata_size)] ^= 0xFF;
        expect_same_failure(image, nullptr, pool);
    }
}

TEST(ParallelUnpack, WriteFailureStopsAtThatFile)
{
#ifdef __linux__
    WorkerPool pool(2);
    const std::vector<ArchiveFileSpec> files = {{"a", "small"}, {"big", std::string(3'000'000, 'z')}, {"c", "after"}};
    const auto archive = build_archive(files);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = 1'000'000;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limited);
    const Outcome parallel = extract(archive.bytes, &pool, kSmall);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(parallel.error, tarvo::quoted(L"Cannot write output file ", tarvo::join_path(L"<out>", L"big")));
    EXPECT_EQ(parallel.tree.count("a"), 1u);
    EXPECT_EQ(parallel.tree.count("c"), 0u);
#else
    GTEST_SKIP() << "a file size limit needs Linux";
#endif
}

}  // namespace
}  // namespace qar::format
