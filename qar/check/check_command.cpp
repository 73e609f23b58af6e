// The command line, usage text and the one error handler of tarvo-check.
#include "qar/check/check_command.hpp"

#include <stdexcept>
#include <variant>

#include "common/console.hpp"
#include "common/error.hpp"
#include "qar/check/archive_check.hpp"

namespace qar::check {
namespace {

constexpr int kFailure = 1;  // a bad command line, or a check that could not run
constexpr std::wstring_view kUnknownError = L"Unknown error main";  // as tarvo-qar says it
constexpr std::size_t kValueOptionPrefix = 3;  // "-e=", "-d="

struct UsageRequest {
    std::wstring message;  // may be empty
};
struct VersionRequest {};

std::variant<CheckOptions, UsageRequest, VersionRequest> parse(const std::vector<std::wstring>& args)
{
    if (args.empty()) return UsageRequest{};
    if (args.size() == 1 && args[0] == L"--version") return VersionRequest{};
    CheckOptions options;
    for (const std::wstring& arg : args) {
        const std::wstring prefix = arg.substr(0, kValueOptionPrefix);
        if (arg == L"-l") options.list = true;
        else if (prefix == L"-e=") options.extract_patterns = arg.substr(kValueOptionPrefix);
        else if (prefix == L"-d=") options.directory = arg.substr(kValueOptionPrefix);
        else if (!arg.empty() && arg.front() == L'-') return UsageRequest{L"Invalid option"};
        else if (options.archive.empty()) options.archive = arg;
        else return UsageRequest{L"Too many files specified"};
    }
    if (options.archive.empty()) return UsageRequest{L"Invalid parameters"};
    return options;
}

void print_usage(const std::wstring& message)
{
    if (!message.empty()) {
        tarvo::console::out(message);
        tarvo::console::out(L"");
    }
    for (const wchar_t* line : {
             L"Usage: tarvo-check archive [-l] [-e=pattern] [-d=dir]",
             L"       tarvo-check --version",
             L"",
             L"Checks that a QAR archive is sound, reading only.",
             L"",
             L"Options:",
             L"\t-l\t\tlists every file: size, stored size, ratio, data offset, room, name",
             L"\t-e=pattern\tsemicolon separated list of patterns: checks and lists only matching files",
             L"\t-d=dir\t\tchecks that every file below dir is in the archive with the same bytes",
             L"",
             L"Exit status: 0 sound, 2 problems found, 1 could not check.",
         })
        tarvo::console::out(line);
}

int parse_and_run(const std::vector<std::wstring>& args, std::wstring_view version)
{
    const auto parsed = parse(args);
    if (const auto* usage = std::get_if<UsageRequest>(&parsed)) {
        print_usage(usage->message);
        return kFailure;
    }
    if (std::holds_alternative<VersionRequest>(parsed)) {
        tarvo::console::out(L"tarvo-check " + std::wstring(version));
        return kSound;
    }
    // A platform that reports no hardware threads still gets one worker to decode blocks.
    const unsigned threads = tarvo::hardware_thread_count();
    WorkerPool pool(static_cast<int>(threads == 0 ? 1 : threads));
    const int status = check_archive(std::get<CheckOptions>(parsed), pool);
    pool.shutdown();
    return status;
}

}  // namespace

int run_tarvo_check(const std::vector<std::wstring>& args, std::wstring_view version)
{
    return tarvo::console::run_reporting_errors([&] { return parse_and_run(args, version); }, kFailure, kUnknownError);
}

int run_tarvo_check_main(const tarvo::RawArguments& raw, std::wstring_view version)
{
    tarvo::console::init();
    return tarvo::console::run_reporting_errors([&] { return parse_and_run(tarvo::decode_arguments(raw), version); }, kFailure,
                                                kUnknownError);
}

}  // namespace qar::check
