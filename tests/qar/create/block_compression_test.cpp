// Block compression: exact stored bytes at block and batch boundaries, placement under a
// limit, appends, and files that don't hold what the scan promised.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include <zlib.h>

#include "common/error.hpp"
#include "common/file.hpp"
#include "qar/create/block_compression.hpp"
#include "scratch.hpp"

namespace qar::create {
namespace {

using testing::Bytes;
using testing::PoolScope;
using testing::ScratchDir;

constexpr std::size_t kBlock = 65536;
constexpr std::uint8_t kFill = 0xEE;  // what the archive holds where nothing was written

// The stored form of each block that the archive must hold: zlib's output when strictly
// shorter, the raw bytes otherwise.
std::vector<Bytes> expected_blocks(const Bytes& data)
{
    std::vector<Bytes> blocks;
    for (std::size_t at = 0; at < data.size(); at += kBlock) {
        const auto first = data.begin() + static_cast<std::ptrdiff_t>(at);
        const Bytes raw(first, first + static_cast<std::ptrdiff_t>(std::min(kBlock, data.size() - at)));
        uLongf length = compressBound(static_cast<uLong>(raw.size()));
        Bytes stored(length);
        EXPECT_EQ(compress(stored.data(), &length, raw.data(), static_cast<uLong>(raw.size())), Z_OK);
        stored.resize(length);
        blocks.push_back(stored.size() < raw.size() ? stored : raw);
    }
    return blocks;
}

// An archive file of `length` fill bytes, open for reading and writing.
tarvo::File make_archive(const std::wstring& path, std::size_t length)
{
    tarvo::File archive(path, tarvo::File::Mode::read_write_new);
    archive.write(Bytes(length, kFill));
    return archive;
}

struct Placed {
    BlockPlacement placement;
    format::BlockSizeList sizes;
    Bytes archive;
};

// Stores in.bin into a fresh archive of `length` fill bytes.
Placed place(const ScratchDir& dir, std::size_t length, std::uint64_t target, std::uint64_t limit, std::uint64_t size)
{
    tarvo::File archive = make_archive(dir / L"out.qar", length);
    Placed placed;
    placed.sizes = {1, 2, 3};  // emptied by the call
    placed.placement = compress_file_blocks(dir / L"in.bin", size, archive, target, limit, placed.sizes);
    EXPECT_EQ(archive.tell(), placed.placement.offset + format::stored_total(placed.sizes));
    archive.close();
    placed.archive = testing::read_file(dir / L"out.qar");
    return placed;
}

struct SizeCase {
    const char* label;
    std::size_t size;
    char kind;  // 't' text, 'r' random, 'z' zeros
};

class StoredBlocks : public ::testing::TestWithParam<SizeCase> {};

TEST_P(StoredBlocks, AreZlibsOutputOrRawBackToBackAtTheTarget)
{
    const SizeCase& c = GetParam();
    ScratchDir dir;
    const Bytes data = c.kind == 'r'   ? testing::random_bytes(c.size, 11)
                       : c.kind == 't' ? testing::text_bytes(c.size, 12)
                                       : Bytes(c.size, 0);
    testing::write_file(dir / L"in.bin", data);
    const std::vector<Bytes> blocks = expected_blocks(data);
    Bytes expected(100, kFill);
    for (const Bytes& block : blocks) expected.insert(expected.end(), block.begin(), block.end());
    if (expected.size() < 150) expected.resize(150, kFill);  // bytes past the data stay

    // The batch width must not change a single byte.
    for (int workers : {1, 3, 4}) {
        SCOPED_TRACE(workers);
        PoolScope pool(workers);
        const Placed placed = place(dir, 150, 100, kNoLimit, data.size());
        EXPECT_EQ(placed.placement.offset, 100u);
        EXPECT_FALSE(placed.placement.restarted);
        ASSERT_EQ(placed.sizes.size(), blocks.size());
        for (std::size_t j = 0; j < blocks.size(); ++j) EXPECT_EQ(format::stored_length(placed.sizes[j]), blocks[j].size());
        EXPECT_EQ(placed.archive, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, StoredBlocks,
    ::testing::Values(SizeCase{"empty", 0, 't'}, SizeCase{"one_byte", 1, 't'}, SizeCase{"just_under", kBlock - 1, 't'},
                      SizeCase{"one_block_text", kBlock, 't'}, SizeCase{"one_block_zeros", kBlock, 'z'},
                      SizeCase{"one_block_random", kBlock, 'r'}, SizeCase{"just_over", kBlock + 1, 'r'},
                      SizeCase{"batch_and_a_bit", 4 * kBlock + 300, 't'},
                      SizeCase{"several_batches_random", 9 * kBlock + 5, 'r'},
                      SizeCase{"several_batches_text", 13 * kBlock, 't'}),
    [](const ::testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.label); });

TEST(BlockCompression, LimitKeepsTheFileInPlaceOrSendsItWholeToTheEnd)
{
    ScratchDir dir;
    PoolScope pool(4);
    const Bytes data = testing::text_bytes(3 * kBlock + 77, 3);  // one batch
    testing::write_file(dir / L"in.bin", data);
    Bytes stored;
    for (const Bytes& block : expected_blocks(data)) stored.insert(stored.end(), block.begin(), block.end());
    const std::size_t length = stored.size() + 5000;

    const Placed fits = place(dir, length, 64, stored.size(), data.size());
    EXPECT_EQ(fits.placement.offset, 64u);
    EXPECT_FALSE(fits.placement.restarted);
    Bytes expected(length, kFill);
    std::copy(stored.begin(), stored.end(), expected.begin() + 64);
    EXPECT_EQ(fits.archive, expected);

    const Placed moved = place(dir, length, 64, stored.size() - 1, data.size());
    EXPECT_EQ(moved.placement.offset, length - 16);
    EXPECT_TRUE(moved.placement.restarted);
    expected.assign(length - 16, kFill);  // nothing at the target, the trailer overwritten
    expected.insert(expected.end(), stored.begin(), stored.end());
    EXPECT_EQ(moved.archive, expected);

    // An append ignores the limit.
    const Placed appended = place(dir, 36, kAppend, 1, data.size());
    EXPECT_EQ(appended.placement.offset, 20u);
    EXPECT_FALSE(appended.placement.restarted);
    EXPECT_EQ(appended.archive.size(), 20 + stored.size());
}

TEST(BlockCompression, InputThatCannotDeliverItsSizeEndsTheRun)
{
    ScratchDir dir;
    PoolScope pool(2);
    // Even an empty file must open.
    try {
        place(dir, 40, 24, kNoLimit, 0);
        ADD_FAILURE() << "a missing input file was accepted";
    } catch (const tarvo::wruntime_error& e) {
        EXPECT_EQ(e.message(), L"Cannot open input file \"" + (dir / L"in.bin") + L"\"");
    }

    // A file that shrank after the scan: the complete first batch is written, nothing of the
    // short second one.
    const Bytes data = testing::random_bytes(3 * kBlock, 9);
    testing::write_file(dir / L"in.bin", data);
    tarvo::File archive = make_archive(dir / L"out.qar", 10);
    format::BlockSizeList sizes;
    try {
        compress_file_blocks(dir / L"in.bin", data.size() + 1, archive, 10, kNoLimit, sizes);
        ADD_FAILURE() << "a short file was stored";
    } catch (const tarvo::wruntime_error& e) {
        EXPECT_EQ(e.message(), L"Cannot read input file \"" + (dir / L"in.bin") + L"\"");
    }
    archive.close();
    Bytes expected(10 + 2 * kBlock, kFill);
    std::copy(data.begin(), data.begin() + 2 * kBlock, expected.begin() + 10);
    EXPECT_EQ(testing::read_file(dir / L"out.qar"), expected);
}

}  // namespace
}  // namespace qar::create
