// Mode dispatch and the one error handler of tarvo-qar.
#include "qar/cli/run.hpp"

#include <functional>
#include <stdexcept>
#include <string>
#include <variant>

#include "common/console.hpp"
#include "common/error.hpp"
#include "qar/cli/command_line.hpp"
#include "qar/base/pattern_list.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/create/create_mode.hpp"
#include "qar/unpack/unpack_mode.hpp"
#include "qar/update/update_mode.hpp"

namespace qar {
namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;  // usage errors and every run that prints "Error: "
constexpr std::wstring_view kUnknownError = L"Unknown error main";  // a failure that carries no message

bool argument_count_ok(std::size_t count) { return count >= kMinArguments && count <= kMaxArguments; }

void run_mode(const CommandLine& command_line, const NameList& name_list, WorkerPool& pool)
{
    const std::wstring ignore =
        command_line.ignore_patterns.empty() ? std::wstring(kDefaultIgnorePatterns) : command_line.ignore_patterns;
    switch (command_line.mode) {
    case Mode::unpack:
        unpack::unpack_archive(command_line.input, command_line.output, command_line.extract_patterns, pool);
        break;
    case Mode::create:
        create::create_archive(command_line.input, command_line.output, ignore, pool);
        break;
    case Mode::add:
        update::update_archive(command_line.input, command_line.output, name_list, command_line.backup_dir, true,
                               ignore, pool);
        break;
    case Mode::replace:
        // "-i=" has no effect here: replacing never consults the ignore list.
        update::update_archive(command_line.input, command_line.output, name_list, command_line.backup_dir, false,
                               kDefaultIgnorePatterns, pool);
        break;
    case Mode::none:
        break;
    }
}

// Steps from parsing to the end of the mode; usage requests return their status directly.
int parse_and_run(const std::vector<std::wstring>& args)
{
    auto parsed = parse_command_line(args);
    if (auto* usage = std::get_if<UsageRequest>(&parsed)) {
        print_usage(usage->message);
        return kFailure;
    }
    CommandLine& command_line = std::get<CommandLine>(parsed);
    apply_defaults(command_line);
    NameList name_list;
    if (!command_line.list_file.empty()) name_list = read_name_list(command_line.list_file);

    // A platform that reports no hardware threads still gets one worker: block compression
    // cannot advance without one.
    unsigned threads = tarvo::hardware_thread_count();
    if (threads == 0) threads = 1;
    WorkerPool pool(static_cast<int>(threads));
    tarvo::console::out(L"Created " + std::to_wstring(threads) + L" threads.");

    // Whatever way the mode ends, the pool runs its queued tasks and joins its workers
    // before anything is reported.
    run_mode(command_line, name_list, pool);
    pool.shutdown();
    return kSuccess;
}

}  // namespace

int run_tarvo_qar(const tarvo::RawArguments& raw)
{
    // The count is judged before any argument is decoded, as the usage rules come first.
    if (raw.count < 1 || !argument_count_ok(static_cast<std::size_t>(raw.count - 1))) {
        print_usage(L"");
        return kFailure;
    }
    return tarvo::console::run_reporting_errors([&] { return parse_and_run(tarvo::decode_arguments(raw)); }, kFailure,
                                                kUnknownError);
}

}  // namespace qar
