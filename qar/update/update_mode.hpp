// The update mode: patching an archive in place from loose files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qar/base/source_tree.hpp"
#include "qar/update/update_state.hpp"

namespace qar::update {

// -r (add_files false) and -a (add_files true): replaces the entries named like loose files
// below source_dir and, with add_files, appends the others that the ignore list lets through.
// A refused update leaves the archive byte for byte as it was, and so does one that fails
// after it began to write (it rolls back through the journal). A journal that an interrupted
// run left beside the archive is applied first.
void update_archive(const std::wstring& source_dir, const std::wstring& archive_path,
                    const NameList& name_list, const std::wstring& backup_dir, bool add_files,
                    const std::wstring& ignore_patterns, WorkerPool& pool);

// The last writes of a successful update but one: the tables behind the header, the extra file
// image at its entry's data_offset (its header and records in use: the rest is on disk
// already), and the digest of the new metadata over the archive's last 16 bytes. Returns the
// new metadata, header included; its header is the update's very last write.
std::vector<std::uint8_t> write_metadata(UpdateState& state);

}  // namespace qar::update
