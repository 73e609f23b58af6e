// The unpack mode and the per-file extraction that backups reuse.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/file.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/format/archive_format.hpp"

namespace qar::format {

inline constexpr std::size_t kExtractOutputBuffer = 2097152;  // inflated data gathered per write

// Writes the selected entries of the archive below output_dir (no trailing separator).
// An empty extract_patterns selects every entry. Blocks decode on the pool's workers (and on
// the calling thread when it would otherwise wait).
void unpack_archive(const std::wstring& input_path, const std::wstring& output_dir, std::wstring extract_patterns,
                    WorkerPool& pool);

// Creates or truncates output_path and writes the entry's size bytes into it, reading its
// blocks through block_table (the archive's whole block table). Moves the archive's position.
// Blocks outside block_table, data that can't be read in full, or a block that doesn't decode
// to exactly its raw length throw "Problem decompressing file " and the path; only bytes that
// were read and decoded in full reach the file.
void extract_entry(tarvo::File& archive, const std::wstring& output_path, const FileEntry& entry,
                   std::span<const std::uint16_t> block_table);

}  // namespace qar::format
