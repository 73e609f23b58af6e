// Listing the loose files below a source directory: the full walk and the name-list lookup.
#include "qar/base/source_tree.hpp"

#include "common/console.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/base/safe_name.hpp"

namespace qar {
namespace {

void slashes_to_forward(std::wstring& name)
{
    for (wchar_t& c : name) {
        if (c == L'\\') c = L'/';
    }
}

void walk_directory(const std::wstring& directory, FileSizeMap& files, std::size_t root_length);

// The archive name of a path below the root.
std::wstring relative_name(const std::wstring& path, std::size_t root_length)
{
    std::wstring name = path.size() > root_length ? path.substr(root_length + 1) : std::wstring();
    slashes_to_forward(name);
    return name;
}

void walk_entry(const std::wstring& directory, const std::wstring& entry_name, FileSizeMap& files, std::size_t root_length)
{
    const std::wstring path = tarvo::join_path(directory, entry_name);
    // Its archive name would split it into components that aren't there (a file named
    // "..\x" would become "../x" and be read from outside the source), so it stays out, and
    // with a directory everything below it.
    if (tarvo::name_holds_separator(entry_name)) {
        const std::wstring above = relative_name(directory, root_length);
        tarvo::console::out(L"Ignoring " + (above.empty() ? above : above + L"/") + entry_name);
        return;
    }
    // Links are followed: a link to a file counts as that file, a link to a directory is
    // walked, a dangling link is not found and skipped like any other odd entry.
    switch (tarvo::path_kind(path, "status")) {
    case tarvo::PathKind::regular: {
        const std::uint64_t size = tarvo::file_size(path);
        files.emplace(relative_name(path, root_length), size);
        break;
    }
    case tarvo::PathKind::directory:
        walk_directory(path, files, root_length);
        break;
    case tarvo::PathKind::not_found:
    case tarvo::PathKind::other:
        break;
    }
}

void walk_directory(const std::wstring& directory, FileSizeMap& files, std::size_t root_length)
{
    for (const std::wstring& name : tarvo::directory_names(directory)) walk_entry(directory, name, files, root_length);
}

void look_up_names(const std::wstring& directory, FileSizeMap& files, const NameList& name_list)
{
    for (const std::string& element : name_list) {
        // A NUL names no file: the system would look up only the part before it, and the
        // whole line would become the stored name.
        if (element.find('\0') != std::string::npos) continue;
        // One decoding for the lookup and the stored name, and "\" separates on every
        // platform, so a list written on Windows names the same files here.
        std::wstring name = tarvo::from_utf8(element);
        // A name that could reach outside the directory names no file below it.
        if (is_unsafe_archive_name(name)) continue;
        slashes_to_forward(name);
        const std::wstring path = tarvo::join_path(directory, name);
        if (tarvo::path_kind(path, "status") != tarvo::PathKind::regular) continue;
        const std::uint64_t size = tarvo::file_size(path);
        files.emplace(std::move(name), size);
    }
}

}  // namespace

void scan_source_tree(const std::wstring& directory, FileSizeMap& files, std::size_t root_length,
                      const NameList& name_list)
{
    if (name_list.empty()) {
        walk_directory(directory, files, root_length);
    } else {
        look_up_names(directory, files, name_list);
    }
}

}  // namespace qar
