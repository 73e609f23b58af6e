// Block decoding for the check: reads on the main thread, decodes on the pool, reports in order.
//
// What runs where: the main thread cuts the jobs' blocks into batches in job order, reads each
// batch's stored bytes from the archive (and, for jobs with a loose file, the same stretch of
// that file), and submits one task per batch. A worker decodes the batch's blocks one by one
// into the batch's scratch block and compares them with the loose bytes; nothing is written
// anywhere. The main thread then takes the batches back oldest first and reports each job
// once its last block is in.
// What is ordered: batches are taken back strictly in the order they were read, so reports
// come in job order whatever order the workers finish in.
// What is bounded: a batch holds at most kBatchBytes of stored bytes and as many loose bytes
// (or one block), and only as many batches as kInFlightBytes holds are out at once; their
// buffers are allocated once and reused.
// Who owns each buffer: each Batch owns its buffers and segments. From submission until its
// future is ready a batch belongs to the task; the main thread reads or refills it only after
// that, and InFlight waits for every task before its batches go, also when an exception leaves.
#include "qar/check/block_verification.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "qar/format/block_decoding.hpp"

namespace qar::check {
namespace {

using format::kBlockSize;

// Stored bytes one batch reads: few reads and enough work per task to outweigh handing it over.
constexpr std::size_t kBatchBytes = std::size_t{2} << 20;
static_assert(kBatchBytes >= kBlockSize, "any block fits in a batch");
// Buffers of all batches out at once: well under 64 MiB, yet many batches for many workers.
constexpr std::size_t kInFlightBytes = std::size_t{16} << 20;

// One job's share of a batch: `count` blocks from block `first` on.
struct Segment {
    std::size_t job = 0;
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::size_t input_offset = 0;  // of the stored bytes in Batch::input
    std::size_t loose_offset = 0;  // of the loose file's bytes in Batch::loose
    bool compare = false;
    BlockVerdict verdict;          // the task's findings for these blocks
};

struct Batch {
    explicit Batch(bool with_loose)
        : input(kBatchBytes), loose(with_loose ? kBatchBytes : 0), scratch(kBlockSize) {}
    std::vector<Segment> segments;
    std::vector<std::uint8_t> input, loose, scratch;
    std::size_t input_size = 0;
    std::size_t loose_size = 0;
};

// The task: decodes every block of the batch and compares it with the loose bytes.
bool decode_batch(Batch& batch, const format::ArchiveMetadata& metadata, std::span<const BlockJob> jobs)
{
    for (Segment& segment : batch.segments) {
        const std::size_t index = jobs[segment.job].entry;
        const format::FileEntry& entry = metadata.entries[index];
        const std::span<const std::uint16_t> blocks = metadata.blocks_of(index);
        const std::uint8_t* in = batch.input.data() + segment.input_offset;
        const std::uint8_t* loose = batch.loose.data() + segment.loose_offset;
        for (std::uint32_t j = segment.first; j < segment.first + segment.count; ++j) {
            if (!format::decode_block(entry, j, blocks[j], in, batch.scratch.data())) {
                segment.verdict.damaged_block = j;
                break;
            }
            const std::uint32_t raw = format::raw_block_length(entry.size, j);
            if (segment.compare && std::memcmp(batch.scratch.data(), loose, raw) != 0) segment.verdict.differs = true;
            in += format::stored_length(blocks[j]);
            loose += raw;
        }
    }
    return true;
}

// Fills batches with the next blocks of the jobs, in order, and reads their bytes.
class BatchReader {
public:
    BatchReader(tarvo::File& archive, const format::ArchiveMetadata& metadata, std::span<const BlockJob> jobs)
        : archive_(archive), metadata_(metadata), jobs_(jobs) {}

    bool finished() const { return job_ == jobs_.size(); }

