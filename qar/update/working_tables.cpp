// Building the working tables from the metadata as read, changing them, writing them back.
#include "qar/update/working_tables.hpp"

#include <span>
#include <stdexcept>
#include <utility>

#include "qar/update/reserve.hpp"

namespace qar::update {

void WorkingTables::append_entry(const format::Digest& digest, const format::FileEntry& entry, std::string name,
                                 format::BlockSizeList block_list)
{
    digests.push_back(digest);
    entries.push_back(entry);
    names.push_back(std::move(name));
    block_lists.push_back(std::move(block_list));
    header.file_count = entries.size();
}

void WorkingTables::remove_first(std::size_t m)
{
    const auto cut = [m](auto& sequence) {
        sequence.erase(sequence.begin(), sequence.begin() + static_cast<std::ptrdiff_t>(m));
    };
    cut(digests);
    cut(entries);
    cut(names);
    cut(block_lists);
    // The reserve points every moved name at its copy first; a name left on a removed entry
    // would have nothing to answer for.
    for (auto it = name_index.begin(); it != name_index.end();) {
        if (it->second < m) {
            it = name_index.erase(it);
        } else {
            it->second -= m;
            ++it;
        }
    }
    header.file_count = entries.size();
}

TableTotals WorkingTables::totals() const
{
    TableTotals totals;
    for (std::size_t i = 0; i < size(); ++i) totals.add(names[i].size(), block_lists[i].size());
    return totals;
}

BuiltTables build_working_tables(const format::ArchiveMetadata& metadata)
{
    BuiltTables built;
    WorkingTables& tables = built.tables;
    tables.header = metadata.header;
    const std::size_t n = metadata.entries.size();
    tables.digests.reserve(n);
    tables.entries.reserve(n);
    tables.names.reserve(n);
    tables.block_lists.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::string name(metadata.name_bytes(i));
        tables.name_index.emplace(name, i);  // a repeated name keeps its first entry
        if (!built.extra_entry && name == kExtraFileName) built.extra_entry = i;
        const std::span<const std::uint16_t> blocks = metadata.blocks_of(i);
        tables.append_entry(metadata.digests[i], metadata.entries[i], std::move(name),
                            format::BlockSizeList(blocks.begin(), blocks.end()));
    }
    return built;
}

std::vector<std::uint8_t> write_tables(WorkingTables& tables, tarvo::File& archive)
{
    const TableTotals totals = tables.totals();
    // The update refuses tables that outgrow the format's fields before it writes anything.
    const std::uint32_t size = totals.metadata_size();

    std::vector<std::uint8_t> names_area;
    names_area.reserve(static_cast<std::size_t>(totals.names_length));
    std::vector<std::uint16_t> block_table;
    block_table.reserve(static_cast<std::size_t>(totals.blocks));
    for (std::size_t i = 0; i < tables.size(); ++i) {
        format::FileEntry& entry = tables.entries[i];
        entry.name_offset = names_area.size();
        names_area.insert(names_area.end(), tables.names[i].begin(), tables.names[i].end());
        names_area.push_back(0);
        entry.first_block = static_cast<std::uint32_t>(block_table.size());
        entry.first_block_copy = entry.first_block;
        block_table.insert(block_table.end(), tables.block_lists[i].begin(), tables.block_lists[i].end());
    }
    tables.header.metadata_size = size;
    tables.header.file_count = tables.size();

    std::vector<std::uint8_t> bytes =
        format::serialize_metadata(tables.header, tables.digests, tables.entries, names_area, block_table);
    archive.seek(format::kHeaderSize);
    archive.write(bytes.data() + format::kHeaderSize, bytes.size() - format::kHeaderSize);
    return bytes;
}

}  // namespace qar::update
