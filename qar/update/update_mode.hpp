// The update mode: patching an archive in place from loose files.
#pragma once

#include <string>

#include "qar/base/source_tree.hpp"
#include "qar/base/worker_pool.hpp"

namespace qar::update {

// -r (add_files false) and -a (add_files true): replaces the entries named like loose files
// below source_dir and, with add_files, appends the others that the ignore list lets through.
// A refused update leaves the archive byte for byte as it was, and so does one that fails
// after it began to write (it rolls back through the journal). A journal that an interrupted
// run left beside the archive is applied first.
void update_archive(const std::wstring& source_dir, const std::wstring& archive_path,
                    const NameList& name_list, const std::wstring& backup_dir, bool add_files,
                    const std::wstring& ignore_patterns, WorkerPool& pool);

}  // namespace qar::update
