// What one update run holds: the archive as opened, and the books it keeps while it works.
// Each step of the update gets the parts it uses, explicitly.
#pragma once

#include <string>

#include "common/file.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/update/reserve.hpp"
#include "qar/update/working_tables.hpp"

namespace qar::update {

// What the run changes in memory and writes back at its end: the tables as they grow, and the
// extra file with its region records.
struct Books {
    WorkingTables tables;
    ExtraFile extra;
};

struct UpdateState {
    std::wstring archive_path;
    tarvo::File archive;               // one stream, read and write, for the whole run
    format::ArchiveMetadata metadata;  // as read: the books are built from it
    Books books;                       // filled by plan_update
};

// Opens the archive for reading and writing and reads its metadata. Refuses, before anything
// is written, an archive that can't be opened ("Cannot open input file "), whose magic or
// tables are wrong, or whose file data would lie past the trailer ("Invalid QAR file format").
UpdateState open_update_state(const std::wstring& archive_path);

}  // namespace qar::update
