// Decoding every block of many entries on the worker pool, and comparing them with loose files.
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

namespace qar::check {

// One entry with at least one block, whose data lies inside the archive.
struct BlockJob {
    std::size_t entry = 0;     // in the entry table
    std::wstring loose_path;   // a file of the entry's size to compare with, or empty
};

struct BlockVerdict {
    std::optional<std::uint32_t> damaged_block;  // the first block that doesn't decode to its raw length
    bool differs = false;                        // the loose file's bytes are not the entry's
};

// Decodes the jobs' blocks, writing nothing, and calls report for each job in order once all
// of its blocks are done. Throws wruntime_error `Cannot read input file "PATH"` when the
// archive can't be read, `Cannot open input file "PATH"` when a loose file can't be opened.
void verify_blocks(tarvo::File& archive, const format::ArchiveMetadata& metadata, std::span<const BlockJob> jobs,
                   WorkerPool& pool, const std::function<void(const BlockJob&, const BlockVerdict&)>& report);

}  // namespace qar::check
