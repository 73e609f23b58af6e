// Command-line parsing, defaults, the list file, and the messages and statuses of tarvo-qar runs
// (the exact usage text is checked by the command-line cases beside this).
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <variant>
#include <vector>

#include "common/console.hpp"
#include "common/text.hpp"
#include "qar/cli/command_line.hpp"
#include "qar/cli/run.hpp"
#include "tests/support/scratch.hpp"

namespace qar {
namespace {

[[maybe_unused]] std::string native(const std::wstring& arg, char) { return tarvo::to_utf8(arg); }
[[maybe_unused]] std::wstring native(const std::wstring& arg, wchar_t) { return arg; }

// A run of tarvo-qar with these arguments after the program name, as the platform hands them over.
int run_tarvo_qar(std::vector<std::wstring> args)
{
    args.insert(args.begin(), L"tarvo-qar");
    std::vector<std::basic_string<tarvo::NativeArgChar>> native_args;
    for (const std::wstring& arg : args) native_args.push_back(native(arg, tarvo::NativeArgChar{}));
    std::vector<tarvo::NativeArgChar*> values;
    for (auto& arg : native_args) values.push_back(arg.data());
    return qar::run_tarvo_qar(tarvo::RawArguments{static_cast<int>(values.size()), values.data()});
}

CommandLine with_defaults(const std::vector<std::wstring>& args)
{
    auto parsed = std::get<CommandLine>(parse_command_line(args));
    apply_defaults(parsed);
    return parsed;
}

TEST(CommandLine, ReportsTheFirstFaultMetOrAppliesDefaults)
{
    const std::pair<std::vector<std::wstring>, std::wstring> faults[] = {
        {{L"-c", L"-u", L"x"}, L"Too many options specified"}, {{L"-c", L"-c", L"x"}, L"Too many options specified"},
        {{L"-c", L"-x", L"a"}, L"Too many options specified"}, {{L"-x", L"a"}, L"Invalid option"},
        {{L"-I=x", L"a"}, L"Invalid option"},                  {{L"a", L"b", L"c", L"-c"}, L"Too many files specified"},
        {{L"-c", L"-i=x"}, L"Invalid parameters"},              {{L"a", L"b"}, L"Invalid parameters"},
        {{L"-u", L""}, L"Invalid parameters"}};  // an empty path leaves input empty
    for (const auto& [args, message] : faults) {
        const auto parsed = parse_command_line(args);
        ASSERT_TRUE(std::holds_alternative<UsageRequest>(parsed)) << tarvo::to_utf8(message);
        EXPECT_EQ(std::get<UsageRequest>(parsed).message, message);
    }

    const CommandLine create = with_defaults({L"-i=first", L"data\\/", L"-c", L"-i=second", L"-e="});
    EXPECT_EQ(create.ignore_patterns, L"second");  // the last value wins; only create gives the default output below
    EXPECT_EQ(create.input + L"|" + create.output, L"data|data.qar");
    const CommandLine unpack = with_defaults({L"-u", L"game.qar/"});
    EXPECT_EQ(unpack.input + L"|" + unpack.output, L"game.qar/|game.qar/_dir");  // the archive path is never trimmed
    const CommandLine unpack_out = with_defaults({L"-u", L"g.qar", L"out//", L"-b=bk\\"});
    EXPECT_EQ(unpack_out.output + L"|" + unpack_out.backup_dir, L"out|bk");
}

TEST(CommandLine, ListFileSplitsAtLineFeedsAndFailedRunsEndWithStatusOne)
{
    const tarvo::test::ScratchDir dir;
    const auto list = [&](const std::string& bytes) {
        std::ofstream(dir.path / "list.txt", std::ios::binary | std::ios::trunc) << bytes;
        return read_name_list(dir / L"list.txt");
    };
    EXPECT_EQ(list("a\r\nb"), (NameList{"a\r", "b"}));
    EXPECT_EQ(list("a\n\nb\n"), (NameList{"a", "", "b"}));
    EXPECT_EQ(list(""), NameList{});

    tarvo::console::Capture capture;
    const std::wstring missing = dir / L"missing.txt";
    EXPECT_EQ(run_tarvo_qar({L"-u", L"a.qar", L"-s=" + missing}), 1);
    EXPECT_EQ(capture.err, L"Error: Cannot open list file \"" + missing + L"\"\n");
    capture.err.clear();
    EXPECT_EQ(run_tarvo_qar({L"-r", L"mods"}), 1);
    EXPECT_EQ(capture.err, L"Error: No QAR file specified\n");
    EXPECT_EQ(capture.out, L"");  // both before the pool exists
    EXPECT_EQ(run_tarvo_qar({L"-u", dir / L"none.qar", L"-e=a[b"}), 1);  // a library error
    for (const std::vector<std::wstring>& args : {std::vector<std::wstring>{L"-c", L"a", L"b", L"-i=1", L"-e=2", L"-b=3"}, {L"-c"}}) {
        capture.out.clear();  // too few or too many arguments: the usage without a message
        EXPECT_EQ(run_tarvo_qar(args), 1);
        EXPECT_EQ(capture.out.rfind(L"Usage: tarvo-qar option input output\n", 0), 0U) << args.size();
    }
    capture.out.clear();  // a fault of the command line: its message, a blank line, the usage
    EXPECT_EQ(run_tarvo_qar({L"-x", L"a"}), 1);
    EXPECT_EQ(capture.out.rfind(L"Invalid option\n\nUsage: tarvo-qar option input output\n", 0), 0U);
}

}  // namespace
}  // namespace qar
