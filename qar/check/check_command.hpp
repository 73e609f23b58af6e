// The run of tarvo-check from its arguments to its exit status.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/platform.hpp"

namespace qar::check {

// Parses the arguments (program name excluded), runs the check and reports any failure:
// 0 sound, 2 problems found, 1 a bad command line or a check that could not run.
int run_tarvo_check(const std::vector<std::wstring>& args, std::wstring_view version);

// The same from the platform's raw arguments, after setting up the console.
int run_tarvo_check_main(const tarvo::RawArguments& raw, std::wstring_view version);

}  // namespace qar::check
