// The files that belong to an archive itself, which no run may read as input or write over.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>

#include "common/file_lock.hpp"

namespace qar::format {

// An entry an unpack writes, with its archive name ("/" between components) as a wide string.
struct SelectedEntry {
    std::size_t index = 0;  // in the entry table
    std::wstring name;
};

// The archive, its journal and the journal's temporary file, as they stand when this is made.
struct OwnFiles {
    static constexpr std::size_t kCount = 3;
    std::array<std::wstring, kCount> paths;                          // archive, journal, temporary file
    std::array<std::wstring, kCount> names;                          // their last components
    std::array<std::optional<tarvo::FileIdentity>, kCount> identities;  // nothing for one that is missing
    std::optional<tarvo::FileIdentity> directory;                   // the directory they lie in
};

OwnFiles own_files_of(const std::wstring& archive_path);

// True when the file at path is one of them: it bears one of their names and is that file,
// whatever path reached it. Only files so named are looked at, so this is cheap for a scan;
// a hard link under another name passes unnoticed.
bool is_own_file(const OwnFiles& own, const std::wstring& path);

// Throws wruntime_error when the output of a selected entry below output_dir would be the
// archive (`Archive entry "NAME" would overwrite the archive "PATH"`) or would stand in the
// archive's directory under the name of its journal or of the journal's temporary file
// (`Archive entry "NAME" would overwrite the journal "PATH"`). Checks before anything exists.
void require_outputs_apart(const OwnFiles& own, const std::wstring& output_dir, std::span<const SelectedEntry> selection);

}  // namespace qar::format
