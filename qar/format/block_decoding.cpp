// One block from its stored bytes to exactly its raw bytes.
#include "qar/format/block_decoding.hpp"

#include <zlib.h>

#include <cstring>

namespace qar::format {

bool inflate_block(const std::uint8_t* stored, std::size_t stored_length, std::uint8_t* out, std::size_t raw_length)
{
    uLongf inflated = static_cast<uLongf>(raw_length);
    return uncompress(out, &inflated, stored, static_cast<uLong>(stored_length)) == Z_OK && inflated == raw_length;
}

bool decode_block(const FileEntry& entry, std::uint32_t j, std::uint16_t stored_size, const std::uint8_t* stored,
                  std::uint8_t* raw_out)
{
    const std::uint32_t stored_bytes = stored_length(stored_size);
    const std::uint32_t raw = raw_block_length(entry.size, j);
    if (is_raw_block(entry, j, stored_size)) {
        if (stored_bytes != raw) return false;
        std::memcpy(raw_out, stored, raw);
        return true;
    }
    return inflate_block(stored, stored_bytes, raw_out, raw);
}

}  // namespace qar::format
