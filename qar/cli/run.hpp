// The run of tarvo-qar from its arguments to its exit status.
#pragma once

#include <string>
#include <vector>

#include "common/platform.hpp"

namespace qar {

// Decodes the arguments after the program name, parses them, creates the worker pool, runs
// one mode and reports any failure; returns the exit status.
int run_tarvo_qar(const tarvo::RawArguments& raw);

}  // namespace qar
