// Listing the loose files below a source directory with their sizes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/text.hpp"

namespace qar {

// Archive name ("/" between components) to size, in UTF-16 code-unit order: the entry order
// of a created archive and the processing order of an update.
using FileSizeMap = std::map<std::wstring, std::uint64_t, tarvo::Utf16Less>;

// The lines of a "-s=" list file, as bytes.
using NameList = std::vector<std::string>;

// Adds the regular files below directory (all of them, or only those name_list names) to
// files. root_length is the length of the top-level root; names are relative to it. On a
// platform where a name can hold "\", the walk leaves out such a file or directory, printing
// "Ignoring " and its name, since its archive name would not name it.
void scan_source_tree(const std::wstring& directory, FileSizeMap& files, std::size_t root_length,
                      const NameList& name_list);

}  // namespace qar
