// Creating an unpack's output directories, parents first, and refusing files in their way.
#pragma once

#include <span>
#include <string>

#include "qar/format/entry_selection.hpp"

namespace qar::unpack {

// Creates output_dir (its parent must exist) and the directory of every selected entry (whose
// names the caller has found safe), printing a "Creating: " line for each.
void create_directory_tree(const std::wstring& output_dir, std::span<const format::SelectedEntry> selection);

}  // namespace qar::unpack
