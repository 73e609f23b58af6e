// Entry point of tarvo-size: arguments in, one run, an exit status out.
#include <cstddef>

#include "common/console.hpp"
#include "common/platform.hpp"
#include "size/size_patcher.hpp"

namespace {

int run(const tarvo::RawArguments& raw)
{
    tarvo::console::init();
    // The count is judged before any argument is decoded, as the usage rules come first.
    const std::size_t count = raw.count > 1 ? static_cast<std::size_t>(raw.count - 1) : 0;
    if (!tarvo::size::argument_count_allowed(count)) return tarvo::size::usage_error(L"Invalid parameters");

    return tarvo::console::run_reporting_errors([&] { return tarvo::size::run_size_patcher(tarvo::decode_arguments(raw)); },
                                                tarvo::size::kFailure, tarvo::size::kUnknownError);
}

}  // namespace

TARVO_ENTRY_POINT(run)
