// The block reader: entries' blocks decoded on the worker pool, handed to a sink in entry order.
//
// What runs where: the calling (main) thread cuts the entries' blocks into batches, reads each
// batch's stored bytes with as few reads as the layout allows (one per contiguous run of data),
// submits one decode task per batch, and then hands the oldest decoded batch to the sink; every
// call of the sink (progress lines, file creation and writes, loose-file reads and comparison)
// runs on the main thread. The workers run the decode tasks. When the oldest batch isn't decoded
// yet, the main thread decodes a batch that no worker has started rather than sleep (whoever
// claims a batch's Ticket first decodes it): on a busy machine a sleeping thread can wait long
// to be woken again.
// What is ordered: batches are handed over strictly in the order they were read, so the sink
// sees the entries one after the other, each one's bytes in order, whatever order the workers
// finish in. A damaged block is only reported when the hand-over reaches it: the sink has had
// every byte before it, and an unpack opens no later file.
// What is bounded: a batch holds at most batch_bytes of stored and of raw data (or a single
// block) and batch_entries entries, in buffers allocated once and reused for later batches;
// only as many batches as in_flight_bytes holds (at least one) are out at once, whatever the
// archive.
// Who owns each buffer: each Batch owns its input, output and segment list. From submission
// until it is decoded a batch belongs to whoever claimed it; the main thread reads, hands over
// or refills it only after decoding it itself or after the task's future is ready (InFlight
// waits for every claimed task, also when an exception leaves). A task that lost its claim
// touches nothing but its Ticket. The entries and the block table are only read, by everyone.
#include "qar/format/block_reader.hpp"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <limits>
#include <memory>
#include <vector>

#include "common/error.hpp"

namespace qar::format {
namespace {

// One entry's share of a batch: `count` blocks from block `first` on.
struct Segment {
    std::size_t k = 0;  // the entry
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::uint64_t position = 0;     // in the archive, of block `first`
    std::size_t input_offset = 0;   // of its stored bytes in Batch::input
    std::size_t output_offset = 0;  // of its raw bytes in Batch::output
    bool readable = true;           // entry_blocks() found data for the entry; if not, nothing is read
    std::uint32_t arrived = 0;      // blocks read in full (set by the reader)
    std::uint32_t decoded = 0;      // blocks decoded in order before the first damaged one (set by the task)
    std::size_t decoded_bytes = 0;  // their raw length
};

struct Batch {
    Batch(std::size_t bytes, std::size_t entries)
        : input(std::make_unique_for_overwrite<std::uint8_t[]>(bytes)),
          output(std::make_unique_for_overwrite<std::uint8_t[]>(bytes))
    {
        segments.reserve(entries);
    }

    // Memory that a batch of these limits holds.
    static std::size_t footprint(std::size_t bytes, std::size_t entries) { return 2 * bytes + entries * sizeof(Segment); }

    std::vector<Segment> segments;
    std::unique_ptr<std::uint8_t[]> input;   // the segments' stored bytes, back to back
    std::unique_ptr<std::uint8_t[]> output;  // their raw bytes, back to back
    std::size_t input_size = 0;              // bytes of input in use
    std::size_t output_size = 0;             // bytes of output in use
};

// The entries and their blocks, read by every thread.
struct Layout {
    std::span<const FileEntry> entries;
    std::span<const std::uint16_t> block_table;

    std::uint16_t stored_size(const FileEntry& entry, std::uint32_t j) const
    {
        return block_table[static_cast<std::size_t>(entry.first_block) + j];
    }
};

// Decodes each segment's blocks that arrived, in order, up to its first damaged block.
void decode_batch(Batch& batch, const Layout& layout)
{
    for (Segment& segment : batch.segments) {
        if (!segment.readable) break;
        const FileEntry& entry = layout.entries[segment.k];
        const std::uint8_t* in = batch.input.get() + segment.input_offset;
        std::uint8_t* out = batch.output.get() + segment.output_offset;
        for (std::uint32_t j = segment.first; j < segment.first + segment.arrived; ++j) {
            const std::uint16_t stored_size = layout.stored_size(entry, j);
            if (!decode_block(entry, j, stored_size, in, out)) break;
            const std::uint32_t raw = raw_block_length(entry.size, j);
            in += stored_length(stored_size);
            out += raw;
            ++segment.decoded;
            segment.decoded_bytes += raw;
        }
    }
}

// Cuts the entries into batches in order and reads their stored bytes.
class BatchReader {
public:
    BatchReader(tarvo::File& archive, const Layout& layout, const ReadLimits& limits)
        : archive_(archive),
          layout_(layout),
          batch_bytes_(limits.batch_bytes),
          capacity_(std::max<std::size_t>(limits.batch_bytes, kBlockSize)),
          batch_entries_(std::max<std::size_t>(limits.batch_entries, 1))
    {
    }

