// The archive layout: a one-file archive and the empty one byte for byte, and tables the reader must refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "common/error.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/format/md5.hpp"
#include "tests/support/archive_builder.hpp"
#include "tests/support/scratch.hpp"

namespace qar::format {
namespace {

using tarvo::test::build_archive;
using tarvo::test::BuiltArchive;

std::vector<std::uint8_t> from_hex(const std::string& hex)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

ArchiveMetadata read_image(const tarvo::test::ScratchDir& dir, std::span<const std::uint8_t> image)
{
    tarvo::test::write_bytes(dir / L"image.qar", image);
    tarvo::File file(dir / L"image.qar", tarvo::File::Mode::read);
    return read_metadata(file);
}

// "a.txt" holding "hello" (stored raw), and the empty archive: written and read against fixed bytes.
TEST(ArchiveFormat, OneFileArchiveAndEmptyArchiveByteForByte)
{
    const std::vector<std::uint8_t> one_file = from_hex("5352594b4c0000000100000000000000a5e54d1fd7bb69a228ef0dcd2431367e"
                                                       "000000000000000005000000000000004c000000000000000000000000000000"
                                                       "0a000000612e74787400050068656c6c6f4629c5d9e656e710377e7390febd69"
                                                       "f0");
    const std::vector<std::uint8_t> empty = from_hex("5352594b14000000000000000000000004000000b1749c9d5644fc6ab2b7fb73dbd3acc8");
    const Digest digests[] = {name_digest(L"a.txt")};
    const FileEntry entries[] = {{0, 0, 5, 76, 0}};
    const std::uint8_t names[] = {'a', '.', 't', 'x', 't', 0};
    const std::uint16_t blocks[] = {stored_size_of(5)};
    EXPECT_EQ(serialize_metadata({kMagic, 76, 1}, digests, entries, names, blocks), std::vector(one_file.begin(), one_file.begin() + 76));
    EXPECT_EQ(serialize_metadata({kMagic, 20, 0}, {}, {}, {}, {}), std::vector(empty.begin(), empty.begin() + 20));

    tarvo::test::ScratchDir dir;
    const ArchiveMetadata read = read_image(dir, one_file);
    EXPECT_EQ(read.name_bytes(0), "a.txt");
    EXPECT_EQ(read.entries[0].data_offset, 76u);
    EXPECT_EQ(read.block_table, std::vector<std::uint16_t>(blocks, blocks + 1));
    EXPECT_TRUE(std::equal(read.trailer.begin(), read.trailer.end(), one_file.end() - 16));
    EXPECT_TRUE(read_image(dir, empty).entries.empty());
}

TEST(ArchiveFormat, DamagedTablesAreRefused)
{
    // The first file two blocks long, the middle one empty.
    const BuiltArchive good = build_archive({{"a/x.bin", std::string(70000, 'x')}, {"e", ""}, {"b.txt", "hi"}});
    using Patch = std::function<void(std::vector<std::uint8_t>&)>;
    auto put32 = [](std::size_t at, std::uint32_t v) { return Patch([=](auto& b) { tarvo::put_le(b.data() + at, v); }); };
    auto put64 = [](std::size_t at, std::uint64_t v) { return Patch([=](auto& b) { tarvo::put_le(b.data() + at, v); }); };
    const std::size_t names_field = good.name_table_size_offset();
    const std::uint32_t names_size = tarvo::get_le<std::uint32_t>(good.bytes.data() + names_field) - 4;
    const std::pair<const char*, Patch> cases[] = {
        {"magic", put32(0, 0x4B595254)},
        {"header only", [](auto& b) { b.resize(16); }},
        {"cut inside the header", [](auto& b) { b.resize(10); }},
        {"file_count far too large", put64(8, ~std::uint64_t{0})},
        {"file_count one too large", put64(8, (good.bytes.size() - 36) / 48 + 1)},
        {"name_table_size below 4", put32(names_field, 3)},
        {"name_table_size past the end", put32(names_field, 0xFFFFFFF0)},
        {"name_offset outside the names", put64(good.entry_offset(2) + 24, names_size)},
        {"name without its NUL", [&](auto& b) { b[names_field + 4 + names_size - 1] = 'z'; }},
        {"size claims 2^48 bytes", put64(good.entry_offset(0) + 8, std::uint64_t{1} << 48)},
        {"first_block past the table", put32(good.entry_offset(2), 3)},
        {"first_block near 2^32", put32(good.entry_offset(2), 0xFFFFFFFF)},
        {"archive cut before its trailer", [&](auto& b) { b.resize(good.metadata_size + 15); }},
        // Bytes that no writer lets two files share, nor data inside the tables.
        {"two files share data", put64(good.entry_offset(2) + 16, good.entries[0].data_offset + 1)},
        {"data inside the tables", put64(good.entry_offset(2) + 16, good.metadata_size - 1)},
        {"two files share a block", put32(good.entry_offset(2), 1)},
        {"two files share name bytes", put64(good.entry_offset(2) + 24, good.entries[0].name_offset + 2)},
    };
    tarvo::test::ScratchDir dir;
    for (const auto& [label, patch] : cases) {
        SCOPED_TRACE(label);
        std::vector<std::uint8_t> image = good.bytes;
        patch(image);
        EXPECT_THROW(read_image(dir, image), MalformedArchive);
    }

    // An empty file's first_block is never used, so any value is harmless.
    std::vector<std::uint8_t> image = good.bytes;
    tarvo::put_le<std::uint32_t>(image.data() + good.entry_offset(1), 0xFFFFFFFF);
    const ArchiveMetadata read = read_image(dir, image);
    EXPECT_TRUE(read.blocks_of(1).empty());
    EXPECT_EQ(read.block_table, good.block_table);

    // Tables whose names area, block table or whole length their 32-bit fields can't hold are
    // refused by the one check that the create and update modes and the writer share.
    const std::uint64_t field = 0xFFFFFFFF;
    EXPECT_EQ(checked_metadata_size(1, 6, 1), 76u);
    for (const auto& [n, names, blocks, message] :
         {std::tuple{0ull, field - 3, 0ull, L"names area"}, {0ull, 0ull, field + 1, L"block table"}, {field / 48, 0ull, 0ull, L"tables"}}) {
        try {
            checked_metadata_size(n, names, blocks);
            ADD_FAILURE() << "accepted " << n << " entries, " << names << " name bytes, " << blocks << " blocks";
        } catch (const tarvo::wruntime_error& e) {
            EXPECT_EQ(e.message(), std::wstring(message) + L" too large for a QAR archive");
        }
    }
}

}  // namespace
}  // namespace qar::format
