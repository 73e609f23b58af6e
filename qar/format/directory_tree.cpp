// Making directories, parents first.
#include "qar/format/directory_tree.hpp"

#include "common/error.hpp"
#include "common/platform.hpp"

namespace qar::format {
namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

void make_directory_level(const std::wstring& path)
{
    if (tarvo::make_single_directory(path) == tarvo::MakeDirectoryResult::failed)
        throw tarvo::wruntime_error(L"Couldn't create directory '" + path + L"'");
}

void make_missing_directories(const std::wstring& path, std::unordered_set<std::wstring>& made)
{
    for_each_level(path, [&made](const std::wstring& level, bool) {
        if (!made.contains(level)) {
            make_directory_level(level);
            made.insert(level);
        }
        return true;
    });
}

void for_each_level(const std::wstring& path, const std::function<bool(const std::wstring& level, bool whole)>& visit)
{
    // Starting at index 1 keeps a leading separator from producing an empty first level.
    std::size_t start = 1;
    for (;;) {
        std::size_t separator = std::wstring::npos;
        for (std::size_t i = start; i < path.size(); ++i) {
            if (is_separator(path[i])) {
                separator = i;
                break;
            }
        }
        const bool whole = separator == std::wstring::npos;
        const std::wstring level = whole ? path : path.substr(0, separator);
        const bool drive = !level.empty() && level.back() == L':';
        if (!drive && !visit(level, whole)) return;
        if (whole) return;
        start = separator + 1;
    }
}

void make_directories(const std::wstring& path)
{
    std::unordered_set<std::wstring> made;
    make_missing_directories(path, made);
}

}  // namespace qar::format
