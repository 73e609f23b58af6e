// The rollback journal: what recovery refuses or puts back, wherever the archive went; the locks.
#include <zlib.h>

#include "common/byte_order.hpp"
#include "tests/support/update_fixture.hpp"

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
    scribble(archive, format::kHeaderSize, random_bytes(700 - format::kHeaderSize, 10));
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

    // The whole journal undoes the half-applied update; a half journal of a later run goes too.
    write_bytes(journal_path(archive), image);
    write_bytes(journal_path(archive) + L".tmp", "QARJ half");
    tarvo::console::Capture capture;
    EXPECT_TRUE(recover_interrupted_update(archive));
    EXPECT_TRUE(read_bytes(archive) == small);
    EXPECT_FALSE(exists(journal_path(archive)));
    EXPECT_FALSE(exists(journal_path(archive) + L".tmp"));
}

TEST_F(Journal, ARunThatFindsTheArchiveLockedStopsBeforeItChangesAnythingAndOneAloneRecovers)
{
    const std::wstring archive = copy_of("updated.qar");
    const std::string pristine = read_bytes(archive);
    const std::wstring in_use = tarvo::quoted(L"Archive ", archive) + L" is in use by another process";

    // Another reader: unpacks go on beside it, but neither an update nor a create.
    FileLock reader;
    ASSERT_EQ(reader.acquire(archive, FileLock::Kind::shared, false), FileLock::Outcome::locked);
    EXPECT_EQ(unpack(archive), std::nullopt);
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
    EXPECT_EQ(update(archive, {}).error, std::nullopt);
    EXPECT_TRUE(read_bytes(archive) == pristine);
}

std::wstring belongs_elsewhere(const std::wstring& archive)
{
    return cannot_recover(archive) + tarvo::quoted(L": journal ", journal_path(archive)) + L" belongs to another archive";
}

std::wstring recover(const std::wstring& archive)
{
    tarvo::console::Capture capture;
    recover_interrupted_update(archive);
    return capture.out;
}

std::wstring recovered(const std::wstring& archive) { return tarvo::quoted(L"Recovered interrupted update of ", archive) + L"\n"; }

// A journal as release 1.0.0 wrote it: version 2, the archive file's identity in place of the id.
std::string as_version_2(std::string journal, const std::wstring& archive)
{
    const tarvo::FileIdentity identity = tarvo::file_identity(archive).value();
    auto* bytes = reinterpret_cast<std::uint8_t*>(journal.data());
    tarvo::put_le<std::uint32_t>(bytes + 4, 2);  // the version, after the magic
    tarvo::put_le<std::uint64_t>(bytes + 16, identity.device);
    tarvo::put_le<std::uint64_t>(bytes + 24, identity.index);
    const std::size_t crc_at = journal.size() - sizeof(std::uint32_t);
    tarvo::put_le<std::uint32_t>(bytes + crc_at, static_cast<std::uint32_t>(crc32(0, bytes, static_cast<uInt>(crc_at))));
    return journal;
}

TEST_F(Journal, AJournalFollowsItsMarkWhereverTheArchiveGoesAndNeverLandsOnAnother)
{
    const std::wstring archive = copy_of("updated.qar"), moved = path(L"moved/updated.qar");
    const std::string pristine = read_bytes(archive), other = read_bytes(copy_of("created.qar"));
    interrupt(archive);
    const std::string interrupted = read_bytes(archive), journal = read_bytes(journal_path(archive));
    const auto put_back = [&](const std::string& bytes) {
        write_bytes(moved, bytes);
        write_bytes(journal_path(moved), journal);
    };

    // Another update's mark, this mark on a shorter file, a broken archive without a mark: refused.
    for (const std::string& bytes : {flipped(interrupted, format::kMarkMagic.size()), interrupted.substr(0, pristine.size() - 1),
                                     flipped(pristine, format::kHeaderSize)}) {
        put_back(bytes);
        expect_recovery_refused(moved, belongs_elsewhere(moved));
    }

    // Another whole archive restored in its place: the journal goes, silently; the archive stays.
    put_back(other);
    EXPECT_EQ(recover(moved), L"");
    EXPECT_TRUE(read_bytes(moved) == other);
    EXPECT_FALSE(exists(journal_path(moved)));

    // A journal of release 1.0.0 (no mark): applied to the very file it was made for alone.
    put_back(interrupted);
    scribble(moved, 0, pristine.substr(0, format::kHeaderSize));
    write_bytes(journal_path(moved), as_version_2(journal, moved));
    const std::wstring copy = path(L"copy.qar");
    write_bytes(copy, read_bytes(moved));
    write_bytes(journal_path(copy), read_bytes(journal_path(moved)));
    expect_recovery_refused(copy, belongs_elsewhere(copy));
    EXPECT_EQ(recover(moved), recovered(moved));
    EXPECT_TRUE(read_bytes(moved) == pristine);

    // The mark without its journal: every mode but create stops before it reads the archive.
    fs::remove(tarvo::to_fs_path(journal_path(archive)));
    const std::wstring missing = cannot_recover(archive) + tarvo::quoted(L": journal ", journal_path(archive)) + L" is missing";
    EXPECT_EQ(update(archive, {{"new.bin", "new"}}, true).error, missing);
    tarvo::console::Capture capture;
    EXPECT_EQ(error_of([&] { unpack::unpack_archive(archive, path(L"unpacked"), L"", pool_); }), missing);
    EXPECT_EQ(capture.out, L"Setting up extract list...\n");
    EXPECT_TRUE(read_bytes(archive) == interrupted);
    EXPECT_EQ(create_empty(archive), std::nullopt);
}

#ifndef _WIN32
TEST_F(Journal, ThroughALinkTheJournalStandsBesideTheRealFileAndAnOldOneBesideTheLinkIsStillApplied)
{
    const std::wstring real = copy_of("updated.qar"), link = path(L"mods/g.qar");
    const std::string pristine = read_bytes(real);
    fs::create_directories(scratch_ / "mods");
    fs::create_symlink("../updated.qar", tarvo::to_fs_path(link));

    // Interrupted through one name, the other finds the journal beside the real file.
    for (const auto& [interrupted, run] : {std::pair{link, real}, std::pair{real, link}}) {
        interrupt(interrupted);
        EXPECT_FALSE(exists(link + L".journal"));
        EXPECT_TRUE(update(run, {}).out.starts_with(recovered(real)));
        EXPECT_TRUE(read_bytes(real) == pristine);
    }

    // Release 1.0.0 put the journal beside the link and applied it by the file's identity.
    interrupt(link);
    scribble(real, 0, pristine.substr(0, format::kHeaderSize));
    write_bytes(link + L".journal", as_version_2(read_bytes(journal_path(real)), real));
    fs::remove(tarvo::to_fs_path(journal_path(real)));
    EXPECT_TRUE(update(link, {}).out.starts_with(recovered(real)));
    EXPECT_TRUE(read_bytes(real) == pristine);
    EXPECT_FALSE(exists(link + L".journal"));
}
#endif

}  // namespace
}  // namespace qar::update::test
