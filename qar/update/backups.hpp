// Backups: the contents of each file about to be patched, saved below the backup directory
// before the archive is first written; and the checks, made by the same walk without writing.
#pragma once

#include <string>
#include <vector>

#include "common/file.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/update/update_plan.hpp"

namespace qar::update {

// Backups written among the loose files would be taken for loose files by the next update:
// refuses a backup directory that is the loose-file directory or lies inside it.
void check_backup_dir_apart(const std::wstring& backup_dir, const std::wstring& source_dir);

// Refuses, without making anything, backups that the run would fail to make in its order.
void check_backups(const std::wstring& backup_dir, const std::vector<LooseFile>& files);

// Saves the current contents of every file about to be patched below backup_dir, unless a
// backup of that name is already there. Runs before the archive is first written. A backup
// that can't be written in full is removed again, so that no later run keeps it as the old
// contents.
void make_backups(tarvo::File& archive, const WorkingTables& tables, WorkerPool& pool,
                  const std::vector<LooseFile>& files, const std::wstring& backup_dir);

}  // namespace qar::update
