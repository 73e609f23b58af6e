// tarvo-qar: creates, unpacks and patches QAR archives.
#include "common/platform.hpp"
#include "qar/cli/run.hpp"

TARVO_ENTRY_POINT(qar::run_tarvo_qar_main)