    void fill(Batch& batch)
    {
        batch.segments.clear();
        batch.input_size = 0;
        batch.loose_size = 0;
        while (!finished()) {
            const BlockJob& job = jobs_[job_];
            const format::FileEntry& entry = metadata_.entries[job.entry];
            const std::span<const std::uint16_t> blocks = metadata_.blocks_of(job.entry);
            Segment segment{job_, block_, 0, batch.input_size, batch.loose_size, !job.loose_path.empty(), {}};
            while (block_ < blocks.size()) {
                const std::size_t stored = format::stored_length(blocks[block_]);
                const std::size_t raw = segment.compare ? format::raw_block_length(entry.size, block_) : 0;
                const bool room = batch.input_size + stored <= kBatchBytes && batch.loose_size + raw <= kBatchBytes;
                if (!room && !(batch.segments.empty() && segment.count == 0)) break;
                batch.input_size += stored;
                batch.loose_size += raw;
                ++segment.count;
                ++block_;
            }
            if (segment.count == 0) return;  // full before this job's next block
            read(segment, batch);
            batch.segments.push_back(std::move(segment));
            if (block_ < blocks.size()) return;  // full; the job goes on in the next batch
            ++job_;
            block_ = 0;
            entry_stored_ = 0;
        }
    }

private:
    void read(Segment& segment, Batch& batch)
    {
        const BlockJob& job = jobs_[segment.job];
        const std::size_t stored = batch.input_size - segment.input_offset;
        const std::uint64_t start = metadata_.entries[job.entry].data_offset + entry_stored_;
        if (start != position_) archive_.seek(start);
        if (!archive_.read_exact(batch.input.data() + segment.input_offset, stored))
            throw tarvo::wruntime_error(tarvo::quoted(L"Cannot read input file ", archive_.path()));
        position_ = start + stored;
        entry_stored_ += stored;
        if (!segment.compare) return;
        if (segment.first == 0) {
            loose_ = tarvo::File(job.loose_path, tarvo::File::Mode::read);
            if (!loose_.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", job.loose_path));
        }
        // A file that got shorter since the scan is not what the archive holds.
        const std::size_t raw = batch.loose_size - segment.loose_offset;
        if (!loose_.read_exact(batch.loose.data() + segment.loose_offset, raw)) {
            segment.compare = false;
            segment.verdict.differs = true;
        }
    }

    tarvo::File& archive_;
    const format::ArchiveMetadata& metadata_;
    std::span<const BlockJob> jobs_;
    std::size_t job_ = 0;              // the job at the cursor
    std::uint32_t block_ = 0;          // its next block
    std::uint64_t entry_stored_ = 0;   // stored bytes of its blocks before block_
    std::uint64_t position_ = ~std::uint64_t{0};  // the archive's read position, once known
    tarvo::File loose_;                // the loose file of the job at the cursor
};

// The batches out on the pool, oldest first; no task outlives its batch.
class InFlight {
public:
    InFlight() = default;
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
    ~InFlight()
    {
        for (auto& pending : batches_) pending.second.wait();
    }

    std::size_t size() const { return batches_.size(); }

    void push(std::unique_ptr<Batch> batch, std::future<bool> decoded)
    {
        batches_.emplace_back(std::move(batch), std::move(decoded));
    }

    std::unique_ptr<Batch> pop()
    {
        batches_.front().second.get();
        std::unique_ptr<Batch> batch = std::move(batches_.front().first);
        batches_.pop_front();
        return batch;
    }

private:
    std::deque<std::pair<std::unique_ptr<Batch>, std::future<bool>>> batches_;
};

}  // namespace

void verify_blocks(tarvo::File& archive, const format::ArchiveMetadata& metadata, std::span<const BlockJob> jobs,
                   WorkerPool& pool, const std::function<void(const BlockJob&, const BlockVerdict&)>& report)
{
    const bool with_loose = std::any_of(jobs.begin(), jobs.end(), [](const BlockJob& job) { return !job.loose_path.empty(); });
    const std::size_t footprint = kBatchBytes * (with_loose ? 2 : 1) + kBlockSize;
    const std::size_t window = std::max<std::size_t>(kInFlightBytes / footprint, 1);

    BatchReader reader(archive, metadata, jobs);
    std::vector<std::unique_ptr<Batch>> spare;
    BlockVerdict verdict;  // of the job whose segments are coming in
    InFlight in_flight;
    for (;;) {
        while (!reader.finished() && in_flight.size() < window) {
            std::unique_ptr<Batch> batch;
            if (spare.empty()) {
                batch = std::make_unique<Batch>(with_loose);
            } else {
                batch = std::move(spare.back());
                spare.pop_back();
            }
            reader.fill(*batch);
            Batch* filled = batch.get();
            std::future<bool> decoded = pool.submit([filled, &metadata, jobs](int) { return decode_batch(*filled, metadata, jobs); });
            in_flight.push(std::move(batch), std::move(decoded));
        }
        if (in_flight.size() == 0) break;
        std::unique_ptr<Batch> batch = in_flight.pop();
        for (const Segment& segment : batch->segments) {
            if (!verdict.damaged_block) verdict.damaged_block = segment.verdict.damaged_block;
            verdict.differs = verdict.differs || segment.verdict.differs;
            const BlockJob& job = jobs[segment.job];
            if (segment.first + segment.count == metadata.blocks_of(job.entry).size()) {
                report(job, verdict);
                verdict = BlockVerdict{};
            }
        }
        spare.push_back(std::move(batch));
    }
}

}  // namespace qar::check
