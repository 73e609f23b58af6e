// The block decoder against zlib's uncompress(): both accept or refuse every stream alike, and
// give the same bytes when they accept.
//
// Input: two bytes of raw length (little-endian, 0 standing for 65536), one byte of mode, then
// the payload. Mode 0 takes the payload as the stream; mode 1 compresses it first (so the stream
// is well formed) and then flips the byte the payload's first byte points at, cuts the stream
// short, adds bytes behind it or breaks its checksum, as the mode's high bits choose.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qar/format/block_decoding.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t kBlockSize = 65536;
    if (size < 3) return 0;
    const std::size_t length_field = static_cast<std::size_t>(data[0]) | (static_cast<std::size_t>(data[1]) << 8);
    const std::size_t raw = length_field == 0 ? kBlockSize : length_field;
    const std::uint8_t mode = data[2];
    std::vector<std::uint8_t> stream(data + 3, data + size);
    if ((mode & 1) != 0) {
        std::vector<std::uint8_t> packed(compressBound(static_cast<uLong>(stream.size())));
        uLongf packed_size = static_cast<uLongf>(packed.size());
        if (compress2(packed.data(), &packed_size, stream.data(), static_cast<uLong>(stream.size()), (mode >> 1) % 10) != Z_OK)
            return 0;
        packed.resize(packed_size);
        const std::size_t at = stream.empty() ? 0 : stream[0] % packed.size();
        switch ((mode >> 5) & 3) {
        case 0: packed[at] ^= static_cast<std::uint8_t>(mode | 1); break;
        case 1: packed.resize(at); break;
        case 2: packed.insert(packed.end(), stream.begin(), stream.end()); break;
        case 3: packed.back() ^= 1; break;
        }
        stream = packed;
    }
    std::vector<std::uint8_t> by_zlib(raw), by_decoder(raw);
    uLongf inflated = static_cast<uLongf>(raw);
    const bool zlib_accepts = uncompress(by_zlib.data(), &inflated, stream.data(), static_cast<uLong>(stream.size())) == Z_OK &&
                              inflated == raw;
    const bool decoder_accepts = qar::format::inflate_block(stream.data(), stream.size(), by_decoder.data(), raw);
    if (zlib_accepts != decoder_accepts) std::abort();
    if (zlib_accepts && by_zlib != by_decoder) std::abort();
    return 0;
}
