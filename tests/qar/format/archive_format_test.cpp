// Tables the reader must refuse, and table sizes no archive can hold.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "common/error.hpp"
#include "qar/format/archive_format.hpp"
#include "tests/support/archive_builder.hpp"
#include "tests/support/scratch.hpp"

namespace qar::format {
namespace {

using tarvo::test::build_archive;

TEST(ArchiveFormat, DamagedTablesAreRefused)
{
    // The first file two blocks long, the middle one empty.
    const auto good = build_archive({{"a/x.bin", std::string(70000, 'x')}, {"e", ""}, {"b.txt", "hi"}});
    using Patch = std::function<void(std::vector<std::uint8_t>&)>;
    auto put32 = [](std::size_t at, std::uint32_t v) { return Patch([=](auto& b) { tarvo::put_le(b.data() + at, v); }); };
    auto put64 = [](std::size_t at, std::uint64_t v) { return Patch([=](auto& b) { tarvo::put_le(b.data() + at, v); }); };
    const std::size_t names_field = good.entry_offset(3);  // the name_table_size field follows the entries
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
        {"data wholly inside the block table", put64(good.entry_offset(2) + 16, good.block_table_offset())},
        {"two files share a block", put32(good.entry_offset(2), 1)},
        {"two files share name bytes", put64(good.entry_offset(2) + 24, good.entries[0].name_offset + 2)},
    };
    tarvo::test::ScratchDir dir;
    for (const auto& [label, patch] : cases) {
        SCOPED_TRACE(label);
        std::vector<std::uint8_t> image = good.bytes;
        patch(image);
        tarvo::test::write_bytes(dir / L"image.qar", image);
        tarvo::File file(dir / L"image.qar", tarvo::File::Mode::read);
        EXPECT_THROW(read_metadata(file), MalformedArchive);
    }

    // An empty file's first_block is never used, so any value is harmless.
    std::vector<std::uint8_t> image = good.bytes;
    tarvo::put_le<std::uint32_t>(image.data() + good.entry_offset(1), 0xFFFFFFFF);
    tarvo::test::write_bytes(dir / L"image.qar", image);
    tarvo::File file(dir / L"image.qar", tarvo::File::Mode::read);
    EXPECT_TRUE(read_metadata(file).blocks_of(1).empty());

    // Tables whose names area, block table or whole length their 32-bit fields can't hold are
    // refused by the one check that the create and update modes and the writer share.
    const std::uint64_t field = 0xFFFFFFFF;
    EXPECT_EQ(checked_metadata_size(1, 6, 1), 76u);
    for (const auto& [n, names, blocks, message] :
         {std::tuple{0ull, field - 3, 0ull, L"names area"}, {0ull, 0ull, field + 1, L"block table"}, {field / 48, 0ull, 0ull, L"tables"}}) {
        EXPECT_EQ(tarvo::test::error_of([n = n, names = names, blocks = blocks] { checked_metadata_size(n, names, blocks); }), std::wstring(message) + L" too large for a QAR archive")
            << n << " entries, " << names << " name bytes, " << blocks << " blocks";
    }
}

}  // namespace
}  // namespace qar::format
