// Creating an unpack's output directories, parents first, and refusing files in their way.
#include "qar/unpack/output_tree.hpp"

#include <filesystem>
#include <set>
#include <unordered_set>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/format/directory_tree.hpp"

namespace qar::unpack {
namespace {

// What stands at path. A status that can't be read counts as nothing there: creating the
// directory then either works or reports why it can't.
tarvo::PathKind what_stands_at(const std::wstring& path)
{
    try {
        return tarvo::path_kind(path, "status");
    } catch (const std::filesystem::filesystem_error&) {
        return tarvo::PathKind::not_found;
    }
}

}  // namespace

void create_directory_tree(const std::wstring& output_dir, std::span<const format::SelectedEntry> selection)
{
    // Only the directories that hold a file directly; their parents are made on the way.
    std::set<std::wstring, tarvo::Utf16Less> directories;
    for (const format::SelectedEntry& selected : selection) {
        const std::size_t last = selected.name.find_last_of(L"/\\");
        if (last != std::wstring::npos) directories.insert(selected.name.substr(0, last + 1));
    }

    // Only output_dir's own level: a mistyped parent should fail rather than grow a tree.
    format::make_directory_level(output_dir);

    std::unordered_set<std::wstring> made;
    for (const std::wstring& directory : directories) {
        const std::wstring path = tarvo::join_archive_name(output_dir, directory);
        tarvo::console::out(L"Creating: " + directory);
        // The status without the trailing separator, so that a file in the way is seen as one.
        std::wstring bare = path;
        tarvo::trim_trailing_separators(bare);
        const tarvo::PathKind kind = what_stands_at(bare);
        if (kind == tarvo::PathKind::not_found) {
            format::make_missing_directories(path, made);
        } else if (kind != tarvo::PathKind::directory) {
            throw tarvo::wruntime_error(path + L" is a file, not a directory!");
        }
    }
}

}  // namespace qar::unpack
