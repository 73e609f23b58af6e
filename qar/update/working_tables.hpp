// The archive's tables in a form that can grow while an update works on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/file.hpp"
#include "qar/format/archive_format.hpp"

namespace qar::update {

// What fixes the size of the tables that write_tables lays down.
struct TableTotals {
    std::uint64_t entries = 0, names_length = 0, blocks = 0;  // names_length counts the terminators
    void add(std::size_t name_bytes, std::uint64_t block_count) { ++entries; names_length += name_bytes + 1; blocks += block_count; }
    // Refuses tables the format's fields can't hold, as the create mode refuses them.
    std::uint32_t metadata_size() const { return format::checked_metadata_size(entries, names_length, blocks); }
};

// Digest, entry, name and block list of entry i stand at index i of the four sequences; the
// index becomes the entry's place in the tables that write_tables writes. first_block,
// first_block_copy and name_offset of the entries are only recomputed by write_tables.
struct WorkingTables {
    format::ArchiveHeader header;  // file_count always equals the length of the sequences
    std::vector<format::Digest> digests;
    std::vector<format::FileEntry> entries;
    std::vector<std::string> names;  // UTF-8 bytes, no terminator
    std::vector<format::BlockSizeList> block_lists;
    // The names the archive had when the update began, to the entry that answers for each
    // (the first of equal names). Entries appended later never get in here.
    std::map<std::string, std::size_t> name_index;

    std::size_t size() const { return entries.size(); }
    TableTotals totals() const;

    void append_entry(const format::Digest& digest, const format::FileEntry& entry, std::string name,
                      format::BlockSizeList block_list);
    // Drops entries 0 to m - 1; the rest move to the front and name_index follows them.
    void remove_first(std::size_t m);
};

struct BuiltTables {
    WorkingTables tables;
    std::optional<std::size_t> extra_entry;  // the first entry named exactly "qar_extra.bin"
};

BuiltTables build_working_tables(const format::ArchiveMetadata& metadata);

// Writes the digest, entry, name and block tables from offset 16, numbering names and blocks as
// running totals in entry order, and returns the whole metadata as it is to stand on disk, the
// header included: the header goes last, over the update's mark.
std::vector<std::uint8_t> write_tables(WorkingTables& tables, tarvo::File& archive);

}  // namespace qar::update
