// The block reader through its three sinks (files, the check's comparison, one entry) at block
// and batch boundaries, sound and damaged early or late in a file of many batches.
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
using tarvo::test::build_archive, tarvo::test::error_of, tarvo::test::kNoError;

const ReadLimits kSmall{70000, 5, 300000};  // a few MB cross many batches, the reader waits for the sink
const ReadLimits kSingleBlocks{1, 1, 0};    // the smallest possible run

struct Handed {
    std::wstring error;                             // that ended the file sink's run; the scratch folder shown as "<d>"
    std::vector<std::optional<std::string>> files;  // out<k>, where the file sink made it
    std::wstring check_error;
    std::vector<std::wstring> verdicts;             // the check's, in order: "", "differs" or the damaged block
    std::wstring entry_error;                       // of entry `one` alone into one.bin
    std::string entry;                              // what it wrote there
};

// Every entry through the file sink, then through the check's, entry `one` against a loose file
// holding `loose`, then entry `one` alone.
Handed run(const std::vector<std::uint8_t>& image, const ReadLimits& limits, WorkerPool& pool, std::size_t one, const std::string& loose)
{
    tarvo::test::ScratchDir dir;
    const std::wstring root = tarvo::from_fs_path(dir.path);
    const auto shown = [&](std::wstring text) {
        if (const auto at = text.find(root); at != std::wstring::npos) text.replace(at, root.size(), L"<d>");
        return text;
    };
    tarvo::test::write_bytes(dir / L"a.qar", image);
    tarvo::test::write_bytes(dir / L"loose", loose);
    tarvo::File archive(dir / L"a.qar", tarvo::File::Mode::read);
    const ArchiveMetadata metadata = read_metadata(archive);
    const auto out = [&](std::size_t k) { return dir / (L"out" + std::to_wstring(k)); };
    Handed r;
    FileSink files(out);
    r.error = shown(error_of([&] { read_blocks(archive, metadata.entries, metadata.block_table, pool, files, limits); }));
    for (std::size_t k = 0; k < metadata.entries.size(); ++k)
        r.files.push_back(fs::exists(tarvo::to_fs_path(out(k))) ? std::optional(tarvo::test::read_bytes(out(k))) : std::nullopt);
    std::vector<BlockJob> jobs;
    for (std::size_t k = 0; k < metadata.entries.size(); ++k) jobs.push_back({k, k == one ? dir / L"loose" : L""});
    r.check_error = shown(error_of([&] {
        verify_blocks(archive, metadata, jobs, pool, [&](const BlockJob&, const BlockVerdict& v) {
            r.verdicts.push_back(v.damaged_block ? std::to_wstring(*v.damaged_block) : v.differs ? L"differs" : L"");
        }, limits);
    }));
    r.entry_error = shown(error_of([&] { extract_entry(archive, dir / L"one.bin", metadata.entries[one], metadata.block_table, pool); }));
    r.entry = tarvo::test::read_bytes(dir / L"one.bin");
    return r;
}

// Empty files and files at block boundaries among many small ones, and two of 41 blocks, blocks
// alternating between compressible and not, one in the middle and one last.
std::vector<tarvo::test::ArchiveFile> corpus()
{
    std::mt19937 random(1);
    std::vector<tarvo::test::ArchiveFile> files;
    for (std::size_t size : {0, 1, 65535, 65536, 65537}) files.push_back({std::to_string(size), tarvo::test::random_bytes(size, random())});
    for (int i = 0; i < 80; ++i) files.push_back({"f" + std::to_string(i), tarvo::test::random_bytes(random() % 4 ? random() % 4000 : 0, random(), "rt"[i % 2])});
    for (const std::size_t at : {files.size() / 2, files.size() + 1}) {
        std::string content;
        const std::size_t size = 2'630'000 + random() % 50000;  // 41 blocks, the last one compressed
        while (content.size() < size)
            content += tarvo::test::random_bytes(std::min<std::size_t>(65536, size - content.size()), random(), "tr"[content.size() % 131072 != 0]);
        files.insert(files.begin() + static_cast<std::ptrdiff_t>(at), {"large" + std::to_string(at), content});
    }
    return files;
}

