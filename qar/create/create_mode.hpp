// The create mode: a new archive from a directory tree.
#pragma once

#include <string>

namespace qar::create {

// How the files' data goes into the archive; both ways give the same archive and output.
enum class FileStoring {
    pipelined,       // read ahead across files, every worker busy
    one_at_a_time,   // one file in flight, the reference the pipeline is checked against
};

void create_archive(const std::wstring& source_root, const std::wstring& archive_path,
                    const std::wstring& ignore_patterns, FileStoring storing = FileStoring::pipelined);

}  // namespace qar::create
