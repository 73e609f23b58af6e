// Unpacking with the blocks decoded on the worker pool, files written in entry order.
//
// What runs where: the calling (main) thread cuts the selected entries' blocks into batches,
// reads each batch's stored bytes with as few reads as the layout allows (one per contiguous
// run of data), submits one decode task per batch, and then writes the oldest decoded batch:
// progress lines, file creation, file data and closing, all in selection order. The workers
// run the decode tasks. When the oldest batch isn't decoded yet, the main thread decodes a
// batch that no worker has started rather than sleep (whoever claims a batch's Ticket first
// decodes it).
// What is ordered: batches are written strictly in the order they were read, so the console
// and the output tree see the entries exactly as one entry after the other would. A damaged
// block is only reported when the writer reaches it: the files before it are complete, its
// own file holds the blocks decoded before it, and no later file is ever opened.
// What is bounded: a batch holds at most batch_bytes of stored and of raw data (or a single
// block) and batch_entries entries, in buffers allocated once and reused for later batches;
// there are only as many batches as in_flight_bytes holds (at least one), whatever the archive.
// Who owns each buffer: each Batch owns its input, output and segment list. From submission
// until it is decoded a batch belongs to whoever claimed it; the main thread reads or refills
// it only after decoding it itself or after the task's future is ready (InFlight waits for
// every claimed task, also when an exception leaves). A task that lost its claim touches
// nothing but its Ticket. The metadata and the selection are only read, by everyone.
#include "qar/format/parallel_unpack.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <limits>
#include <memory>
#include <vector>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "qar/base/file_lines.hpp"
#include "qar/format/block_decoding.hpp"

namespace qar::format {
namespace {

[[noreturn]] void problem_decompressing(const std::wstring& output_path)
{
    throw tarvo::wruntime_error(L"Problem decompressing file " + output_path);
}

// One entry's share of a batch: `count` blocks from block `first` on.
struct Segment {
    std::size_t ordinal = 0;  // in the selection
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::uint64_t position = 0;     // in the archive, of block `first`
    std::size_t input_offset = 0;   // of its stored bytes in Batch::input
    std::size_t output_offset = 0;  // of its raw bytes in Batch::output
    bool refused = false;           // entry_blocks() found no data for the entry: nothing is read
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
    static std::size_t footprint(std::size_t bytes, std::size_t entries)
    {
        return 2 * bytes + entries * sizeof(Segment);
    }

    std::vector<Segment> segments;
    std::unique_ptr<std::uint8_t[]> input;   // the segments' stored bytes, back to back
    std::unique_ptr<std::uint8_t[]> output;  // their raw bytes, back to back
    std::size_t input_size = 0;              // bytes of input in use
    std::size_t output_size = 0;             // bytes of output in use
};

// The stored_size of block j of an entry whose range entry_blocks() accepted.
std::uint16_t stored_size_at(const ArchiveMetadata& metadata, const FileEntry& entry, std::uint32_t j)
{
    return metadata.block_table[static_cast<std::size_t>(entry.first_block) + j];
}

// Decodes the batch's segments in order and stops at the first damaged block (the
// writer never goes past it). Returns whether every block decoded.
bool decode_batch(Batch& batch, const ArchiveMetadata& metadata, std::span<const SelectedEntry> selection)
{
    for (Segment& segment : batch.segments) {
        if (segment.refused) return false;
        const FileEntry& entry = metadata.entries[selection[segment.ordinal].index];
        const std::uint8_t* in = batch.input.get() + segment.input_offset;
        std::uint8_t* out = batch.output.get() + segment.output_offset;
        for (std::uint32_t k = 0; k < segment.count; ++k) {
            const std::uint32_t j = segment.first + k;
            const std::uint16_t stored_size = stored_size_at(metadata, entry, j);
            if (k >= segment.arrived || !decode_block(entry, j, stored_size, in, out)) return false;
            const std::uint32_t raw = raw_block_length(entry.size, j);
            in += stored_length(stored_size);
            out += raw;
            segment.decoded = k + 1;
            segment.decoded_bytes += raw;
        }
    }
    return true;
}

// Cuts the selection into batches in order and reads their stored bytes.
class BatchReader {
public:
    BatchReader(tarvo::File& archive, const ArchiveMetadata& metadata, std::span<const SelectedEntry> selection,
                const PipelineLimits& limits)
        : archive_(archive),
          metadata_(metadata),
          selection_(selection),
          batch_bytes_(limits.batch_bytes),
          batch_entries_(std::max<std::size_t>(limits.batch_entries, 1))
    {
    }

