// The programs themselves, stopped or out of disk: a run on an archive that a stopped update
// holds stops and leaves it to the update; a full disk on any output ends with one error line,
// status 1 and never "Done!", and an update then leaves the old archive.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "tests/qar/update/update_fixture.hpp"

#if defined(__linux__) && defined(TARVO_QAR_PROGRAM) && defined(TARVO_SIZE_PROGRAM)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qar::update::test {
namespace {

using Programs = UpdateTest;

// Starts tarvo-qar with its standard output and error in `output`.
pid_t start_qar(const std::vector<std::wstring>& args, const std::wstring& output)
{
    std::vector<std::string> owned{TARVO_QAR_PROGRAM};
    for (const std::wstring& arg : args) owned.push_back(tarvo::to_utf8(arg));
    std::vector<char*> argv;
    for (std::string& arg : owned) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, tarvo::to_utf8(output).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit status of a child, or -1 when it did not exit by itself.
int exit_status(pid_t pid)
{
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Programs, AnUnpackOfAnArchiveThatAStoppedUpdateHoldsStopsAndTheUpdateFinishes)
{
    const std::wstring archive = copy_of("updated.qar");
    const std::wstring journal = format::journal_path(archive);
    // Large enough that the journal stands for a good while: the new file is compressed after it.
    const Files loose{{"new.bin", random_bytes(32 << 20, 300)}, {"3_mid.bin", random_bytes(1000, 301)}};
    write_files(path(L"loose"), loose);

    const pid_t first = start_qar({L"-a", path(L"loose"), archive}, path(L"first"));
    ASSERT_GT(first, 0);
    int status = 0;
    bool running = true;
    while (running && !exists(journal)) {
        running = waitpid(first, &status, WNOHANG) == 0;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_TRUE(running) << "the update ended before its journal was seen";
    kill(first, SIGSTOP);
    ASSERT_EQ(waitpid(first, &status, WUNTRACED), first);
    ASSERT_TRUE(WIFSTOPPED(status));
    const std::string held = read_bytes(archive), saved = read_bytes(journal);

    // Were the update's lock gone, the unpack would take its live journal for an interrupted one.
    EXPECT_EQ(exit_status(start_qar({L"-u", archive, path(L"unpacked")}, path(L"out"))), 1);
    const std::string in_use = "Error: " + tarvo::to_utf8(tarvo::quoted(L"Archive ", archive)) + " is in use by another process\n";
    EXPECT_TRUE(read_bytes(path(L"out")).ends_with(in_use)) << read_bytes(path(L"out"));
    EXPECT_TRUE(read_bytes(archive) == held && read_bytes(journal) == saved);
    EXPECT_FALSE(exists(path(L"unpacked")));

    kill(first, SIGCONT);
    EXPECT_EQ(exit_status(first), 0);
    EXPECT_FALSE(exists(journal));
    Files expected = big_files();
    for (const auto& [name, content] : loose) expected[name] = content;
    expect_whole_archive(archive, expected);
}

TEST_F(Programs, EveryOutputEndsWithAnErrorAndTheOldArchive)
{
    if (std::system("command -v prlimit >/dev/null 2>&1") != 0) GTEST_SKIP() << "prlimit is not installed";
    constexpr std::uint64_t kMiB = 1 << 20;
    std::string stage;  // what the failing output is
    // Runs a program with files limited to `limit` bytes (SIGXFSZ ignored: writes beyond fail);
    // it fails with the one error line about `failed`, or succeeds when that is empty.
    const auto run = [&](std::uint64_t limit, const std::vector<std::wstring>& args, const std::wstring& failed,
                         const char* program = TARVO_QAR_PROGRAM) {
        std::string command = "sh -c 'trap \"\" XFSZ; exec prlimit --fsize=" + std::to_string(limit) + " \"$0\" \"$@\"' " + program;
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
    const std::wstring archive = copy_of("updated.qar");
    const std::string before = read_bytes(archive);
    const std::wstring journal = format::journal_path(archive);
    const auto expect_old_archive = [&] {
        EXPECT_TRUE(read_bytes(archive) == before) << stage;
        EXPECT_FALSE(exists(journal)) << stage;
        EXPECT_FALSE(exists(journal + L".tmp")) << stage;
    };

    stage = "the archive of the create mode, and the files of the unpack mode";
    write_file(path(L"tree/big.bin"), random_bytes(3 * kMiB, 1));
    run(kMiB, {L"-c", path(L"tree"), path(L"tree.qar")}, path(L"tree.qar"));
    run(8 * kMiB, {L"-c", path(L"tree"), path(L"tree.qar")}, L"");
    run(kMiB, {L"-u", path(L"tree.qar"), path(L"unpacked")}, tarvo::join_path(path(L"unpacked"), L"big.bin"));

    stage = "the archive of an update, once it has begun to write";
    write_files(path(L"loose"), {{"new.bin", random_bytes(kMiB, 2)}, {"3_mid.bin", random_bytes(1000, 3)}});
    run(before.size() + 65536, {L"-a", path(L"loose"), archive}, archive);
    expect_old_archive();
    // A limit below the stretches to restore fails the rollback too; the journal stays, and the next open recovers.
    run(8 * kMiB, {L"-a", path(L"loose"), archive}, archive);
    EXPECT_TRUE(exists(journal)) << stage;
    const std::string recovered = tarvo::to_utf8(tarvo::quoted(L"Recovered interrupted update of ", archive));
    EXPECT_NE(run(before.size(), {L"-u", archive, path(L"unpacked2")}, L"").find(recovered + "\nReading file structure...\n"),
              std::string::npos);
    expect_old_archive();

    stage = "the journal of an update";  // it saves 2 MiB, the backup all 10 MiB
    write_file(path(L"patch/1_bigg.bin"), random_bytes(2 * kMiB, 4));
    run(kMiB, {L"-r", path(L"patch"), archive}, journal + L".tmp");
    expect_old_archive();
    stage = "a backup of an update";
    const std::wstring backup = tarvo::join_path(path(L"bk"), L"1_bigg.bin");
    fs::create_directories(tarvo::to_fs_path(path(L"bk")));
    run(kMiB, {L"-r", path(L"patch"), archive, L"-b=" + path(L"bk")}, backup);
    EXPECT_FALSE(exists(backup)) << "a backup in part would be kept as the original";
    expect_old_archive();

    stage = "the size table";
    write_file(path(L"table.bin"), std::string(2 * kMiB, '\0'));
    write_file(path(L"offsets.txt"), "a.dat;0x180000\n");
    write_file(path(L"game/a.dat"), "a");
    run(kMiB, {path(L"table.bin"), path(L"offsets.txt"), path(L"game")}, path(L"table.bin"), TARVO_SIZE_PROGRAM);
}

}  // namespace
}  // namespace qar::update::test

#else

TEST(Programs, StoppedOrOutOfDisk) { GTEST_SKIP() << "stopping a child process and file size limits are Linux tests"; }

#endif
