// Command-line parsing, defaults, the list file and the usage text of tarvo-qar.
#include "qar/cli/command_line.hpp"

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/file.hpp"
#include "common/line_reader.hpp"
#include "common/platform.hpp"

namespace qar {
namespace {

constexpr std::size_t kOptionPrefixLength = 3;  // "-i=", "-e=", "-b=", "-s="

bool set_value_option(const std::wstring& arg, CommandLine& command_line)
{
    const std::wstring prefix = arg.substr(0, kOptionPrefixLength);
    std::wstring* field = nullptr;
    if (prefix == L"-i=") field = &command_line.ignore_patterns;
    else if (prefix == L"-e=") field = &command_line.extract_patterns;
    else if (prefix == L"-b=") field = &command_line.backup_dir;
    else if (prefix == L"-s=") field = &command_line.list_file;
    if (field == nullptr) return false;
    *field = arg.substr(kOptionPrefixLength);
    return true;
}

Mode mode_of(const std::wstring& arg)
{
    if (arg == L"-r") return Mode::replace;
    if (arg == L"-a") return Mode::add;
    if (arg == L"-u") return Mode::unpack;
    if (arg == L"-c") return Mode::create;
    return Mode::none;
}

}  // namespace

std::variant<CommandLine, UsageRequest> parse_command_line(const std::vector<std::wstring>& args)
{
    CommandLine command_line;
    for (const std::wstring& arg : args) {
        if (!arg.empty() && arg.front() == L'-') {
            if (set_value_option(arg, command_line)) continue;
            // A mode already set makes any further option "too many", known or not.
            if (command_line.mode != Mode::none) return UsageRequest{L"Too many options specified"};
            command_line.mode = mode_of(arg);
            if (command_line.mode == Mode::none) return UsageRequest{L"Invalid option"};
        } else if (command_line.input.empty()) {
            command_line.input = arg;
        } else if (command_line.output.empty()) {
            command_line.output = arg;
        } else {
            return UsageRequest{L"Too many files specified"};
        }
    }
    if (command_line.input.empty() || command_line.mode == Mode::none) return UsageRequest{L"Invalid parameters"};
    return command_line;
}

void apply_defaults(CommandLine& command_line)
{
    const bool unpack = command_line.mode == Mode::unpack;
    if (!unpack) tarvo::trim_trailing_separators(command_line.input);
    if (command_line.output.empty()) {
        if (unpack) command_line.output = command_line.input + L"_dir";
        else if (command_line.mode == Mode::create) command_line.output = command_line.input + L".qar";
        else throw tarvo::wruntime_error(L"No QAR file specified");
    }
    if (unpack) tarvo::trim_trailing_separators(command_line.output);
    tarvo::trim_trailing_separators(command_line.backup_dir);
}

NameList read_name_list(const std::wstring& path)
{
    tarvo::File file(path, tarvo::File::Mode::read);
    if (!file.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open list file ", path));
    NameList lines;
    tarvo::LineReader reader(file, tarvo::LineReader::Mode::binary);
    for (std::string line; reader.next(line);) lines.push_back(line);
    return lines;
}

void print_usage(const std::wstring& message)
{
    namespace console = tarvo::console;
    if (!message.empty()) {
        console::out(message);
        console::out(L"");
    }
    static constexpr const wchar_t* kUsage[] = {
        L"Usage: tarvo-qar option input output",
        L"",
        L"Options:",
        L"\t-c\t\tcreates output qar from files in input dir",
        L"\t\t\t(output defaults to {input}.qar)",
        L"\t-a\t\treplace or add new files in output qar with files in input dir",
        L"\t\t\t(output defaults to {input}.qar)",
        L"\t-i=pattern\tsemicolon separated list of patterns to ignore",
        L"\t\t\t(defaults to: \"*/desktop.ini; */thumbs.db;\")",
        L"\t-r\t\treplace files in output qar with files in input dir",
        L"\t\t\t(output defaults to {input}.qar)",
        L"\t-u\t\tunpack qar into output dir",
        L"\t\t\t(output defaults to {input}_dir)",
        L"\t-b=path\t\tpath to backup modified files in (only if a file doesn't exist)",
        L"\t-s=path\t\tpath to file list to change (only replace mode)",
        L"\t-e=pattern\tsemicolon separated list of patterns for file extraction",
        L"",
    };
    for (const wchar_t* line : kUsage) console::out(line);
}

}  // namespace qar
