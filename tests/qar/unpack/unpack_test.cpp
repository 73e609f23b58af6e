// The unpack mode end to end: its lines, its files, and what it refuses before writing.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/base/safe_name.hpp"
#include "qar/unpack/unpack_mode.hpp"
#include "tests/support/archive_builder.hpp"
#include "tests/support/scratch.hpp"

namespace qar::unpack {
namespace {

namespace fs = std::filesystem;
using tarvo::test::build_archive, tarvo::test::error_of;

// A run of the mode: the lines it printed, and the message it stopped with.
struct UnpackRun { std::wstring out; std::optional<std::wstring> error; };

class Unpack : public ::testing::Test {
protected:
    UnpackRun run(const wchar_t* archive_name, const wchar_t* output_dir, const wchar_t* patterns = L"")
    {
        tarvo::console::Capture capture;
        std::optional<std::wstring> error = error_of([&] { unpack_archive(dir / archive_name, dir / output_dir, patterns, pool); });
        return {capture.out, std::move(error)};
    }

    WorkerPool pool{2};
    tarvo::test::ScratchDir dir;
    const std::wstring archive = dir / L"a.qar";
};

// The mode's lines and the selected files; an unsafe entry that isn't selected does not stop the others.
TEST_F(Unpack, WritesTheSelectedEntriesAndPrintsTheirLines)
{
    // "\\" separates directories on every platform.
    tarvo::test::write_bytes(archive, build_archive({{"b/c/one.txt", "12345"}, {"B/two.txt", "abcde"}, {"three.txt", "0123456789"},
                                                     {"d\\e\\f.txt", ""}}).bytes);
    const UnpackRun all = run(L"a.qar", L"all");
    EXPECT_EQ(all.error, std::nullopt);
    EXPECT_EQ(all.out, L"Setting up extract list...\nReading file structure...\n"
                       L"Creating directory structure. Please wait, it may take a while\n"
                       L"Creating: B/\nCreating: b/c/\nCreating: d\\e\\\n\nCollecting size data...\n\nExtracting files...\n"
                       L" 25.00%: b/c/one.txt\n 50.00%: B/two.txt\n100.00%: three.txt\n100.00%: d\\e\\f.txt\nDone!\n");
    EXPECT_EQ(tarvo::test::read_bytes(dir / L"all/b/c/one.txt"), "12345");  // b/ made on the way to b/c/, or found as B/
    EXPECT_TRUE(fs::is_regular_file(tarvo::to_fs_path(dir / L"all/d/e/f.txt")));
    // Selection ignores case; what isn't selected gets no file.
    const UnpackRun some = run(L"a.qar", L"some", L" b/* ;");
    EXPECT_EQ(some.error, std::nullopt);
    EXPECT_NE(some.out.find(L"Extract patterns set to: ^(b/.+?)$\nReading"), std::wstring::npos);
    EXPECT_NE(some.out.find(L" 50.00%: b/c/one.txt\n100.00%: B/two.txt\nDone!"), std::wstring::npos);
    EXPECT_FALSE(fs::exists(tarvo::to_fs_path(dir / L"some/three.txt")));

    tarvo::test::write_bytes(archive, build_archive({{"../x", "evil"}, {"ok", "fine"}}).bytes);
    EXPECT_EQ(run(L"a.qar", L"out", L"ok").error, std::nullopt);
    EXPECT_EQ(tarvo::test::read_bytes(dir / L"out/ok"), "fine");
}

// Unsafe names, a file another entry needs as a directory, missing paths, a file where a directory
// belongs, an entry that would be the archive or its journal beside it: all found before anything is written.
TEST_F(Unpack, RefusesWhatItCantWriteBeforeWritingAnything)
{
    for (const char* name : {"", "/etc/x", "\\x", "c:x", "a/b:c", "..", "../x", "a/../../x", "a\\..\\x", "d/", "d\\", ".", "d/."}) {
        tarvo::test::write_bytes(archive, build_archive({{"safe/s", "s"}, {name, "evil"}}).bytes);
        EXPECT_EQ(run(L"a.qar", L"out").error, tarvo::quoted(L"Unsafe file name in archive ", tarvo::from_utf8(name)));
        EXPECT_FALSE(fs::exists(tarvo::to_fs_path(dir / L"out"))) << name;
    }
    // A file another entry needs as a directory (on Windows whatever the case of its letters) stops
    // the run before anything is written, with the error it would have stopped with at its turn.
    for (const char* file : {"z", "Z"}) {
        tarvo::test::write_bytes(archive, build_archive({{"a", "1"}, {file, "2"}, {"z\\x", "3"}}).bytes);
        const bool clash = file[0] == 'z' || tarvo::kWindowsFileNames;
        const std::wstring output = tarvo::join_path(dir / L"apart", tarvo::from_utf8(file));
        EXPECT_EQ(run(L"a.qar", L"apart").error, clash ? std::optional(tarvo::quoted(L"Cannot create output file ", output)) : std::nullopt);
        EXPECT_NE(fs::exists(tarvo::to_fs_path(dir / L"apart/a")), clash) << file;
    }
    for (const wchar_t* name : {L"..a", L".hidden/x", L"a b/c", L"x.y/z"}) EXPECT_FALSE(is_unsafe_archive_name(name)) << name;
    // Names Windows can't create are unsafe there only.
    EXPECT_EQ(is_unsafe_archive_name(L"d/q?.txt"), tarvo::kPathSeparator == L'\\');
    for (const wchar_t* name : {L"CON", L"nul.txt", L"Com1", L"lpt9.a.b", L"a.", L"a ", L"a<b", L">", L"\"x", L"|", L"a*", L"\x1f", L"\t"})
        EXPECT_TRUE(tarvo::is_windows_unsafe_component(name)) << name;
    for (const wchar_t* name : {L"CONSOLE", L"com0", L"com10", L"x.con"}) EXPECT_FALSE(tarvo::is_windows_unsafe_component(name)) << name;

    tarvo::test::write_bytes(archive, build_archive({{"d/x", ""}, {"d/e/f", ""}}).bytes);
    EXPECT_EQ(run(L"missing.qar", L"out").error, tarvo::quoted(L"Cannot open input file ", dir / L"missing.qar"));
    EXPECT_EQ(run(L"a.qar", L"no/out").error, L"Couldn't create directory '" + (dir / L"no/out") + L"'");
    EXPECT_THROW(run(L"missing.qar", L"out", L"[abc"), std::regex_error);  // before anything is touched
    tarvo::test::write_bytes(dir / L"out/d", "");
    EXPECT_EQ(run(L"a.qar", L"out").error, tarvo::join_path(dir / L"out", L"d/") + L" is a file, not a directory!");
    EXPECT_EQ(run(L"a.qar", L"out", L"d/e/*").error, L"Couldn't create directory '" + tarvo::join_path(dir / L"out", L"d/e") + L"'");
    fs::create_directories(tarvo::to_fs_path(dir / L"dirs/d/x"));  // a directory where a file goes
    EXPECT_EQ(run(L"a.qar", L"dirs", L"d/x").error, tarvo::quoted(L"Cannot create output file ", tarvo::join_archive_name(dir / L"dirs", L"d/x")));

    const std::pair<const char*, std::wstring> cases[] = {{"a.qar", L"archive " + tarvo::quoted(L"", archive)},
                                                          {"a.qar.journal", L"journal " + tarvo::quoted(L"", archive + L".journal")},
                                                          {"a.qar.journal.tmp", L"journal " + tarvo::quoted(L"", archive + L".journal.tmp")}};
    for (const auto& [name, what] : cases) {
        const auto image = build_archive({{"first/one", "1"}, {"sub/a.qar", "3"}, {"sub/a.qar.journal", "2"}, {name, "evil"}}).bytes;
        tarvo::test::write_bytes(archive, image);
        EXPECT_EQ(run(L"a.qar", L".").error, tarvo::quoted(L"Archive entry ", tarvo::from_utf8(name)) + L" would overwrite the " + what);
        EXPECT_FALSE(fs::exists(tarvo::to_fs_path(dir / L"first"))) << name;
    }
}

}  // namespace
}  // namespace qar::unpack
