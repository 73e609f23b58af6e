// Storing one loose file in an archive: blocks compressed in parallel, written back to back.
//
// What runs where: the calling (main) thread opens the input file, reads one batch of up to
// N blocks (N = the pool's worker count, or fewer when the whole file has fewer blocks),
// submits one compression task per block, waits for every task of the batch, packs the
// stored blocks and writes them with one write. The workers only run store_block, each on
// the slots of its own block and with the deflate state of its own worker index.
// What is ordered: tasks finish in any order, but results are collected, packed and written
// in block order, and a batch is written before the next one is read, so the archive sees
// the blocks strictly in file order.
// What is bounded: one batch in flight per file; memory is N × (65536 + 81920) bytes plus a
// few numbers per block, whatever the file's size.
// Who owns each buffer: the Batch of one call owns every buffer; the caller owns the deflate
// states. A task borrows its block's slots and its worker's state and nothing else; the
// caller waits for every submitted task (also when leaving by an exception) before it reads
// the slots or frees the Batch.
#include "qar/create/block_compression.hpp"

#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "common/error.hpp"
#include "qar/base/worker_pool.hpp"

namespace qar::create {
namespace {

constexpr std::size_t kBlock = static_cast<std::size_t>(format::kBlockSize);
constexpr std::size_t kSlot = format::kMaxCompressedBlock;  // room for one block's zlib stream

// The working memory of one call, sized for the blocks of one batch.
struct Batch {
    explicit Batch(std::size_t blocks)
        : capacity(blocks),
          input(std::make_unique_for_overwrite<std::uint8_t[]>(blocks * kBlock)),
          output(std::make_unique_for_overwrite<std::uint8_t[]>(blocks * kSlot)),
          input_length(blocks),
          stored(blocks)
    {
    }

    std::size_t capacity;                      // blocks per batch
    std::unique_ptr<std::uint8_t[]> input;     // block i's raw bytes at i × kBlock
    std::unique_ptr<std::uint8_t[]> output;    // block i's zlib stream at i × kSlot, then packed
    std::vector<std::uint32_t> input_length;  // raw length of block i
    std::vector<StoredBlock> stored;          // where block i's stored bytes are, and how many
};

// Waits for every task handed out, so no task can outlive the buffers it works on, whichever
// way the caller leaves.
class PendingTasks {
public:
    PendingTasks() = default;
    PendingTasks(const PendingTasks&) = delete;
    PendingTasks& operator=(const PendingTasks&) = delete;
    ~PendingTasks() { wait_all(); }

    void add(std::future<bool> task) { tasks_.push_back(std::move(task)); }

    // Waits for all of them, then tells whether every one succeeded; a task that threw
    // rethrows here, after the others have finished.
    bool collect()
    {
        wait_all();
        bool all_ok = true;
        for (std::future<bool>& task : tasks_) all_ok = task.get() && all_ok;
        tasks_.clear();
        return all_ok;
    }

private:
    void wait_all()
    {
        for (std::future<bool>& task : tasks_) {
            if (task.valid()) task.wait();
        }
    }

