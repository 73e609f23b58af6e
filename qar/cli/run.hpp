// The run of tarvo-qar from its arguments to its exit status.
#pragma once

#include <string>
#include <vector>

#include "common/platform.hpp"

namespace qar {

// Parses, prepares, creates the worker pool, runs one mode and reports any failure;
// returns the exit status. args excludes the program name.
int run_tarvo_qar(const std::vector<std::wstring>& args);

// The same from the platform's raw arguments (decoded inside the error handler).
int run_tarvo_qar_main(const tarvo::RawArguments& raw);

}  // namespace qar
