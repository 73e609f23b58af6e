// Fuzzing the "-s=" list files: the lines, carriage returns kept, are looked up below a small
// source directory as an update would: each kept name is a safe archive name ("/" separators, no NUL) of a regular file, with
// its size.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "common/platform.hpp"
#include "qar/cli/command_line.hpp"
#include "qar/base/source_tree.hpp"
#include "qar/base/safe_name.hpp"
#include "tests/fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    namespace fs = std::filesystem;
    using tarvo::fuzz::finding;
    static const tarvo::fuzz::ScratchRoot scratch("list_readers");
    static const std::wstring source = [] {  // a few files and directories, the seeds name them
        fs::create_directories(scratch.path / "source" / "sub" / "deeper");
        fs::create_directories(scratch.path / "source" / "empty dir");
        for (const char* name : {"a.txt", "sub/b.bin", "sub/deeper/c", "space name.txt", "\xC3\xA9t\xC3\xA9.txt"})
            std::ofstream(scratch.path / "source" / name, std::ios::binary) << name;
        return tarvo::from_fs_path(scratch.path / "source");
    }();
    const std::wstring path = scratch.write_input("list.txt", tarvo::fuzz::as_text(data, size));

    const qar::NameList name_list = qar::read_name_list(path);

    qar::FileSizeMap files;
    try {
        qar::scan_source_tree(source, files, source.size(), name_list);
    } catch (const std::runtime_error&) {
        return 0;  // a name that isn't UTF-8, or one the system can't even look at (too long)
    }
    if (name_list.empty()) return 0;  // the whole tree was walked, not the list
    for (const auto& [name, size] : files) {
        if (name.find_first_of(std::wstring(L"\0\\", 2)) != std::wstring::npos) finding("a looked-up name holds a NUL or a \"\\\"");
        if (qar::is_unsafe_archive_name(name)) finding("a looked-up name is unsafe");
        const fs::path found = tarvo::to_fs_path(tarvo::join_path(source, name));
        if (!fs::is_regular_file(found) || fs::file_size(found) != size) finding("a looked-up name is no regular file of its size");
    }
    return 0;
}
