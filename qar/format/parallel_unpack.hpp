// Writing an unpack's selected entries with their blocks decoded on the worker pool.
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

// Prints each selected entry's progress line (total: the selected entries' size) and writes the
// entry, in selection order, with the blocks decoded on the pool: the first failing entry in
// selection order reports, the files before it are complete (its own file holds the blocks
// decoded before the damage), and no file after it is created.
void extract_in_parallel(tarvo::File& archive, const ArchiveMetadata& metadata,
                         std::span<const SelectedEntry> selection, const std::wstring& output_dir,
                         std::uint64_t total, WorkerPool& pool, const PipelineLimits& limits = {});

}  // namespace qar::format
