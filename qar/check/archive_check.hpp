// The check of an archive: its tables, digests, blocks, extra file and journal, reading only.
#pragma once

#include <string>

#include "qar/base/worker_pool.hpp"

namespace qar::check {

struct CheckOptions {
    std::wstring archive;
    bool list = false;              // -l: one line per entry
    std::wstring extract_patterns;  // -e=: only entries whose names match
    std::wstring directory;         // -d=: every file below it must be an entry with its bytes
};

inline constexpr int kSound = 0;
inline constexpr int kDamaged = 2;  // apart from 1, "could not check", so scripts tell them apart

// Prints the summary, the listing, one "Problem: " line per problem and the verdict; returns
// kSound or kDamaged. A run that can't check at all (no archive, not a QAR archive, locked
// by an update, an unreadable directory) throws instead.
int check_archive(const CheckOptions& options, WorkerPool& pool);

}  // namespace qar::check
