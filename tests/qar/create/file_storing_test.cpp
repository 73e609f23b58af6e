// Storing the files of an archive: the pipeline writes and reports exactly what the
// one-file-at-a-time path does, on seeded random trees and when a file fails in the middle.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/error.hpp"
#include "common/file.hpp"
#include "qar/create/file_storing.hpp"
#include "scratch.hpp"

namespace qar::create {
namespace {

using testing::Bytes;
using testing::PoolScope;
using testing::ScratchDir;

constexpr std::size_t kBlock = 65536;
constexpr std::size_t kLead = 100;  // bytes before the data, as the tables would be

// What a run produced: the archive's bytes, the files reported (index, data offset, stored
// sizes) in order, and the message it ended with.
struct Outcome {
    Bytes archive;
    std::vector<std::tuple<std::size_t, std::uint64_t, format::BlockSizeList>> reported;
    std::wstring error;
};

using StoreFn = void (*)(std::size_t, const FileSource&, tarvo::File&, DeflateWorkers&, const FileStored&);

Outcome run(StoreFn store, const std::vector<FileToStore>& files, const std::wstring& archive_path, int workers)
{
    PoolScope pool(workers);
    DeflateWorkers deflaters(workers);
    Outcome outcome;
    {
        tarvo::File archive(archive_path, tarvo::File::Mode::read_write_new);
        archive.write(Bytes(kLead, 0xAB));
        const FileStored stored = [&](std::size_t k, std::uint64_t offset, format::BlockSizeList& sizes) {
            outcome.reported.emplace_back(k, offset, sizes);
        };
        try {
            store(files.size(), [&](std::size_t k) { return files.at(k); }, archive, deflaters, stored);
        } catch (const tarvo::wruntime_error& e) {
            outcome.error = e.message();
        }
    }
    outcome.archive = testing::read_file(archive_path);
    return outcome;
}

// Both ways of storing, with the same pool width; they must agree in every respect.
Outcome both_agree(const ScratchDir& dir, const std::vector<FileToStore>& files, int workers)
{
    const Outcome reference = run(&store_files_one_at_a_time, files, dir / L"reference.qar", workers);
    const Outcome pipelined = run(&store_files, files, dir / L"pipelined.qar", workers);
    EXPECT_EQ(pipelined.error, reference.error);
    EXPECT_TRUE(pipelined.reported == reference.reported);
    EXPECT_TRUE(pipelined.archive == reference.archive) << "archives of " << pipelined.archive.size() << " and "
                                                        << reference.archive.size() << " bytes differ";
    return reference;
}

// A tree like a mod's: mostly small files (many of them tiny, so tasks carry several), some
// empty ones, and a few large ones; together far more blocks than the pipeline keeps in flight.
std::vector<FileToStore> random_tree(const ScratchDir& dir, std::uint32_t seed)
{
    std::mt19937 generator(seed);
    std::vector<FileToStore> files;
    const int count = 150 + static_cast<int>(generator() % 100);
    for (int k = 0; k < count; ++k) {
        const std::uint32_t pick = generator() % 100;
        std::size_t size = 0;
        if (pick < 10) {
            size = 0;
        } else if (pick < 70) {
            size = generator() % 2000;
        } else if (pick < 95) {
            size = generator() % (kBlock + kBlock / 2);
        } else if (pick < 98) {
            size = kBlock * (1 + generator() % 3);  // on a block boundary
        } else {
            size = 12 * kBlock + generator() % kBlock;
        }
        const std::uint32_t kind = generator() % 3;
        const Bytes data = kind == 0   ? testing::random_bytes(size, generator())
                           : kind == 1 ? testing::text_bytes(size, generator())
                                       : Bytes(size, static_cast<std::uint8_t>(k));
        const std::wstring path = dir / (L"src/f" + std::to_wstring(k));
        testing::write_file(path, data);
        files.push_back(FileToStore{path, size});
    }
    return files;
}

TEST(FileStoring, PipelineWritesWhatOneFileAtATimeWritesOnRandomTrees)
{
    for (std::uint32_t seed : {1u, 2u, 3u}) {
        ScratchDir dir;
        const std::vector<FileToStore> files = random_tree(dir, seed);
        for (int workers : {1, 2, 3}) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", workers " + std::to_string(workers));
            const Outcome outcome = both_agree(dir, files, workers);
            EXPECT_EQ(outcome.error, L"");
            EXPECT_EQ(outcome.reported.size(), files.size());
        }
    }
}

TEST(FileStoring, FirstFailureInEntryOrderEndsTheRunAfterEverythingBeforeIt)
{
    ScratchDir dir;
    const Bytes big = testing::text_bytes(9 * kBlock + 10, 41);
    const Bytes shrunk = testing::random_bytes(5 * kBlock + 3, 42);
    testing::write_file(dir / L"big", big);
    testing::write_file(dir / L"shrunk", shrunk);
    testing::write_file(dir / L"small", testing::text_bytes(900, 43));
    testing::write_file(dir / L"empty", {});
    testing::write_file(dir / L"after", testing::text_bytes(70 * kBlock, 44));
    const std::wstring missing = dir / L"missing";

    struct Case {
        const char* label;
        std::vector<FileToStore> files;
        std::size_t reported;  // files wholly stored before the failure
        std::wstring error;
    };
    const std::vector<Case> cases = {
        {"missing file after others",
         {{dir / L"big", big.size()}, {dir / L"empty", 0}, {missing, 10}, {dir / L"after", 70 * kBlock}},
         2,
         L"Cannot open input file \"" + missing + L"\""},
        {"missing empty file first",
         {{missing, 0}, {dir / L"small", 900}},
         0,
         L"Cannot open input file \"" + missing + L"\""},
        // Shorter than recorded in its last batch: its earlier batches stay in the archive.
        {"file shrank after the scan",
         {{dir / L"small", 900}, {dir / L"shrunk", shrunk.size() + 1}, {dir / L"after", 70 * kBlock}},
         1,
         L"Cannot read input file \"" + (dir / L"shrunk") + L"\""},
        // A later failure never hides an earlier one.
        {"two failures",
         {{dir / L"small", 900}, {dir / L"small", 901}, {missing, 5}},
         1,
         L"Cannot read input file \"" + (dir / L"small") + L"\""},
    };
    for (const Case& c : cases) {
        for (int workers : {1, 2, 4}) {
            SCOPED_TRACE(std::string(c.label) + ", workers " + std::to_string(workers));
            const Outcome outcome = both_agree(dir, c.files, workers);
            EXPECT_EQ(outcome.error, c.error);
            EXPECT_EQ(outcome.reported.size(), c.reported);
        }
    }
}

}  // namespace
}  // namespace qar::create
