// Test fixtures: QAR archive images built in memory, blocks stored as the writers store them.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "qar/format/archive_format.hpp"
#include "tests/support/scratch.hpp"

namespace tarvo::test {

struct ArchiveFile {
    std::string name;  // UTF-8 archive name
    std::string content;
};

struct BuiltArchive {
    std::vector<std::uint8_t> bytes;  // the whole archive image
    std::vector<qar::format::FileEntry> entries;
    std::vector<std::uint16_t> block_table;
    std::uint32_t metadata_size = 0;

    // Byte offsets of the tables inside the image, for tests that damage them.
    std::size_t entry_offset(std::size_t i) const { return 16 + 16 * entries.size() + 32 * i; }
    std::size_t block_table_offset() const { return metadata_size - 2 * block_table.size(); }
};

// Each block compressed on its own and kept only when strictly shorter, files in entry order
// right after the metadata, names laid down without gaps: the layout the create mode writes.
// Digests are left zero: readers don't check them.
inline BuiltArchive build_archive(const std::vector<ArchiveFile>& files)
{
    namespace fmt = qar::format;
    BuiltArchive out;
    std::vector<std::uint8_t> names;
    std::vector<std::uint8_t> data;
    for (const ArchiveFile& file : files) {
        const auto* name = reinterpret_cast<const std::uint8_t*>(file.name.data());
        out.entries.push_back(fmt::FileEntry{static_cast<std::uint32_t>(out.block_table.size()),
                                             static_cast<std::uint32_t>(out.block_table.size()), file.content.size(),
                                             data.size(), names.size()});
        names.insert(names.end(), name, name + file.name.size());
        names.push_back(0);
        const auto* content = reinterpret_cast<const std::uint8_t*>(file.content.data());
        for (std::size_t start = 0; start < file.content.size(); start += fmt::kBlockSize) {
            const std::size_t raw = std::min<std::size_t>(fmt::kBlockSize, file.content.size() - start);
            std::vector<std::uint8_t> packed(compressBound(static_cast<uLong>(raw)));
            uLongf packed_size = static_cast<uLongf>(packed.size());
            compress(packed.data(), &packed_size, content + start, static_cast<uLong>(raw));
            const bool packed_shorter = packed_size < raw;
            const std::uint8_t* stored = packed_shorter ? packed.data() : content + start;
            const std::size_t stored_size = packed_shorter ? packed_size : raw;
            data.insert(data.end(), stored, stored + stored_size);
            out.block_table.push_back(fmt::stored_size_of(stored_size));
        }
    }
    out.metadata_size = static_cast<std::uint32_t>(16 + 48 * files.size() + 4 + names.size() + 2 * out.block_table.size());
    for (fmt::FileEntry& entry : out.entries) entry.data_offset += out.metadata_size;
    const fmt::ArchiveHeader header{fmt::kMagic, out.metadata_size, files.size()};
    out.bytes = fmt::serialize_metadata(header, std::vector<fmt::Digest>(files.size()), out.entries, names, out.block_table);
    out.bytes.insert(out.bytes.end(), data.begin(), data.end());
    out.bytes.resize(out.bytes.size() + 16);  // the trailer
    return out;
}

// The tables of the archive at path.
inline qar::format::ArchiveMetadata read_archive(const std::wstring& path)
{
    File file(path, File::Mode::read);
    return qar::format::read_metadata(file);
}

}  // namespace tarvo::test
