// The rollback journal: what recovery puts back, the journals it refuses whole, the archive a
// journal belongs to, recovery when unpack or update opens an archive an interrupted run left
// behind, and the locks that keep two runs off one archive.
#include "tests/qar/update/update_fixture.hpp"

namespace qar::update::test {
namespace {

using format::JournalWriter, format::journal_path, format::recover_interrupted_update;
using tarvo::FileLock;

// Saves the ranges in the journal's one commit, the way an update does before it writes over them.
void commit(JournalWriter& journal, const std::wstring& archive, std::initializer_list<std::pair<std::uint64_t, std::uint64_t>> ranges)
{
    for (const auto& [offset, length] : ranges) journal.save(offset, length);
    tarvo::File file(archive, tarvo::File::Mode::read);
    journal.commit_saved(file);
}

std::wstring cannot_recover(const std::wstring& archive) { return tarvo::quoted(L"Cannot recover interrupted update of ", archive); }

class Journal : public UpdateTest {
protected:
    // In memory where there is room: the sweep below writes thousands of journals.
    static void SetUpTestSuite() { set_up_suite(true); }
    const std::string original = random_bytes(300000, 7);
    int archives_ = 0;
    std::wstring fresh_archive(const std::string& bytes)
    {
        write_file(path(L"game" + std::to_wstring(++archives_) + L".qar"), bytes);
        return path(L"game" + std::to_wstring(archives_) + L".qar");
    }
    // Recovery refuses with `message`: nothing printed, the archive and the journal as they were.
    void expect_refused(const std::wstring& archive, const std::wstring& message)
    {
        const std::string archive_bytes = read_bytes(archive), journal_bytes = read_bytes(journal_path(archive));
        tarvo::console::Capture capture;
        ASSERT_EQ(error_of([&] { recover_interrupted_update(archive); }), message);
        ASSERT_TRUE(read_bytes(archive) == archive_bytes);
        ASSERT_TRUE(read_bytes(journal_path(archive)) == journal_bytes);
        ASSERT_EQ(capture.out, L"");
    }
};

TEST_F(Journal, RecoveryPutsBackEverySavedByteAndCutsWhatWasAppended)
{
    const std::wstring archive = fresh_archive(original);
    const std::uint64_t length = original.size();
    {
        JournalWriter journal(archive, length);
        // Overlapping ranges, one reaching past the end (only its part inside counts).
        commit(journal, archive, {{0, 100}, {50, 5000}, {200000, 70000}, {length - 16, 16}, {length - 8, 4096}});
        scribble(archive, 0, std::string(5050, 'x'));
        scribble(archive, 200000, random_bytes(70000, 8));
        scribble(archive, length - 16, random_bytes(1 << 20, 9));  // over the trailer and past the end
    }  // a run that dies: the published journal stays
    tarvo::console::Capture capture;
    EXPECT_TRUE(recover_interrupted_update(archive));
    EXPECT_EQ(capture.out, tarvo::quoted(L"Recovered interrupted update of ", archive) + L"\n");
    EXPECT_TRUE(read_bytes(archive) == original);
    EXPECT_FALSE(exists(journal_path(archive)));
    EXPECT_FALSE(recover_interrupted_update(archive));  // nothing left to do

    // A run that dies before its journal is published never touched the archive: the half
    // journal under its own name is just removed.
    write_file(journal_path(archive) + L".tmp", "QARJ half");
    EXPECT_FALSE(recover_interrupted_update(archive));
    EXPECT_FALSE(exists(journal_path(archive) + L".tmp"));
    EXPECT_TRUE(read_bytes(archive) == original);
}

TEST_F(Journal, AJournalWithAnyByteChangedOrCutShortAnywhereIsRefusedWhole)
{
    // A real journal of three records, a little under 2 KiB, beside an archive it was half applied to.
    const std::string small = original.substr(0, 6000);
    const std::wstring archive = fresh_archive(small);
    {
        JournalWriter journal(archive, small.size());
        commit(journal, archive, {{0, 700}, {3000, 1200}, {small.size() - 16, 16}});
    }
    const std::string image = read_bytes(journal_path(archive));
    ASSERT_LE(image.size(), 4096u);
    scribble(archive, 0, random_bytes(700, 10));
    scribble(archive, small.size() - 16, random_bytes(100, 11));
    const std::wstring damaged = cannot_recover(archive) + tarvo::quoted(L": damaged journal ", journal_path(archive));

    // Every case under the sanitizers and Wine too would take minutes: there every 16th.
#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
    constexpr std::size_t kStep = 16;
#else
    constexpr std::size_t kStep = 1;
#endif
    for (std::size_t at = 0; at < image.size(); at += kStep) {
        for (const bool flip : {false, true}) {
            SCOPED_TRACE(testing::Message() << (flip ? "byte changed at " : "cut at ") << at);
            std::string journal = image.substr(0, at);
            if (flip) journal += static_cast<char>(image[at] ^ 0xFF) + image.substr(at + 1);
            write_file(journal_path(archive), journal);
            expect_refused(archive, damaged);
        }
    }
    write_file(journal_path(archive), image + '\0');
    expect_refused(archive, damaged);

    write_file(journal_path(archive), image);  // the whole journal undoes the half-applied update
    tarvo::console::Capture capture;
    EXPECT_TRUE(recover_interrupted_update(archive));
    EXPECT_TRUE(read_bytes(archive) == small);
}

TEST_F(Journal, AJournalIsAppliedOnlyToTheArchiveItWasMadeFor)
{
    const std::wstring archive = fresh_archive(original);
    {
        JournalWriter journal(archive, original.size());
        commit(journal, archive, {{0, 4096}});
    }
    const std::string image = read_bytes(journal_path(archive));
    scribble(archive, 0, "changed");
    const auto belongs_elsewhere = [](const std::wstring& to) {
        return cannot_recover(to) + tarvo::quoted(L": journal ", journal_path(to)) + L" belongs to another archive";
    };

    // A copy of the archive, the journal copied beside it: same bytes, another file.
    const std::wstring copy = fresh_archive(read_bytes(archive));
    write_file(journal_path(copy), image);
    expect_refused(copy, belongs_elsewhere(copy));

    // The archive itself, cut below the length it had before the update.
    scribble(archive, 0, original.substr(0, 4096));
    fs::resize_file(tarvo::to_fs_path(archive), original.size() - 1);
    expect_refused(archive, belongs_elsewhere(archive));
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
        format::unpack_archive(archive, path(L"unpacked"), L"", pool_);
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

TEST_F(Journal, ARunThatFindsTheArchiveLockedStopsBeforeItChangesAnything)
{
    const std::wstring archive = copy_of("updated.qar");
    const std::wstring in_use = tarvo::quoted(L"Archive ", archive) + L" is in use by another process";
    const auto unpack = [&] {
        tarvo::console::Capture capture;
        return error_of([&] { format::unpack_archive(archive, path(L"unpacked"), L"", pool_); });
    };
    const auto create = [&] {
        tarvo::console::Capture capture;
        return error_of([&] { create::create_archive(path(L"empty"), archive, L"", pool_); });
    };
    fs::create_directories(tarvo::to_fs_path(path(L"empty")));

    // Another reader: unpacks go on beside it, but neither an update nor a create.
    FileLock reader;
    ASSERT_EQ(reader.acquire(archive, FileLock::Kind::shared, false), FileLock::Outcome::locked);
    EXPECT_EQ(unpack(), kNoError);
    leave_interrupted_update(archive);
    const std::string interrupted = read_bytes(archive), journal = read_bytes(journal_path(archive));
    EXPECT_EQ(update(archive, {{"new.bin", "new"}}, true).error, in_use);
    EXPECT_EQ(create(), in_use);
    // An unpack that finds the journal needs the archive to itself to apply it.
    EXPECT_EQ(unpack(), in_use);
    EXPECT_TRUE(read_bytes(archive) == interrupted);
    EXPECT_TRUE(read_bytes(journal_path(archive)) == journal);

    reader = FileLock();
    EXPECT_EQ(unpack(), kNoError);
    EXPECT_FALSE(exists(journal_path(archive)));
    EXPECT_EQ(create(), kNoError);
    EXPECT_EQ(read_archive(archive).entries.size(), 0u);
}

}  // namespace
}  // namespace qar::update::test
