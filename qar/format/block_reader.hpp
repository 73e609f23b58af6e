// Reading entries' blocks: batches read in runs, decoded on the worker pool, handed over in order
// to a sink that writes files (unpack, backups) or compares with loose files (the check).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "common/file.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/format/archive_format.hpp"

namespace qar::format {

// Stored (and raw) bytes per batch, read with one read per run of data and decoded by one task:
// a few ms of inflate, so handing the task over is lost in it and a large file takes few reads,
// yet small enough that several batches keep every worker busy while the sink writes or compares.
inline constexpr std::size_t kReadBatch = std::size_t{1} << 20;
static_assert(kReadBatch >= kBlockSize, "a whole block fits in a batch");
// Entries per batch, so that a batch of tiny and empty files stays bounded too.
inline constexpr std::size_t kReadBatchEntries = 1024;
// The batches out at once, buffers and all: about seven, well inside the 64 MiB a run may use.
inline constexpr std::size_t kReadInFlight = std::size_t{16} << 20;

// Block j of the entry from its stored bytes to its raw bytes at raw_out; false when the block
// is damaged: a raw block of another length than the block's (only a damaged table gives one),
// or a zlib stream that doesn't decode without error to exactly that length, which would shift
// every later byte (bytes after the stream's end are ignored, as zlib's uncompress() ignores
// them). Safe on any thread.
bool decode_block(const FileEntry& entry, std::uint32_t j, std::uint16_t stored_size, const std::uint8_t* stored,
                  std::uint8_t* raw_out);

struct ReadLimits {
    std::size_t batch_bytes = kReadBatch;
    std::size_t batch_entries = kReadBatchEntries;
    std::size_t in_flight_bytes = kReadInFlight;
};

// How an entry's blocks ended: all of them, or the first one that doesn't decode to its raw
// length, or the first one whose stored bytes couldn't be read in full.
enum class BlockStop { none, damaged, unread };
struct EntryEnd {
    BlockStop stop = BlockStop::none;
    std::uint32_t block = 0;  // where it stopped
};

// Receives the entries on the calling thread, one after the other: begin, the raw bytes of its
// blocks in order (those before a stop), end. An entry that isn't `readable` (its blocks leave
// the block table, or its data lies where no seek reaches) gets only begin, and ends the run;
// so does a stop at a block that couldn't be read. A damaged block ends only its own entry.
class BlockSink {
public:
    virtual ~BlockSink() = default;
    virtual void begin(std::size_t k, bool readable) = 0;
    virtual void take(std::size_t k, std::span<const std::uint8_t> raw) = 0;
    virtual void end(std::size_t k, EntryEnd how) = 0;
};

// Reads the blocks of entries[k] (first_block counting in block_table) for every k in order.
void read_blocks(tarvo::File& archive, std::span<const FileEntry> entries, std::span<const std::uint16_t> block_table,
                 WorkerPool& pool, BlockSink& sink, const ReadLimits& limits = {});

// The sink that writes each entry into a new file, at the path that path_of(k) gives just
// before it is made (and may print a line). Anything but a whole entry throws "Problem
// decompressing file " and the path, after the blocks before the stop reached the file;
// a file that can't be made throws `Cannot create output file "PATH"`.
class FileSink final : public BlockSink {
public:
    explicit FileSink(std::function<std::wstring(std::size_t k)> path_of) : path_of_(std::move(path_of)) {}
    void begin(std::size_t k, bool readable) override;
    void take(std::size_t k, std::span<const std::uint8_t> raw) override;
    void end(std::size_t k, EntryEnd how) override;

private:
    std::function<std::wstring(std::size_t)> path_of_;
    std::wstring path_;   // of the file being written
    tarvo::File output_;  // the file being written; an exception leaves it closed as it stands
};

// One entry into a new file at output_path (a backup), as the FileSink writes it. Moves the
// archive's position.
void extract_entry(tarvo::File& archive, const std::wstring& output_path, const FileEntry& entry,
                   std::span<const std::uint16_t> block_table, WorkerPool& pool);

// One entry of the archive to check, with at least one block and its data inside the archive.
struct BlockJob {
    std::size_t entry = 0;    // in the entry table
    std::wstring loose_path;  // a file of the entry's size to compare with, or empty
};

struct BlockVerdict {
    std::optional<std::uint32_t> damaged_block;  // the first block that doesn't decode to its raw length
    bool differs = false;                        // the loose file's bytes are not the entry's
};

// Decodes the jobs' blocks, writing nothing, and calls report for each job in order once all
// of its blocks are done. Throws wruntime_error `Cannot read input file "PATH"` when the
// archive can't be read, `Cannot open input file "PATH"` when a loose file can't be opened.
void verify_blocks(tarvo::File& archive, const ArchiveMetadata& metadata, std::span<const BlockJob> jobs,
                   WorkerPool& pool, const std::function<void(const BlockJob&, const BlockVerdict&)>& report,
                   const ReadLimits& limits = {});

}  // namespace qar::format
