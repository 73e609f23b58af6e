// Per-worker deflate states: the same bytes as zlib's compress(), whatever the order of
// blocks a state sees and whichever worker runs a block; and the stored-or-raw rule.
#include <gtest/gtest.h>

#include <future>
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
constexpr std::size_t kSlot = format::kMaxCompressedBlock;

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
    Bytes out(kSlot);
    const std::optional<std::size_t> length = deflaters.compress(worker, data, out);
    EXPECT_TRUE(length.has_value());
    out.resize(length.value_or(0));
    return out;
}

// Blocks of every kind a mod holds, in an order that makes a reused state go from large to
// small, from incompressible to repetitive and back.
std::vector<std::pair<std::string, Bytes>> varied_blocks()
{
    Bytes mixed = testing::random_bytes(kBlock, 21);
    const Bytes text = testing::text_bytes(kBlock / 2, 22);
    std::copy(text.begin(), text.end(), mixed.begin() + kBlock / 4);
    Bytes sparse(kBlock, 0);
    for (std::size_t i = 0; i < sparse.size(); i += 977) sparse[i] = static_cast<std::uint8_t>(i);
    return {
        {"random_full", testing::random_bytes(kBlock, 1)},
        {"one_byte", {0x42}},
        {"zeros_full", Bytes(kBlock, 0)},
        {"empty", {}},
        {"text_full", testing::text_bytes(kBlock, 2)},
        {"text_small", testing::text_bytes(300, 3)},
        {"mixed_full", mixed},
        {"random_odd", testing::random_bytes(40001, 4)},
        {"sparse_full", sparse},
        {"zeros_small", Bytes(17, 0)},
        {"text_just_under", testing::text_bytes(kBlock - 1, 5)},
    };
}

TEST(DeflateWorkers, GiveCompressOutputWhateverTheStateSawBefore)
{
    const auto blocks = varied_blocks();
    DeflateWorkers deflaters(2);
    // Twice through: the second round runs every block on a state that has seen them all.
    for (int round = 0; round < 2; ++round) {
        for (const auto& [label, data] : blocks) {
            SCOPED_TRACE(label);
            EXPECT_EQ(with_state(deflaters, round, data), zlib_compress(data));
            EXPECT_EQ(with_state(deflaters, 1 - round, data), zlib_compress(data));
        }
    }
}

TEST(DeflateWorkers, RecoverFromAStreamThatRanOutOfRoom)
{
    const Bytes data = testing::random_bytes(5000, 7);
    DeflateWorkers deflaters(1);
    Bytes small(100);
    EXPECT_FALSE(deflaters.compress(0, data, small).has_value());
    EXPECT_EQ(with_state(deflaters, 0, data), zlib_compress(data));
    EXPECT_THROW(deflaters.compress(1, data, small), std::logic_error);
}

TEST(DeflateWorkers, EachPoolWorkerUsesItsOwnStateAndMatchesCompress)
{
    const auto blocks = varied_blocks();
    testing::PoolScope scope(3);
    DeflateWorkers deflaters(3);
    std::vector<Bytes> results(blocks.size() * 8);
    std::vector<std::future<bool>> tasks;
    for (std::size_t t = 0; t < results.size(); ++t) {
        tasks.push_back(worker_pool->submit([&, t](int worker) {
            Bytes& out = results[t];
            out.resize(kSlot);
            const std::optional<std::size_t> length = deflaters.compress(worker, blocks[t % blocks.size()].second, out);
            out.resize(length.value_or(0));
            return length.has_value();
        }));
    }
    for (auto& task : tasks) EXPECT_TRUE(task.get());
    for (std::size_t t = 0; t < results.size(); ++t) {
        SCOPED_TRACE(blocks[t % blocks.size()].first);
        EXPECT_EQ(results[t], zlib_compress(blocks[t % blocks.size()].second));
    }
}

// Random bytes followed by ever more zeros: zlib's stream goes from longer than the raw bytes,
// through equal, to shorter. Only a strictly shorter stream is kept.
TEST(StoreBlock, KeepsTheStreamOnlyWhenStrictlyShorter)
{
    DeflateWorkers deflaters(1);
    Bytes slot(kSlot);
    int shorter = 0;
    int equal = 0;
    int longer = 0;
    for (std::size_t zeros = 0; zeros < 400; ++zeros) {
        Bytes raw = testing::random_bytes(700, 31);
        raw.resize(raw.size() + zeros, 0);
        const Bytes expected_stream = zlib_compress(raw);
        StoredBlock stored;
        ASSERT_TRUE(store_block(deflaters, 0, raw, slot.data(), stored));
        const Bytes got(stored.bytes, stored.bytes + stored.length);
        if (expected_stream.size() < raw.size()) {
            ++shorter;
            EXPECT_EQ(stored.bytes, slot.data());
            EXPECT_EQ(got, expected_stream);
        } else {
            ++(expected_stream.size() == raw.size() ? equal : longer);
            EXPECT_EQ(stored.bytes, raw.data()) << zeros;
            EXPECT_EQ(stored.length, raw.size());
        }
    }
    // The sweep must have crossed the boundary, not stayed on one side of it.
    EXPECT_GT(shorter, 0);
    EXPECT_GT(longer, 0);
    EXPECT_EQ(equal, 1);
}

}  // namespace
}  // namespace qar::create
