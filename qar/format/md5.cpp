// MD5 message digests: padding, length, compression function and byte order of RFC 1321.
#include "qar/format/md5.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/byte_order.hpp"
#include "common/error.hpp"

namespace qar::format {
namespace {

constexpr std::size_t kBlockBytes = 64;

// Initial chaining values A, B, C, D.
constexpr std::array<std::uint32_t, 4> kInitialState = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// Per-step additive constants: the integer part of 2^32 × |sin(i + 1)|.
constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Left-rotation amounts, four per round.
constexpr unsigned kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr std::uint32_t rotate_left(std::uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

MD5::MD5(std::string_view bytes)
{
    init();
    update(reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()));
    finalize();
}

void MD5::init()
{
    finalized_ = false;
    buffer_.fill(0);
    count_ = {0, 0};
    state_ = kInitialState;
    digest_.fill(0);
}

void MD5::update(const std::uint8_t* bytes, std::uint32_t length)
{
    std::size_t index = (count_[0] >> 3) % kBlockBytes;
    const std::uint32_t bits = length << 3;
    count_[0] += bits;
    if (count_[0] < bits) ++count_[1];
    count_[1] += length >> 29;

    std::size_t consumed = 0;
    const std::size_t room = kBlockBytes - index;
    if (length >= room) {
        std::memcpy(&buffer_[index], bytes, room);
        transform(buffer_.data());
        for (consumed = room; consumed + kBlockBytes <= length; consumed += kBlockBytes) transform(bytes + consumed);
        index = 0;
    }
    if (consumed < length) std::memcpy(&buffer_[index], bytes + consumed, length - consumed);
}

void MD5::finalize()
{
    if (finalized_) return;
    // The bit length is taken before padding changes the count.
    std::uint8_t length_bytes[8];
    tarvo::put_le<std::uint32_t>(length_bytes, count_[0]);
    tarvo::put_le<std::uint32_t>(length_bytes + 4, count_[1]);

    // One 0x80 byte, then zeros up to 56 bytes mod 64, then the 8 length bytes.
    static constexpr std::uint8_t kPadding[kBlockBytes] = {0x80};
    const std::size_t index = (count_[0] >> 3) % kBlockBytes;
    const std::size_t pad_length = index < 56 ? 56 - index : 120 - index;
    update(kPadding, static_cast<std::uint32_t>(pad_length));
    update(length_bytes, static_cast<std::uint32_t>(sizeof length_bytes));

    for (std::size_t i = 0; i < state_.size(); ++i) tarvo::put_le<std::uint32_t>(&digest_[4 * i], state_[i]);
    buffer_.fill(0);
    count_ = {0, 0};
    finalized_ = true;
}

bool MD5::get_digest(Digest& out) const
{
    if (!finalized_) return false;
    out = digest_;
    return true;
}

void MD5::transform(const std::uint8_t* block)
{
    std::uint32_t x[16];
    for (std::size_t i = 0; i < 16; ++i) x[i] = tarvo::get_le<std::uint32_t>(block + 4 * i);

    std::uint32_t a = state_[0];
    std::uint32_t b = state_[1];
    std::uint32_t c = state_[2];
    std::uint32_t d = state_[3];
    for (unsigned step = 0; step < 64; ++step) {
        const unsigned round = step / 16;
        std::uint32_t f = 0;
        unsigned word = 0;
        switch (round) {
        case 0: f = (b & c) | (~b & d); word = step; break;
        case 1: f = (d & b) | (~d & c); word = (5 * step + 1) % 16; break;
        case 2: f = b ^ c ^ d; word = (3 * step + 5) % 16; break;
        default: f = c ^ (b | ~d); word = (7 * step) % 16; break;
        }
        const std::uint32_t rotated = rotate_left(a + f + kSine[step] + x[word], kShift[round][step % 4]);
        a = d;
        d = c;
        c = b;
        b += rotated;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

Digest name_digest(std::string_view utf8_name)
{
    const MD5 md5(utf8_name);
    Digest digest{};
    md5.get_digest(digest);
    return digest;
}

Digest tables_digest(tarvo::File& archive, std::uint64_t size)
{
    constexpr std::size_t kChunk = std::size_t{1} << 20;  // tables of any size pass through this much memory
    MD5 md5;
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk)));
    archive.seek(0);
    for (std::uint64_t left = size; left > 0;) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
        archive.read_all(chunk.data(), piece);
        md5.update(chunk.data(), static_cast<std::uint32_t>(piece));
        left -= piece;
    }
    md5.finalize();
    Digest digest{};
    md5.get_digest(digest);
    return digest;
}

}  // namespace qar::format
