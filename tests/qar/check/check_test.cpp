// The archive check: sound archives pass, damage is named with status 2, a folder that didn't
// land is found, journals are reported and never applied, a check that can't run gives 1.
#include "qar/check/archive_check.hpp"
#include "qar/check/check_command.hpp"
#include "tests/support/update_fixture.hpp"

namespace qar::check::test {
namespace {

using namespace qar::update::test;

struct Checked { int status; std::wstring out; };

class Check : public UpdateTest {
protected:
    Checked check(const std::wstring& archive, CheckOptions options = {})
    {
        options.archive = archive;
        tarvo::console::Capture capture;
        const int status = check_archive(options, pool_);
        return {status, capture.out};
    }
    std::wstring source() const { return tarvo::from_fs_path(suite_ / "source"); }
};

bool has(const std::wstring& out, const std::wstring& line) { return out.find(line + L"\n") != std::wstring::npos; }

TEST_F(Check, SoundArchivesPassWithTheirSummaryAndListing)
{
    const std::wstring created = copy_of("created.qar"), updated = copy_of("updated.qar");
    const format::ArchiveMetadata metadata = read_archive(created);
    Checked run = check(created, {L"", true, L"0_*;*.txt", source()});
    EXPECT_EQ(run.status, kSound) << run.out;
    const std::uint64_t stored = 5 + format::stored_total(metadata.blocks_of(5));
    EXPECT_TRUE(run.out.starts_with(tarvo::quoted(L"Archive ", created) + L": 2 files, 150005 bytes, stored " +
                                    std::to_wstring(stored) + L" bytes (")) << run.out;
    const std::wstring offset = L"0x" + tarvo::to_hex(metadata.header.metadata_size);
    EXPECT_TRUE(has(run.out, L"           5            5 100.00% " + std::wstring(14 - offset.size(), L' ') + offset +
                                 L"            5  0_tiny.bin")) << run.out;
    EXPECT_TRUE(run.out.ends_with(L"  sub/dir/text.txt\nOK\n")) << run.out;

    // The reserve was the tiny and the big file; the tables grew by the extra file's entry.
    run = check(updated, {L"", false, L"", source()});
    EXPECT_EQ(run.status, kSound) << run.out;
    EXPECT_TRUE(has(run.out, L"Updated archive: 0 region records, 10485655 bytes of room left for growth")) << run.out;
}

TEST_F(Check, EachKindOfDamageIsNamed)
{
    using Damage = std::function<void(const std::wstring&, const format::ArchiveMetadata&)>;
    const auto block_at = [](const format::ArchiveMetadata& m, std::size_t i, std::uint32_t j) {
        return m.header.metadata_size - format::kBlockSizeField * (m.block_table.size() - m.entries[i].first_block - j);
    };
    const std::wstring trailer = L"the trailer digest does not match the tables";
    // One region record at the data of 3_mid.bin.
    const auto record = [](const std::wstring& archive, const format::ArchiveMetadata& m, std::uint64_t capacity) {
        update::ExtraFile extra = extra_of(archive);
        extra.append_record({m.entries[kMid].data_offset, capacity});
        const std::span<const std::uint8_t> used = extra.used_part();
        scribble(archive, m.entries[kExtra].data_offset, std::string(reinterpret_cast<const char*>(used.data()), used.size()));
    };
    const struct {
        const char* archive;
        Damage damage;
        std::vector<std::wstring> problems;
    } cases[] = {
        {"created.qar", [&](auto& a, auto& m) { scribble(a, tarvo::test::names_offset_in(m.entries.size()) + m.entries[3].name_offset, "4"); },
         {trailer, L"\"4_mid.bin\": the name digest does not match the name"}},
        // A last block that claims a whole raw block, with archive bytes after it to read.
        {"created.qar", [&](auto& a, auto& m) {
             scribble(a, block_at(m, 5, 2), std::string(2, '\0'));
             scribble(a, m.archive_length, std::string(format::kBlockSize, '\0'));
         }, {trailer, L"\"sub/dir/text.txt\": block 2 does not decode to its 18928 bytes"}},
        {"created.qar", [&](auto& a, auto& m) { set_entry(a, 1, &format::FileEntry::data_offset, m.entries[3].data_offset); },
         {L"the tables: two files share data"}},
        {"updated.qar", [&](auto& a, auto& m) { record(a, m, m.archive_length); },
         {L"qar_extra.bin: record 0 reaches past the end of the archive"}},
        {"updated.qar", [&](auto& a, auto& m) { record(a, m, format::stored_total(m.blocks_of(kMid)) + 1); },
         {L"qar_extra.bin: record 0 overlaps the data of \"sub/Case.bin\""}},
    };
    for (const auto& c : cases) {
        const std::wstring archive = path(L"damaged.qar");
        fs::remove(tarvo::to_fs_path(archive));
        fs::copy_file(suite_ / c.archive, tarvo::to_fs_path(archive));
        c.damage(archive, read_archive(archive));
        SCOPED_TRACE(c.problems.back());
        const Checked run = check(archive);
        EXPECT_EQ(run.status, kDamaged);
        std::wstring problems;
        for (const std::wstring& problem : c.problems) problems += L"Problem: " + problem + L"\n";
        const std::wstring count = std::to_wstring(c.problems.size()) + (c.problems.size() == 1 ? L" problem found\n" : L" problems found\n");
        EXPECT_TRUE(run.out.ends_with(problems + count)) << run.out;
    }
}

TEST_F(Check, AFolderThatDidNotLandIsFound)
{
    const std::wstring archive = copy_of("created.qar");
    const std::wstring loose = path(L"mod");
    fs::copy(suite_ / "source", tarvo::to_fs_path(loose), fs::copy_options::recursive);
    write_bytes(loose + L"/3_mid.bin", random_bytes(70000, 30));  // same size, other bytes
    write_bytes(loose + L"/sub/Case.bin", "shorter");
    write_bytes(loose + L"/new.txt", "new");
    write_bytes(loose + L"/sub/desktop.ini", "left out by the default ignore list");
    write_bytes(loose + L"/qar_extra.bin", "never written by an update");
    if (!tarvo::kWindowsFileNames) write_bytes(loose + L"/new?.txt", "left out by an update: Windows can't unpack it");
    // A raw block carries no checksum: only the loose file shows its damage.
    write_bytes(archive, flipped(read_bytes(archive), read_archive(archive).entries[1].data_offset + 70000));
    const Checked run = check(archive, {L"", false, L"", loose + L"/"});
    const auto from = [&](const std::wstring& name) { return L"\"" + name + L"\" from " + tarvo::quoted(L"", tarvo::join_archive_name(loose, name)); };
    EXPECT_TRUE(run.out.ends_with(L"Problem: " + from(L"1_bigg.bin") + L" differs from the archive\nProblem: " + from(L"3_mid.bin") +
                                  L" differs from the archive\nProblem: " + from(L"sub/Case.bin") + L" differs from the archive\nProblem: " +
                                  from(L"new.txt") + L" is missing from the archive\n4 problems found\n")) << run.out;
    EXPECT_EQ(run.status, kDamaged);
}

// Every name that an unpack here or on Windows refuses is a problem, as is a file that another
// entry needs as a directory; of two equal names -d= compares the last, which an unpack leaves.
TEST_F(Check, NamesAnUnpackRefusesAreProblemsAndTheLastOfEqualNamesCounts)
{
    const std::wstring archive = path(L"names.qar"), loose = path(L"loose");
    write_bytes(archive, tarvo::test::build_archive({{"", "1"}, {"d/.", "2"}, {"what?.txt", "3"}, {"z", "4"}, {"z/x", "5"},
                                                     {"A", "6"}, {"a\\y", "7"}, {"d", "first"}, {"d", "last"}}).bytes);
    write_bytes(loose + L"/d", "first");
    const Checked run = check(archive, {L"", false, L"", loose});
    EXPECT_EQ(run.status, kDamaged);
    for (const std::wstring& line : {std::wstring(L"\"\": unpack refuses this name"), std::wstring(L"\"d/.\": unpack refuses this name"),
                                     std::wstring(L"\"what?.txt\": unpack refuses this name on Windows"),
                                     std::wstring(L"\"z\": unpack can't write it, \"z/x\" needs it as a directory"),
                                     std::wstring(L"\"A\": unpack can't write it on Windows, \"a\\y\" needs it as a directory"),
                                     tarvo::quoted(L"\"d\" from ", tarvo::join_archive_name(loose, L"d")) + L" differs from the archive"})
        EXPECT_TRUE(has(run.out, L"Problem: " + line)) << tarvo::to_utf8(line) << tarvo::to_utf8(run.out);
}

TEST_F(Check, MarksAndJournalsAreReportedBeforeTheMagicAndNeverApplied)
{
    const std::wstring archive = copy_of("updated.qar"), other = path(L"other.qar");
    const std::string pristine = read_bytes(archive);
    interrupt(archive);
    const std::string interrupted = read_bytes(archive), journal = read_bytes(format::journal_path(archive));
    const auto journal_of = [](const std::wstring& at) { return tarvo::quoted(L"", format::journal_path(at)); };
    write_bytes(other, flipped(interrupted, format::kMarkMagic.size()));  // another update's mark
    write_bytes(format::journal_path(other), journal);
    for (const auto& [at, problem] :
         {std::pair{archive, L"interrupted update pending in " + journal_of(archive) + L" (the next tarvo-qar -u, -r or -a restores the archive)"},
          std::pair{other, L"journal " + journal_of(other) + L" belongs to another archive"}}) {
        const std::string before = read_bytes(at);
        const Checked run = check(at);
        EXPECT_EQ(run.status, kDamaged);
        EXPECT_EQ(run.out, L"Problem: " + problem + L"\n1 problem found\n");
        EXPECT_TRUE(read_bytes(at) == before);
        EXPECT_TRUE(read_bytes(format::journal_path(at)) == journal);
    }
    fs::remove(tarvo::to_fs_path(format::journal_path(archive)));
    EXPECT_EQ(check(archive).out, L"Problem: interrupted update of this archive, journal " + journal_of(archive) + L" is missing\n1 problem found\n");

    // Beside a whole archive without a mark the journal is stale: nothing to say, and it stays.
    write_bytes(other, pristine);
    EXPECT_EQ(check(other).status, kSound);
    EXPECT_TRUE(exists(format::journal_path(other)));
    write_bytes(format::journal_path(other), journal.substr(1));
    EXPECT_TRUE(has(check(other).out, L"Problem: damaged journal " + journal_of(other)));
}

TEST_F(Check, TheStatusTellsSoundDamagedAndCouldNotCheckApart)
{
    const std::wstring archive = copy_of("created.qar"), text = path(L"notes.txt");
    write_bytes(text, "not an archive at all");
    const auto run = [](std::vector<std::wstring> args) {
        tarvo::console::Capture capture;
        const int status = run_tarvo_check(args, L"9.8.7");
        return Checked{status, capture.out + capture.err};
    };
    EXPECT_EQ(run({path(L"missing.qar")}).out, tarvo::quoted(L"Error: Cannot open input file ", path(L"missing.qar")) + L"\n");
    EXPECT_EQ(run({text}).out, tarvo::quoted(L"Error: File ", text) + L" is not a QAR archive\n");
    EXPECT_EQ(run({archive, L"-d=" + path(L"none")}).status, 1);
    EXPECT_EQ(run({archive, L"-x"}).status, 1);
    tarvo::FileLock update;
    ASSERT_EQ(update.acquire(archive, tarvo::FileLock::Kind::exclusive, false), tarvo::FileLock::Outcome::locked);
    EXPECT_EQ(run({archive}).out, tarvo::quoted(L"Error: Archive ", archive) + L" is in use by another process\n");
    update = tarvo::FileLock();
    write_bytes(archive, flipped(read_bytes(archive), read_archive(archive).archive_length - 1));
    EXPECT_EQ(run({archive}).status, 2);
}

}  // namespace
}  // namespace qar::check::test
