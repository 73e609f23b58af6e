// Parsing the tarvo-qar command line into one mode, two paths and the "=" options.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "qar/base/source_tree.hpp"

namespace qar {

enum class Mode { none, create, add, replace, unpack };

struct CommandLine {
    Mode mode = Mode::none;
    std::wstring input;
    std::wstring output;
    std::wstring ignore_patterns;
    std::wstring extract_patterns;
    std::wstring backup_dir;
    std::wstring list_file;
};

// A command line that ends in the usage text; message may be empty.
struct UsageRequest {
    std::wstring message;
};

inline constexpr int kMinArguments = 2;  // after the program name
inline constexpr int kMaxArguments = 5;

// Reads options and paths from the first argument to the last; the first fault met wins.
std::variant<CommandLine, UsageRequest> parse_command_line(const std::vector<std::wstring>& args);

// Trims trailing separators and fills in the default output; throws wruntime_error
// "No QAR file specified" when an update names no archive.
void apply_defaults(CommandLine& command_line);

// The lines of a list file, split at line feed bytes, carriage returns kept.
NameList read_name_list(const std::wstring& path);

// Prints the message (if any) and the usage text on standard output.
void print_usage(const std::wstring& message);

}  // namespace qar
