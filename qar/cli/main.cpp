// tarvo-qar: creates, unpacks and patches QAR archives.
#include "common/console.hpp"
#include "common/platform.hpp"
#include "qar/cli/run.hpp"

namespace {

int run(const tarvo::RawArguments& raw)
{
    tarvo::console::init();
    return qar::run_tarvo_qar(raw);
}

}  // namespace

TARVO_ENTRY_POINT(run)
