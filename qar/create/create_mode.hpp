// The create mode: a new archive from a directory tree.
#pragma once

#include <string>

#include "qar/base/worker_pool.hpp"

namespace qar::create {

// Compresses on the pool's workers.
void create_archive(const std::wstring& source_root, const std::wstring& archive_path,
                    const std::wstring& ignore_patterns, WorkerPool& pool);

}  // namespace qar::create
