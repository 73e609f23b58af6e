// One block from its zlib stream to its raw bytes, with libdeflate's decoder where the build has it.
#include "qar/format/block_decoding.hpp"

#include <zlib.h>

#ifdef TARVO_HAVE_LIBDEFLATE
#include <libdeflate.h>

#include <memory>
#endif

namespace qar::format {

#ifdef TARVO_HAVE_LIBDEFLATE
namespace {

struct FreeDecompressor {
    void operator()(libdeflate_decompressor* decompressor) const { libdeflate_free_decompressor(decompressor); }
};

// A decompressor holds state while it works, so every thread has its own, made on first use.
libdeflate_decompressor* thread_decompressor()
{
    thread_local const std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(
        libdeflate_alloc_decompressor());
    return decompressor.get();
}

}  // namespace

bool inflate_block(const std::uint8_t* stored, std::size_t stored_length, std::uint8_t* out, std::size_t raw_length)
{
    libdeflate_decompressor* decompressor = thread_decompressor();
    if (decompressor == nullptr) {
        uLongf inflated = static_cast<uLongf>(raw_length);
        return uncompress(out, &inflated, stored, static_cast<uLong>(stored_length)) == Z_OK && inflated == raw_length;
    }
    // No count out: anything but exactly raw_length bytes is a failure, as a short stream is
    // to zlib; the decoder stops at the stream's end, as zlib does, whatever follows it.
    return libdeflate_zlib_decompress(decompressor, stored, stored_length, out, raw_length, nullptr) ==
           LIBDEFLATE_SUCCESS;
}

const char* block_decoder_name() { return "libdeflate"; }

#else

bool inflate_block(const std::uint8_t* stored, std::size_t stored_length, std::uint8_t* out, std::size_t raw_length)
{
    uLongf inflated = static_cast<uLongf>(raw_length);
    return uncompress(out, &inflated, stored, static_cast<uLong>(stored_length)) == Z_OK && inflated == raw_length;
}

const char* block_decoder_name() { return "zlib"; }

#endif

}  // namespace qar::format
