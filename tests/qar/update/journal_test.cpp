// The rollback journal: what recovery puts back, which records it trusts, the journals it
// refuses, and recovery when unpack or update opens an archive an interrupted run left behind.
#include "qar/format/journal.hpp"

#include <filesystem>

#include "tests/qar/format/scratch_dir.hpp"
#include "tests/qar/update/update_fixture.hpp"

namespace qar::update::test {
namespace {

using format::JournalWriter;
using format::journal_path;
using format::recover_interrupted_update;

// An archive-like file of random bytes and a handle on it, as an update holds one.
struct Scratch {
    tarvo::test::ScratchDir dir;
    std::wstring archive = dir.path(L"game.qar");
    std::string original = random_bytes(300000, 7);

    Scratch() { write_file(archive, original); }

    // Overwrites bytes of the archive, or appends past its end.
    void scribble(std::uint64_t offset, const std::string& bytes) const
    {
        tarvo::File file(archive, tarvo::File::Mode::read_write);
        file.seek(offset);
        file.write(bytes.data(), bytes.size());
        file.close();
    }

    std::string bytes() const { return read_bytes(archive); }
    bool has_journal() const { return fs::exists(tarvo::to_fs_path(journal_path(archive))); }
};

// Saves the ranges in one commit, the way an update does before its first write.
void commit(JournalWriter& journal, const Scratch& scratch, std::initializer_list<std::pair<std::uint64_t, std::uint64_t>> ranges)
{
    for (const auto& [offset, length] : ranges) journal.save(offset, length);
    tarvo::File archive(scratch.archive, tarvo::File::Mode::read);
    journal.commit_saved(archive);
}

TEST(Journal, RecoveryPutsBackEverySavedByteAndCutsWhatWasAppended)
{
    Scratch scratch;
    const std::uint64_t length = scratch.original.size();
    {
        JournalWriter journal(scratch.archive, length);
        // Overlapping ranges, one reaching past the end (only its part inside counts).
        commit(journal, scratch, {{0, 100}, {50, 5000}, {200000, 70000}, {length - 16, 16}, {length - 8, 4096}});
        EXPECT_TRUE(scratch.has_journal());
    }  // a run that dies: the published journal stays
    scratch.scribble(0, std::string(5050, 'x'));
    scratch.scribble(200000, random_bytes(70000, 8));
    scratch.scribble(length - 16, random_bytes(1 << 20, 9));  // over the trailer and past the end

    tarvo::console::Capture capture;
    EXPECT_TRUE(recover_interrupted_update(scratch.archive));
    EXPECT_EQ(capture.out, tarvo::quoted(L"Recovered interrupted update of ", scratch.archive) + L"\n");
    EXPECT_TRUE(scratch.bytes() == scratch.original);
    EXPECT_FALSE(scratch.has_journal());
    EXPECT_FALSE(recover_interrupted_update(scratch.archive));  // nothing left to do
}

TEST(Journal, OlderCopiesWinAndATornRecordEndsTheJournal)
{
    // Two commits save overlapping stretches: the second one holds bytes the run had already
    // overwritten, and the first one's copy must win. Then the same with the second commit torn
    // at each of its bytes that the CRC covers: the overwrite it guarded never happened.
    const std::string first_run = random_bytes(1000, 11);
    const std::string second_run = random_bytes(1500, 12);
    std::string journal_image;
    std::size_t first_commit_end = 0;
    {
        Scratch scratch;
        JournalWriter journal(scratch.archive, scratch.original.size());
        commit(journal, scratch, {{0, 1000}});
        first_commit_end = read_bytes(journal_path(scratch.archive)).size();
        scratch.scribble(0, first_run);
        commit(journal, scratch, {{500, 1000}});
        scratch.scribble(0, second_run);
        journal_image = read_bytes(journal_path(scratch.archive));

        tarvo::console::Capture capture;
        recover_interrupted_update(scratch.archive);
        EXPECT_TRUE(scratch.bytes() == scratch.original);
    }
    ASSERT_EQ(journal_image.size(), first_commit_end + 16 + 1000 + 4);

    // Cut short anywhere inside the second record, or with one of its bytes changed.
    for (std::size_t cut = first_commit_end; cut < journal_image.size(); cut += 97) {
        for (const bool flip : {false, true}) {
            SCOPED_TRACE(testing::Message() << (flip ? "flipped byte " : "cut at ") << cut);
            Scratch scratch;
            std::string damaged = journal_image;
            if (flip) {
                damaged[cut] = static_cast<char>(damaged[cut] ^ 0x20);
            } else {
                damaged.resize(cut);
            }
            scratch.scribble(0, second_run);
            write_file(journal_path(scratch.archive), damaged);
            tarvo::console::Capture capture;
            ASSERT_TRUE(recover_interrupted_update(scratch.archive));
            std::string wanted = scratch.original;
            wanted.replace(1000, 500, second_run.substr(1000));  // the torn save's stretch stays as written
            EXPECT_TRUE(scratch.bytes() == wanted);
        }
    }
}

TEST(Journal, AJournalThatCannotBeAppliedChangesNothing)
{
    Scratch reference;
    {
        JournalWriter journal(reference.archive, reference.original.size());
        commit(journal, reference, {{0, 4096}});
    }
    const std::string good = read_bytes(journal_path(reference.archive));
    const auto with_byte = [&](std::size_t at, char value) {
        std::string bytes = good;
        bytes[at] = value;
        return bytes;
    };
    struct Case {
        const char* label;
        std::string journal;
        std::size_t archive_length;
    };
    const std::size_t length = reference.original.size();
    const Case cases[] = {
        {"empty", "", length},
        {"header cut short", good.substr(0, 20), length},
        {"not a journal", with_byte(0, 'X'), length},
        {"header checksum fails", with_byte(9, static_cast<char>(good[9] ^ 1)), length},
        {"archive shorter than it was", good, length - 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Scratch scratch;
        write_file(scratch.archive, scratch.original.substr(0, c.archive_length));
        scratch.scribble(0, "torn");
        const std::string before = scratch.bytes();
        write_file(journal_path(scratch.archive), c.journal);
        tarvo::console::Capture capture;
        try {
            recover_interrupted_update(scratch.archive);
            ADD_FAILURE() << "applied a journal that can't be applied";
        } catch (const tarvo::wruntime_error& e) {
            EXPECT_EQ(e.message().rfind(tarvo::quoted(L"Cannot recover interrupted update of ", scratch.archive), 0), 0u)
                << tarvo::to_utf8(e.message());
        }
        EXPECT_TRUE(scratch.bytes() == before);
        EXPECT_TRUE(scratch.has_journal());
        EXPECT_EQ(capture.out, L"");
    }
}

TEST(Journal, OnlyAPublishedJournalCounts)
{
    // A run that dies before its journal is whole never touched the archive: the half-written
    // journal, which only ever stands under a name of its own, is just removed.
    Scratch scratch;
    write_file(journal_path(scratch.archive) + L".tmp", "QARJ half");
    EXPECT_FALSE(recover_interrupted_update(scratch.archive));
    EXPECT_FALSE(fs::exists(tarvo::to_fs_path(journal_path(scratch.archive) + L".tmp")));
    EXPECT_TRUE(scratch.bytes() == scratch.original);

    // A writer that replaces the archive as a whole drops a journal that belongs to the old one.
    write_file(journal_path(scratch.archive), "stale");
    format::discard_journal(scratch.archive);
    EXPECT_FALSE(scratch.has_journal());
}

// An update that died after its journal was published and its first writes went out: the
// metadata at the front overwritten, data appended behind the trailer.
void leave_interrupted_update(const std::wstring& archive)
{
    const std::uint64_t length = read_archive(archive).archive_length;
    tarvo::File file(archive, tarvo::File::Mode::read_write);
    {
        JournalWriter journal(archive, length);
        journal.save(0, 4096);
        journal.save(length - 16, 16);
        journal.commit_saved(file);
    }
    file.seek(0);
    file.write(random_bytes(4096, 21).data(), 4096);
    file.seek(length - 16);
    file.write(random_bytes(300000, 22).data(), 300000);
    file.close();
}

using JournalRecovery = UpdateTest;

TEST_F(JournalRecovery, UnpackAndUpdateRecoverBeforeTheyReadTheArchive)
{
    const std::wstring archive = copy_of("updated.qar");
    const std::string pristine = read_bytes(archive);
    const std::wstring recovered = tarvo::quoted(L"Recovered interrupted update of ", archive) + L"\n";

    leave_interrupted_update(archive);
    const std::wstring target = path(L"unpacked");
    {
        tarvo::console::Capture capture;
        format::unpack_archive(archive, target, L"");
        EXPECT_NE(capture.out.find(L"Setting up extract list...\n" + recovered + L"Reading file structure...\n"),
                  std::wstring::npos);
    }
    EXPECT_TRUE(read_bytes(archive) == pristine);
    EXPECT_TRUE(read_bytes(target + L"/3_mid.bin") == big_files().at("3_mid.bin"));

    // The update then runs on the archive as it was, and gives what it gives on a clean copy.
    const Files loose{{"3_mid.bin", random_bytes(1000, 5)}, {"new.bin", random_bytes(2000, 6)}};
    const std::wstring clean = path(L"clean.qar");
    fs::copy_file(tarvo::to_fs_path(archive), tarvo::to_fs_path(clean));
    ASSERT_FALSE(update(clean, loose, true).error);
    leave_interrupted_update(archive);
    const Outcome outcome = update(archive, loose, true);
    ASSERT_FALSE(outcome.error);
    EXPECT_NE(outcome.out.find(recovered + L"Reading file structure...\n"), std::wstring::npos);
    EXPECT_TRUE(read_bytes(archive) == read_bytes(clean));
    EXPECT_FALSE(fs::exists(tarvo::to_fs_path(journal_path(archive))));
}

}  // namespace
}  // namespace qar::update::test
