// The programs themselves, killed, stopped or out of disk: an update killed at random moments
// recovers to the old or the new archive; runs on an archive that a stopped update holds stop
// and leave it to the update; a full disk on any output ends with one error line, status 1
// and never "Done!", and an update then leaves the old archive.
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

class KillTest : public UpdateTest {
protected:
    // In memory where there is room: a kill leaves the same files behind there as on a disk.
    static void SetUpTestSuite() { set_up_suite(true); }
};
using FullDisk = UpdateTest;

// Starts tarvo-qar with its standard output and error in `output`, or thrown away.
pid_t start_qar(const std::vector<std::wstring>& args, const std::wstring& output = L"")
{
    std::vector<std::string> owned{TARVO_QAR_PROGRAM};
    for (const std::wstring& arg : args) owned.push_back(tarvo::to_utf8(arg));
    std::vector<char*> argv;
    for (std::string& arg : owned) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string target = output.empty() ? "/dev/null" : tarvo::to_utf8(output);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

pid_t start_update(const std::wstring& loose, const std::wstring& archive) { return start_qar({L"-a", loose, archive}); }

// The exit status of a child, or -1 when it did not exit by itself.
int exit_status(pid_t pid)
{
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(KillTest, AKilledUpdateRecoversToTheOldOrTheNewArchive)
{
    // About 70 MB, mostly incompressible; the update makes the reserve, patches four files in
    // place, relocates one and adds one.
    Files files{{"text.txt", std::string(3 << 20, 'x')}};
    for (unsigned i = 0; i < 16; ++i) files["fill" + std::to_string(10 + i) + ".bin"] = random_bytes(4 << 20, 100 + i);
    write_files(path(L"source"), files);
    const std::wstring archive = path(L"game.qar");
    {
        tarvo::console::Capture capture;
        create::create_archive(path(L"source"), archive, kDefaultIgnorePatterns, pool_);
    }
    write_files(path(L"loose"), {{"fill14.bin", random_bytes(4 << 20, 200)}, {"fill17.bin", random_bytes(3 << 20, 201)},
                                 {"fill20.bin", random_bytes(5 << 20, 202)}, {"fill23.bin", random_bytes(4 << 20, 203)},
                                 {"new.bin", random_bytes(4 << 20, 204)}, {"text.txt", std::string(3 << 20, 'y')}});
    const std::string old_bytes = read_bytes(archive);

    // The whole run once, for the new archive and for how long a run takes here.
    const std::wstring reference = path(L"reference.qar");
    write_file(reference, old_bytes);
    const auto started = std::chrono::steady_clock::now();
    int status = -1;
    ASSERT_GT(waitpid(start_update(path(L"loose"), reference), &status, 0), 0);
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string new_bytes = read_bytes(reference);
    ASSERT_FALSE(new_bytes == old_bytes);

    // Moments spread over the whole run and a little past it, where the new archive stands.
    std::mt19937 random(20240607);
    const long long span = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    std::uniform_int_distribution<long long> moment(0, span + span / 4);
    for (int round = 0; round < 10; ++round) {
        const auto delay = std::chrono::microseconds(moment(random));
        SCOPED_TRACE(testing::Message() << "round " << round << ", killed after " << delay.count() << " us");
        write_file(archive, old_bytes);
        const pid_t pid = start_update(path(L"loose"), archive);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(delay);
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        tarvo::console::Capture capture;
        format::recover_interrupted_update(archive);
        const std::string after = read_bytes(archive);
        EXPECT_TRUE(after == old_bytes || after == new_bytes) << "the archive is neither the old nor the new one";
    }
}

TEST_F(KillTest, RunsOnAnArchiveThatAnUpdateHoldsStopAndTheUpdateFinishes)
{
    const std::wstring archive = copy_of("updated.qar");
    const std::wstring journal = format::journal_path(archive);
    // Large enough that the journal stands for a good while: the new file is compressed after it.
    const Files loose{{"new.bin", random_bytes(32 << 20, 300)}, {"3_mid.bin", random_bytes(1000, 301)}};
    write_files(path(L"loose"), loose);

    const pid_t first = start_update(path(L"loose"), archive);
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

    const std::string in_use = "Error: " + tarvo::to_utf8(tarvo::quoted(L"Archive ", archive)) + " is in use by another process\n";
    const std::vector<std::vector<std::wstring>> others{{L"-a", path(L"loose"), archive}, {L"-u", archive, path(L"unpacked")}};
    for (const std::vector<std::wstring>& args : others) {
        SCOPED_TRACE(tarvo::to_utf8(args[0]));
        EXPECT_EQ(exit_status(start_qar(args, path(L"out"))), 1);
        const std::string out = read_bytes(path(L"out"));
        EXPECT_TRUE(out.ends_with(in_use)) << out;
        EXPECT_TRUE(read_bytes(archive) == held);
        EXPECT_TRUE(read_bytes(journal) == saved);
    }
    EXPECT_FALSE(exists(path(L"unpacked")));

    kill(first, SIGCONT);
    EXPECT_EQ(exit_status(first), 0);
    EXPECT_FALSE(exists(journal));
    Files expected = big_files();
    for (const auto& [name, content] : loose) expected[name] = content;
    expect_whole_archive(archive, expected);
}

TEST_F(FullDisk, EveryOutputEndsWithAnErrorAndTheOldArchive)
{
    if (std::system("command -v prlimit >/dev/null 2>&1") != 0) GTEST_SKIP() << "prlimit is not installed";
    constexpr std::uint64_t kMiB = 1 << 20;
    std::string stage;  // what the failing output is
    // Runs a program with files limited to `limit` bytes (SIGXFSZ ignored: writes beyond fail)
    // and expects its status, and the error line about `failed` unless that is empty.
    const auto run = [&](std::uint64_t limit, const char* program, const std::vector<std::wstring>& args, int wanted,
                         const std::wstring& failed = L"") {
        std::string command = "sh -c 'trap \"\" XFSZ; exec prlimit --fsize=" + std::to_string(limit) + " \"$0\" \"$@\"' " + program;
        for (const std::wstring& arg : args) command += " '" + tarvo::to_utf8(arg) + "'";
        command += " >'" + tarvo::to_utf8(path(L"out")) + "' 2>'" + tarvo::to_utf8(path(L"err")) + "'";
        const int status = std::system(command.c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, wanted) << stage;
        const std::string out = read_bytes(path(L"out"));
        const std::string error = failed.empty() ? "" : "Error: Cannot write output file \"" + tarvo::to_utf8(failed) + "\"\n";
        EXPECT_TRUE(failed.empty() || read_bytes(path(L"err")) == error) << stage << ": " << read_bytes(path(L"err"));
        EXPECT_TRUE(wanted == 0 || out.find("Done!") == std::string::npos) << stage;
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
    run(kMiB, TARVO_QAR_PROGRAM, {L"-c", path(L"tree"), path(L"tree.qar")}, 1, path(L"tree.qar"));
    run(8 * kMiB, TARVO_QAR_PROGRAM, {L"-c", path(L"tree"), path(L"tree.qar")}, 0);
    run(kMiB, TARVO_QAR_PROGRAM, {L"-u", path(L"tree.qar"), path(L"unpacked")}, 1, tarvo::join_path(path(L"unpacked"), L"big.bin"));

    stage = "the archive of an update, once it has begun to write";
    write_files(path(L"loose"), {{"new.bin", random_bytes(kMiB, 2)}, {"3_mid.bin", random_bytes(1000, 3)}});
    run(before.size() + 65536, TARVO_QAR_PROGRAM, {L"-a", path(L"loose"), archive}, 1, archive);
    expect_old_archive();
    // A limit below the stretches to restore fails the rollback too; the journal stays, and the next open recovers.
    run(8 * kMiB, TARVO_QAR_PROGRAM, {L"-a", path(L"loose"), archive}, 1, archive);
    EXPECT_TRUE(exists(journal)) << stage;
    EXPECT_NE(run(before.size(), TARVO_QAR_PROGRAM, {L"-u", archive, path(L"unpacked2")}, 0)
                  .find(tarvo::to_utf8(tarvo::quoted(L"Recovered interrupted update of ", archive)) + "\nReading file structure...\n"),
              std::string::npos);
    expect_old_archive();

    stage = "the journal of an update";  // it saves 2 MiB, the backup all 10 MiB
    write_file(path(L"patch/1_bigg.bin"), random_bytes(2 * kMiB, 4));
    run(kMiB, TARVO_QAR_PROGRAM, {L"-r", path(L"patch"), archive}, 1, journal + L".tmp");
    expect_old_archive();
    stage = "a backup of an update";
    const std::wstring backup = tarvo::join_path(path(L"bk"), L"1_bigg.bin");
    fs::create_directories(tarvo::to_fs_path(path(L"bk")));
    run(kMiB, TARVO_QAR_PROGRAM, {L"-r", path(L"patch"), archive, L"-b=" + path(L"bk")}, 1, backup);
    EXPECT_FALSE(exists(backup)) << "a backup in part would be kept as the original";
    expect_old_archive();

    stage = "the size table";
    write_file(path(L"table.bin"), std::string(2 * kMiB, '\0'));
    write_file(path(L"offsets.txt"), "a.dat;0x180000\n");
    write_file(path(L"game/a.dat"), "a");
    run(kMiB, TARVO_SIZE_PROGRAM, {path(L"table.bin"), path(L"offsets.txt"), path(L"game")}, 1, path(L"table.bin"));
}

}  // namespace
}  // namespace qar::update::test

#else

TEST(KillTest, AKilledUpdateRecoversToTheOldOrTheNewArchive) { GTEST_SKIP() << "killing a child process is a Linux test"; }
TEST(KillTest, RunsOnAnArchiveThatAnUpdateHoldsStopAndTheUpdateFinishes) { GTEST_SKIP() << "stopping a child process is a Linux test"; }
TEST(FullDisk, EveryOutputEndsWithAnErrorAndTheOldArchive) { GTEST_SKIP() << "file size limits are a Linux test"; }

#endif
