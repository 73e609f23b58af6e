// Creating the directories an unpack needs, and a path with all its missing parents.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "qar/cli/pattern_list.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/format/entry_selection.hpp"

namespace qar::format {

// Creates output_dir (its parent must exist) and the directory of every selected entry,
// printing "Creating: " lines when list_directories is set. Refuses an unsafe name among
// the selected entries before it creates anything.
void create_directory_tree(const std::wstring& output_dir, const ArchiveMetadata& metadata, bool list_directories,
                           const std::optional<PatternExpression>& expression);

// The same for a selection made by the caller, whose names it has already found safe.
void create_directory_tree(const std::wstring& output_dir, std::span<const SelectedEntry> selection,
                           bool list_directories);

// Creates every missing directory along path.
void make_directories(const std::wstring& path);

}  // namespace qar::format
