// Making a path with all its missing parents, level by level.
#pragma once

#include <functional>
#include <string>
#include <unordered_set>

namespace qar::format {

// Makes path's own level (its parent must exist); throws `Couldn't create directory 'PATH'`.
void make_directory_level(const std::wstring& path);

// Makes every level of path, parents first, except the levels in `made` (made or found by this
// run already); adds the levels it makes. A tree of thousands of directories then costs one
// call per directory, not one per level of each.
void make_missing_directories(const std::wstring& path, std::unordered_set<std::wstring>& made);

// Creates every missing directory along path.
void make_directories(const std::wstring& path);

// Calls visit with every level of path, parents first ("a", "a/b", "a/b/c" for "a/b/c"; either
// separator counts), and with whether the level is the whole path, until visit returns false.
// A drive designator ("C:") is not a level, nor is a leading separator on its own.
void for_each_level(const std::wstring& path, const std::function<bool(const std::wstring& level, bool whole)>& visit);

}  // namespace qar::format
