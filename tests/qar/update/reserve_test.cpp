// The first update's reserve and extra file, and the archives refused.
#include <algorithm>
#include <cstring>

#include "tests/qar/update/update_fixture.hpp"

namespace qar::update::test {
namespace {

using ReserveTest = UpdateTest;

TEST_F(ReserveTest, FirstUpdateMovesTheLeadingFilesBackToBackAndWritesTheExtraFile)
{
    const std::wstring archive = copy_of("created.qar");
    const format::ArchiveMetadata before = read_archive(archive);
    const Outcome outcome = update(archive, {});
    const std::uint64_t end = before.archive_length - 16;
    const std::uint64_t extra_offset = end + 5 + kReserveTarget;  // the tiny file's block, then the big one
    EXPECT_NE(outcome.out.find(L"Creating indexes\nqar_extra.bin not found. Creating and moving files around.\n"
                               L"Freed 10485765 bytes, qar_extra.bin written at 0x" + tarvo::to_hex(extra_offset) +
                               L"\nDone!\n"),
              std::wstring::npos);

    const format::ArchiveMetadata after = read_archive(archive);
    const std::vector<std::string> order{"2_empty.bin", "3_mid.bin", "sub/Case.bin", "sub/dir/text.txt",
                                         "0_tiny.bin", "1_bigg.bin", "qar_extra.bin"};
    ASSERT_EQ(after.entries.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(name_of(after, i), order[i]);
        EXPECT_EQ(after.digests[i], format::name_digest(tarvo::from_utf8(order[i])));
    }
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(after.entries[i].data_offset, before.entries[i + 2].data_offset);
    EXPECT_EQ(after.entries[4].data_offset, end);
    EXPECT_EQ(after.entries[5].data_offset, end + 5);  // right behind the 5-byte block
    EXPECT_EQ(after.entries[6].data_offset, extra_offset);
    EXPECT_EQ(after.entries[6].size, kExtraFileSize);
    EXPECT_TRUE(std::ranges::equal(after.blocks_of(6), std::vector<std::uint16_t>(24, 0)));
    EXPECT_EQ(after.archive_length, extra_offset + kExtraFileSize + 16);
    EXPECT_EQ(read_bytes(archive).substr(extra_offset, 16), std::string("QARE\x01\0\0\0\0\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(extra_of(archive).reserve_end(), before.entries[0].data_offset + 5 + kReserveTarget);
    expect_whole_archive(archive, big_files());

    // A later update finds the extra file and moves nothing.
    EXPECT_EQ(update(archive, {}).out.find(L"not found"), std::wstring::npos);
    EXPECT_EQ(read_archive(archive).archive_length, after.archive_length);
}

std::string extra_image(const char* signature, std::uint32_t version, std::uint64_t record_count)
{
    std::string image = random_bytes(kExtraFileSize, 9);  // incompressible: stored raw
    std::memcpy(image.data(), signature, 4);
    tarvo::put_le(reinterpret_cast<std::uint8_t*>(image.data()) + 4, version);
    tarvo::put_le(reinterpret_cast<std::uint8_t*>(image.data()) + 8, record_count);
    return image;
}

TEST_F(ReserveTest, ArchivesThatCantBePatchedSafelyAreRefusedUntouched)
{
    const std::wstring fixme = L"FIXME: file too short and may be damaged. Aborting.";
    const std::wstring invalid = L"Invalid qar_extra.bin file. Aborting.";
    const std::string half = random_bytes(kReserveTarget / 2, 2);
    const std::pair<std::vector<tarvo::test::ArchiveFile>, std::wstring> cases[] = {
        {{}, fixme},
        {{{"a.bin", "a"}}, fixme},
        {{{"a.bin", half + "!"}, {"b.bin", half}}, fixme},  // ten megabytes only with the last file
        {{{"a.bin", "a"}, {"qar_extra.bin", "short"}}, L"qar_extra.bin size mismatch. File may be broken. Aborting."},
        {{{"a.bin", "a"}, {"qar_extra.bin", extra_image("QARF", 1, 0)}}, invalid},
        {{{"a.bin", "a"}, {"qar_extra.bin", extra_image("QARE", 2, 0)}}, L"Usupoorted qar_extra.bin version. Aborting."},
        {{{"a.bin", "a"}, {"qar_extra.bin", extra_image("QARE", 1, kMaxRegionRecords + 1)}}, invalid},
        // Stored compressed, it has no room of its own: writing it back would overwrite the next files.
        {{{"a.bin", "a"}, {"qar_extra.bin", std::string("QARE\x01", 5) + std::string(kExtraFileSize - 5, '\0')}}, invalid},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const std::wstring archive = path(std::to_wstring(i) + L".qar");
        tarvo::test::write_bytes(archive, tarvo::test::build_archive(cases[i].first).bytes);
        expect_refused(archive, {{"a.bin", "new"}}, cases[i].second);
    }

    // The big file listed first but the small one's data first: the reserve moves the big one,
    // and the growing tables would run into the small one that stays.
    auto swapped = tarvo::test::build_archive({{"a.bin", "small"}, {"b.bin", half + half}, {"c.bin", "c"}});
    std::swap_ranges(swapped.bytes.begin() + 16, swapped.bytes.begin() + 32, swapped.bytes.begin() + 32);
    std::swap_ranges(swapped.bytes.begin() + 64, swapped.bytes.begin() + 96, swapped.bytes.begin() + 96);
    tarvo::test::write_bytes(path(L"swapped.qar"), swapped.bytes);
    ASSERT_EQ(name_of(read_archive(path(L"swapped.qar")), 0), "b.bin");
    expect_refused(path(L"swapped.qar"), {}, L"Not enough room for the new tables. Aborting.");
}

}  // namespace
}  // namespace qar::update::test
