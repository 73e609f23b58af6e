// The block reader through its three sinks (files, the check's comparison, one entry).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/byte_order.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/format/block_reader.hpp"
#include "tests/support/archive_builder.hpp"
#include "tests/support/scratch.hpp"

namespace qar::format {
namespace {

namespace fs = std::filesystem;
using tarvo::test::build_archive, tarvo::test::error_of;

const ReadLimits kSmall{70000, 5, 300000};  // a few MB cross many batches, the reader waits for the sink
const ReadLimits kSingleBlocks{1, 1, 0};    // the smallest possible run

enum Kind { sound, differs, differs_at_end, damaged, unread, unreachable };  // the first three: whole
// Where a run stops: entry, block, how (when sound: the entry checked against a loose file).
struct Stop { std::size_t entry; std::uint32_t block; Kind kind; };

// Every entry through the file sink (inside the run, which closes its file as a mode's does: Windows
// reads an open one short), the check's (entry `stop.entry` against a loose file), that entry alone.
void expect_read(const std::vector<std::uint8_t>& image, const std::vector<tarvo::test::ArchiveFile>& files, const Stop& stop,
                 const ReadLimits& limits, WorkerPool& pool)
{
    tarvo::test::ScratchDir dir;
    tarvo::test::write_bytes(dir / L"a.qar", image);
    std::string loose = files[stop.entry].content.substr(0, stop.kind == differs ? kBlockSize : std::string::npos);
    if (stop.kind == differs_at_end) loose.back() ^= 1;
    tarvo::test::write_bytes(dir / L"loose", loose);
    tarvo::File archive(dir / L"a.qar", tarvo::File::Mode::read);
    const ArchiveMetadata metadata = read_metadata(archive);
    const bool whole = stop.kind <= differs_at_end, stops_run = stop.kind == unread || stop.kind == unreachable;
    // What a file holds: whole before the stop, cut at it, nothing made after it.
    const auto want = [&](std::size_t k) -> std::optional<std::string> {
        if (k < stop.entry || whole) return files[k].content;
        if (k == stop.entry && stop.kind != unreachable) return files[k].content.substr(0, stop.block * kBlockSize);
        return std::nullopt;
    };
    const auto made = [](const std::wstring& path) { return fs::exists(tarvo::to_fs_path(path)) ? std::optional(tarvo::test::read_bytes(path)) : std::nullopt; };
    const auto out = [&](std::size_t k) { return dir / (L"out" + std::to_wstring(k)); };
    EXPECT_EQ(error_of([&] { FileSink sink(out); read_blocks(archive, metadata.entries, metadata.block_table, pool, sink, limits); }),
              whole ? std::nullopt : std::optional(L"Problem decompressing file " + out(stop.entry)));
    for (std::size_t k = 0; k < files.size(); ++k) EXPECT_TRUE(made(out(k)) == want(k)) << k;

    std::vector<BlockJob> jobs;
    for (std::size_t k = 0; k < files.size(); ++k) jobs.push_back({k, k == stop.entry ? dir / L"loose" : L""});
    std::vector<std::wstring> verdicts, expected(stops_run ? stop.entry : files.size());
    const auto report = [&](const BlockJob&, const BlockVerdict& v) {
        verdicts.push_back(v.damaged_block ? std::to_wstring(*v.damaged_block) : v.differs ? L"differs" : L"");
    };
    EXPECT_EQ(error_of([&] { verify_blocks(archive, metadata, jobs, pool, report, limits); }),
              stops_run ? std::optional(tarvo::quoted(L"Cannot read input file ", dir / L"a.qar")) : std::nullopt);
    if (stop.kind != sound && !stops_run) expected[stop.entry] = stop.kind == damaged ? std::to_wstring(stop.block) : L"differs";
    EXPECT_EQ(verdicts, expected);

    EXPECT_EQ(error_of([&] { extract_entry(archive, dir / L"one.bin", metadata.entries[stop.entry], metadata.block_table, pool); }),
              whole ? std::nullopt : std::optional(L"Problem decompressing file " + (dir / L"one.bin")));
    EXPECT_TRUE(made(dir / L"one.bin") == want(stop.entry));
}

// Sound, every sink hands every entry over whole. Damage early or late in a file of many batches ends
// that file at its block (no later file is made; the check goes on); data that can't be read ends the run.
TEST(BlockReader, HandsEntriesOverInOrderAndStopsAFileAtItsFirstDamagedOrUnreadBlock)
{
    // Block boundaries among many small files, and two of 41 blocks (alternately compressible) mid and last.
    std::mt19937 random(1);
    std::vector<tarvo::test::ArchiveFile> files;
    for (std::size_t size : {0, 1, 65535, 65536, 65537}) files.push_back({std::to_string(size), tarvo::test::random_bytes(size, random())});
    for (int i = 0; i < 80; ++i) files.push_back({"f" + std::to_string(i), tarvo::test::random_bytes(random() % 4 ? random() % 4000 : 0, random(), "rt"[i % 2])});
    const std::size_t mid = files.size() / 2, last = files.size() + 1;
    for (const std::size_t at : {mid, last}) {
        std::string content;
        const std::size_t size = 2'630'000 + random() % 50000;  // 41 blocks, the last one compressed
        while (content.size() < size)
            content += tarvo::test::random_bytes(std::min<std::size_t>(65536, size - content.size()), random(), "tr"[content.size() % 131072 != 0]);
        files.insert(files.begin() + static_cast<std::ptrdiff_t>(at), {"large" + std::to_string(at), content});
    }
    const tarvo::test::BuiltArchive built = build_archive(files);
    const auto block_at = [&](std::size_t k, std::uint32_t j) {
        std::size_t at = built.entries[k].data_offset;
        for (std::uint32_t i = 0; i < j; ++i) at += stored_length(built.block_table[built.entries[k].first_block + i]);
        return at;
    };
    const auto set_last = [&](auto& b, auto field, std::uint64_t v) { tarvo::test::set_entry(b, built.entries.size(), last, field, v); };
    const std::size_t last_block = built.block_table_offset() + kBlockSizeField * (built.block_table.size() - 1);
    const struct {
        const char* label;
        std::function<void(std::vector<std::uint8_t>&)> damage;
        Stop stop;
    } cases[] = {
        {"sound", [](auto&) {}, {last, 0, sound}},
        {"a loose file shorter than the entry", [](auto&) {}, {last, 0, differs}},
        {"a loose file that differs in its last byte", [](auto&) {}, {last, 0, differs_at_end}},
        {"zlib stream damaged in the first batch", [&](auto& b) { b[block_at(mid, 2) + 5] ^= 0x5A; }, {mid, 2, damaged}},
        {"zlib stream damaged in a later batch", [&](auto& b) { b[block_at(mid, 34) + 5] ^= 0x5A; }, {mid, 34, damaged}},
        {"inflates to less than the size", [&](auto& b) { set_last(b, &FileEntry::size, built.entries[last].size + 1); }, {last, 40, damaged}},
        {"inflates to more than the size", [&](auto& b) { set_last(b, &FileEntry::size, built.entries[last].size - 1); }, {last, 40, damaged}},
        {"raw block longer than the file, archive bytes after it", [&](auto& b) {
             tarvo::put_le<std::uint16_t>(&b[last_block], 0);
             b.insert(b.end() - kTrailerSize, kBlockSize, 0);
         }, {last, 40, damaged}},
        {"archive cut one byte short in a raw block", [&](auto& b) { b.resize(block_at(last, 2) - 1); }, {last, 1, unread}},
        {"data beyond the end", [&](auto& b) { set_last(b, &FileEntry::data_offset, b.size() - 100); }, {last, 0, unread}},
        {"data where no seek reaches", [&](auto& b) { set_last(b, &FileEntry::data_offset, ~0ull >> 1); }, {last, 0, unreachable}},
    };
    WorkerPool pool(2), busy(1);
    // With every worker busy elsewhere the main thread decodes each batch itself; the tasks that
    // lost their claim run later and must not touch the batches, long gone by then.
    std::promise<void> release;
    busy.submit([gate = release.get_future().share()](int) { gate.wait(); });
    for (const auto& c : cases) {
        auto image = built.bytes;
        c.damage(image);
        for (const auto& [limits, workers] : {std::pair{ReadLimits{}, &pool}, {kSmall, &pool}, {kSingleBlocks, &pool}, {kSmall, &busy}}) {
            SCOPED_TRACE(testing::Message() << c.label << ", batch " << limits.batch_bytes << ", workers " << workers->worker_count());
            expect_read(image, files, c.stop, limits, *workers);
        }
    }
    release.set_value();
}

}  // namespace
}  // namespace qar::format
