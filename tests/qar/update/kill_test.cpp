// An update of a large archive killed at seeded random moments: after recovery the archive
// is always either the old one or the new one, never anything in between.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include "qar/format/journal.hpp"
#include "tests/qar/update/update_fixture.hpp"

#if defined(__linux__) && defined(TARVO_QAR_PROGRAM)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qar::update::test {
namespace {

#if defined(__linux__) && defined(TARVO_QAR_PROGRAM)

// Starts `tarvo-qar -a loose archive` with its output thrown away.
pid_t start_update(const std::string& loose, const std::string& archive)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string program = TARVO_QAR_PROGRAM;
    std::string mode = "-a";
    std::string source = loose;
    std::string target = archive;
    char* argv[] = {program.data(), mode.data(), source.data(), target.data(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int wait_for(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// A scratch directory, in memory where there is one: a kill leaves the same files behind
// there as on a disk, and syncing the archive in every round costs nothing.
struct Scratch {
    fs::path root = fast_temp_directory() / ("tarvo-kill-" + std::to_string(std::random_device{}()));
    Scratch() { fs::create_directories(root); }
    ~Scratch()
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    std::wstring path(const std::wstring& name) const { return tarvo::from_fs_path(root) + L"/" + name; }
};

TEST(KillTest, AKilledUpdateRecoversToTheOldOrTheNewArchive)
{
    const Scratch dir;
    // About 70 MB, mostly incompressible; the update makes the reserve, patches four files in
    // place, relocates one and adds one.
    Files files;
    for (unsigned i = 0; i < 16; ++i) files["fill" + std::to_string(10 + i) + ".bin"] = random_bytes(4 << 20, 100 + i);
    files["text.txt"] = std::string(3 << 20, 'x');
    for (const auto& [name, content] : files) write_file(dir.path(L"source/" + tarvo::from_utf8(name)), content);
    const std::wstring archive = dir.path(L"game.qar");
    {
        WorkerPool pool(2);
        worker_pool = &pool;
        tarvo::console::Capture capture;
        create::create_archive(dir.path(L"source"), archive, kDefaultIgnorePatterns);
        worker_pool = nullptr;
    }
    const Files loose{{"fill14.bin", random_bytes(4 << 20, 200)},
                      {"fill17.bin", random_bytes(3 << 20, 201)},
                      {"fill20.bin", random_bytes(5 << 20, 202)},
                      {"fill23.bin", random_bytes(4 << 20, 203)},
                      {"new.bin", random_bytes(4 << 20, 204)},
                      {"text.txt", std::string(3 << 20, 'y')}};
    for (const auto& [name, content] : loose) write_file(dir.path(L"loose/" + tarvo::from_utf8(name)), content);
    const std::string loose_dir = tarvo::to_utf8(dir.path(L"loose"));
    const std::string old_bytes = read_bytes(archive);

    // The whole run once, for the new archive and for how long a run takes here.
    const std::wstring reference = dir.path(L"reference.qar");
    write_file(reference, old_bytes);
    const auto started = std::chrono::steady_clock::now();
    const pid_t whole = start_update(loose_dir, tarvo::to_utf8(reference));
    ASSERT_GT(whole, 0);
    const int whole_status = wait_for(whole);
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(WIFEXITED(whole_status) && WEXITSTATUS(whole_status) == 0);
    const std::string new_bytes = read_bytes(reference);
    ASSERT_FALSE(new_bytes == old_bytes);

    // Moments spread over the whole run and a little past it, where the new archive stands.
    std::mt19937 random(20240607);
    const long long span = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    std::uniform_int_distribution<long long> moment(0, span + span / 4);
    int old_seen = 0;
    int new_seen = 0;
    constexpr int kRounds = 10;
    for (int round = 0; round < kRounds; ++round) {
        const auto delay = std::chrono::microseconds(moment(random));
        SCOPED_TRACE(testing::Message() << "round " << round << ", killed after " << delay.count() << " us");
        write_file(archive, old_bytes);
        const pid_t pid = start_update(loose_dir, tarvo::to_utf8(archive));
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(delay);
        kill(pid, SIGKILL);
        wait_for(pid);

        tarvo::console::Capture capture;
        format::recover_interrupted_update(archive);
        const std::string after = read_bytes(archive);
        const bool is_old = after == old_bytes;
        const bool is_new = after == new_bytes;
        EXPECT_TRUE(is_old || is_new) << "the archive is neither the old nor the new one";
        old_seen += is_old;
        new_seen += is_new;
    }
    RecordProperty("old", old_seen);
    RecordProperty("new", new_seen);
}

#else

TEST(KillTest, AKilledUpdateRecoversToTheOldOrTheNewArchive) { GTEST_SKIP() << "killing a child process is a Linux test"; }

#endif

}  // namespace
}  // namespace qar::update::test
