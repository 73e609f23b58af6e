// The update mode: patching an archive in place from loose files.
#include "qar/update/update_mode.hpp"

#include "common/error.hpp"

namespace qar::update {

void update_archive(const std::wstring&, const std::wstring&, const create::NameList&, const std::wstring&, bool,
                    const std::wstring&)
{
    throw tarvo::wruntime_error(L"The update mode is not built yet");
}

}  // namespace qar::update
