// The entries an extract expression selects, with their names as wide strings.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qar/base/pattern_list.hpp"
#include "qar/format/archive_format.hpp"

namespace qar::format {

struct SelectedEntry {
    std::size_t index = 0;  // in the entry table
    std::wstring name;      // the archive name, "/" between components
};

// Every entry whose whole name matches the expression (letters in any case), or every entry
// when there is none, in entry-table order. Each name is converted, selected or not: a name
// that is not UTF-8 throws std::range_error("bad conversion").
std::vector<SelectedEntry> select_entries(const ArchiveMetadata& metadata,
                                          const std::optional<PatternExpression>& expression);

// Throws wruntime_error `Unsafe file name in archive "NAME"` for the first unsafe name.
void require_safe_names(std::span<const SelectedEntry> selection);

// Throws wruntime_error `Cannot create output file "PATH"` (PATH the name below output_dir),
// the error its turn would end the run with, for the first selected name that another selected
// name needs as a directory (ASCII case ignored where the file system ignores it).
void require_files_apart(std::span<const SelectedEntry> selection, const std::wstring& output_dir);

}  // namespace qar::format
