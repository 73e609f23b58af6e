// MD5 against the published test suite, split input, and the digests of archive names.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "common/text.hpp"
#include "qar/create/md5.hpp"
#include "scratch.hpp"

namespace qar::create {
namespace {

std::string hex(const format::Digest& digest)
{
    std::string out;
    for (std::uint8_t b : digest) {
        out += "0123456789abcdef"[b >> 4];
        out += "0123456789abcdef"[b & 15];
    }
    return out;
}

std::string md5_hex(std::string_view bytes)
{
    format::Digest digest{};
    EXPECT_TRUE(MD5(bytes).get_digest(digest));
    return hex(digest);
}

TEST(Md5, MatchesTheReferenceSuiteAndPaddingBoundaries)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        // The length field fits after the last byte, or needs a block of its own.
        {std::string(55, 'x'), "04364420e25c512fd958a70738aa8f72"},
        {std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},
        {std::string(64, 'x'), "c1bb4f81d892b2d57947682aeb252456"},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input.size());
        EXPECT_EQ(md5_hex(input), expected);
    }
}

TEST(Md5, SplitInputAndTheStateBeforeFinalize)
{
    const testing::Bytes data = testing::random_bytes(1000, 7);
    const std::string whole = md5_hex(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    for (std::uint32_t step : {1u, 63u, 64u, 65u, 200u}) {
        SCOPED_TRACE(step);
        MD5 md5;
        for (std::uint32_t at = 0; at < data.size(); at += step) {
            md5.update(data.data() + at, std::min<std::uint32_t>(step, static_cast<std::uint32_t>(data.size()) - at));
        }
        format::Digest out;
        out.fill(0xAB);
        EXPECT_FALSE(md5.get_digest(out));
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0xAB; }));
        md5.finalize();
        md5.finalize();
        ASSERT_TRUE(md5.get_digest(out));
        EXPECT_EQ(hex(out), whole);
    }
}

TEST(NameDigest, HashesTheStoredUtf8BytesExactly)
{
    EXPECT_EQ(hex(name_digest(L"a.txt")), "a5e54d1fd7bb69a228ef0dcd2431367e");
    EXPECT_NE(name_digest(L"sub/file.bin"), name_digest(L"SUB/file.bin"));
    EXPECT_NE(name_digest(L"sub/file.bin"), name_digest(L"sub\\file.bin"));
    const std::string utf8 = "d\xC3\xA9j\xC3\xA0/\xF0\x9F\x98\x80.bin";  // one character outside the BMP
    EXPECT_EQ(hex(name_digest(tarvo::from_utf8(utf8))), md5_hex(utf8));
}

}  // namespace
}  // namespace qar::create
