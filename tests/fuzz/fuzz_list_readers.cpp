// Fuzzing the "-s=" list files: the input is read by tarvo-qar's name list reader and by
// tarvo-size's file list reader, then used as an update would, to look names up below a small
// source directory. The name list must be the file's lines, carriage returns kept; every name the
// lookup keeps a safe archive name ("/" separators, no NUL, nothing that leaves the directory) of
// a regular file, with its size.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

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
std::wstring make_source_tree(const fs::path& source)
{
    fs::create_directories(source / "sub" / "deeper");
    fs::create_directories(source / "empty dir");
    for (const char* name : {"a.txt", "sub/b.bin", "sub/deeper/c", "space name.txt", "\xC3\xA9t\xC3\xA9.txt"})
        std::ofstream(source / name, std::ios::binary) << name;
    return tarvo::from_fs_path(source);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const tarvo::fuzz::ScratchRoot scratch("list_readers");
    static const std::wstring source = make_source_tree(scratch.path / "source");
    const std::string_view input = tarvo::fuzz::as_text(data, size);
    const std::wstring path = scratch.write_input("list.txt", input);

    const qar::create::NameList name_list = qar::read_name_list(path);
    if (name_list != tarvo::fuzz::split_lines(input, false)) finding("the name list differs from the file's lines");
    (void)tarvo::size::read_file_list(path);

    qar::create::FileSizeMap files;
    try {
        qar::create::scan_source_tree(source, files, source.size(), name_list);
    } catch (const std::runtime_error&) {
        return 0;  // a name that isn't UTF-8, or one the system can't even look at (too long)
    }
    if (name_list.empty()) return 0;  // the whole tree was walked, not the list
    for (const auto& [name, size] : files) {
        if (name.find_first_of(std::wstring(L"\0\\", 2)) != std::wstring::npos) finding("a looked-up name holds a NUL or a \"\\\"");
        if (qar::format::is_unsafe_archive_name(name)) finding("a looked-up name is unsafe");
        const fs::path found = tarvo::to_fs_path(tarvo::join_path(source, name));
        if (!fs::is_regular_file(found) || fs::file_size(found) != size) finding("a looked-up name is no regular file of its size");
    }
    return 0;
}
