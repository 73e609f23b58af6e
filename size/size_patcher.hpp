// The run of tarvo-size: command line, usage text, the patching of the size table and
// the one place where its errors become messages and an exit status.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::size {

inline constexpr int kSuccess = 0;
inline constexpr int kFailure = 1;  // usage errors and every error, so scripts can tell
inline constexpr std::wstring_view kUnknownError = L"Unknown error, quitting";  // a failure that carries no message

struct Settings {
    std::wstring table;      // the size table, patched in place
    std::wstring offsets;    // the offset list
    std::wstring dir;        // the directory the listed names are relative to
    std::wstring file_list;  // empty: every listed file
    int language = 0;        // 0 is the game's default language, whose names hold "/us/"
};

// Three to five arguments are accepted; anything else is a usage error.
bool argument_count_allowed(std::size_t count);

// Prints the usage text on standard output, with the message first when there is one.
void print_usage(std::wstring_view message);

// Prints the usage text with the message and gives the usage error status.
int usage_error(std::wstring_view message);

// Patches the table as the settings say, printing a line per patched file; throws on
// any failure that ends the run.
void patch_sizes(const Settings& settings);

// The whole run over the arguments after the program name: prints through the console
// layer and returns the exit status (0 after "Done!", 1 after a usage message or an error).
int run_size_patcher(const std::vector<std::wstring>& args);

}  // namespace tarvo::size
