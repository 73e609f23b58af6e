// MD5 message digests (RFC 1321), for name digests and the trailer digest.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/file.hpp"
#include "qar/format/archive_format.hpp"

namespace qar::format {

class MD5 {
public:
    MD5() { init(); }
    explicit MD5(std::string_view bytes);

    void init();
    void update(const std::uint8_t* bytes, std::uint32_t length);
    void finalize();
    // Copies the digest and returns true once finalized; otherwise leaves out untouched.
    bool get_digest(Digest& out) const;

private:
    void transform(const std::uint8_t* block);

    bool finalized_ = false;
    std::array<std::uint8_t, 64> buffer_{};
    std::array<std::uint32_t, 2> count_{};  // message length in bits, low word first
    std::array<std::uint32_t, 4> state_{};
    Digest digest_{};
};

// The digest of an archive name's UTF-8 bytes.
Digest name_digest(std::string_view utf8_name);

// The digest of the archive's first `size` bytes, read in pieces however large they are: what
// the trailer holds for tables of that size.
Digest tables_digest(tarvo::File& archive, std::uint64_t size);

}  // namespace qar::format
