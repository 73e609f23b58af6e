// Every write-side file operation of an update fails in turn, once (the run rolls back to the old
// archive) or for good (old, new or marked; recovery, in place or after a copy, gives the old one).
#include <ostream>

#include "tests/support/update_fixture.hpp"

namespace qar::update::test {
namespace {

namespace faults = tarvo::fault_injection;

struct Scenario {
    const char* name;
    const char* archive;  // one of the fixture's archives
    Files loose;
    bool add = false;
    bool backups = false;
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

const Scenario kScenarios[] = {
    // The reserve and extra file, a patch backing up a moved file from where it was, an addition.
    {"FirstUpdateWithReserve", "created.qar",
     {{"0_tiny.bin", "tiny!"}, {"3_mid.bin", random_bytes(50000, 31)}, {"new.bin", random_bytes(100000, 32)}}, true, true},
    {"Relocation", "updated.qar", {{"sub/Case.bin", random_bytes(200000, 34)}, {"0_tiny.bin", "tiny!"}}},
    {"Additions", "updated.qar", {{"new/a.bin", random_bytes(150000, 35)}, {"new/empty.bin", ""}}, true},
    {"Backups", "updated.qar", {{"sub/dir/text.txt", "v2"}, {"0_tiny.bin", "tiny1"}, {"3_mid.bin", random_bytes(69000, 36)}}, false, true},
};

class FaultInjection : public UpdateTest, public ::testing::WithParamInterface<Scenario> {
protected:
    std::optional<std::wstring> run(const std::wstring& archive)
    {
        fs::remove_all(scratch_ / "bk");
        if (GetParam().backups) fs::create_directories(scratch_ / "bk");
        return update(archive, {}, GetParam().add, GetParam().backups ? path(L"bk") : L"", path(L"loose")).error;
    }
};

TEST_P(FaultInjection, EveryFailedWriteLeavesTheOldArchive)
{
    write_files(path(L"loose"), GetParam().loose);
    const std::wstring archive = copy_of(GetParam().archive);

    // The run without a fault: the new archive, and how many operations it takes.
    const std::wstring reference = path(L"reference.qar");
    fs::copy_file(tarvo::to_fs_path(archive), tarvo::to_fs_path(reference));
    faults::arm(~std::uint64_t{0});
    ASSERT_EQ(run(reference), std::nullopt);
    faults::disarm();
    const std::uint64_t operations = faults::operations();
    const std::string updated = read_bytes(reference), before = read_bytes(archive);
    const std::wstring journal = format::journal_path(archive);
    for (std::uint64_t k = 1; k <= operations; ++k) {
        for (const faults::Failure failure : {faults::Failure::once, faults::Failure::from_on}) {
            const bool dies = failure == faults::Failure::from_on;
            SCOPED_TRACE(testing::Message() << "operation " << k << " of " << operations << (dies ? " and on" : ""));
            faults::arm(k, failure);
            const std::optional<std::wstring> error = run(archive);
            faults::disarm();
            ASSERT_TRUE(error.has_value());
            EXPECT_TRUE(error->starts_with(L"Cannot write output file ")) << tarvo::to_utf8(*error);
            if (dies) {
                // Died: the old archive, the new one, or marked, which the journal undoes wherever they go.
                const std::string left = read_bytes(archive);
                const bool marked = left.starts_with(format::kMarkMagic);
                ASSERT_TRUE(marked || left == before || left == updated);
                const std::string expected = left == updated ? updated : before;
                const std::wstring moved = path(L"moved/g.qar");
                fs::remove_all(scratch_ / "moved");
                write_bytes(moved, left);
                if (exists(journal)) write_bytes(format::journal_path(moved), read_bytes(journal));
                for (const std::wstring& at : {moved, archive}) {
                    tarvo::console::Capture capture;
                    format::recover_interrupted_update(at);
                    ASSERT_TRUE(read_bytes(at) == expected);
                    ASSERT_EQ(capture.out.empty(), !marked);
                }
            }
            if (dies && read_bytes(archive) == updated) write_bytes(archive, before);  // the next run starts from it
            ASSERT_TRUE(read_bytes(archive) == before);
            ASSERT_FALSE(exists(journal));
            ASSERT_FALSE(exists(journal + L".tmp"));
            // A backup is whole or missing: a partial one would be kept as the original.
            for (const auto& [name, content] : GetParam().loose) {
                const std::wstring backup = path(L"bk/" + tarvo::from_utf8(name));
                EXPECT_TRUE(!exists(backup) || read_bytes(backup) == big_files().at(name)) << name << " backed up in part";
            }
        }
    }

    // Nothing a failed run left behind changes what the next run gives.
    EXPECT_EQ(run(archive), std::nullopt);
    EXPECT_TRUE(read_bytes(archive) == updated);
}

INSTANTIATE_TEST_SUITE_P(Updates, FaultInjection, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
}  // namespace qar::update::test
