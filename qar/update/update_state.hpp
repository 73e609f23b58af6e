// What one update run holds while it works: the archive, its tables as read and as they
// grow, and the extra file. Every step of the update gets it explicitly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/file.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/format/deflate_workers.hpp"
#include "qar/update/reserve.hpp"
#include "qar/update/working_tables.hpp"

namespace qar::update {

inline constexpr std::size_t kZeroBuffer = 65536;  // slack is written from this many zero bytes at a time

struct UpdateState {
    std::wstring archive_path;
    tarvo::File archive;               // one stream, read and write, for the whole run
    format::ArchiveMetadata metadata;  // as read; backups read blocks through its block table
    WorkingTables tables;
    ExtraFile extra;
    std::size_t extra_entry = 0;
    std::vector<std::uint8_t> zeros = std::vector<std::uint8_t>(kZeroBuffer, 0);
    // On the run's pool, made once for the run, so each worker sets its deflate state up
    // once however many files it compresses.
    std::unique_ptr<format::DeflateWorkers> deflaters;

    // Where the data of the entries as planned starts (sorted), and where it all ends: no
    // entry's room reaches past the next of these. Set when the run is planned and kept, so
    // that room left behind by a file relocated during the run is never handed to another.
    std::vector<std::uint64_t> used_starts;
    std::uint64_t used_end = 0;

    // Where appended data starts: the archive's length - 16.
    std::uint64_t end_position() { return archive.length() - format::kTrailerSize; }
};

// Opens the archive for reading and writing and reads its metadata. Refuses, before anything
// is written, an archive that can't be opened ("Cannot open input file "), whose magic or
// tables are wrong, or whose file data would lie past the trailer ("Invalid QAR file format").
UpdateState open_update_state(const std::wstring& archive_path);

}  // namespace qar::update
