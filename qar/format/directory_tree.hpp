// Creating the directories an unpack needs, and a path with all its missing parents.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>

#include "qar/base/pattern_list.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/format/entry_selection.hpp"

namespace qar::format {

// Creates output_dir (its parent must exist) and the directory of every selected entry (whose
// names the caller has found safe), printing "Creating: " lines when list_directories is set.
void create_directory_tree(const std::wstring& output_dir, std::span<const SelectedEntry> selection,
                           bool list_directories);

// Creates every missing directory along path.
void make_directories(const std::wstring& path);

// Calls visit with every level of path, parents first ("a", "a/b", "a/b/c" for "a/b/c"; either
// separator counts), and with whether the level is the whole path, until visit returns false.
// A drive designator ("C:") is not a level, nor is a leading separator on its own.
void for_each_level(const std::wstring& path, const std::function<bool(const std::wstring& level, bool whole)>& visit);

}  // namespace qar::format
