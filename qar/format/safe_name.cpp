// The rule that keeps every unpacked file and backup inside its directory.
#include "qar/format/safe_name.hpp"

#include <string_view>

#include "common/error.hpp"
#include "common/platform.hpp"

namespace qar::format {

bool is_unsafe_archive_name(const std::wstring& name)
{
    if (name.empty() || name.front() == L'/' || name.front() == L'\\') return true;
    // A name that ends in a separator names no file: no output file can be made for it, and
    // finding that out only at its turn would leave the files before it unpacked.
    if (name.back() == L'/' || name.back() == L'\\') return true;
    if (name.find(L':') != std::wstring::npos) return true;
    const std::wstring_view view(name);
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = view.find_first_of(L"/\\", start);
        const std::wstring_view component = view.substr(start, end == std::wstring_view::npos ? end : end - start);
        if (component == L".." || tarvo::is_unsafe_name_component_for_platform(component)) return true;
        if (end == std::wstring_view::npos) return false;
        start = end + 1;
    }
}

void require_safe_archive_name(const std::wstring& name)
{
    if (is_unsafe_archive_name(name)) throw tarvo::wruntime_error(tarvo::quoted(L"Unsafe file name in archive ", name));
}

}  // namespace qar::format
