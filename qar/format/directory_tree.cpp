// Creating an unpack's output directories, parents first, and refusing files in their way.
#include "qar/format/directory_tree.hpp"

#include <filesystem>
#include <set>
#include <unordered_set>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"

namespace qar::format {
namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

void make_directory_level(const std::wstring& path)
{
    if (tarvo::make_single_directory(path) == tarvo::MakeDirectoryResult::failed)
        throw tarvo::wruntime_error(L"Couldn't create directory '" + path + L"'");
}

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

// Makes every level of path, parents first, except the levels in `made` (made or found by
// this run already); adds the levels it makes. A tree of thousands of directories then costs
// one call per directory, not one per level of each.
void make_missing_directories(const std::wstring& path, std::unordered_set<std::wstring>& made)
{
    for_each_level(path, [&made](const std::wstring& level, bool) {
        if (!made.contains(level)) {
            make_directory_level(level);
            made.insert(level);
        }
        return true;
    });
}

}  // namespace

void create_directory_tree(const std::wstring& output_dir, std::span<const SelectedEntry> selection,
                           bool list_directories)
{
    // Only the directories that hold a file directly; make_directories fills in their parents.
    std::set<std::wstring, tarvo::Utf16Less> directories;
    for (const SelectedEntry& selected : selection) {
        const std::size_t last = selected.name.find_last_of(L"/\\");
        if (last != std::wstring::npos) directories.insert(selected.name.substr(0, last + 1));
    }

    // Only output_dir's own level: a mistyped parent should fail rather than grow a tree.
    make_directory_level(output_dir);

    std::unordered_set<std::wstring> made;
    for (const std::wstring& directory : directories) {
        const std::wstring path = tarvo::join_archive_name(output_dir, directory);
        if (list_directories) tarvo::console::out(L"Creating: " + directory);
        // The status without the trailing separator, so that a file in the way is seen as one.
        std::wstring bare = path;
        tarvo::trim_trailing_separators(bare);
        const tarvo::PathKind kind = what_stands_at(bare);
        if (kind == tarvo::PathKind::not_found) {
            make_missing_directories(path, made);
        } else if (kind != tarvo::PathKind::directory) {
            throw tarvo::wruntime_error(path + L" is a file, not a directory!");
        }
    }
}

void for_each_level(const std::wstring& path, const std::function<bool(const std::wstring& level, bool whole)>& visit)
{
    // Starting at index 1 keeps a leading separator from producing an empty first level.
    std::size_t start = 1;
    for (;;) {
        std::size_t separator = std::wstring::npos;
        for (std::size_t i = start; i < path.size(); ++i) {
            if (is_separator(path[i])) {
                separator = i;
                break;
            }
        }
        const bool whole = separator == std::wstring::npos;
        const std::wstring level = whole ? path : path.substr(0, separator);
        const bool drive = !level.empty() && level.back() == L':';
        if (!drive && !visit(level, whole)) return;
        if (whole) return;
        start = separator + 1;
    }
}

void make_directories(const std::wstring& path)
{
    std::unordered_set<std::wstring> made;
    make_missing_directories(path, made);
}

}  // namespace qar::format
