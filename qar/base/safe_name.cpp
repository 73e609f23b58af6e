// The rule that keeps every unpacked file and backup inside its directory, on both platforms.
#include "qar/base/safe_name.hpp"

#include <string_view>

#include "common/error.hpp"
#include "common/platform.hpp"

namespace qar {

NameRefusal name_refusal(const std::wstring& name)
{
    if (name.empty() || name.front() == L'/' || name.front() == L'\\') return NameRefusal::everywhere;
    // A name that ends in a separator or in "." names a directory, not a file: no output file
    // can be made for it, and finding that out only at its turn would leave the files before
    // it unpacked.
    if (name.back() == L'/' || name.back() == L'\\') return NameRefusal::everywhere;
    if (name.find(L':') != std::wstring::npos) return NameRefusal::everywhere;
    const std::wstring_view view(name);
    NameRefusal refusal = NameRefusal::none;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = view.find_first_of(L"/\\", start);
        const std::wstring_view component = view.substr(start, end == std::wstring_view::npos ? end : end - start);
        if (component == L".." || (component == L"." && end == std::wstring_view::npos)) return NameRefusal::everywhere;
        if (tarvo::is_windows_unsafe_component(component)) refusal = NameRefusal::on_windows;
        if (end == std::wstring_view::npos) return refusal;
        start = end + 1;
    }
}

bool is_unsafe_archive_name(const std::wstring& name)
{
    const NameRefusal refusal = name_refusal(name);
    return refusal == NameRefusal::everywhere || (refusal == NameRefusal::on_windows && tarvo::kWindowsFileNames);
}

void require_safe_archive_name(const std::wstring& name)
{
    if (is_unsafe_archive_name(name)) throw tarvo::wruntime_error(tarvo::quoted(L"Unsafe file name in archive ", name));
}

}  // namespace qar
