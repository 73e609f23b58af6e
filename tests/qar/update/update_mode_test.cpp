// The update mode end to end: placement over several runs, additions, names, backups,
// refusals that leave the archive untouched.
#include "qar/update/update_mode.hpp"

#include "tests/qar/update/update_fixture.hpp"

namespace qar::update::test {
namespace {

using UpdateModeTest = UpdateTest;

bool printed(const Outcome& outcome, const std::wstring& lines)
{
    return outcome.out.find(lines + L"\n") != std::wstring::npos;
}

TEST_F(UpdateModeTest, FilesStayInTheirRoomAndMoveOnlyWhenTheyOutgrowIt)
{
    const std::wstring archive = copy_of("updated.qar");
    const std::size_t k = index_of(read_archive(archive), "3_mid.bin");
    std::uint64_t offset = read_archive(archive).entries[k].data_offset;
    Files files = big_files();
    // In place shorter, then exactly at the capacity; one byte more moves it to the end, where
    // it may then grow by the slack; one byte more than that moves it again.
    const std::size_t sizes[] = {60000, 70000, 70001, 70001 + kSlack, 70002 + kSlack};
    std::uint64_t capacity = 70000;
    for (const std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::uint64_t length = read_archive(archive).archive_length;
        files["3_mid.bin"] = random_bytes(size, static_cast<unsigned>(size));
        const Outcome outcome = update(archive, {{"3_mid.bin", files["3_mid.bin"]}});
        EXPECT_TRUE(printed(outcome, L"Creating indexes\nPatching 3_mid.bin"));
        const bool moves = size > capacity;
        if (moves) {
            offset = length - 16;
            capacity = size + kSlack;
            EXPECT_TRUE(printed(outcome, L"Not enough space, file has been relocated to " + tarvo::to_hex(offset) + L"..."));
        }
        const format::ArchiveMetadata after = read_archive(archive);
        EXPECT_EQ(after.archive_length, length + (moves ? size + kSlack : 0));
        EXPECT_EQ(after.entries[k].data_offset, offset);
        EXPECT_EQ(after.entries[k].size, size);
        const ExtraFile extra = extra_of(archive);
        ASSERT_EQ(extra.record_count(), 1u);  // appended once, then replaced in its place
        EXPECT_EQ(extra.record(0).offset, offset);
        EXPECT_EQ(extra.record(0).capacity, capacity);
        expect_trailer_digest(archive);
    }
    EXPECT_EQ(read_bytes(archive).substr(offset + 70002 + kSlack, kSlack), std::string(kSlack, '\0'));
    expect_unpacks_to(archive, files);
}

TEST_F(UpdateModeTest, AddedFilesFollowOneAnotherWithSlackAndIgnoredOnesStayOut)
{
    const std::wstring archive = copy_of("updated.qar");
    const std::uint64_t end = read_archive(archive).archive_length - 16;
    const Files added{{"desktop.ini", random_bytes(10, 1)}, {"new1.bin", random_bytes(1000, 2)}, {"new2.bin", ""}};
    Files loose = added;
    loose["sub/desktop.ini"] = "left out";
    const std::uint64_t offsets[] = {end, end + 10 + kSlack, end + 10 + kSlack + 1000 + kSlack};
    EXPECT_EQ(update(archive, loose, true).out,
              L"Setting up ignore list...\nIgnore patterns set to: ^(.+?/desktop\\.ini|.+?/thumbs\\.db)$\n"
              L"Reading file structure...\nReading directory structure\n"
              L"desktop.ini (0.01kB)\nnew1.bin (0.98kB)\nnew2.bin (0.00kB)\nsub/desktop.ini (0.01kB)\nCreating indexes\n"
              L"Adding desktop.ini\nNew file placed at " + tarvo::to_hex(offsets[0]) + L"...\n"
              L"Adding new1.bin\nNew file placed at " + tarvo::to_hex(offsets[1]) + L"...\n"
              L"Adding new2.bin\nNew file placed at " + tarvo::to_hex(offsets[2]) + L"...\n"
              L"Ignoring sub/desktop.ini\nDone!\n");

    const format::ArchiveMetadata after = read_archive(archive);
    const ExtraFile extra = extra_of(archive);
    ASSERT_EQ(after.entries.size(), 10u);
    ASSERT_EQ(extra.record_count(), 3u);
    const std::uint64_t regions[] = {10 + kSlack, 1000 + kSlack, kSlack};
    std::size_t i = 0;
    for (const auto& item : added) {
        EXPECT_EQ(name_of(after, 7 + i), item.first);
        EXPECT_EQ(after.digests[7 + i], create::name_digest(tarvo::from_utf8(item.first)));
        EXPECT_EQ(after.entries[7 + i].data_offset, offsets[i]);
        EXPECT_EQ(extra.record(i).offset, offsets[i]);
        EXPECT_EQ(extra.record(i).capacity, regions[i]);
        ++i;
    }
    Files expected = big_files();
    expected.insert(added.begin(), added.end());
    expect_unpacks_to(archive, expected);
}

TEST_F(UpdateModeTest, AnEmptyEntryNeverWritesIntoTheRoomOfTheFileSharingItsOffset)
{
    const std::wstring archive = copy_of("updated.qar");
    Files files = big_files();
    files["3_mid.bin"] = random_bytes(50000, 1);  // now owns a region record at the shared offset
    ASSERT_FALSE(update(archive, {{"3_mid.bin", files["3_mid.bin"]}}).error);
    ASSERT_FALSE(update(archive, {{"2_empty.bin", ""}}).error);  // still empty: no room, no record
    EXPECT_EQ(extra_of(archive).record_count(), 1u);

    files["2_empty.bin"] = random_bytes(100, 2);
    const Outcome outcome = update(archive, {{"2_empty.bin", files["2_empty.bin"]}});
    EXPECT_NE(outcome.out.find(L"Not enough space, file has been relocated to "), std::wstring::npos);
    EXPECT_EQ(extra_of(archive).record_count(), 2u);
    expect_unpacks_to(archive, files);
}

TEST_F(UpdateModeTest, NamesAreLookedUpExactly)
{
    // Names differing only in case are different names: replace skips, add adds.
    const std::wstring archive = copy_of("updated.qar");
    EXPECT_EQ(update(archive, {{"sub/case.bin", "lower"}}).out.find(L"sub/case.bin\n"), std::wstring::npos);
    EXPECT_EQ(read_archive(archive).entries.size(), 7u);
    EXPECT_TRUE(printed(update(archive, {{"sub/case.bin", "lower"}}, true), L"Adding sub/case.bin"));
    EXPECT_EQ(name_of(read_archive(archive), 7), "sub/case.bin");

    // The update's own bookkeeping file is never taken from the loose files.
    EXPECT_TRUE(printed(update(archive, {{"qar_extra.bin", "mine"}}, true), L"Ignoring qar_extra.bin"));
    EXPECT_EQ(read_archive(archive).entries.size(), 8u);

    // Of two entries with one name the first is patched, but in the run that moves both, the
    // copy moved last.
    const std::wstring dup = path(L"dup.qar");
    tarvo::test::write_bytes(dup, tarvo::test::build_archive(
                                      {{"0.bin", "hello"}, {"0.bin", big_files().at("1_bigg.bin")}, {"2.bin", "z"}})
                                      .bytes);
    ASSERT_FALSE(update(dup, {{"0.bin", "patched"}}).error);
    EXPECT_EQ(read_archive(dup).entries[2].size, 7u);
    ASSERT_FALSE(update(dup, {{"0.bin", "again!"}}).error);
    EXPECT_EQ(read_archive(dup).entries[1].size, 6u);
    EXPECT_EQ(read_archive(dup).entries[2].size, 7u);
}

TEST_F(UpdateModeTest, BackupsKeepTheContentsFromBeforeTheFirstUpdate)
{
    const std::wstring archive = copy_of("updated.qar");
    fs::create_directories(scratch_ / "bk");
    ASSERT_FALSE(update(archive, {{"sub/dir/text.txt", "v1"}, {"0_tiny.bin", "tiny1"}}, false, path(L"bk")).error);
    ASSERT_FALSE(update(archive, {{"sub/dir/text.txt", "v2"}}, false, path(L"bk")).error);
    EXPECT_EQ(read_bytes(path(L"bk/sub/dir/text.txt")), big_files().at("sub/dir/text.txt"));
    EXPECT_EQ(read_bytes(path(L"bk/0_tiny.bin")), "hello");

    // In the run that makes the reserve, a moved file is backed up from where it was.
    const std::wstring fresh = copy_of("created.qar");
    ASSERT_FALSE(update(fresh, {{"1_bigg.bin", "small"}}, false, path(L"bk")).error);
    EXPECT_TRUE(read_bytes(path(L"bk/1_bigg.bin")) == big_files().at("1_bigg.bin"));
}

TEST_F(UpdateModeTest, RefusedUpdatesLeaveTheArchiveUntouched)
{
    const std::wstring archive = copy_of("updated.qar");
    const std::wstring bk = path(L"bk") + tarvo::kPathSeparator;
    write_file(bk + L"sub", "a file where a directory belongs");
    expect_refused(archive, {{"sub/dir/text.txt", "x"}}, bk + L"sub is a file, not a directory!", path(L"bk"));
    fs::remove(scratch_ / "bk" / "sub");
    write_file(bk + L"sub/dir", "a file where the directory belongs");
    expect_refused(archive, {{"sub/dir/text.txt", "x"}}, bk + L"sub/dir/ is a file, not a directory!", path(L"bk"));
    const std::wstring missing = path(L"missing") + tarvo::kPathSeparator + L"0_tiny.bin";
    expect_refused(archive, {{"0_tiny.bin", "x"}}, tarvo::quoted(L"Cannot create output file ", missing), path(L"missing"));

    // Damaged tables, and a record table without room for the record the patch would add.
    const format::ArchiveMetadata metadata = read_archive(archive);
    const std::string pristine = read_bytes(archive);
    const auto damaged = [&](std::size_t at, std::uint64_t value) {
        std::string bytes = pristine;
        tarvo::put_le(reinterpret_cast<std::uint8_t*>(bytes.data()) + at, value);
        write_file(archive, bytes);
    };
    damaged(0, 0);
    expect_refused(archive, {}, L"Invalid QAR file format");
    damaged(16 + 16 * 7 + 32 * index_of(metadata, "3_mid.bin") + 16, pristine.size() - 20);  // data past the trailer
    expect_refused(archive, {}, L"Invalid QAR file format");
    damaged(metadata.entries[6].data_offset + 8, kMaxRegionRecords);
    expect_refused(archive, {{"3_mid.bin", "x"}}, L"qar_extra.bin has no room for more region records. Aborting.");

    // A loose file that can't be read is found before anything is written.
    write_file(archive, pristine);
    UpdateState state = open_update_state(archive);
    tarvo::console::Capture capture;
    try {
        plan_update(state, {{L"3_mid.bin", 10}}, UpdateOptions{path(L"nowhere"), L"", false, nullptr});
        ADD_FAILURE() << "planned to write a file that isn't there";
    } catch (const tarvo::wruntime_error& e) {
        EXPECT_EQ(e.message(), tarvo::quoted(L"Cannot open input file ", path(L"nowhere") + tarvo::kPathSeparator + L"3_mid.bin"));
    }
}

}  // namespace
}  // namespace qar::update::test
