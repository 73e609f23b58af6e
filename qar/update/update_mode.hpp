// The update mode: patching an archive in place from loose files.
#pragma once

#include <string>

#include "qar/create/source_tree.hpp"

namespace qar::update {

void update_archive(const std::wstring& source_dir, const std::wstring& archive_path,
                    const create::NameList& name_list, const std::wstring& backup_dir, bool add_files,
                    const std::wstring& ignore_patterns);

}  // namespace qar::update
