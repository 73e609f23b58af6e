// Fuzzing the "-s=" list files: the input is read by tarvo-qar's name list reader and by
// tarvo-size's file list reader, then used as an update would, to look names up below a small
// source directory. The name list must be the file's lines, carriage returns kept; the file list
// the set of those lines with "\" turned into "/"; every name the lookup keeps a safe archive name
// ("/" separators, no NUL, nothing that leaves the directory) of a regular file, with its size.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/platform.hpp"
#include "qar/cli/command_line.hpp"
#include "qar/create/source_tree.hpp"
#include "qar/format/safe_name.hpp"
#include "size/offset_list.hpp"
#include "tests/fuzz/fuzz_support.hpp"

namespace {

namespace fs = std::filesystem;
using tarvo::fuzz::finding;

// A few files and directories for the names to find; the seeds name them.
bool make_source_tree(const fs::path& source)
{
    fs::create_directories(source / "sub" / "deeper");
    fs::create_directories(source / "empty dir");
    const std::pair<const char*, const char*> files[] = {
        {"a.txt", "hello"}, {"sub/b.bin", "bb"}, {"sub/deeper/c", ""}, {"space name.txt", "s"}, {"\xC3\xA9t\xC3\xA9.txt", "utf-8"},
    };
    for (const auto& [name, content] : files) std::ofstream(source / name, std::ios::binary) << content;
    return true;
}

void check_lookup(const fs::path& source, const qar::create::NameList& name_list)
{
    const std::wstring source_dir = tarvo::from_fs_path(source);
    qar::create::FileSizeMap files;
    try {
        qar::create::scan_source_tree(source_dir, files, source_dir.size(), name_list);
    } catch (const std::runtime_error&) {
        return;  // a name that isn't UTF-8, or one the system can't even look at (too long)
    }
    if (name_list.empty()) return;  // the whole tree was walked, not the list
    const fs::path root = fs::weakly_canonical(source);
    for (const auto& [name, size] : files) {
        if (name.find_first_of(std::wstring(L"\0\\", 2)) != std::wstring::npos) finding("a looked-up name holds a NUL or a \"\\\"");
        if (qar::format::is_unsafe_archive_name(name)) finding("a looked-up name is unsafe");
        const fs::path path = tarvo::to_fs_path(tarvo::join_path(source_dir, name));
        if (!fs::is_regular_file(path) || fs::file_size(path) != size) finding("a looked-up name is no regular file of its size");
        const fs::path real = fs::weakly_canonical(path);
        if (std::mismatch(root.begin(), root.end(), real.begin(), real.end()).first != root.end())
            finding("a looked-up name lies outside the source directory");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const tarvo::fuzz::ScratchRoot scratch("list_readers");
    static const bool source_made = make_source_tree(scratch.path() / "source");
    (void)source_made;
    const std::wstring path = scratch.write_input("list.txt", data, size);
    const std::vector<std::string> expected = tarvo::fuzz::split_lines(tarvo::fuzz::as_text(data, size), false);

    const qar::create::NameList name_list = qar::read_name_list(path);
    if (name_list != expected) finding("the name list differs from the file's lines");
    std::set<std::string, std::less<>> expected_set;
    for (std::string line : expected) {
        std::replace(line.begin(), line.end(), '\\', '/');
        expected_set.insert(line);
    }
    if (tarvo::size::read_file_list(path) != expected_set) finding("the file list differs from the file's lines");

    check_lookup(scratch.path() / "source", name_list);
    return 0;
}
