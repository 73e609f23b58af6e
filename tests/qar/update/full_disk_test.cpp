// A full disk on every output of both programs, simulated with a file size limit: each run
// ends with one error line and status 1, never with "Done!"; an update leaves the old archive.
#include <cstdlib>

#include "qar/format/journal.hpp"
#include "tests/qar/update/update_fixture.hpp"

#if defined(__linux__) && defined(TARVO_QAR_PROGRAM) && defined(TARVO_SIZE_PROGRAM)
#include <sys/wait.h>
#define TARVO_FULL_DISK_TESTS 1
#endif

namespace qar::update::test {
namespace {

using FullDisk = UpdateTest;

#ifdef TARVO_FULL_DISK_TESTS

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

class Limited {
public:
    explicit Limited(fs::path scratch) : scratch_(std::move(scratch)) {}

    // Runs the program with files limited to `limit` bytes; writes beyond it fail (EFBIG)
    // instead of killing the process.
    ProgramRun run(std::uint64_t limit, const std::string& program, const std::vector<std::wstring>& args) const
    {
        std::string command = "sh -c 'trap \"\" XFSZ; exec prlimit --fsize=" + std::to_string(limit) + " \"$0\" \"$@\"' " +
                              program;
        for (const std::wstring& arg : args) command += " '" + tarvo::to_utf8(arg) + "'";
        command += " >'" + (scratch_ / "out.txt").string() + "' 2>'" + (scratch_ / "err.txt").string() + "'";
        const int status = std::system(command.c_str());
        ProgramRun result;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = read_bytes(tarvo::from_fs_path(scratch_ / "out.txt"));
        result.err = read_bytes(tarvo::from_fs_path(scratch_ / "err.txt"));
        return result;
    }

private:
    fs::path scratch_;
};

void expect_write_error(const ProgramRun& run, const std::wstring& path)
{
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error: Cannot write output file \"" + tarvo::to_utf8(path) + "\"\n");
    EXPECT_EQ(run.out.find("Done!"), std::string::npos);
}

TEST_F(FullDisk, EveryOutputEndsWithAnErrorAndTheOldArchive)
{
    if (std::system("command -v prlimit >/dev/null 2>&1") != 0) GTEST_SKIP() << "prlimit is not installed";
    const Limited limited(scratch_);
    constexpr std::uint64_t kMiB = 1 << 20;

    {
        SCOPED_TRACE("the archive of the create mode, and the files of the unpack mode");
        write_file(path(L"tree/big.bin"), random_bytes(3 * kMiB, 1));
        expect_write_error(limited.run(kMiB, TARVO_QAR_PROGRAM, {L"-c", path(L"tree"), path(L"tree.qar")}),
                           path(L"tree.qar"));
        ASSERT_EQ(limited.run(8 * kMiB, TARVO_QAR_PROGRAM, {L"-c", path(L"tree"), path(L"tree.qar")}).status, 0);
        expect_write_error(limited.run(kMiB, TARVO_QAR_PROGRAM, {L"-u", path(L"tree.qar"), path(L"out")}),
                           tarvo::join_path(path(L"out"), L"big.bin"));
    }

    const std::wstring archive = copy_of("updated.qar");
    const std::string before = read_bytes(archive);
    const std::wstring journal = format::journal_path(archive);
    const auto expect_old_archive = [&] {
        EXPECT_TRUE(read_bytes(archive) == before);
        EXPECT_FALSE(fs::exists(tarvo::to_fs_path(journal)));
        EXPECT_FALSE(fs::exists(tarvo::to_fs_path(journal + L".tmp")));
    };
    {
        SCOPED_TRACE("the archive of an update, once it has begun to write");
        write_file(path(L"loose/new.bin"), random_bytes(kMiB, 2));
        write_file(path(L"loose/3_mid.bin"), random_bytes(1000, 3));
        const ProgramRun run = limited.run(before.size() + 65536, TARVO_QAR_PROGRAM, {L"-a", path(L"loose"), archive});
        expect_write_error(run, archive);
        expect_old_archive();

        // A limit below the stretches to restore fails the rollback too (a full disk only does
        // that where rewriting needs new room); the journal stays, and the next open recovers.
        expect_write_error(limited.run(8 * kMiB, TARVO_QAR_PROGRAM, {L"-a", path(L"loose"), archive}), archive);
        EXPECT_TRUE(fs::exists(tarvo::to_fs_path(journal)));
        const ProgramRun next = limited.run(before.size(), TARVO_QAR_PROGRAM, {L"-u", archive, path(L"unpacked")});
        EXPECT_EQ(next.status, 0);
        EXPECT_NE(next.out.find(tarvo::to_utf8(tarvo::quoted(L"Recovered interrupted update of ", archive)) +
                                "\nReading file structure...\n"),
                  std::string::npos);
        expect_old_archive();
    }
    // The journal saves the 2 MiB that the new version may overwrite, the backup all 10 MiB.
    write_file(path(L"patch/1_bigg.bin"), random_bytes(2 * kMiB, 4));
    {
        SCOPED_TRACE("the journal of an update");
        expect_write_error(limited.run(kMiB, TARVO_QAR_PROGRAM, {L"-r", path(L"patch"), archive}), journal + L".tmp");
        expect_old_archive();
    }
    {
        SCOPED_TRACE("a backup of an update");
        const std::wstring backup = tarvo::join_path(path(L"bk"), L"1_bigg.bin");
        fs::create_directories(tarvo::to_fs_path(path(L"bk")));
        expect_write_error(
            limited.run(kMiB, TARVO_QAR_PROGRAM, {L"-r", path(L"patch"), archive, L"-b=" + path(L"bk")}), backup);
        EXPECT_FALSE(fs::exists(tarvo::to_fs_path(backup))) << "a backup in part would be kept as the original";
        expect_old_archive();
    }
    {
        SCOPED_TRACE("the size table");
        write_file(path(L"table.bin"), std::string(2 * kMiB, '\0'));
        write_file(path(L"offsets.txt"), "a.dat;0x180000\n");
        write_file(path(L"game/a.dat"), "a");
        expect_write_error(limited.run(kMiB, TARVO_SIZE_PROGRAM, {path(L"table.bin"), path(L"offsets.txt"), path(L"game")}),
                           path(L"table.bin"));
    }
}

#else

TEST_F(FullDisk, EveryOutputEndsWithAnErrorAndTheOldArchive) { GTEST_SKIP() << "file size limits are a Linux test"; }

#endif

}  // namespace
}  // namespace qar::update::test
