// Writing an unpack's selected entries: one by one on the calling thread, or with their blocks
// decoded on the worker pool; both print and write the same things in the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/file.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/format/entry_selection.hpp"

namespace qar::format {

// A batch is a few ms of inflate, so the cost of a task is lost in it; a window of several keeps
// the workers busy while the writer waits on the file system, and stays in the caches.
inline constexpr std::size_t kDecodeBatch = 512 << 10;  // stored (and raw) bytes per decode task
inline constexpr std::size_t kBatchEntries = 1024;      // entries per task, so tiny and empty files stay bounded too
inline constexpr std::size_t kInFlight = 8 << 20;       // the batches between reading and writing, buffers and all

struct PipelineLimits {
    std::size_t batch_bytes = kDecodeBatch;
    std::size_t batch_entries = kBatchEntries;
    std::size_t in_flight_bytes = kInFlight;
};

// "  7.25%: name": the share of the selected bytes written once this file is done.
std::wstring progress_line(std::uint64_t done, std::uint64_t total, const std::wstring& name);

// The entry's blocks in the block table, or nothing when they leave it or when its data would
// end past any position a seek can reach (such an entry holds no data).
std::optional<std::span<const std::uint16_t>> entry_blocks(const FileEntry& entry,
                                                           std::span<const std::uint16_t> block_table);

// Prints each selected entry's progress line (total: the selected entries' size) and writes the
// entry with extract_entry, in selection order. The first failure ends it.
void extract_one_by_one(tarvo::File& archive, const ArchiveMetadata& metadata,
                        std::span<const SelectedEntry> selection, const std::wstring& output_dir,
                        std::uint64_t total);

// The same lines, files and failures as extract_one_by_one, with the blocks decoded on the pool:
// the first failing entry in selection order reports, the files before it are complete, and
// no file after it is created.
void extract_in_parallel(tarvo::File& archive, const ArchiveMetadata& metadata,
                         std::span<const SelectedEntry> selection, const std::wstring& output_dir,
                         std::uint64_t total, WorkerPool& pool, const PipelineLimits& limits = {});

}  // namespace qar::format