    // A batch whose buffers fit any batch this reader fills: a single block can exceed the limit.
    std::unique_ptr<Batch> make_batch() const { return std::make_unique<Batch>(capacity_, batch_entries_); }
    std::size_t batch_footprint() const { return Batch::footprint(capacity_, batch_entries_); }

    // Nothing more to read: every entry is in a batch, or the last batch ends where the run will.
    bool finished() const { return finished_ || k_ == layout_.entries.size(); }

    // Fills a batch made by make_batch() with the next blocks and their stored bytes.
    void fill(Batch& batch)
    {
        batch.segments.clear();
        batch.input_size = 0;
        batch.output_size = 0;
        plan(batch);
        read(batch);
    }

private:
    // Takes whole blocks from the cursor on until the batch is full.
    void plan(Batch& batch)
    {
        std::size_t blocks_taken = 0;
        while (k_ < layout_.entries.size() && batch.segments.size() < batch_entries_) {
            const FileEntry& entry = layout_.entries[k_];
            Segment segment;
            segment.k = k_;
            segment.first = block_;
            segment.input_offset = batch.input_size;
            segment.output_offset = batch.output_size;
            if (block_ == 0) {
                const auto blocks = entry_blocks(entry, layout_.block_table);
                if (!blocks) {
                    segment.readable = false;
                    batch.segments.push_back(segment);
                    finished_ = true;  // the run ends at this entry
                    return;
                }
                blocks_ = *blocks;
                entry_stored_ = 0;
            }
            segment.position = entry.data_offset + entry_stored_;
            while (block_ < blocks_.size()) {
                const std::size_t stored = stored_length(blocks_[block_]);
                const std::size_t raw = raw_block_length(entry.size, block_);
                const bool room = batch.input_size + stored <= batch_bytes_ && batch.output_size + raw <= batch_bytes_;
                if (blocks_taken > 0 && !room) break;
                batch.input_size += stored;
                batch.output_size += raw;
                entry_stored_ += stored;
                ++block_;
                ++segment.count;
                ++blocks_taken;
            }
            if (segment.count == 0 && !blocks_.empty()) return;  // full before the entry's first block
            batch.segments.push_back(segment);
            if (block_ < blocks_.size()) return;  // full; the entry goes on in the next batch
            ++k_;
            block_ = 0;
        }
    }

    // Reads each contiguous run of the batch's data with one read. Data that can't be read in
    // full marks the block where it stops and ends the reading for good: the run fails there.
    void read(Batch& batch)
    {
        std::size_t begin = 0;
        while (begin < batch.segments.size()) {
            if (!batch.segments[begin].readable) return;
            if (batch.segments[begin].count == 0) {  // an empty file: nothing to read
                ++begin;
                continue;
            }
            // Segments whose data follows on directly in the archive form one run.
            std::size_t end = begin + 1;
            std::uint64_t run_end = batch.segments[begin].position + segment_stored(batch, begin);
            while (end < batch.segments.size() && batch.segments[end].readable &&
                   (batch.segments[end].count == 0 || batch.segments[end].position == run_end)) {
                run_end += segment_stored(batch, end);
                ++end;
            }
            const std::uint64_t start = batch.segments[begin].position;
            const std::size_t length = static_cast<std::size_t>(run_end - start);
            std::size_t got = 0;
            try {
                if (!position_known_ || position_ != start) archive_.seek(start);
                got = archive_.read(batch.input.get() + batch.segments[begin].input_offset, length);
                position_ = start + got;
                position_known_ = got == length;
            } catch (const tarvo::wruntime_error&) {
                position_known_ = false;  // a position the system can't reach holds no data
            }
            if (!mark_arrived(batch, begin, end, got)) return;
            begin = end;
        }
    }

    std::size_t segment_stored(const Batch& batch, std::size_t i) const
    {
        const std::size_t next = i + 1 < batch.segments.size() ? batch.segments[i + 1].input_offset : batch.input_size;
        return next - batch.segments[i].input_offset;
    }

    // Sets `arrived` for segments [begin, end) from the `got` bytes that the run's read
    // delivered. At the first block that didn't arrive in full, drops the segments after it and
    // stops all further reading; returns false then.
    bool mark_arrived(Batch& batch, std::size_t begin, std::size_t end, std::size_t got)
    {
        std::size_t left = got;
        for (std::size_t i = begin; i < end; ++i) {
            Segment& segment = batch.segments[i];
            const FileEntry& entry = layout_.entries[segment.k];
            while (segment.arrived < segment.count) {
                const std::size_t stored = stored_length(layout_.stored_size(entry, segment.first + segment.arrived));
                if (stored > left) break;
                left -= stored;
                ++segment.arrived;
            }
            if (segment.arrived < segment.count) {
                batch.segments.resize(i + 1);
                finished_ = true;
                return false;
            }
        }
        return true;
    }

