// What differs between Windows and Linux: paths, directories, file status, arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo {

// kWindowsFileNames: whether file names here follow Windows' rules, which ignore the case of
// ASCII letters and refuse the components that is_windows_unsafe_component names.
#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
inline constexpr bool kWindowsFileNames = true;
using NativeArgChar = wchar_t;
using SystemPath = std::wstring;
#define TARVO_ENTRY_POINT(run) \
    int wmain(int argc, wchar_t** argv) { return run(::tarvo::RawArguments{argc, argv}); }
#else
inline constexpr wchar_t kPathSeparator = L'/';
inline constexpr bool kWindowsFileNames = false;
using NativeArgChar = char;
using SystemPath = std::string;
#define TARVO_ENTRY_POINT(run) \
    int main(int argc, char** argv) { return run(::tarvo::RawArguments{argc, argv}); }
#endif

// The arguments as the platform hands them over, program name first.
struct RawArguments {
    int count;
    NativeArgChar** values;
};

// The arguments after the program name as wide strings; Linux decodes UTF-8 and throws
// std::range_error("bad conversion") for an argument that is not valid UTF-8.
std::vector<std::wstring> decode_arguments(const RawArguments& raw);

// The one door through which every path reaches the system (opening, status, listing, making,
// renaming and removing): UTF-8 on Linux; on Windows windows_system_path() for the process's
// current directory. Messages show the path as the user gave it, never this form.
SystemPath system_path(const std::wstring& path);

// Windows refuses the short form of a path from this length on: MAX_PATH (260) less the 12
// characters that creating a directory keeps free for an 8.3 name.
inline constexpr std::size_t kLongPathThreshold = 248;

// How a path is handed to Windows: as it is while both it and its full form stay shorter than
// kLongPathThreshold (with `force_absolute`, only a relative path stays so), else in the long form,
// which has no length limit: the full path with "/" turned into "\", "." and ".." resolved by their
// text, and "\\?\" in front ("\\?\UNC\" for a \\server\share path). A path already in that form,
// or a device path ("\\.\"), is left as it is. `current_directory` is a full path. Portable, so
// the rule can be tested everywhere.
std::wstring windows_system_path(std::wstring_view path, std::wstring_view current_directory, bool force_absolute);

// The path for the std::filesystem operations: system_path() as a path object.
std::filesystem::path to_fs_path(const std::wstring& path);
std::wstring from_fs_path(const std::filesystem::path& path);

// A directory joined to a name with the platform's separator ("\" or "/").
std::wstring join_path(const std::wstring& directory, const std::wstring& name);

// An archive name (or its directory part) below a directory, as a path: joined with the
// platform's separator, and on Linux each "\" of the name turned into "/", since "\" separates
// directories in archive names on Windows and so, for one unpacked tree, on every platform.
std::wstring join_archive_name(const std::wstring& directory, const std::wstring& name);

// Removes every trailing "\" and "/".
void trim_trailing_separators(std::wstring& path);

enum class PathKind { not_found, regular, directory, other };

// Status of a path after following links. A missing file, a missing path and an invalid
// name are not_found; any other failure throws std::filesystem::filesystem_error with
// the given operation name and the path.
PathKind path_kind(const std::wstring& path, const char* operation);
// The same, with a status that can't be read counted as nothing there.
PathKind path_kind_or_nothing(const std::wstring& path);

// True for a path that names a FIFO or a socket, links followed: opening a FIFO waits for a
// process at its other end, which may never come, and neither holds a file's bytes. False for
// anything else, a device or a path whose status can't be read included (its open reports it).
bool is_fifo_or_socket(const std::wstring& path);

// The size of a file, links followed; a failure throws std::filesystem::filesystem_error.
std::uint64_t file_size(const std::wstring& path);

// The names in a directory but "." and "..", in the order the system gives them; a failure
// throws std::filesystem::filesystem_error.
std::vector<std::wstring> directory_names(const std::wstring& path);

// Removes a file; true when it is gone, or was never there.
bool remove_file(const std::wstring& path);

// Renames a file, replacing any file of the new name; false when that fails.
bool rename_file(const std::wstring& from, const std::wstring& to);

enum class MakeDirectoryResult { created, already_exists, failed };

// Creates one directory level; its parent must exist.
MakeDirectoryResult make_single_directory(const std::wstring& path);

// True for a path component that Windows would not keep as a name of its own: a reserved
// device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, any case, alone or before a dot),
// one that ends in a dot or a space, or one that holds a character Windows file names can't
// hold (< > " | ? * and the control characters 1 to 31). Portable, so the rule can be tested
// everywhere.
bool is_windows_unsafe_component(std::wstring_view component);

// Whether two file names (single components) name the same entry of a directory: exactly equal
// on Linux; on Windows equal apart from the case of ASCII letters.
bool same_file_name(std::wstring_view a, std::wstring_view b);

// True for a component, as a directory listing reports it, that holds a separator of archive
// names: on Linux a "\", which an archive name would turn into "/"; Windows names never do.
bool name_holds_separator(std::wstring_view component);

// The platform's report of hardware threads (may be 0).
unsigned hardware_thread_count();

}  // namespace tarvo
