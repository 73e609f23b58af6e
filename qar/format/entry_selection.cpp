// Choosing the entries to unpack and refusing names that would leave the output directory or
// that can't all be files.
#include "qar/format/entry_selection.hpp"

#include "common/error.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/format/name_clash.hpp"
#include "qar/base/safe_name.hpp"

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

void require_files_apart(std::span<const SelectedEntry> selection, const std::wstring& output_dir)
{
    NameTree tree(tarvo::kWindowsFileNames);
    for (std::size_t k = 0; k < selection.size(); ++k) tree.add(tarvo::to_utf8(selection[k].name), k);
    // Every directory is made before the first file: the file whose path is one fails.
    for (const SelectedEntry& selected : selection) {
        if (tree.name_below(tarvo::to_utf8(selected.name)))
            throw tarvo::wruntime_error(tarvo::quoted(L"Cannot create output file ", tarvo::join_archive_name(output_dir, selected.name)));
    }
}

}  // namespace qar::format
