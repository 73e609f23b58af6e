// Decoding one stored block of a file into exactly its raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qar/format/archive_format.hpp"

namespace qar::format {

// Inflates the zlib stream in [stored, stored + stored_length) into `raw_length` bytes at out.
// True only when the stream decodes without error to exactly raw_length bytes; bytes after the
// stream's end are ignored, as zlib's uncompress() ignores them. Safe on any thread.
bool inflate_block(const std::uint8_t* stored, std::size_t stored_length, std::uint8_t* out, std::size_t raw_length);

// Block j of the entry from its stored bytes to its raw bytes at raw_out; false when the block
// is damaged: a raw block of another length than the block's (only a damaged table gives one),
// or a stream that doesn't decode to exactly that length, which would shift every later byte.
bool decode_block(const FileEntry& entry, std::uint32_t j, std::uint16_t stored_size, const std::uint8_t* stored,
                  std::uint8_t* raw_out);

}  // namespace qar::format
