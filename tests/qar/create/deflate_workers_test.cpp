// Per-worker deflate states: the same bytes as zlib's compress(), whatever a state saw before
// (the stored-blocks tests of block compression run them on pool workers); and the
// stored-or-raw rule at its boundary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <zlib.h>

#include "qar/create/block_compression.hpp"
#include "qar/create/deflate_workers.hpp"
#include "scratch.hpp"

namespace qar::create {
namespace {

using testing::Bytes;

constexpr std::size_t kBlock = 65536;

Bytes zlib_compress(const Bytes& data)
{
    uLongf length = compressBound(static_cast<uLong>(data.size()));
    Bytes out(length);
    EXPECT_EQ(compress(out.data(), &length, data.data(), static_cast<uLong>(data.size())), Z_OK);
    out.resize(length);
    return out;
}

Bytes with_state(DeflateWorkers& deflaters, int worker, const Bytes& data)
{
    Bytes out(format::kMaxCompressedBlock);
    out.resize(deflaters.compress(worker, data, out).value_or(0));
    return out;
}

// Blocks of every kind a mod holds, ordered so that a reused state goes from large to small
// and from incompressible to repetitive and back.
std::vector<Bytes> varied_blocks()
{
    Bytes mixed = testing::random_bytes(kBlock, 21);
    const Bytes text = testing::text_bytes(kBlock / 2, 22);
    std::copy(text.begin(), text.end(), mixed.begin() + kBlock / 4);
    return {testing::random_bytes(kBlock, 1), {0x42},       Bytes(kBlock, 0), {},
            testing::text_bytes(kBlock, 2),   mixed,        testing::text_bytes(300, 3),
            testing::random_bytes(40001, 4),  Bytes(17, 0), testing::text_bytes(kBlock - 1, 5)};
}

TEST(DeflateWorkers, GiveCompressOutputWhateverTheStateSawBefore)
{
    const std::vector<Bytes> blocks = varied_blocks();
    DeflateWorkers deflaters(2);
    // Twice through on both states; the second round runs on states that have seen everything.
    for (int round = 0; round < 2; ++round) {
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            SCOPED_TRACE("round " + std::to_string(round) + ", block " + std::to_string(b));
            EXPECT_EQ(with_state(deflaters, round, blocks[b]), zlib_compress(blocks[b]));
            EXPECT_EQ(with_state(deflaters, 1 - round, blocks[b]), zlib_compress(blocks[b]));
        }
    }
    // A stream that ran out of room leaves the state fit for the next block.
    Bytes small(100);
    EXPECT_FALSE(deflaters.compress(0, blocks[0], small).has_value());
    EXPECT_EQ(with_state(deflaters, 0, blocks[4]), zlib_compress(blocks[4]));
    EXPECT_THROW(deflaters.compress(2, blocks[1], small), std::logic_error);
}

// Random bytes followed by ever more zeros: zlib's stream goes from longer than the raw bytes,
// through as long, to shorter. Only a strictly shorter stream is kept.
TEST(StoreBlock, KeepsTheStreamOnlyWhenStrictlyShorter)
{
    DeflateWorkers deflaters(1);
    Bytes slot(format::kMaxCompressedBlock);
    int sides[3] = {0, 0, 0};  // shorter, as long, longer
    for (std::size_t zeros = 0; zeros < 400; ++zeros) {
        Bytes raw = testing::random_bytes(700, 31);
        raw.resize(raw.size() + zeros, 0);
        const Bytes stream = zlib_compress(raw);
        StoredBlock stored;
        ASSERT_TRUE(store_block(deflaters, 0, raw, slot.data(), stored));
        const bool keep = stream.size() < raw.size();
        ++sides[keep ? 0 : stream.size() == raw.size() ? 1 : 2];
        EXPECT_EQ(stored.bytes, keep ? slot.data() : raw.data()) << zeros;
        EXPECT_EQ(Bytes(stored.bytes, stored.bytes + stored.length), keep ? stream : raw) << zeros;
    }
    // The sweep crossed the boundary and met it exactly.
    EXPECT_GT(sides[0], 0);
    EXPECT_EQ(sides[1], 1);
    EXPECT_GT(sides[2], 0);
}

}  // namespace
}  // namespace qar::create
