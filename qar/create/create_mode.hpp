// The create mode: a new archive from a directory tree.
#pragma once

#include <string>

#include "qar/base/worker_pool.hpp"
#include "qar/format/block_writer.hpp"

namespace qar::create {

// Compresses on the pool's workers; `store` writes the files' data (a test may hand in a
// reference to compare the pipeline with).
void create_archive(const std::wstring& source_root, const std::wstring& archive_path,
                    const std::wstring& ignore_patterns, WorkerPool& pool, format::StoreFiles store = format::store_files);

}  // namespace qar::create
