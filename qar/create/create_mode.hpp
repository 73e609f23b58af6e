// The create mode: a new archive from a directory tree.
#pragma once

#include <string>

namespace qar::create {

void create_archive(const std::wstring& source_root, const std::wstring& archive_path,
                    const std::wstring& ignore_patterns);

}  // namespace qar::create