    std::vector<std::future<bool>> tasks_;
};

// Runs on a worker; touches only block i's slots and the worker's own deflate state.
bool compress_block(Batch& batch, std::size_t i, DeflateWorkers& deflaters, int worker)
{
    return store_block(deflaters, worker, std::span(batch.input.get() + i * kBlock, batch.input_length[i]),
                       batch.output.get() + i * kSlot, batch.stored[i]);
}


// Writes the file's stored blocks from the archive's current position. Returns false, with
// nothing more written, as soon as the next block would take the stored length past limit.
bool store_blocks(const std::wstring& path, std::uint64_t size, tarvo::File& archive, std::uint64_t limit,
                  format::BlockSizeList& block_sizes, DeflateWorkers& deflaters)
{
    WorkerPool& pool = deflaters.pool();
    tarvo::File input(path, tarvo::File::Mode::read);
    if (!input.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", path));
    if (size == 0) return true;

    // A small file needs only as many slots as it has blocks.
    const std::uint64_t workers = static_cast<std::uint64_t>(pool.worker_count());
    const std::uint64_t blocks_in_file = format::block_count(size);
    const std::size_t per_batch = static_cast<std::size_t>(blocks_in_file < workers ? blocks_in_file : workers);
    Batch batch(per_batch);

    std::uint64_t remaining = size;
    std::uint64_t written = 0;
    while (remaining > 0) {
        const std::uint64_t batch_bytes = remaining < per_batch * kBlock ? remaining : per_batch * kBlock;
        // A file that shrank since the scan would leave part of a block undefined.
        if (!input.read_exact(batch.input.get(), static_cast<std::size_t>(batch_bytes))) {
            throw tarvo::wruntime_error(tarvo::quoted(L"Cannot read input file ", path));
        }

        std::size_t blocks = 0;
        PendingTasks tasks;
        while (remaining > 0 && blocks < per_batch) {
            const std::size_t i = blocks++;
            batch.input_length[i] = static_cast<std::uint32_t>(remaining < kBlock ? remaining : kBlock);
            tasks.add(pool.submit(
                [&batch, i, &deflaters](int worker) { return compress_block(batch, i, deflaters, worker); }));
            remaining -= batch.input_length[i];
        }
        if (!tasks.collect()) throw tarvo::wruntime_error(L"Problem compressing file...");

        // Pack the stored blocks from the start of the output buffer. A block's packed place
        // never lies past its own slot, but may overlap it, hence memmove.
        std::size_t packed = 0;
        for (std::size_t i = 0; i < blocks; ++i) {
            const std::uint32_t stored = batch.stored[i].length;
            if (limit != kNoLimit && written + stored > limit) return false;
            std::memmove(batch.output.get() + packed, batch.stored[i].bytes, stored);
            block_sizes.push_back(format::stored_size_of(stored));
            packed += stored;
            written += stored;
        }
        archive.write(batch.output.get(), packed);
    }
    return true;
}

// Positions the archive for a placement and returns the offset: target_offset, or for an
// append the start of the trailer digest, which every caller writes again afterwards.
std::uint64_t position_for(tarvo::File& archive, std::uint64_t target_offset)
{
    std::uint64_t offset = target_offset;
    if (target_offset == kAppend) {
        const std::uint64_t length = archive.length();
        if (length < format::kTrailerSize) throw std::logic_error("append to an archive without a trailer");
        offset = length - format::kTrailerSize;
    }
    archive.seek(offset);
    return offset;
}

}  // namespace

bool store_block(DeflateWorkers& deflaters, int worker, std::span<const std::uint8_t> raw, std::uint8_t* slot,
                 StoredBlock& stored)
{
    const std::optional<std::size_t> length = deflaters.compress(worker, raw, std::span(slot, kSlot));
    if (!length) return false;
    if (*length < raw.size()) {
        stored = StoredBlock{slot, static_cast<std::uint32_t>(*length)};
    } else {
        stored = StoredBlock{raw.data(), static_cast<std::uint32_t>(raw.size())};
    }
    return true;
}

BlockPlacement compress_file_blocks(const std::wstring& path, std::uint64_t size, tarvo::File& archive,
                                    std::uint64_t target_offset, std::uint64_t limit,
                                    format::BlockSizeList& block_sizes, DeflateWorkers& deflaters)
{
    // A pool without workers would never compress a block: a programming error, reported
    // before anything moves.
    if (deflaters.worker_count() <= 0) throw std::logic_error("block compression needs a worker pool with a worker");
    block_sizes.clear();
    const std::uint64_t offset = position_for(archive, target_offset);
    if (store_blocks(path, size, archive, target_offset == kAppend ? kNoLimit : limit, block_sizes, deflaters)) {
        return BlockPlacement{offset, false};
    }
    // Too long for the room given: the whole file goes to the end instead. Blocks already
    // written at the old place stay there.
    block_sizes.clear();
    const std::uint64_t end_offset = position_for(archive, kAppend);
    store_blocks(path, size, archive, kNoLimit, block_sizes, deflaters);
    return BlockPlacement{end_offset, true};
}

}  // namespace qar::create