// Sound, every sink hands every entry over whole. Damage early or late in a file of many batches
// ends that file at the block where it lies: the file sink has written every block before it and
// makes no later file, the check goes on to the next entry. Data that can't be read ends the run.
TEST(BlockReader, HandsEntriesOverInOrderAndStopsAFileAtItsFirstDamagedOrUnreadBlock)
{
    const std::vector<tarvo::test::ArchiveFile> files = corpus();
    const tarvo::test::BuiltArchive built = build_archive(files);
    const auto mid = static_cast<std::size_t>(std::find_if(files.begin(), files.end(), [](auto& f) { return f.name.starts_with("large"); }) - files.begin());
    const std::size_t last = files.size() - 1;
    const auto block_at = [&](std::size_t k, std::uint32_t j) {
        std::size_t at = built.entries[k].data_offset;
        for (std::uint32_t i = 0; i < j; ++i) at += stored_length(built.block_table[built.entries[k].first_block + i]);
        return at;
    };
    const auto field = [&](std::size_t k, std::size_t offset) { return built.entry_offset(k) + offset; };  // size at 8, data_offset at 16
    const std::size_t last_block = built.block_table_offset() + kBlockSizeField * (built.block_table.size() - 1);
    enum Kind { sound, damaged, unread, unreachable };
    const struct {
        const char* label;
        std::function<void(std::vector<std::uint8_t>&)> damage;
        std::size_t entry;
        std::uint32_t block;
        Kind kind;
    } cases[] = {
        {"sound", [](auto&) {}, last, 0, sound},
        {"zlib stream damaged in the first batch", [&](auto& b) { b[block_at(mid, 2) + 5] ^= 0x5A; }, mid, 2, damaged},
        {"zlib stream damaged in a later batch", [&](auto& b) { b[block_at(mid, 34) + 5] ^= 0x5A; }, mid, 34, damaged},
        {"inflates to less than the size", [&](auto& b) { tarvo::put_le<std::uint64_t>(&b[field(last, 8)], built.entries[last].size + 1); }, last, 40, damaged},
        {"inflates to more than the size", [&](auto& b) { tarvo::put_le<std::uint64_t>(&b[field(last, 8)], built.entries[last].size - 1); }, last, 40, damaged},
        {"raw block longer than the file, archive bytes after it", [&](auto& b) {
             tarvo::put_le<std::uint16_t>(&b[last_block], 0);
             b.insert(b.end() - kTrailerSize, kBlockSize, 0);
         }, last, 40, damaged},
        {"archive cut short in a raw block", [&](auto& b) { b.resize(block_at(last, 1) + 1000); }, last, 1, unread},
        {"data beyond the end", [&](auto& b) { tarvo::put_le<std::uint64_t>(&b[field(last, 16)], b.size() - 100); }, last, 0, unread},
        {"data where no seek reaches", [&](auto& b) { tarvo::put_le<std::uint64_t>(&b[field(last, 16)], ~0ull >> 1); }, last, 0, unreachable},
    };
    WorkerPool pool(2), busy(1);
    // With every worker busy elsewhere the main thread decodes each batch itself; the tasks that
    // lost their claim run later and must not touch the batches, long gone by then.
    std::promise<void> release;
    busy.submit([gate = release.get_future().share()](int) { return gate.wait(), true; });
    for (const auto& c : cases) {
        auto image = built.bytes;
        c.damage(image);
        const std::wstring problem = L"Problem decompressing file " + tarvo::join_path(L"<d>", L"out" + std::to_wstring(c.entry));
        for (const auto& [limits, workers] : {std::pair{ReadLimits{}, &pool}, {kSmall, &pool}, {kSingleBlocks, &pool}, {kSmall, &busy}}) {
            SCOPED_TRACE(testing::Message() << c.label << ", batch " << limits.batch_bytes << ", workers " << workers->worker_count());
            const Handed r = run(image, limits, *workers, c.entry, files[c.entry].content);
            EXPECT_EQ(r.error, c.kind == sound ? kNoError : problem);
            for (std::size_t k = 0; k < files.size(); ++k) {  // whole before the damage, cut at it, none after
                std::optional<std::string> want;
                if (k < c.entry || c.kind == sound) want = files[k].content;
                if (k == c.entry && (c.kind == damaged || c.kind == unread)) want = files[k].content.substr(0, c.block * kBlockSize);
                EXPECT_TRUE(r.files[k] == want) << k;
            }
            std::vector<std::wstring> verdicts(c.kind == sound || c.kind == damaged ? files.size() : c.entry);
            if (c.kind == damaged) verdicts[c.entry] = std::to_wstring(c.block);
            EXPECT_EQ(r.verdicts, verdicts);
            EXPECT_EQ(r.check_error, c.kind == unread || c.kind == unreachable
                                         ? tarvo::quoted(L"Cannot read input file ", tarvo::join_path(L"<d>", L"a.qar")) : kNoError);
            EXPECT_EQ(r.entry_error, c.kind == sound ? kNoError : L"Problem decompressing file " + tarvo::join_path(L"<d>", L"one.bin"));
            EXPECT_TRUE(r.entry == r.files[c.entry].value_or(""));  // alone as among the others
        }
    }
    release.set_value();
    // A loose file that got shorter since the scan.
    EXPECT_EQ(run(built.bytes, {}, pool, last, files[last].content.substr(0, 65536)).verdicts[last], L"differs");
}

}  // namespace
}  // namespace qar::format
