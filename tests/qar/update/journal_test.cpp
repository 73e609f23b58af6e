// The rollback journal: what recovery refuses or puts back, and the locks between two runs.
#include "tests/qar/update/update_fixture.hpp"

namespace qar::update::test {
namespace {

using format::JournalWriter, format::journal_path, format::recover_interrupted_update;
using tarvo::FileLock;

std::wstring cannot_recover(const std::wstring& archive) { return tarvo::quoted(L"Cannot recover interrupted update of ", archive); }

// Recovery refuses with `message`: nothing printed, the archive and the journal as they were.
void expect_recovery_refused(const std::wstring& archive, const std::wstring& message)
{
    const std::string archive_bytes = read_bytes(archive), journal_bytes = read_bytes(journal_path(archive));
    tarvo::console::Capture capture;
    ASSERT_EQ(error_of([&] { recover_interrupted_update(archive); }), message);
    ASSERT_TRUE(read_bytes(archive) == archive_bytes);
    ASSERT_TRUE(read_bytes(journal_path(archive)) == journal_bytes);
    ASSERT_EQ(capture.out, L"");
}

using Journal = UpdateTest;

TEST_F(Journal, AJournalDamagedAnywhereOrMadeForAnotherArchiveIsRefusedWhole)
{
    // Three records under 2 KiB, the last reaching past the end, beside an archive half updated and grown.
    const std::string small = random_bytes(6000, 7);
    const std::wstring archive = path(L"game.qar");
    write_bytes(archive, small);
    {
        JournalWriter journal(archive, small.size());
        commit(journal, archive, {{0, 700}, {3000, 1200}, {small.size() - 16, 4096}});
    }
    const std::string image = read_bytes(journal_path(archive));
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
            write_bytes(journal_path(archive), journal);
            expect_recovery_refused(archive, damaged);
        }
    }
    write_bytes(journal_path(archive), image + '\0');
    expect_recovery_refused(archive, damaged);

    // A copy of the archive (same bytes, another file) and the archive cut short: not the journal's.
    const auto belongs_elsewhere = [](const std::wstring& to) {
        return cannot_recover(to) + tarvo::quoted(L": journal ", journal_path(to)) + L" belongs to another archive";
    };
    write_bytes(path(L"copy.qar"), read_bytes(archive));
    write_bytes(journal_path(path(L"copy.qar")), image);
    expect_recovery_refused(path(L"copy.qar"), belongs_elsewhere(path(L"copy.qar")));
    write_bytes(journal_path(archive), image);
    fs::resize_file(tarvo::to_fs_path(archive), small.size() - 1);
    expect_recovery_refused(archive, belongs_elsewhere(archive));

    // The whole journal undoes the half-applied update; a half journal of a later run goes too.
    fs::resize_file(tarvo::to_fs_path(archive), small.size());
    write_bytes(journal_path(archive) + L".tmp", "QARJ half");
    tarvo::console::Capture capture;
    EXPECT_TRUE(recover_interrupted_update(archive));
    EXPECT_TRUE(read_bytes(archive) == small);
    EXPECT_FALSE(exists(journal_path(archive)) || exists(journal_path(archive) + L".tmp"));
}

TEST_F(Journal, ARunThatFindsTheArchiveLockedStopsBeforeItChangesAnythingAndOneAloneRecovers)
{
    const std::wstring archive = copy_of("updated.qar");
    const std::string pristine = read_bytes(archive);
    const std::wstring in_use = tarvo::quoted(L"Archive ", archive) + L" is in use by another process";

    // Another reader: unpacks go on beside it, but neither an update nor a create.
    FileLock reader;
    ASSERT_EQ(reader.acquire(archive, FileLock::Kind::shared, false), FileLock::Outcome::locked);
    EXPECT_EQ(unpack(archive), kNoError);
    interrupt(archive);
    const std::string interrupted = read_bytes(archive), journal = read_bytes(journal_path(archive));
    EXPECT_EQ(update(archive, {{"new.bin", "new"}}, true).error, in_use);
    EXPECT_EQ(create_empty(archive), in_use);
    // An unpack that finds the journal needs the archive to itself to apply it.
    EXPECT_EQ(unpack(archive), in_use);
    EXPECT_TRUE(read_bytes(archive) == interrupted);
    EXPECT_TRUE(read_bytes(journal_path(archive)) == journal);

    // Alone, the update recovers the archive first; with nothing to patch it leaves it so.
    reader = FileLock();
    EXPECT_EQ(update(archive, {}).error, kNoError);
    EXPECT_TRUE(read_bytes(archive) == pristine);
}

}  // namespace
}  // namespace qar::update::test
