// Tables the reader must refuse, table sizes no archive can hold, and the MD5 of the digests.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "common/error.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/format/md5.hpp"
#include "tests/support/archive_builder.hpp"
#include "tests/support/scratch.hpp"

namespace qar::format {
namespace {

using tarvo::test::build_archive, tarvo::test::set_entry;

TEST(ArchiveFormat, DamagedTablesAreRefused)
{
    // The first file two blocks long, the middle one empty.
    const auto good = build_archive({{"a/x.bin", std::string(70000, 'x')}, {"e", ""}, {"b.txt", "hi"}});
    using Patch = std::function<void(std::vector<std::uint8_t>&)>;
    // A field of the header or of entry i, set through the layout's own encoding.
    const auto header = [](auto field, std::uint64_t value) {
        return Patch([=](auto& b) { ArchiveHeader h = decode_header(b.data()); h.*field = static_cast<std::remove_reference_t<decltype(h.*field)>>(value); encode_header(h, b.data()); });
    };
    const auto entry = [&](std::size_t i, auto field, std::uint64_t value) { return Patch([=, n = good.entries.size()](auto& b) { set_entry(b, n, i, field, value); }); };
    const auto name_table_size = [&](std::uint32_t v) { return Patch([=, at = good.names_offset() - kNameTableSizeField](auto& b) { tarvo::put_le(b.data() + at, v); }); };
    const std::size_t names_size = good.block_table_offset() - good.names_offset();
    const std::uint64_t entries_that_fit = (good.bytes.size() - kHeaderSize - kNameTableSizeField - kTrailerSize) / (kDigestSize + kEntrySize);
    const struct { const char* label; Patch patch; const char* message; } cases[] = {
        {"magic", header(&ArchiveHeader::magic, kMagic + 1), "the magic is not SRYK"},
        {"header only", [](auto& b) { b.resize(kHeaderSize); }, "the entry tables pass the end"},
        {"cut inside the header", [](auto& b) { b.resize(kHeaderSize - 6); }, "the header is cut short"},
        {"file_count far too large", header(&ArchiveHeader::file_count, ~std::uint64_t{0}), "the entry tables pass the end"},
        {"file_count one too large", header(&ArchiveHeader::file_count, entries_that_fit + 1), "the entry tables pass the end"},
        {"name_table_size below 4", name_table_size(kNameTableSizeField - 1), "name_table_size is below 4"},
        {"name_table_size past the end", name_table_size(0xFFFFFFF0), "the names area passes the end"},
        {"name_offset outside the names", entry(2, &FileEntry::name_offset, names_size), "a name_offset lies outside the names area"},
        {"name without its NUL", [&](auto& b) { b[good.names_offset() + names_size - 1] = 'z'; }, "a name has no NUL inside the names area"},
        {"size claims 2^48 bytes", entry(0, &FileEntry::size, std::uint64_t{1} << 48), "the block table passes the end"},
        {"first_block past the table", entry(2, &FileEntry::first_block, good.block_table.size()), "an entry's blocks lie outside the block table"},
        {"first_block near 2^32", entry(2, &FileEntry::first_block, 0xFFFFFFFF), "an entry's blocks lie outside the block table"},
        {"archive cut before its trailer", [&](auto& b) { b.resize(good.metadata_size + kTrailerSize - 1); }, "the block table passes the end"},
        // Bytes that no writer lets two files share, nor data inside the tables.
        {"two files share data", entry(2, &FileEntry::data_offset, good.entries[0].data_offset + 1), "two files share data"},
        {"data from the block table's last byte on", entry(2, &FileEntry::data_offset, good.metadata_size - 1), "file data overlaps the tables"},
        {"two files share a block", entry(2, &FileEntry::first_block, 1), "two files share blocks"},
        {"two files share name bytes", entry(2, &FileEntry::name_offset, good.entries[0].name_offset + 2), "two files share name bytes"},
    };
    tarvo::test::ScratchDir dir;
    const auto read = [&](const std::vector<std::uint8_t>& image) {
        tarvo::test::write_bytes(dir / L"image.qar", image);
        tarvo::File file(dir / L"image.qar", tarvo::File::Mode::read);
        return read_metadata(file);
    };
    for (const auto& [label, patch, message] : cases) {
        SCOPED_TRACE(label);
        std::vector<std::uint8_t> image = good.bytes;
        patch(image);
        try {
            read(image);
            ADD_FAILURE() << "accepted";
        } catch (const MalformedArchive& refusal) {
            EXPECT_STREQ(refusal.what(), message);
        }
    }

    // An empty file's first_block is never used, so any value is harmless.
    std::vector<std::uint8_t> image = good.bytes;
    set_entry(image, good.entries.size(), 1, &FileEntry::first_block, 0xFFFFFFFF);
    EXPECT_TRUE(read(image).blocks_of(1).empty());

    // Tables whose names area, block table or whole length their 32-bit fields can't hold are
    // refused by the one check that the create and update modes and the writer share.
    const std::uint64_t field = 0xFFFFFFFF;
    EXPECT_EQ(checked_metadata_size(1, 6, 1), 76u);
    for (const auto& [n, names, blocks, message] :
         {std::tuple{0ull, field - 3, 0ull, L"names area"}, {0ull, 0ull, field + 1, L"block table"}, {field / (kDigestSize + kEntrySize), 0ull, 0ull, L"tables"}}) {
        EXPECT_EQ(tarvo::test::error_of([n = n, names = names, blocks = blocks] { checked_metadata_size(n, names, blocks); }), std::wstring(message) + L" too large for a QAR archive")
            << n << " entries, " << names << " name bytes, " << blocks << " blocks";
    }
}

// Known digests fed whole or in pieces: the length field fits after the last byte, or needs a block of its own.
TEST(Md5, MatchesKnownDigestsFedWholeOrInPieces)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"}, {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {std::string(55, 'x'), "04364420e25c512fd958a70738aa8f72"}, {std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},
        {std::string(64, 'x'), "c1bb4f81d892b2d57947682aeb252456"}};
    for (const auto& [input, expected] : cases) {
        for (std::size_t step : {1u, 63u, 64u, 65u}) {
            MD5 md5;
            for (std::size_t at = 0; at < input.size(); at += step) {
                md5.update(reinterpret_cast<const std::uint8_t*>(input.data()) + at,
                           static_cast<std::uint32_t>(std::min(step, input.size() - at)));
            }
            Digest digest{};
            EXPECT_FALSE(md5.get_digest(digest));  // nothing before finalize, which may be repeated
            md5.finalize();
            md5.finalize();
            EXPECT_TRUE(md5.get_digest(digest));
            std::string hex;
            for (std::uint8_t b : digest) hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
            EXPECT_EQ(hex, expected) << input.size() << " bytes by " << step;
        }
    }
}

}  // namespace
}  // namespace qar::format
