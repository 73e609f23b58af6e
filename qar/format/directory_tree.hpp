// Creating the directories an unpack needs, and a path with all its missing parents.
#pragma once

#include <optional>
#include <string>

#include "qar/cli/pattern_list.hpp"
#include "qar/format/archive_format.hpp"

namespace qar::format {

// Creates output_dir (its parent must exist) and the directory of every selected entry,
// printing "Creating: " lines when list_directories is set.
void create_directory_tree(const std::wstring& output_dir, const ArchiveMetadata& metadata, bool list_directories,
                           const std::optional<PatternExpression>& expression);

// Creates every missing directory along path.
void make_directories(const std::wstring& path);

}  // namespace qar::format
