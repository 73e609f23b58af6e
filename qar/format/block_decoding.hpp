// Decoding one stored zlib block into exactly its raw length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qar::format {

// Inflates the zlib stream in [stored, stored + stored_length) into `raw_length` bytes at out.
// True only when the stream decodes without error to exactly raw_length bytes; bytes after the
// stream's end are ignored. The answer is zlib's uncompress() into a buffer of raw_length bytes,
// also where a faster decoder does the work. Safe on any thread.
bool inflate_block(const std::uint8_t* stored, std::size_t stored_length, std::uint8_t* out, std::size_t raw_length);

// Which decoder inflate_block uses, for the record: "libdeflate" or "zlib".
const char* block_decoder_name();

}  // namespace qar::format
