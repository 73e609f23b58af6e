// Fuzzing the "-s=" list files of both programs: the input is a list file, read by
// tarvo-qar's name list reader and by tarvo-size's file list reader, and then used as an
// update would use it, to look names up below a small source directory.
//
// Checked beyond crashes:
// - the name list is the file split at line feeds, carriage returns kept, a last line only
//   when bytes follow the last line feed;
// - the file list is the set of those lines with every "\" turned into "/";
// - every name the lookup keeps is a safe archive name ("/" separators, no NUL, nothing
//   that leaves the directory) of a regular file below the source directory, with its size.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/cli/command_line.hpp"
#include "qar/create/source_tree.hpp"
#include "qar/format/safe_name.hpp"
#include "size/offset_list.hpp"
#include "tests/fuzz/fuzz_support.hpp"

namespace {

namespace fs = std::filesystem;
using tarvo::fuzz::finding;

std::vector<std::string> binary_lines(std::string_view input)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < input.size()) {
        const std::size_t feed = input.find('\n', start);
        if (feed == std::string_view::npos) {
            lines.emplace_back(input.substr(start));
            break;
        }
        lines.emplace_back(input.substr(start, feed - start));
        start = feed + 1;
    }
    return lines;
}

// A few files and a directory for the names to find; the seeds name them.
void make_source_tree(const fs::path& source)
{
    fs::create_directories(source / "sub" / "deeper");
    fs::create_directories(source / "empty dir");
    const std::pair<const char*, const char*> files[] = {
        {"a.txt", "hello"}, {"sub/b.bin", "bb"}, {"sub/deeper/c", ""}, {"space name.txt", "s"},
        {"\xC3\xA9t\xC3\xA9.txt", "utf-8"},
    };
    for (const auto& [name, content] : files) std::ofstream(source / name, std::ios::binary) << content;
}

void check_lookup(const fs::path& source, const std::wstring& source_dir, const qar::create::NameList& name_list)
{
    qar::create::FileSizeMap files;
    try {
        qar::create::scan_source_tree(source_dir, files, source_dir.size(), name_list);
    } catch (const std::runtime_error&) {
        return;  // a name that isn't UTF-8, or one the system can't even look at (too long)
    }
    if (name_list.empty()) return;  // the whole tree was walked, not the list
    const fs::path root = fs::weakly_canonical(source);
    for (const auto& [name, size] : files) {
        if (name.find(L'\0') != std::wstring::npos) finding("a looked-up name holds a NUL character");
        if (name.find(L'\\') != std::wstring::npos) finding("a looked-up name kept a \"\\\"");
        if (qar::format::is_unsafe_archive_name(name)) finding("a looked-up name is unsafe");
        const fs::path path = tarvo::to_fs_path(tarvo::join_path(source_dir, name));
        if (!fs::is_regular_file(path)) finding("a looked-up name is not a regular file");
        if (fs::file_size(path) != size) finding("a looked-up name has another size than its file");
        const fs::path real = fs::weakly_canonical(path);
        const auto [stop, unused] = std::mismatch(root.begin(), root.end(), real.begin(), real.end());
        if (stop != root.end()) finding("a looked-up name lies outside the source directory");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const tarvo::fuzz::ScratchRoot scratch("list_readers");
    static const bool source_made = (make_source_tree(scratch.path() / "source"), true);
    (void)source_made;
    const std::wstring path = scratch.wide("list.txt");
    tarvo::fuzz::write_input(path, data, size);
    const std::string_view input = tarvo::fuzz::as_text(data, size);
    const std::vector<std::string> expected = binary_lines(input);

    const qar::create::NameList name_list = qar::read_name_list(path);
    if (name_list != expected) finding("the name list differs from the file's lines");

    std::set<std::string, std::less<>> expected_set;
    for (std::string line : expected) {
        for (char& c : line)
            if (c == '\\') c = '/';
        expected_set.insert(line);
    }
    const tarvo::size::FileList file_list = tarvo::size::read_file_list(path);
    if (!std::equal(file_list.begin(), file_list.end(), expected_set.begin(), expected_set.end()))
        finding("the file list differs from the file's lines");

    check_lookup(scratch.path() / "source", scratch.wide("source"), name_list);
    return 0;
}
