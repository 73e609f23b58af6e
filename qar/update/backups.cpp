// Making the backups of an update, and checking before its first write that they can be made.
#include "qar/update/backups.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>

#include "common/error.hpp"
#include "common/file_lock.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/format/block_reader.hpp"
#include "qar/format/directory_tree.hpp"

namespace qar::update {
namespace {

// The name up to and including its last separator; empty for a name at the root.
std::wstring directory_part(const std::wstring& name)
{
    const std::size_t last = name.find_last_of(L"/\\");
    return last == std::wstring::npos ? std::wstring() : name.substr(0, last + 1);
}

// make_directories passes over a file standing where a directory belongs and only fails one
// level deeper, after it may already have made others; so every level that exists must be a
// directory. Stops at the first level that doesn't exist: from there on all will be made.
// Returns whether the whole path exists.
bool check_directory_levels(const std::wstring& path, const std::wstring& shown)
{
    bool exists = true;
    format::for_each_level(path, [&](const std::wstring& level, bool whole) {
        if (level.empty()) return true;
        const tarvo::PathKind kind = tarvo::path_kind(level, "status");
        if (kind == tarvo::PathKind::not_found) return exists = false;
        if (kind != tarvo::PathKind::directory)
            throw tarvo::wruntime_error((whole ? shown : level) + L" is a file, not a directory!");
        return true;
    });
    return exists;
}

// The backups one after the other, in the order of the run: each file's directory, then its
// backup, unless one of that name is there already (it holds the contents from before the first
// update). Without `write` nothing is made, and the walk refuses what the run would fail at. A
// name with a directory part makes backup_dir and every level below it on the way to its own
// directory; only directory parts are made, so a file at the root finds backup_dir only when it
// existed before the run or an earlier backup made it.
void walk_backups(const std::wstring& backup_dir, const std::vector<LooseFile>& files,
                  const std::function<void(const LooseFile& file, const std::wstring& backup_path)>& write)
{
    bool backup_dir_made = false;
    for (const LooseFile& file : files) {
        if (file.action != LooseAction::patch) continue;
        if (const std::wstring directory = directory_part(file.name); !directory.empty()) {
            const std::wstring shown = tarvo::join_archive_name(backup_dir, directory);
            std::wstring bare = shown;
            tarvo::trim_trailing_separators(bare);
            if (!check_directory_levels(bare, shown) && write) format::make_directories(bare);
            backup_dir_made = true;
        }
        const std::wstring backup_path = tarvo::join_archive_name(backup_dir, file.name);
        if (tarvo::path_kind(backup_path, "exists") != tarvo::PathKind::not_found) continue;
        if (!backup_dir_made && tarvo::path_kind(backup_dir, "status") != tarvo::PathKind::directory)
            throw tarvo::wruntime_error(tarvo::quoted(L"Cannot create output file ", backup_path));
        if (write) write(file, backup_path);
    }
}

}  // namespace

// With the loose directory itself as backup directory every backup would find the loose file in
// its place and never be made. The backup directory need not exist yet: its levels that do are
// compared, found through the real path of the deepest one, so that links and ".." lead where
// the system would lead.
void check_backup_dir_apart(const std::wstring& backup_dir, const std::wstring& source_dir)
{
    const std::optional<tarvo::FileIdentity> source = tarvo::file_identity(source_dir);
    if (!source) return;
    std::error_code error;
    std::filesystem::path level = std::filesystem::absolute(tarvo::to_fs_path(backup_dir), error);
    if (!error) level = std::filesystem::weakly_canonical(level, error);
    if (error) level = tarvo::to_fs_path(backup_dir).lexically_normal();
    for (;;) {
        if (tarvo::file_identity(tarvo::from_fs_path(level)) == source) {
            throw tarvo::wruntime_error(tarvo::quoted(L"Backup directory ", backup_dir) +
                                        tarvo::quoted(L" lies inside the source directory ", source_dir));
        }
        const std::filesystem::path parent = level.parent_path();
        if (parent.empty() || parent == level) return;
        level = parent;
    }
}

void check_backups(const std::wstring& backup_dir, const std::vector<LooseFile>& files)
{
    walk_backups(backup_dir, files, nullptr);
}

void make_backups(tarvo::File& archive, const WorkingTables& tables, WorkerPool& pool,
                  const std::vector<LooseFile>& files, const std::wstring& backup_dir)
{
    if (backup_dir.empty()) return;
    walk_backups(backup_dir, files, [&](const LooseFile& file, const std::wstring& backup_path) {
        try {
            format::extract_entry(archive, backup_path, file.original, tables.block_lists[file.entry], pool);
        } catch (...) {
            tarvo::remove_file(backup_path);
            throw;
        }
    });
}

}  // namespace qar::update
