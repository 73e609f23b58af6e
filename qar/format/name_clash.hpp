// Names that can't all be files once unpacked: one of them is a directory part of another.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qar::format {

// The unpacked paths of archive names (UTF-8 bytes), as a file system sees them: "/" and "\"
// both separate, empty and "." components fall away, and with ignore_case set the case of
// ASCII letters doesn't count, as on Windows. Each name is added with an id of the caller's.
class NameTree {
public:
    explicit NameTree(bool ignore_case) : ignore_case_(ignore_case) {}

    // When several names answer a question below, the one added first does.
    void add(std::string_view name, std::size_t id);
    // An added name that is a directory part of name: unpacked, it would be a file where name
    // needs a directory.
    std::optional<std::size_t> file_above(std::string_view name) const;
    // An added name of which name is a directory part.
    std::optional<std::size_t> name_below(std::string_view name) const;

private:
    std::string path_of(std::string_view name) const;

    bool ignore_case_;
    std::unordered_map<std::string, std::size_t> files_;        // path of each name
    std::unordered_map<std::string, std::size_t> directories_;  // every directory part of each
};

}  // namespace qar::format
