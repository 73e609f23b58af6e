// The unpack mode: selected entries written below an output directory in entry order.
#pragma once

#include <string>

#include "qar/base/worker_pool.hpp"

namespace qar::unpack {

// Writes the selected entries of the archive below output_dir (no trailing separator).
// An empty extract_patterns selects every entry. Blocks decode on the pool's workers (and on
// the calling thread when it would otherwise wait).
void unpack_archive(const std::wstring& input_path, const std::wstring& output_dir, std::wstring extract_patterns,
                    WorkerPool& pool);

}  // namespace qar::unpack