    tarvo::File& archive_;
    const Layout& layout_;
    std::size_t batch_bytes_;  // stored and raw bytes a batch takes, unless it holds a single block
    std::size_t capacity_;     // of its buffers
    std::size_t batch_entries_;
    std::size_t k_ = 0;                      // the entry at the cursor
    std::uint32_t block_ = 0;                // its next block to plan
    std::span<const std::uint16_t> blocks_;  // its blocks
    std::uint64_t entry_stored_ = 0;         // stored bytes of its blocks before block_
    bool finished_ = false;
    std::uint64_t position_ = 0;  // the archive's read position, when known
    bool position_known_ = false;
};

// Who decodes a batch: whichever of its pool task and the main thread claims it first. A task
// that comes second returns at once and touches nothing but its ticket, which it co-owns, so
// a batch that the main thread decoded itself can be reused without waiting for that task.
struct Ticket {
    std::atomic<bool> claimed{false};
    bool claim() { return !claimed.exchange(true, std::memory_order_acq_rel); }
};

// The batches submitted and not yet handed over, oldest first. Whichever way the run ends,
// no task outlives the batch it works on.
class InFlight {
public:
    InFlight(WorkerPool& pool, const Layout& layout) : pool_(pool), layout_(layout) {}
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
    ~InFlight()
    {
        for (const Pending& pending : batches_) {
            if (pending.ticket->claim() || pending.decoded_here) continue;  // no worker has it
            pending.decoded.wait();
        }
    }

    bool empty() const { return batches_.empty(); }
    std::size_t size() const { return batches_.size(); }

    void submit(std::unique_ptr<Batch> batch)
    {
        Pending pending{std::move(batch), std::make_shared<Ticket>(), {}, false};
        pending.decoded = pool_.submit([ticket = pending.ticket, batch = pending.batch.get(), this](int) {
            if (ticket->claim()) decode_batch(*batch, layout_);
        });
        batches_.push_back(std::move(pending));
    }

    // The oldest batch, decoded; while it is not ready the main thread decodes the oldest batch
    // that no worker has started. A task's exception is rethrown here.
    std::unique_ptr<Batch> pop_decoded()
    {
        Pending& front = batches_.front();
        while (!front.decoded_here && front.decoded.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            const auto unstarted = std::find_if(batches_.begin(), batches_.end(), [](Pending& pending) {
                return !pending.decoded_here && pending.ticket->claim();
            });
            if (unstarted == batches_.end()) {
                front.decoded.wait();
                break;
            }
            decode_batch(*unstarted->batch, layout_);
            unstarted->decoded_here = true;
        }
        if (!front.decoded_here) front.decoded.get();
        std::unique_ptr<Batch> batch = std::move(front.batch);
        batches_.pop_front();
        return batch;
    }

private:
    struct Pending {
        std::unique_ptr<Batch> batch;
        std::shared_ptr<Ticket> ticket;
        std::future<void> decoded;  // of the pool task
        bool decoded_here;          // by the main thread
    };

    WorkerPool& pool_;
    const Layout& layout_;
    std::deque<Pending> batches_;
};

[[noreturn]] void problem_decompressing(const std::wstring& output_path)
{
    throw tarvo::wruntime_error(L"Problem decompressing file " + output_path);
}

// Compares each job's blocks with its loose file and reports its verdict once it ends.
class Comparison final : public BlockSink {
public:
    Comparison(const tarvo::File& archive, std::span<const BlockJob> jobs,
               const std::function<void(const BlockJob&, const BlockVerdict&)>& report)
        : archive_(archive), jobs_(jobs), report_(report)
    {
    }

