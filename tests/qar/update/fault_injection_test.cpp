// Exhaustive write faults: for each realistic update, every write-side file operation of the
// run in turn fails, once (the run rolls back by itself) or for good (as if the process had
// died there; the next open recovers). Either way the archive is then byte for byte the one
// from before the run; without a fault the run gives the new archive byte for byte.
#include <algorithm>
#include <filesystem>
#include <ostream>

#include "qar/format/journal.hpp"
#include "tests/qar/update/update_fixture.hpp"

namespace qar::update::test {
namespace {

namespace faults = tarvo::fault_injection;

struct Scenario {
    const char* name;
    const char* archive;  // one of the fixture's archives
    Files loose;
    bool add = false;
    bool backups = false;
    Files earlier = {};  // an update run on the archive first, without faults
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

// Whether the file holds exactly these bytes; read a piece at a time, as this runs some
// thousand times over archives of megabytes.
bool holds(const std::wstring& path, const std::string& expected)
{
    tarvo::File file(path, tarvo::File::Mode::read);
    if (!file.is_open() || file.length() != expected.size()) return false;
    static std::vector<char> piece(1 << 20);
    for (std::size_t at = 0; at < expected.size(); at += piece.size()) {
        const std::size_t length = std::min(piece.size(), expected.size() - at);
        if (!file.read_exact(piece.data(), length) || expected.compare(at, length, piece.data(), length) != 0)
            return false;
    }
    return true;
}

std::vector<Scenario> scenarios()
{
    return {
        // Moves the leading files to the end, writes the extra file, patches and adds.
        {"FirstUpdateWithReserve", "created.qar",
         {{"3_mid.bin", random_bytes(50000, 31)}, {"new.bin", random_bytes(100000, 32)}}, true},
        {"InPlacePatches", "updated.qar",
         {{"3_mid.bin", random_bytes(60000, 33)}, {"sub/dir/text.txt", std::string(150000, 'u')}}},
        {"Relocation", "updated.qar", {{"sub/Case.bin", random_bytes(200000, 34)}, {"0_tiny.bin", "tiny!"}}},
        // A relocated file outgrows its room again: its region record is replaced.
        {"SecondRelocation", "updated.qar",
         {{"sub/Case.bin", random_bytes(200001 + kSlack, 37)}, {"3_mid.bin", random_bytes(200, 38)}}, false, false,
         {{"sub/Case.bin", random_bytes(200000, 34)}}},
        {"Additions", "updated.qar", {{"new/a.bin", random_bytes(150000, 35)}, {"new/empty.bin", ""}}, true},
        {"Backups", "updated.qar",
         {{"sub/dir/text.txt", "v2"}, {"0_tiny.bin", "tiny1"}, {"3_mid.bin", random_bytes(90000, 36)}}, false, true},
    };
}

class FaultInjection : public UpdateTest, public ::testing::WithParamInterface<Scenario> {
protected:
    // Every run syncs the journal and the archive: on a disk that is most of the loop's time.
    static void SetUpTestSuite() { set_up_suite(fast_temp_directory()); }

    // One update of the archive from the scenario's loose files, with the backups going to a
    // fresh directory; the message of the error it ends with, if any.
    std::optional<std::wstring> run(const std::wstring& archive, const std::wstring& loose = L"loose")
    {
        const Scenario& scenario = GetParam();
        std::wstring backups;
        if (scenario.backups) {
            backups = path(L"bk");
            fs::remove_all(tarvo::to_fs_path(backups));
            fs::create_directories(tarvo::to_fs_path(backups));
        }
        tarvo::console::Capture capture;
        try {
            update_archive(path(loose), archive, {}, backups, scenario.add, kDefaultIgnorePatterns);
        } catch (const tarvo::wruntime_error& e) {
            return e.message();
        }
        return std::nullopt;
    }

    // A backup either wasn't made or holds the whole old contents: a partial one would be
    // kept by every later run as if it were the original.
    void expect_whole_backups_only()
    {
        for (const auto& [name, content] : GetParam().loose) {
            const std::wstring backup = path(L"bk/" + tarvo::from_utf8(name));
            if (!fs::exists(tarvo::to_fs_path(backup))) continue;
            EXPECT_TRUE(read_bytes(backup) == big_files().at(name)) << name << " backed up in part";
        }
    }
};

TEST_P(FaultInjection, EveryFailedWriteLeavesTheOldArchive)
{
    for (const auto& [name, content] : GetParam().loose) write_file(path(L"loose/" + tarvo::from_utf8(name)), content);
    for (const auto& [name, content] : GetParam().earlier) write_file(path(L"earlier/" + tarvo::from_utf8(name)), content);
    const std::wstring archive = path(L"game.qar");
    fs::copy_file(suite_ / GetParam().archive, tarvo::to_fs_path(archive));
    if (!GetParam().earlier.empty()) {
        ASSERT_FALSE(run(archive, L"earlier"));
    }

    // The run without a fault: the new archive, and how many operations it takes.
    const std::wstring reference = path(L"reference.qar");
    fs::copy_file(tarvo::to_fs_path(archive), tarvo::to_fs_path(reference));
    faults::arm(~std::uint64_t{0});
    ASSERT_FALSE(run(reference));
    faults::disarm();
    const std::uint64_t operations = faults::operations();
    const std::string updated = read_bytes(reference);
    RecordProperty("operations", static_cast<int>(operations));

    const std::string before = read_bytes(archive);
    const std::wstring journal = format::journal_path(archive);
    for (std::uint64_t k = 1; k <= operations; ++k) {
        for (const faults::Failure failure : {faults::Failure::once, faults::Failure::from_on}) {
            const bool dies = failure == faults::Failure::from_on;
            SCOPED_TRACE(testing::Message() << "operation " << k << " of " << operations
                                            << (dies ? ", and every one after it" : ""));
            faults::arm(k, failure);
            const std::optional<std::wstring> error = run(archive);
            faults::disarm();
            ASSERT_TRUE(faults::fired());
            ASSERT_TRUE(error);
            EXPECT_EQ(error->rfind(L"Cannot write output file ", 0), 0u) << tarvo::to_utf8(*error);
            if (dies) {
                tarvo::console::Capture capture;
                format::recover_interrupted_update(archive);
            }
            ASSERT_TRUE(holds(archive, before));
            ASSERT_FALSE(fs::exists(tarvo::to_fs_path(journal)));
            ASSERT_FALSE(fs::exists(tarvo::to_fs_path(journal + L".tmp")));
            if (GetParam().backups) expect_whole_backups_only();
        }
    }

    faults::arm(operations + 1);
    EXPECT_FALSE(run(archive));
    faults::disarm();
    EXPECT_FALSE(faults::fired());
    EXPECT_TRUE(holds(archive, updated));
}

INSTANTIATE_TEST_SUITE_P(Updates, FaultInjection, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
}  // namespace qar::update::test
