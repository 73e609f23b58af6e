// tarvo-check: lists a QAR archive and proves it sound, without unpacking it.
#include "common/platform.hpp"
#include "qar/check/check_command.hpp"

namespace {

int run(const tarvo::RawArguments& raw) { return qar::check::run_tarvo_check_main(raw, L"" TARVO_VERSION); }

}  // namespace

TARVO_ENTRY_POINT(run)
