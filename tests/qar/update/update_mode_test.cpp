// The update mode end to end: the reserve, placement, additions, names, backups, refusals.
#include <algorithm>
#include <cstring>

#include "tests/support/update_fixture.hpp"

namespace qar::update::test {
namespace {

using UpdateModeTest = UpdateTest;

bool printed(const Outcome& outcome, const std::wstring& lines) { return outcome.out.find(lines + L"\n") != std::wstring::npos; }
std::wstring relocated_to(std::uint64_t offset) { return L"Not enough space, file has been relocated to " + tarvo::to_hex(offset) + L"..."; }

TEST_F(UpdateModeTest, FilesStayInTheirRoomAndMoveOnlyWhenTheyOutgrowIt)
{
    const std::wstring archive = copy_of("updated.qar");
    Files files = big_files();
    // The empty entry shares its offset with 3_mid.bin, which now owns a region record there:
    // grown, the empty one must move rather than write into that room.
    files["3_mid.bin"] = random_bytes(50000, 1);
    files["2_empty.bin"] = random_bytes(100, 2);
    ASSERT_EQ(update(archive, {{"3_mid.bin", files["3_mid.bin"]}, {"2_empty.bin", ""}}).error, std::nullopt);
    const std::uint64_t end = read_archive(archive).archive_length - format::kTrailerSize;
    EXPECT_TRUE(printed(update(archive, {{"2_empty.bin", files["2_empty.bin"]}}), relocated_to(end)));

    // 3_mid.bin in place shorter, then exactly at the capacity; one byte more moves it to the
    // end, where it may then grow by the slack; one byte more than that moves it again.
    std::uint64_t offset = read_archive(archive).entries[kMid].data_offset;
    std::uint64_t capacity = 70000;
    for (const std::size_t size : {std::size_t{60000}, std::size_t{70000}, std::size_t{70001}, 70001 + kSlack, 70002 + kSlack}) {
        SCOPED_TRACE(size);
        const std::uint64_t length = read_archive(archive).archive_length;
        files["3_mid.bin"] = random_bytes(size, static_cast<unsigned>(size));
        const Outcome outcome = update(archive, {{"3_mid.bin", files["3_mid.bin"]}});
        const bool moves = size > capacity;
        if (moves) std::tie(offset, capacity) = std::pair{length - format::kTrailerSize, size + kSlack};
        EXPECT_TRUE(printed(outcome, L"Creating indexes\nPatching 3_mid.bin"));
        EXPECT_EQ(printed(outcome, relocated_to(offset)), moves);
        EXPECT_EQ(read_archive(archive).archive_length, length + (moves ? size + kSlack : 0));
        const ExtraFile extra = extra_of(archive);
        ASSERT_EQ(extra.record_count(), 2u);  // the record of 3_mid.bin is replaced in its place
        EXPECT_EQ(extra.record(0).offset, offset);
        EXPECT_EQ(extra.record(0).capacity, capacity);
        expect_whole_archive(archive, files);
    }
    EXPECT_EQ(read_bytes(archive).substr(offset + 70002 + kSlack, kSlack), std::string(kSlack, '\0'));
}

TEST_F(UpdateModeTest, AddedFilesFollowOneAnotherWithSlackAndNamesAreLookedUpExactly)
{
    const std::wstring archive = copy_of("updated.qar");
    const std::uint64_t end = read_archive(archive).archive_length - format::kTrailerSize;
    const Files added{{"desktop.ini", random_bytes(10, 1)}, {"new1.bin", random_bytes(1000, 2)}, {"new2.bin", ""}};
    Files loose = added;
    loose["sub/desktop.ini"] = "left out";
    const std::uint64_t offsets[] = {end, end + 10 + kSlack, end + 10 + kSlack + 1000 + kSlack, end + 1010 + 3 * kSlack};
    EXPECT_EQ(update(archive, loose, true).out,
              L"Setting up ignore list...\nIgnore patterns set to: ^(.+?/desktop\\.ini|.+?/thumbs\\.db)$\n"
              L"Reading file structure...\nReading directory structure\n"
              L"desktop.ini (0.01kB)\nnew1.bin (0.98kB)\nnew2.bin (0.00kB)\nsub/desktop.ini (0.01kB)\nCreating indexes\n"
              L"Adding desktop.ini\nNew file placed at " + tarvo::to_hex(offsets[0]) + L"...\n"
              L"Adding new1.bin\nNew file placed at " + tarvo::to_hex(offsets[1]) + L"...\n"
              L"Adding new2.bin\nNew file placed at " + tarvo::to_hex(offsets[2]) + L"...\n"
              L"Ignoring sub/desktop.ini\nDone!\n");
    const ExtraFile extra = extra_of(archive);
    ASSERT_EQ(extra.record_count(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(extra.record(i).capacity, offsets[i + 1] - offsets[i]);  // its data and the slack
    }
    Files expected = big_files();
    expected.insert(added.begin(), added.end());
    expect_whole_archive(archive, expected);

    // A name differing in case only is another name; the update's own file is never taken.
    EXPECT_TRUE(printed(update(archive, {{"sub/case.bin", "lower"}, {"qar_extra.bin", "mine"}}, true),
                        L"Ignoring qar_extra.bin\nAdding sub/case.bin\nNew file placed at " + tarvo::to_hex(offsets[3]) + L"..."));

    // New names that can't be files beside the entries, ASCII case aside, are refused before any
    // write; names only Windows refuses are left out at their turn (where they can be made at all).
    const std::string before = read_bytes(archive);
    EXPECT_EQ(update(archive, {{"0_TINY.bin/inner.dds", "x"}}, true).error,
              L"Cannot add \"0_TINY.bin/inner.dds\": \"0_tiny.bin\" is a file in the archive");
    EXPECT_EQ(update(archive, {{"SUB/DIR", "x"}}, true).error, L"Cannot add \"SUB/DIR\": it is a directory in the archive");
    EXPECT_TRUE(read_bytes(archive) == before) << "a refused update changed the archive";
    if (!tarvo::kWindowsFileNames) {
        EXPECT_TRUE(printed(update(archive, {{"aux.txt", "x"}, {"readme:v2.txt", "x"}}, true),
                            L"Creating indexes\nIgnoring aux.txt\nIgnoring readme:v2.txt\nDone!"));
    }
}

TEST_F(UpdateModeTest, BackupsKeepTheContentsFromBeforeTheFirstUpdateAndAreCheckedBeforeAnyWrite)
{
    const std::wstring archive = copy_of("updated.qar");
    fs::create_directories(scratch_ / "bk");
    ASSERT_EQ(update(archive, {{"sub/dir/text.txt", "v1"}, {"0_tiny.bin", "tiny1"}}, false, path(L"bk")).error, std::nullopt);
    ASSERT_EQ(update(archive, {{"sub/dir/text.txt", "v2"}}, false, path(L"bk")).error, std::nullopt);
    EXPECT_EQ(read_bytes(path(L"bk/sub/dir/text.txt")), big_files().at("sub/dir/text.txt"));
    // The backup of a nested file makes a missing backup directory, so a root file after it needs none.
    ASSERT_EQ(update(archive, {{"a/b/c.bin", "c0"}, {"y.txt", "y0"}}, true).error, std::nullopt);
    ASSERT_EQ(update(archive, {{"a/b/c.bin", "c1"}, {"y.txt", "y1"}}, false, path(L"new/bk")).error, std::nullopt);
    EXPECT_EQ(read_bytes(path(L"new/bk/a/b/c.bin")) + read_bytes(path(L"new/bk/y.txt")), "c0y0");

    const std::wstring bk = path(L"bk2") + tarvo::kPathSeparator;
    write_bytes(bk + L"sub", "a file where a directory belongs");
    expect_refused(archive, {{"sub/dir/text.txt", "x"}}, bk + L"sub is a file, not a directory!", path(L"bk2"));
    fs::remove(scratch_ / "bk2" / "sub");
    write_bytes(bk + L"sub/dir", "a file where the directory belongs");
    expect_refused(archive, {{"sub/dir/text.txt", "x"}}, bk + L"sub/dir/ is a file, not a directory!", path(L"bk2"));
    const std::wstring missing = path(L"missing") + tarvo::kPathSeparator + L"0_tiny.bin";
    expect_refused(archive, {{"0_tiny.bin", "x"}}, tarvo::quoted(L"Cannot create output file ", missing), path(L"missing"));
    // So is a root file whose backup comes before any nested one's, which would make the backup directory.
    UpdateState state = open_update_state(archive);
    tarvo::console::Capture capture;
    const UpdateOptions backups{tarvo::from_fs_path(suite_ / "source"), path(L"missing"), false, nullptr};
    EXPECT_EQ(error_of([&] { plan_update(state, {{L"0_tiny.bin", 5}, {L"sub/Case.bin", 3000}}, backups); }),
              tarvo::quoted(L"Cannot create output file ", missing));
    // A loose file that can't be read is found before anything is written.
    EXPECT_EQ(error_of([&] { plan_update(state, {{L"3_mid.bin", 10}}, UpdateOptions{path(L"nowhere"), L"", false, nullptr}); }),
              tarvo::quoted(L"Cannot open input file ", path(L"nowhere") + tarvo::kPathSeparator + L"3_mid.bin"));
}

// The archive among the loose files is listed but never stored, a name holding a "\\" (where
// one can) is never read, and backups are never made among the loose files.
TEST_F(UpdateModeTest, NeverTakesItsOwnFilesOrBackupsForLooseFiles)
{
    const std::wstring loose = path(L"loose");
    write_files(loose, {{"3_mid.bin", "new"}, {"sub/updated.qar", "a namesake"}});
    if (tarvo::name_holds_separator(L"\\")) write_bytes(loose + L"/..\\3_mid.bin", "outside");
    fs::copy_file(suite_ / "updated.qar", scratch_ / "loose" / "updated.qar");
    const std::wstring archive = loose + L"/updated.qar";
    const std::string before = read_bytes(archive);
    for (const std::wstring& backups : {loose, loose + L"/bk", path(L"elsewhere/../loose/sub/bk")}) {
        EXPECT_EQ(update(archive, {}, true, backups, loose).error, tarvo::quoted(L"Backup directory ", backups) +
                                                                        tarvo::quoted(L" lies inside the source directory ", loose));
    }
    EXPECT_TRUE(read_bytes(archive) == before);
    EXPECT_FALSE(exists(loose + L"/bk"));
    EXPECT_FALSE(exists(loose + L"/sub/bk"));

    const Outcome first = update(archive, {}, true, L"", loose);
    EXPECT_EQ(first.error, std::nullopt);
    EXPECT_NE(first.out.find(L"...\nIgnoring updated.qar\nDone!"), std::wstring::npos);  // at its turn
    EXPECT_EQ(tarvo::name_holds_separator(L"\\"), printed(first, L"Reading directory structure\nIgnoring ..\\3_mid.bin"));
    Files expected = big_files();
    expected["3_mid.bin"] = "new";
    expected["sub/updated.qar"] = "a namesake";
    expect_whole_archive(archive, expected);
}

// Damaged tables and a full record table are refused; a forged record that lends a file a
// terabyte of room still ends where the next file's data starts: the file moves to the end.
TEST_F(UpdateModeTest, TablesThatCantBeTrustedAreRefusedOrKeptInBounds)
{
    const std::wstring archive = copy_of("updated.qar");
    const std::string pristine = read_bytes(archive);
    const format::ArchiveMetadata metadata = read_archive(archive);
    const std::uint64_t extra_at = metadata.entries[kExtra].data_offset;
    const auto damaged = [&](std::initializer_list<std::pair<std::uint64_t, std::uint64_t>> fields) {
        std::string bytes = pristine;
        for (const auto& [at, value] : fields) tarvo::put_le(reinterpret_cast<std::uint8_t*>(bytes.data()) + at, value);
        write_bytes(archive, bytes);
    };
    damaged({{0, 0}});
    expect_refused(archive, {}, L"Invalid QAR file format");
    damaged({});
    set_entry(archive, kMid, &format::FileEntry::data_offset, pristine.size() - 20);
    expect_refused(archive, {}, L"Invalid QAR file format");
    damaged({{extra_at + format::kRecordCountField, kMaxRegionRecords}});
    expect_refused(archive, {{"3_mid.bin", "x"}}, L"qar_extra.bin has no room for more region records. Aborting.");

    damaged({{extra_at + format::kRecordCountField, 1}, {extra_at + kExtraHeaderSize, metadata.entries[kMid].data_offset},
             {extra_at + kExtraHeaderSize + format::kCapacityField, std::uint64_t{1} << 40}});
    Files expected = big_files();
    expected["3_mid.bin"] = random_bytes(200000, 9);
    EXPECT_TRUE(printed(update(archive, {{"3_mid.bin", expected["3_mid.bin"]}}), relocated_to(pristine.size() - format::kTrailerSize)));
    expect_whole_archive(archive, expected);
}

TEST_F(UpdateModeTest, FirstUpdateMovesTheLeadingFilesBackToBackAndWritesTheExtraFile)
{
    const std::wstring archive = copy_of("created.qar");
    const format::ArchiveMetadata before = read_archive(archive);
    const Outcome outcome = update(archive, {});
    const std::uint64_t end = before.archive_length - format::kTrailerSize;
    const std::uint64_t extra_offset = end + 5 + kReserveTarget;  // the tiny file's block, then the big one
    EXPECT_NE(outcome.out.find(L"Creating indexes\nqar_extra.bin not found. Creating and moving files around.\n"
                               L"Freed 10485765 bytes, qar_extra.bin written at 0x" + tarvo::to_hex(extra_offset) +
                               L"\nDone!\n"),
              std::wstring::npos);

    const format::ArchiveMetadata after = read_archive(archive);
    ASSERT_EQ(after.entries.size(), big_files().size() + 1);
    EXPECT_EQ(after.entries[5].data_offset, end + 5);  // right behind the 5-byte block
    EXPECT_EQ(after.archive_length, extra_offset + kExtraFileSize + format::kTrailerSize);
    EXPECT_EQ(extra_of(archive).reserve_end(), before.entries[0].data_offset + 5 + kReserveTarget);
    expect_whole_archive(archive, big_files());
}

std::string extra_image(const char* signature, std::uint32_t version, std::uint64_t record_count)
{
    std::string image = random_bytes(kExtraFileSize, 9);  // incompressible: stored raw
    std::memcpy(image.data(), signature, 4);
    tarvo::put_le(reinterpret_cast<std::uint8_t*>(image.data()) + format::kVersionField, version);
    tarvo::put_le(reinterpret_cast<std::uint8_t*>(image.data()) + format::kRecordCountField, record_count);
    return image;
}

TEST_F(UpdateModeTest, ArchivesThatCantBePatchedSafelyAreRefusedUntouched)
{
    const std::wstring fixme = L"FIXME: file too short and may be damaged. Aborting.";
    const std::wstring invalid = L"Invalid qar_extra.bin file. Aborting.";
    const std::string half = random_bytes(kReserveTarget / 2, 2);
    const std::pair<std::vector<tarvo::test::ArchiveFile>, std::wstring> cases[] = {
        {{}, fixme},
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
    const auto entry = [&](std::size_t i) { return swapped.bytes.begin() + static_cast<std::ptrdiff_t>(swapped.entry_offset(i)); };
    std::swap_ranges(entry(0), entry(1), entry(1));  // the digests are zeros: nothing to swap there
    tarvo::test::write_bytes(path(L"swapped.qar"), swapped.bytes);
    expect_refused(path(L"swapped.qar"), {}, L"Not enough room for the new tables. Aborting.");
}


// Deep below a game folder every full path of the runs passes 300 characters: a pack, a patch with
// backups and an unpack work there as anywhere.
TEST_F(UpdateModeTest, PacksPatchesAndUnpacksWhereEveryPathPassesThreeHundredCharacters)
{
    const std::wstring deep = path(std::wstring(100, L'g') + L"/" + std::wstring(100, L'm') + L"/" + std::wstring(100, L'd'));
    Files files = big_files();
    write_files(deep + L"/source", files);
    tarvo::console::Capture capture;
    create::create_archive(deep + L"/source", deep + L"/game.qar", kDefaultIgnorePatterns, pool_);
    const Files loose{{"sub/dir/text.txt", random_bytes(200000, 5)}, {"new/" + std::string(120, 'n') + ".txt", "added"}};
    ASSERT_EQ(update(deep + L"/game.qar", loose, true, deep + L"/backup", deep + L"/loose").error, std::nullopt);
    EXPECT_EQ(read_bytes(deep + L"/backup/sub/dir/text.txt"), files["sub/dir/text.txt"]);
    for (const auto& [name, content] : loose) files[name] = content;
    unpack::unpack_archive(deep + L"/game.qar", deep + L"/unpacked", L"", pool_);
    for (const auto& [name, content] : files) EXPECT_EQ(read_bytes(deep + L"/unpacked/" + tarvo::from_utf8(name)), content) << name;
}

}  // namespace
}  // namespace qar::update::test
