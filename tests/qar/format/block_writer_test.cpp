// The block writer: exact blocks from reused deflate states, both placements, the first failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

#include <zlib.h>

#include "common/error.hpp"
#include "common/file.hpp"
#include "qar/format/block_writer.hpp"
#include "tests/support/archive_builder.hpp"

namespace qar::format {
namespace {

namespace testing = tarvo::test;
using Bytes = std::vector<std::uint8_t>;
using testing::PoolScope, testing::ScratchDir;

Bytes make_bytes(std::size_t size, std::uint32_t seed, char kind = 't') { return testing::random_bytes<Bytes>(size, seed, kind); }

// The block writer's reference: one file after the other on this thread, in batches of as many
// blocks as there are workers, each stored by store_blocks and written before the next is read.
void store_files_one_at_a_time(std::size_t file_count, const FileSource& files, tarvo::File& archive,
                               DeflateWorkers& deflaters, const FileStored& stored)
{
    const std::uint64_t batch = static_cast<std::uint64_t>(deflaters.worker_count()) * kBlockSize;
    for (std::size_t k = 0; k < file_count; ++k) {
        const FileToStore file = files(k);
        tarvo::File input(file.path, tarvo::File::Mode::read);
        if (!input.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", file.path));
        const std::uint64_t data_offset = archive.tell();
        BlockSizeList sizes;
        std::vector<std::uint8_t> raw, data;
        for (std::uint64_t left = file.size; left > 0; left -= raw.size()) {
            raw.resize(static_cast<std::size_t>(std::min(left, batch)));
            input.read_all(raw.data(), raw.size());
            data.clear();
            testing::store_blocks(raw, data, sizes);
            archive.write(data);
        }
        stored(k, data_offset, sizes);
    }
}

constexpr std::uint8_t kFill = 0xEE;  // what the archive holds where nothing was written

Bytes zlib_compress(const Bytes& data)
{
    uLongf length = compressBound(static_cast<uLong>(data.size()));
    Bytes out(length);
    EXPECT_EQ(compress(out.data(), &length, data.data(), static_cast<uLong>(data.size())), Z_OK);
    out.resize(length);
    return out;
}

// In place, the blocks as create stores them, back to back from the target; one byte too long, the
// file goes whole to the end over the trailer and nothing past the room changes, whatever the width.
TEST(BlockWriter, PlacesFilesInTheirRoomOrWholeAtTheEnd)
{
    ScratchDir dir;
    Bytes tie = make_bytes(700, 31, 'r');  // a stream exactly as long as the bytes keeps them raw
    while (zlib_compress(tie).size() != tie.size()) tie.push_back(0);
    for (const Bytes& data : {Bytes{}, Bytes{1}, tie, make_bytes(kBlockSize - 1, 1), make_bytes(kBlockSize, 2, 'z'),
                              make_bytes(kBlockSize + 1, 3, 'r'), make_bytes(3 * kBlockSize + 77, 4), make_bytes(9 * kBlockSize + 5, 5, 'r'),
                              make_bytes(13 * kBlockSize, 6)}) {
        testing::write_bytes(dir / L"in.bin", data);
        const auto built = tarvo::test::build_archive({{"in.bin", std::string(data.begin(), data.end())}});
        const Bytes stored(built.bytes.begin() + built.metadata_size, built.bytes.end() - kTrailerSize);
        // Places in.bin into an archive of `length` fill bytes; checks and returns its bytes.
        const auto place = [&](DeflateWorkers& deflaters, std::size_t length, std::uint64_t target, std::uint64_t room,
                               std::uint64_t offset, bool restarted) {
            {
                tarvo::File archive(dir / L"out.qar", tarvo::File::Mode::read_write_new);
                archive.write(Bytes(length, kFill));
                format::BlockSizeList sizes = {1, 2, 3};  // emptied by the call
                const BlockPlacement placement = place_file(dir / L"in.bin", data.size(), archive, target, room, sizes, deflaters);
                EXPECT_EQ(placement.offset, offset);
                EXPECT_EQ(placement.restarted, restarted);
                EXPECT_EQ(archive.tell(), offset + stored.size());
                EXPECT_EQ(sizes, built.block_table);
            }
            return testing::read_bytes<Bytes>(dir / L"out.qar");
        };
        for (int workers : {1, 4}) {
            SCOPED_TRACE(std::to_string(data.size()) + " bytes, workers " + std::to_string(workers));
            PoolScope pool(workers);
            const std::size_t length = stored.size() + 5000;
            Bytes expected(length, kFill);
            std::copy(stored.begin(), stored.end(), expected.begin() + 64);  // bytes past the data stay
            EXPECT_EQ(place(pool.deflaters, length, 64, stored.size(), 64, false), expected);
            const Bytes appended = place(pool.deflaters, 20, kAppend, 0, 4, false);  // an append has no room
            EXPECT_TRUE(std::equal(stored.begin(), stored.end(), appended.begin() + 4));
            if (stored.empty()) continue;
            const Bytes relocated = place(pool.deflaters, length, 64, stored.size() - 1, length - kTrailerSize, true);
            EXPECT_TRUE(std::equal(stored.begin(), stored.end(), relocated.begin() + length - kTrailerSize));
            const auto room_end = relocated.begin() + 64 + stored.size() - 1, end = relocated.begin() + length - kTrailerSize;
            EXPECT_EQ(std::count(room_end, end, kFill), end - room_end);  // nothing past the room
        }
    }
}

// Pipelined and one at a time, the first failure in entry order ends the run after everything
// before it, and both ways write and report the same.
TEST(BlockWriter, FirstFailureInEntryOrderEndsTheRunAfterEverythingBeforeIt)
{
    ScratchDir dir;
    for (const auto& [name, size, seed] : {std::tuple{L"big", 9 * kBlockSize + 10, 41}, {L"shrunk", 5 * kBlockSize + 3, 42},
                                           {L"small", std::size_t{900}, 43}, {L"empty", std::size_t{0}, 0},
                                           {L"after", 70 * kBlockSize, 44}}) {
        testing::write_bytes(dir / name, make_bytes(size, static_cast<std::uint32_t>(seed), 'r'));
    }
    const std::wstring missing = dir / L"missing", cannot_open = L"Cannot open input file \"" + missing + L"\"";
    const auto cannot_read = [&](const wchar_t* name) { return L"Cannot read input file \"" + (dir / name) + L"\""; };
    const std::tuple<std::vector<FileToStore>, std::size_t, std::wstring> cases[] = {  // files, how many stored, message
        {{{dir / L"big", 9 * kBlockSize + 10}, {dir / L"empty", 0}, {missing, 10}, {dir / L"after", 70 * kBlockSize}}, 2, cannot_open},
        {{{missing, 0}, {dir / L"small", 900}}, 0, cannot_open},  // even an empty file must open
        {{{dir / L"small", 900}, {dir / L"shrunk", 5 * kBlockSize + 4}, {dir / L"after", 70 * kBlockSize}}, 1, cannot_read(L"shrunk")},
        {{{dir / L"small", 900}, {dir / L"small", 901}, {missing, 5}}, 1, cannot_read(L"small")}};  // the earlier wins
    using StoreFn = void (*)(std::size_t, const FileSource&, tarvo::File&, DeflateWorkers&, const FileStored&);
    for (const auto& failure_case : cases) {
        const auto& [files, stored, message] = failure_case;
        for (int workers : {1, 2, 4}) {
            PoolScope pool(workers);
            DeflateWorkers& deflaters = pool.deflaters;
            std::vector<Bytes> archives;
            std::vector<std::vector<std::tuple<std::size_t, std::uint64_t, format::BlockSizeList>>> reports(2);
            for (StoreFn store : {&store_files_one_at_a_time, &store_files}) {
                auto& reported = reports[archives.size()];
                tarvo::File archive(dir / L"out.qar", tarvo::File::Mode::read_write_new);
                archive.write(Bytes(100, kFill));
                const std::size_t file_count = files.size();  // clang 14 captures no structured binding
                const std::optional<std::wstring> error = tarvo::test::error_of([&] {
                    store(file_count, [&](std::size_t k) { return std::get<0>(failure_case).at(k); }, archive, deflaters,
                          [&](std::size_t k, std::uint64_t at, format::BlockSizeList& sizes) { reported.emplace_back(k, at, sizes); });
                });
                archive = tarvo::File();  // closed before it is read back
                EXPECT_EQ(error, message) << "workers " << workers;
                EXPECT_EQ(reported.size(), stored) << "workers " << workers;
                archives.push_back(testing::read_bytes<Bytes>(dir / L"out.qar"));
            }
            EXPECT_TRUE(archives[0] == archives[1]) << "workers " << workers;
            EXPECT_EQ(reports[0], reports[1]) << "workers " << workers;
        }
    }
}

}  // namespace
}  // namespace qar::format
