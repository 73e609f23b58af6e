// Command-line parsing, defaults, the list file and the statuses of tarvo-qar runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <variant>
#include <vector>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "qar/cli/command_line.hpp"
#include "qar/cli/run.hpp"

namespace qar {
namespace {

std::wstring usage_message(const std::vector<std::wstring>& args)
{
    auto parsed = parse_command_line(args);
    const auto* usage = std::get_if<UsageRequest>(&parsed);
    return usage == nullptr ? L"<parsed>" : usage->message;
}

TEST(CommandLine, ReportsTheFirstFaultMet)
{
    struct Case {
        std::vector<std::wstring> args;
        std::wstring message;
    };
    const std::vector<Case> cases = {
        {{L"-c", L"-u", L"x"}, L"Too many options specified"},
        {{L"-c", L"-c", L"x"}, L"Too many options specified"},
        {{L"-x", L"a"}, L"Invalid option"},
        {{L"-c", L"-x", L"a"}, L"Too many options specified"},
        {{L"-I=x", L"a"}, L"Invalid option"},
        {{L"a", L"b", L"c", L"-c"}, L"Too many files specified"},
        {{L"-c", L"-i=x"}, L"Invalid parameters"},
        {{L"a", L"b"}, L"Invalid parameters"},
        {{L"-u", L""}, L"Invalid parameters"},  // an empty path leaves input empty
        {{L"-c", L"data"}, L"<parsed>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(usage_message(c.args), c.message);
    }
}

TEST(CommandLine, KeepsLastValueOptionsAndAppliesDefaults)
{
    auto parsed = parse_command_line({L"-i=first", L"data\\/", L"-c", L"-i=second", L"-e="});
    auto& create = std::get<CommandLine>(parsed);
    apply_defaults(create);
    EXPECT_EQ(create.mode, Mode::create);
    EXPECT_EQ(create.ignore_patterns, L"second");
    EXPECT_EQ(create.input, L"data");
    EXPECT_EQ(create.output, L"data.qar");

    auto unpack = std::get<CommandLine>(parse_command_line({L"-u", L"game.qar/"}));
    apply_defaults(unpack);
    EXPECT_EQ(unpack.input, L"game.qar/");  // the archive path is never trimmed
    EXPECT_EQ(unpack.output, L"game.qar/_dir");

    auto unpack_out = std::get<CommandLine>(parse_command_line({L"-u", L"g.qar", L"out//", L"-b=bk\\"}));
    apply_defaults(unpack_out);
    EXPECT_EQ(unpack_out.output, L"out");
    EXPECT_EQ(unpack_out.backup_dir, L"bk");

    auto replace = std::get<CommandLine>(parse_command_line({L"-r", L"mods"}));
    try {
        apply_defaults(replace);
        ADD_FAILURE() << "no error";
    } catch (const tarvo::wruntime_error& e) {
        EXPECT_EQ(e.message(), L"No QAR file specified");
    }
}

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("tarvo_cli_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::wstring write_file(const std::string& name, const std::string& bytes)
    {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
        return tarvo::from_fs_path(dir_ / name);
    }

    std::filesystem::path dir_;
};

using ListFile = ScratchDir;

TEST_F(ListFile, SplitsAtLineFeedsKeepingCarriageReturns)
{
    EXPECT_EQ(read_name_list(write_file("a.txt", "a\r\nb")), (create::NameList{"a\r", "b"}));
    EXPECT_EQ(read_name_list(write_file("b.txt", "a\n\nb\n")), (create::NameList{"a", "", "b"}));
    EXPECT_EQ(read_name_list(write_file("c.txt", "")), create::NameList{});
    try {
        (void)read_name_list(tarvo::from_fs_path(dir_ / "missing.txt"));
        ADD_FAILURE() << "no error";
    } catch (const tarvo::wruntime_error& e) {
        EXPECT_EQ(e.message().rfind(L"Cannot open list file \"", 0), 0U);
    }
}

using RunStatus = ScratchDir;

TEST_F(RunStatus, EveryErrorLineEndsWithStatusOne)
{
    tarvo::console::Capture capture;
    EXPECT_EQ(run_tarvo_qar({L"-r", L"mods"}), 1);
    EXPECT_EQ(capture.out, L"");
    EXPECT_EQ(capture.err, L"Error: No QAR file specified\n");

    capture.err.clear();
    const std::wstring missing = tarvo::from_fs_path(dir_ / "missing.txt");
    EXPECT_EQ(run_tarvo_qar({L"-u", L"a.qar", L"-s=" + missing}), 1);
    EXPECT_EQ(capture.err, L"Error: Cannot open list file \"" + missing + L"\"\n");
    EXPECT_EQ(capture.out, L"");  // nothing before the pool exists

    capture.err.clear();
    EXPECT_EQ(run_tarvo_qar({L"-u", tarvo::from_fs_path(dir_ / "none.qar"), L"-e=a[b"}), 1);
    EXPECT_EQ(capture.err.rfind(L"Error: ", 0), 0U);
}

TEST(Usage, PrintsTheExactTextAfterTheMessage)
{
    tarvo::console::Capture capture;
    EXPECT_EQ(run_tarvo_qar({L"-x", L"a"}), 1);
    EXPECT_EQ(capture.out,
              L"Invalid option\n\nUsage: tarvo-qar option input output\n\nOptions:\n"
              L"\t-c\t\tcreates output qar from files in input dir\n\t\t\t(output defaults to {input}.qar)\n"
              L"\t-a\t\treplace or add new files in output qar with files in input dir\n"
              L"\t\t\t(output defaults to {input}.qar)\n"
              L"\t-i=pattern\tsemicolon separated list of patterns to ignore\n"
              L"\t\t\t(defaults to: \"*/desktop.ini; */thumbs.db;\")\n"
              L"\t-r\t\treplace files in output qar with files in input dir\n"
              L"\t\t\t(output defaults to {input}.qar)\n\t-u\t\tunpack qar into output dir\n"
              L"\t\t\t(output defaults to {input}_dir)\n"
              L"\t-b=path\t\tpath to backup modified files in (only if a file doesn't exist)\n"
              L"\t-s=path\t\tpath to file list to change (only replace mode)\n"
              L"\t-e=pattern\tsemicolon separated list of patterns for file extraction\n\n");
    capture.out.clear();
    EXPECT_EQ(run_tarvo_qar({L"-c"}), 1);  // too few arguments: usage without a message
    EXPECT_EQ(capture.out.rfind(L"Usage: tarvo-qar option input output\n", 0), 0U);
    EXPECT_EQ(run_tarvo_qar({L"-c", L"a", L"b", L"-i=1", L"-e=2", L"-b=3"}), 1);
}

}  // namespace
}  // namespace qar