    // A batch whose buffers fit any batch this reader fills: a single block can exceed batch_bytes.
    std::unique_ptr<Batch> make_batch() const
    {
        return std::make_unique<Batch>(std::max<std::size_t>(batch_bytes_, kBlockSize), batch_entries_);
    }
    std::size_t batch_footprint() const
    {
        return Batch::footprint(std::max<std::size_t>(batch_bytes_, kBlockSize), batch_entries_);
    }

    // Nothing more to read: every entry is in a batch, or the last batch ends where the run will.
    bool finished() const { return finished_ || ordinal_ == selection_.size(); }

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
        while (ordinal_ < selection_.size() && batch.segments.size() < batch_entries_) {
            const FileEntry& entry = metadata_.entries[selection_[ordinal_].index];
            if (block_ == 0) {
                const auto blocks = entry_blocks(entry, metadata_.block_table);
                if (!blocks) {
                    Segment refused;
                    refused.ordinal = ordinal_;
                    refused.input_offset = batch.input_size;
                    refused.output_offset = batch.output_size;
                    refused.refused = true;
                    batch.segments.push_back(refused);
                    finished_ = true;  // the run ends at this entry
                    return;
                }
                blocks_ = *blocks;
                entry_stored_ = 0;
            }
            Segment segment;
            segment.ordinal = ordinal_;
            segment.first = block_;
            segment.position = entry.data_offset + entry_stored_;
            segment.input_offset = batch.input_size;
            segment.output_offset = batch.output_size;
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
            ++ordinal_;
            block_ = 0;
        }
    }

