// Every mode without locks, and where only a handle opened for writing locks (NFS): the lock seam.
#include <cerrno>

#include "tests/support/update_fixture.hpp"

#ifdef _WIN32
#include <windows.h>
const int kWithoutLocks[] = {ERROR_NOT_SUPPORTED, ERROR_INVALID_FUNCTION};
constexpr int kReaderRefused = ERROR_ACCESS_DENIED;
#else
const int kWithoutLocks[] = {ENOLCK, EOPNOTSUPP, ENOSYS};
constexpr int kReaderRefused = EBADF;  // NFS, for an exclusive lock through a handle that only reads
#endif

namespace qar::update::test {
namespace {

namespace faults = tarvo::lock_faults;

struct Locks : UpdateTest { ~Locks() override { faults::fail_with(0); } };

TEST_F(Locks, WithoutLocksOnlyReadersGoOnAndAnExclusiveLockIsTakenThroughAHandleOpenedForWriting)
{
    const std::wstring archive = copy_of("updated.qar"), fresh = path(L"fresh.qar");
    const std::string before = read_bytes(archive);
    const auto no_locks = [](const std::wstring& of) { return tarvo::quoted(L"Cannot lock archive ", of) + L": the file system does not support locks"; };
    for (const int error : kWithoutLocks) {
        SCOPED_TRACE(testing::Message() << "lock error " << error);
        faults::fail_with(error);
        EXPECT_EQ(unpack(archive), std::nullopt);
        expect_whole_archive(archive, big_files());
        EXPECT_EQ(update(archive, {{"new.bin", "new"}}, true).error, no_locks(archive));
        EXPECT_TRUE(read_bytes(archive) == before);
        EXPECT_EQ(create_empty(fresh), no_locks(fresh));
        EXPECT_FALSE(exists(fresh)) << "the create left the file it made for its lock";
    }
    faults::fail_with(kReaderRefused);  // any other failure stops readers too
    EXPECT_EQ(unpack(archive), tarvo::quoted(L"Cannot lock archive ", archive));

    // An interrupted update is put back only by a run that can lock the archive to itself.
    interrupt(archive);
    const std::string interrupted = read_bytes(archive);
    faults::fail_with(kWithoutLocks[0]);
    EXPECT_EQ(unpack(archive), no_locks(archive));
    EXPECT_TRUE(read_bytes(archive) == interrupted);
    EXPECT_TRUE(exists(format::journal_path(archive)));

    // Where only a handle opened for writing gets an exclusive lock (NFS), every mode runs.
    faults::fail_with(kReaderRefused, true);
    EXPECT_EQ(update(archive, {{"new.bin", "new"}}, true).error, std::nullopt);
    EXPECT_EQ(create_empty(fresh), std::nullopt);
    const std::string updated = read_bytes(archive);
    interrupt(archive);
    EXPECT_EQ(unpack(archive), std::nullopt);  // trades its shared lock for the exclusive one, and recovers
    EXPECT_TRUE(read_bytes(archive) == updated);
}

}  // namespace
}  // namespace qar::update::test
