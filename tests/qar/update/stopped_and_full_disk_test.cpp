// The programs, stopped, out of disk or given a FIFO: a stopped update keeps its archive; a full disk
// ends with one error line, status 1 and the old archive; a FIFO is refused before any open.
#include <cstdlib>

#include "tests/support/update_fixture.hpp"

#if defined(__linux__) && defined(TARVO_QAR_PROGRAM) && defined(TARVO_CHECK_PROGRAM)
#include <sys/stat.h>
#include <sys/wait.h>

namespace qar::update::test {
namespace {

using Programs = UpdateTest;

TEST_F(Programs, AnUnpackOfAnArchiveThatAStoppedUpdateHoldsStopsAndTheUpdateFinishes)
{
    const std::wstring archive = copy_of("updated.qar");
    // Large enough that the journal stands for a good while: the new file is compressed after it.
    write_files(path(L"loose"), {{"new.bin", random_bytes(32 << 20, 300)}, {"3_mid.bin", random_bytes(1000, 301)}});
    // Stopped once its journal stands, the update waits while an unpack notes what it changed.
    const std::string script = R"(cd "$1" || exit 9
"$0" -a loose updated.qar >/dev/null &
while [ ! -e updated.qar.journal ]; do kill -0 $! || exit 9; sleep 0.001; done
kill -STOP $!; cp updated.qar held; cp updated.qar.journal saved
"$0" -u updated.qar unpacked >out 2>&1; echo $? >status
cmp -s updated.qar held && cmp -s updated.qar.journal saved && echo unchanged >>status
kill -CONT $!; wait $!)";
    const int status = std::system(("sh -c '" + script + "' '" TARVO_QAR_PROGRAM "' '" + tarvo::to_utf8(path(L"")) + "'").c_str());
    ASSERT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << "9: the update ended before its journal was seen";

    // Were the update's lock gone, the unpack would take its live journal for an interrupted one.
    EXPECT_EQ(read_bytes(path(L"status")), "1\nunchanged\n");
    EXPECT_TRUE(read_bytes(path(L"out")).ends_with("Error: Archive \"updated.qar\" is in use by another process\n"));
    EXPECT_FALSE(exists(path(L"unpacked")));
    EXPECT_FALSE(exists(format::journal_path(archive)));
}

TEST_F(Programs, EveryOutputEndsWithAnErrorAndTheOldArchive)
{
    if (std::system("command -v prlimit >/dev/null 2>&1") != 0) GTEST_SKIP() << "prlimit is not installed";
    constexpr std::uint64_t kMiB = 1 << 20;
    std::string stage;  // what the failing output is
    // Runs a program with files limited to `limit` bytes (SIGXFSZ ignored: writes beyond fail);
    // it fails with the one error line about `failed`, or succeeds when that is empty.
    const auto run = [&](std::uint64_t limit, const std::vector<std::wstring>& args, const std::wstring& failed) {
        std::string command = "sh -c 'trap \"\" XFSZ; exec prlimit --fsize=" + std::to_string(limit) + " \"$0\" \"$@\"' " TARVO_QAR_PROGRAM;
        for (const std::wstring& arg : args) command += " '" + tarvo::to_utf8(arg) + "'";
        command += " >'" + tarvo::to_utf8(path(L"out")) + "' 2>'" + tarvo::to_utf8(path(L"err")) + "'";
        const int status = std::system(command.c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, failed.empty() ? 0 : 1) << stage;
        const std::string out = read_bytes(path(L"out"));
        if (!failed.empty()) {
            EXPECT_EQ(read_bytes(path(L"err")), "Error: Cannot write output file \"" + tarvo::to_utf8(failed) + "\"\n") << stage;
            EXPECT_EQ(out.find("Done!"), std::string::npos) << stage;
        }
        return out;
    };
    stage = "the archive of the create mode, and the files of the unpack mode";
    write_bytes(path(L"tree/big.bin"), random_bytes(3 * kMiB, 1));
    run(kMiB, {L"-c", path(L"tree"), path(L"tree.qar")}, path(L"tree.qar"));
    run(8 * kMiB, {L"-c", path(L"tree"), path(L"tree.qar")}, L"");
    run(kMiB, {L"-u", path(L"tree.qar"), path(L"unpacked")}, tarvo::join_path(path(L"unpacked"), L"big.bin"));

    // A limit below the stretches to restore fails the rollback too: the journal stays, and the
    // next open recovers the old archive.
    stage = "the archive of an update";
    const std::wstring archive = copy_of("updated.qar");
    const std::string before = read_bytes(archive);
    write_files(path(L"loose"), {{"new.bin", random_bytes(kMiB, 2)}, {"3_mid.bin", random_bytes(1000, 3)}});
    run(8 * kMiB, {L"-a", path(L"loose"), archive}, archive);
    const std::string recovered = tarvo::to_utf8(tarvo::quoted(L"Recovered interrupted update of ", archive));
    EXPECT_NE(run(before.size(), {L"-u", archive, path(L"unpacked2")}, L"").find(recovered + "\nReading file structure...\n"),
              std::string::npos);
    EXPECT_TRUE(read_bytes(archive) == before);
    EXPECT_FALSE(exists(format::journal_path(archive)));
}

TEST_F(Programs, AFifoAtTheArchivesOrTheJournalsPathIsRefusedBeforeAnythingOpensIt)
{
    const std::wstring fifo = path(L"fifo.qar"), archive = copy_of("updated.qar"), empty = tarvo::from_fs_path(suite_ / "empty");
    ASSERT_EQ(mkfifo(tarvo::to_utf8(fifo).c_str(), 0600) | mkfifo(tarvo::to_utf8(format::journal_path(archive)).c_str(), 0600), 0);
    for (const std::wstring& at : {fifo, archive}) {
        const std::string named = tarvo::to_utf8(at == fifo ? fifo : format::journal_path(archive));
        for (const std::vector<std::wstring>& args :
             {std::vector<std::wstring>{L"-u", at, path(L"out")}, {L"-r", empty, at}, {L"-a", empty, at}, {L"-c", empty, at}, {at}}) {
            // Bounded: the open of a FIFO waits for a writer, and none ever comes.
            std::string command = std::string("timeout -s KILL 10 '") + (args.size() == 1 ? TARVO_CHECK_PROGRAM : TARVO_QAR_PROGRAM) + "'";
            for (const std::wstring& arg : args) command += " '" + tarvo::to_utf8(arg) + "'";
            const int status = std::system((command + " >/dev/null 2>'" + tarvo::to_utf8(path(L"err")) + "'").c_str());
            EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1) << command;
            const char* open = at == fifo && args[0] == L"-c" ? "output" : "input";
            EXPECT_EQ(read_bytes(path(L"err")), "Error: Cannot open " + std::string(open) + " file \"" + named + "\"\n") << command;
        }
    }
}

}  // namespace
}  // namespace qar::update::test

#else

TEST(Programs, StoppedOrOutOfDisk) { GTEST_SKIP() << "stopping a child process, file size limits and FIFOs are Linux tests"; }

#endif