    // Reads each contiguous run of the batch's data with one read. Data that can't be read in
    // full marks the block where it stops and ends the reading for good: the run fails there.
    void read(Batch& batch)
    {
        std::size_t begin = 0;
        while (begin < batch.segments.size()) {
            if (batch.segments[begin].refused) return;
            if (batch.segments[begin].count == 0) {  // an empty file: nothing to read
                ++begin;
                continue;
            }
            // Segments whose data follows on directly in the archive form one run.
            std::size_t end = begin + 1;
            std::uint64_t run_end = batch.segments[begin].position + segment_stored(batch, begin);
            while (end < batch.segments.size() && !batch.segments[end].refused &&
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
            const FileEntry& entry = metadata_.entries[selection_[segment.ordinal].index];
            while (segment.arrived < segment.count) {
                const std::uint32_t j = segment.first + segment.arrived;
                const std::size_t stored = stored_length(stored_size_at(metadata_, entry, j));
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
    const ArchiveMetadata& metadata_;
    std::span<const SelectedEntry> selection_;
    std::size_t batch_bytes_;
    std::size_t batch_entries_;
    std::size_t ordinal_ = 0;                // the entry at the cursor
    std::uint32_t block_ = 0;                // its next block to plan
    std::span<const std::uint16_t> blocks_;  // its blocks
    std::uint64_t entry_stored_ = 0;         // stored bytes of its blocks before block_
    bool finished_ = false;
    std::uint64_t position_ = 0;  // the archive's read position, when known
    bool position_known_ = false;
};

// Writes decoded batches: progress lines, file creation, data and closing, in order.
class BatchWriter {
public:
    BatchWriter(const ArchiveMetadata& metadata, std::span<const SelectedEntry> selection,
                const std::wstring& output_dir, std::uint64_t total)
        : metadata_(metadata), selection_(selection), output_dir_(output_dir), total_(total)
    {
    }

    void write(const Batch& batch)
    {
        for (const Segment& segment : batch.segments) {
            const SelectedEntry& selected = selection_[segment.ordinal];
            const FileEntry& entry = metadata_.entries[selected.index];
            if (segment.first == 0) start(selected, entry, segment.refused);
            output_.write(batch.output.get() + segment.output_offset, segment.decoded_bytes);
            if (segment.decoded < segment.count) problem_decompressing(path_);
            if (segment.first + segment.count == block_count(entry.size)) output_.close();
        }
    }

private:
    void start(const SelectedEntry& selected, const FileEntry& entry, bool refused)
    {
        done_ += entry.size;
        tarvo::console::out(progress_line(done_, total_, selected.name));
        path_ = tarvo::join_archive_name(output_dir_, selected.name);
        if (refused) problem_decompressing(path_);
        output_ = tarvo::File(path_, tarvo::File::Mode::write_new);
        if (!output_.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot create output file ", path_));
    }

    const ArchiveMetadata& metadata_;
    std::span<const SelectedEntry> selection_;
    const std::wstring& output_dir_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    std::wstring path_;   // of the file being written
    tarvo::File output_;  // the file being written; an exception leaves it closed as it stands
};

// Who decodes a batch: whichever of its pool task and the main thread claims it first. A task
// that comes second returns at once and touches nothing but its ticket, which it co-owns, so
// a batch that the main thread decoded itself can be reused without waiting for that task.
struct Ticket {
    std::atomic<bool> claimed{false};
    bool claim() { return !claimed.exchange(true, std::memory_order_acq_rel); }
};

// The batches submitted and not yet written, oldest first. Whichever way the pipeline ends,
// no task outlives the batch it works on.
class InFlight {
public:
    InFlight(WorkerPool& pool, const ArchiveMetadata& metadata, std::span<const SelectedEntry> selection)
        : pool_(pool), metadata_(metadata), selection_(selection)
    {
    }
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
            return ticket->claim() && decode_batch(*batch, metadata_, selection_);
        });
        batches_.push_back(std::move(pending));
    }

    // The oldest batch, decoded. While it is not ready the main thread decodes the oldest batch
    // that no worker has started instead of sleeping: on a busy machine a sleeping thread can
    // wait long to be woken again. A task's exception is rethrown here.
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
            decode_batch(*unstarted->batch, metadata_, selection_);
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
        std::future<bool> decoded;  // of the pool task
        bool decoded_here;          // by the main thread
    };

    WorkerPool& pool_;
    const ArchiveMetadata& metadata_;
    std::span<const SelectedEntry> selection_;
    std::deque<Pending> batches_;
};

}  // namespace




void extract_in_parallel(tarvo::File& archive, const ArchiveMetadata& metadata,
                         std::span<const SelectedEntry> selection, const std::wstring& output_dir,
                         std::uint64_t total, WorkerPool& pool, const PipelineLimits& limits)
{
    BatchReader reader(archive, metadata, selection, limits);
    BatchWriter writer(metadata, selection, output_dir, total);
    const std::size_t window = std::max<std::size_t>(limits.in_flight_bytes / reader.batch_footprint(), 1);
    std::vector<std::unique_ptr<Batch>> spare;  // written batches, their buffers ready for reuse
    InFlight in_flight(pool, metadata, selection);
    for (;;) {
        while (!reader.finished() && in_flight.size() < window) {
            std::unique_ptr<Batch> batch;
            if (spare.empty()) {
                batch = reader.make_batch();
            } else {
                batch = std::move(spare.back());
                spare.pop_back();
            }
            reader.fill(*batch);
            in_flight.submit(std::move(batch));
        }
        if (in_flight.empty()) break;
        std::unique_ptr<Batch> batch = in_flight.pop_decoded();
        writer.write(*batch);
        spare.push_back(std::move(batch));
    }
}

}  // namespace qar::format