    void begin(std::size_t k, bool readable) override
    {
        if (!readable) unreadable();
        verdict_ = {};
        compare_ = !jobs_[k].loose_path.empty();
        if (!compare_) return;
        loose_ = tarvo::File(jobs_[k].loose_path, tarvo::File::Mode::read);
        if (!loose_.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", jobs_[k].loose_path));
    }

    void take(std::size_t, std::span<const std::uint8_t> raw) override
    {
        if (!compare_) return;
        if (loose_bytes_.size() < raw.size()) loose_bytes_.resize(raw.size());
        // A file that got shorter since the scan is not what the archive holds.
        compare_ = loose_.read_exact(loose_bytes_.data(), raw.size()) && std::memcmp(loose_bytes_.data(), raw.data(), raw.size()) == 0;
        verdict_.differs = !compare_;
    }

    void end(std::size_t k, EntryEnd how) override
    {
        if (how.stop == BlockStop::unread) unreadable();
        if (how.stop == BlockStop::damaged) verdict_.damaged_block = how.block;
        loose_ = tarvo::File();
        report_(jobs_[k], verdict_);
    }

private:
    [[noreturn]] void unreadable() const { throw tarvo::wruntime_error(tarvo::quoted(L"Cannot read input file ", archive_.path())); }

    const tarvo::File& archive_;
    std::span<const BlockJob> jobs_;
    const std::function<void(const BlockJob&, const BlockVerdict&)>& report_;
    BlockVerdict verdict_;  // of the job coming in
    bool compare_ = false;  // its loose bytes are read and equal so far
    tarvo::File loose_;
    std::vector<std::uint8_t> loose_bytes_;
};

}  // namespace

bool decode_block(const FileEntry& entry, std::uint32_t j, std::uint16_t stored_size, const std::uint8_t* stored,
                  std::uint8_t* raw_out)
{
    const std::uint32_t stored_bytes = stored_length(stored_size);
    const std::uint32_t raw = raw_block_length(entry.size, j);
    if (is_raw_block(entry, j, stored_size)) {
        if (stored_bytes != raw) return false;
        std::memcpy(raw_out, stored, raw);
        return true;
    }
    uLongf inflated = raw;
    return uncompress(raw_out, &inflated, stored, stored_bytes) == Z_OK && inflated == raw;
}

void read_blocks(tarvo::File& archive, std::span<const FileEntry> entries, std::span<const std::uint16_t> block_table,
                 WorkerPool& pool, BlockSink& sink, const ReadLimits& limits)
{
    const Layout layout{entries, block_table};
    BatchReader reader(archive, layout, limits);
    const std::size_t window = std::max<std::size_t>(limits.in_flight_bytes / reader.batch_footprint(), 1);
    std::vector<std::unique_ptr<Batch>> spare;  // handed-over batches, their buffers ready for reuse
    InFlight in_flight(pool, layout);
    std::size_t stopped = std::numeric_limits<std::size_t>::max();  // the entry that stopped short, if any
    for (;;) {
        while (!reader.finished() && in_flight.size() < window) {
            std::unique_ptr<Batch> batch = spare.empty() ? reader.make_batch() : std::move(spare.back());
            if (!spare.empty()) spare.pop_back();
            reader.fill(*batch);
            in_flight.submit(std::move(batch));
        }
        if (in_flight.empty()) break;
        std::unique_ptr<Batch> batch = in_flight.pop_decoded();
        for (const Segment& segment : batch->segments) {
            if (segment.first == 0) sink.begin(segment.k, segment.readable);
            if (!segment.readable) return;
            if (segment.k == stopped) continue;  // past its damaged block
            if (segment.decoded_bytes > 0) sink.take(segment.k, {batch->output.get() + segment.output_offset, segment.decoded_bytes});
            if (segment.decoded < segment.count) {
                stopped = segment.k;
                const bool unread = segment.decoded == segment.arrived;
                sink.end(segment.k, {unread ? BlockStop::unread : BlockStop::damaged, segment.first + segment.decoded});
                if (unread) return;
            } else if (segment.first + segment.count == block_count(entries[segment.k].size)) {
                sink.end(segment.k, {});
            }
        }
        spare.push_back(std::move(batch));
    }
}

void FileSink::begin(std::size_t k, bool readable)
{
    path_ = path_of_(k);
    if (!readable) problem_decompressing(path_);
    output_ = tarvo::File(path_, tarvo::File::Mode::write_new);
    if (!output_.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot create output file ", path_));
}

void FileSink::take(std::size_t, std::span<const std::uint8_t> raw) { output_.write(raw.data(), raw.size()); }

void FileSink::end(std::size_t, EntryEnd how)
{
    if (how.stop != BlockStop::none) problem_decompressing(path_);
    output_.close();
}

void extract_entry(tarvo::File& archive, const std::wstring& output_path, const FileEntry& entry,
                   std::span<const std::uint16_t> block_table, WorkerPool& pool)
{
    FileSink sink([&output_path](std::size_t) { return output_path; });
    read_blocks(archive, {&entry, 1}, block_table, pool, sink);
}

void verify_blocks(tarvo::File& archive, const ArchiveMetadata& metadata, std::span<const BlockJob> jobs,
                   WorkerPool& pool, const std::function<void(const BlockJob&, const BlockVerdict&)>& report,
                   const ReadLimits& limits)
{
    std::vector<FileEntry> entries;
    entries.reserve(jobs.size());
    for (const BlockJob& job : jobs) entries.push_back(metadata.entries[job.entry]);
    Comparison sink(archive, jobs, report);
    read_blocks(archive, entries, metadata.block_table, pool, sink, limits);
}

}  // namespace qar::format
