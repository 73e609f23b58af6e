// Choosing the entries to unpack and refusing names that would leave the output directory.
#include "qar/format/entry_selection.hpp"

#include "common/text.hpp"
#include "qar/format/safe_name.hpp"

namespace qar::format {

std::vector<SelectedEntry> select_entries(const ArchiveMetadata& metadata,
                                          const std::optional<PatternExpression>& expression)
{
    std::vector<SelectedEntry> selection;
    for (std::size_t i = 0; i < metadata.entries.size(); ++i) {
        std::wstring name = tarvo::from_utf8(metadata.name_bytes(i));
        if (expression && !matches(name, *expression)) continue;
        selection.push_back(SelectedEntry{i, std::move(name)});
    }
    return selection;
}

void require_safe_names(std::span<const SelectedEntry> selection)
{
    for (const SelectedEntry& selected : selection) require_safe_archive_name(selected.name);
}

}  // namespace qar::format
