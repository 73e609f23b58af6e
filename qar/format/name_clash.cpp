// Finding names that would be a file and a directory at once in an unpacked tree.
#include "qar/format/name_clash.hpp"

namespace qar::format {

std::string NameTree::path_of(std::string_view name) const
{
    std::string path;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = name.find_first_of("/\\", start);
        const std::string_view component = name.substr(start, end == std::string_view::npos ? end : end - start);
        if (!component.empty() && component != ".") {
            if (!path.empty()) path += '/';
            for (const char c : component) path += ignore_case_ && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        }
        if (end == std::string_view::npos) return path;
        start = end + 1;
    }
}

void NameTree::add(std::string_view name, std::size_t id)
{
    const std::string path = path_of(name);
    files_.emplace(path, id);
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        directories_.emplace(path.substr(0, slash), id);
}

std::optional<std::size_t> NameTree::file_above(std::string_view name) const
{
    const std::string path = path_of(name);
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const auto file = files_.find(path.substr(0, slash));
        if (file != files_.end()) return file->second;
    }
    return std::nullopt;
}

std::optional<std::size_t> NameTree::name_below(std::string_view name) const
{
    const auto directory = directories_.find(path_of(name));
    if (directory == directories_.end()) return std::nullopt;
    return directory->second;
}

}  // namespace qar::format
