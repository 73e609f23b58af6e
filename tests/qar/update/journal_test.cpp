// The rollback journal: what recovery puts back, which records it trusts, the journals it
// refuses, and recovery when unpack or update opens an archive an interrupted run left behind.
#include "tests/qar/update/update_fixture.hpp"

namespace qar::update::test {
namespace {

using format::JournalWriter, format::journal_path, format::recover_interrupted_update;

// Overwrites bytes of the archive, or appends past its end.
void scribble(const std::wstring& archive, std::uint64_t offset, const std::string& bytes)
{
    tarvo::File file(archive, tarvo::File::Mode::read_write);
    file.seek(offset);
    file.write(bytes.data(), bytes.size());
    file.close();
}

// Saves the ranges in one commit, the way an update does before it writes over them.
void commit(JournalWriter& journal, const std::wstring& archive, std::initializer_list<std::pair<std::uint64_t, std::uint64_t>> ranges)
{
    for (const auto& [offset, length] : ranges) journal.save(offset, length);
    tarvo::File file(archive, tarvo::File::Mode::read);
    journal.commit_saved(file);
}

class Journal : public UpdateTest {
protected:
    const std::string original = random_bytes(300000, 7);
    int archives_ = 0;
    std::wstring fresh_archive(const std::string& bytes)
    {
        write_file(path(L"game" + std::to_wstring(++archives_) + L".qar"), bytes);
        return path(L"game" + std::to_wstring(archives_) + L".qar");
    }
};

TEST_F(Journal, RecoveryPutsBackSavedBytesOlderCopiesWinAndATornRecordEndsTheJournal)
{
    const std::wstring archive = fresh_archive(original);
    const std::uint64_t length = original.size();
    const std::string second_run = random_bytes(6000, 12);
    std::size_t first_commit_end = 0;
    {
        JournalWriter journal(archive, length);
        // Overlapping ranges, one reaching past the end (only its part inside counts).
        commit(journal, archive, {{0, 100}, {50, 5000}, {200000, 70000}, {length - 16, 16}, {length - 8, 4096}});
        first_commit_end = read_bytes(journal_path(archive)).size();
        scribble(archive, 0, std::string(5050, 'x'));
        scribble(archive, 200000, random_bytes(70000, 8));
        commit(journal, archive, {{5000, 1000}});  // holds 50 bytes already overwritten: the older copy wins
        scribble(archive, 0, second_run);
        scribble(archive, length - 16, random_bytes(1 << 20, 9));  // over the trailer and past the end
    }  // a run that dies: the published journal stays
    const std::string image = read_bytes(journal_path(archive));
    ASSERT_EQ(image.size(), first_commit_end + 16 + 1000 + 4);
    tarvo::console::Capture capture;
    EXPECT_TRUE(recover_interrupted_update(archive));
    EXPECT_EQ(capture.out, tarvo::quoted(L"Recovered interrupted update of ", archive) + L"\n");
    EXPECT_TRUE(read_bytes(archive) == original);
    EXPECT_FALSE(exists(journal_path(archive)));
    EXPECT_FALSE(recover_interrupted_update(archive));  // nothing left to do

    // The second record cut short or with a byte changed: the overwrite it guarded never happened.
    std::string wanted = original;
    wanted.replace(5050, 950, second_run.substr(5050));
    for (std::size_t at = first_commit_end; at < image.size(); at += 97) {
        for (const bool flip : {false, true}) {
            SCOPED_TRACE(testing::Message() << (flip ? "flipped byte " : "cut at ") << at);
            const std::wstring torn = fresh_archive(second_run + original.substr(second_run.size()));
            write_file(journal_path(torn), image.substr(0, at) + (flip ? static_cast<char>(image[at] ^ 0x20) + image.substr(at + 1) : ""));
            ASSERT_TRUE(recover_interrupted_update(torn));
            EXPECT_TRUE(read_bytes(torn) == wanted);
        }
    }
}

TEST_F(Journal, AJournalThatCannotBeAppliedChangesNothingAndOnlyAPublishedOneCounts)
{
    const std::wstring reference = fresh_archive(original);
    JournalWriter writer(reference, original.size());
    commit(writer, reference, {{0, 4096}});
    const std::string good = read_bytes(journal_path(reference));
    const std::string bad_header = good.substr(0, 9) + static_cast<char>(good[9] ^ 1) + good.substr(10);
    const std::string torn = "torn" + original.substr(4);
    // Empty, header cut short, not a journal, header checksum fails, archive shorter than it was.
    const std::pair<std::string, std::string> cases[] = {
        {"", torn}, {good.substr(0, 20), torn}, {"X" + good.substr(1), torn}, {bad_header, torn}, {good, torn.substr(1)}};
    for (const auto& [journal, archive_bytes] : cases) {
        SCOPED_TRACE(journal.size());
        const std::wstring archive = fresh_archive(archive_bytes);
        write_file(journal_path(archive), journal);
        tarvo::console::Capture capture;
        const std::wstring error = error_of([&] { recover_interrupted_update(archive); });
        EXPECT_EQ(error.rfind(tarvo::quoted(L"Cannot recover interrupted update of ", archive), 0), 0u) << tarvo::to_utf8(error);
        EXPECT_TRUE(read_bytes(archive) == archive_bytes);
        EXPECT_TRUE(exists(journal_path(archive)));
        EXPECT_EQ(capture.out, L"");
    }

    // A run that dies before its journal is published never touched the archive: the half
    // journal under its own name is just removed.
    const std::wstring archive = fresh_archive(original);
    write_file(journal_path(archive) + L".tmp", "QARJ half");
    EXPECT_FALSE(recover_interrupted_update(archive));
    EXPECT_FALSE(exists(journal_path(archive) + L".tmp"));
    EXPECT_TRUE(read_bytes(archive) == original);
}

// An update that died after its journal was published and its first writes went out: the
// metadata at the front overwritten, data appended behind the trailer.
void leave_interrupted_update(const std::wstring& archive)
{
    const std::uint64_t length = read_archive(archive).archive_length;
    JournalWriter journal(archive, length);
    commit(journal, archive, {{0, 4096}, {length - 16, 16}});
    scribble(archive, 0, random_bytes(4096, 21));
    scribble(archive, length - 16, random_bytes(300000, 22));
}

TEST_F(Journal, UnpackAndUpdateRecoverBeforeTheyReadTheArchive)
{
    const std::wstring archive = copy_of("updated.qar");
    const std::string pristine = read_bytes(archive);
    const std::wstring recovered = tarvo::quoted(L"Recovered interrupted update of ", archive) + L"\n";
    leave_interrupted_update(archive);
    {
        tarvo::console::Capture capture;
        format::unpack_archive(archive, path(L"unpacked"), L"");
        EXPECT_NE(capture.out.find(L"Setting up extract list...\n" + recovered + L"Reading file structure...\n"),
                  std::wstring::npos);
    }
    EXPECT_TRUE(read_bytes(archive) == pristine);
    EXPECT_TRUE(read_bytes(path(L"unpacked/3_mid.bin")) == big_files().at("3_mid.bin"));

    // The update then runs on the archive as it was, and gives what it gives on a clean copy.
    const Files loose{{"3_mid.bin", random_bytes(1000, 5)}, {"new.bin", random_bytes(2000, 6)}};
    const std::wstring clean = path(L"clean.qar");
    write_file(clean, pristine);
    ASSERT_EQ(update(clean, loose, true).error, kNoError);
    leave_interrupted_update(archive);
    const Outcome outcome = update(archive, loose, true);
    ASSERT_EQ(outcome.error, kNoError);
    EXPECT_NE(outcome.out.find(recovered + L"Reading file structure...\n"), std::wstring::npos);
    EXPECT_TRUE(read_bytes(archive) == read_bytes(clean));
    EXPECT_FALSE(exists(journal_path(archive)));
}

}  // namespace
}  // namespace qar::update::test
