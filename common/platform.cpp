// Platform helpers: the only place that knows whether it runs on Windows or Linux.
#include "common/platform.hpp"

#include <cerrno>
#include <initializer_list>
#include <string_view>
#include <system_error>
#include <thread>

#include "common/text.hpp"

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace tarvo {

std::vector<std::wstring> decode_arguments(const RawArguments& raw)
{
    std::vector<std::wstring> args;
    for (int i = 1; i < raw.count; ++i) {
#ifdef _WIN32
        args.emplace_back(raw.values[i]);
#else
        args.push_back(from_utf8(raw.values[i]));
#endif
    }
    return args;
}

namespace {

bool is_slash(wchar_t c) { return c == L'\\' || c == L'/'; }

bool starts_with_drive(std::wstring_view path)
{
    return path.size() >= 2 && path[1] == L':' && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
}

// The length of the root of a full path: "C:", or "\\server\share" (either slash).
std::size_t root_length(std::wstring_view full)
{
    if (starts_with_drive(full)) return 2;
    std::size_t end = 2;
    for (int part = 0; part < 2; ++part) {
        if (part == 1 && end < full.size()) ++end;
        while (end < full.size() && !is_slash(full[end])) ++end;
    }
    return end;
}

// A full path ("C:\..." or "\\server\share\...") with "\" as its only separator, no "." or ".."
// component (".." above the root stays at the root, as the system takes it) and no trailing one.
std::wstring resolve_full_path(std::wstring_view full)
{
    const std::size_t root = root_length(full);
    std::wstring out(full.substr(0, root));
    for (wchar_t& c : out) {
        if (c == L'/') c = L'\\';
    }
    std::vector<std::size_t> starts;  // where each kept component begins in `out`
    for (std::size_t at = root; at < full.size();) {
        std::size_t end = at;
        while (end < full.size() && !is_slash(full[end])) ++end;
        const std::wstring_view component = full.substr(at, end - at);
        at = end + 1;
        if (component.empty() || component == L".") continue;
        if (component == L"..") {
            if (!starts.empty()) {
                out.resize(starts.back() - 1);
                starts.pop_back();
            }
            continue;
        }
        out += L'\\';
        starts.push_back(out.size());
        out += component;
    }
    if (starts.empty()) out += L'\\';
    return out;
}

}  // namespace

std::wstring windows_system_path(std::wstring_view path, std::wstring_view current_directory, bool force_absolute)
{
    if (path.empty()) return std::wstring();
    const bool unc = path.size() >= 2 && is_slash(path[0]) && is_slash(path[1]);
    // "\\?\" is the long form already, "\\.\" a device: the system takes both as they are.
    if (unc && path.size() >= 4 && (path[2] == L'?' || path[2] == L'.') && is_slash(path[3])) return std::wstring(path);
    const bool absolute = unc || (starts_with_drive(path) && path.size() > 2 && is_slash(path[2]));
    std::wstring full;
    if (absolute) {
        full = path;
    } else if (is_slash(path[0])) {
        full = std::wstring(current_directory.substr(0, root_length(current_directory))) + std::wstring(path);
    } else if (starts_with_drive(path) && (current_directory.size() < 2 || (path[0] | 0x20) != (current_directory[0] | 0x20))) {
        // Another drive's current directory is not known here: its root stands in for it.
        full = std::wstring(path.substr(0, 2)) + L'\\' + std::wstring(path.substr(2));
    } else {
        full = std::wstring(current_directory) + L'\\' + std::wstring(starts_with_drive(path) ? path.substr(2) : path);
    }
    full = resolve_full_path(full);
    if (path.size() < kLongPathThreshold && full.size() < kLongPathThreshold && !(force_absolute && absolute))
        return std::wstring(path);
    return full.starts_with(L"\\\\") ? L"\\\\?\\UNC" + full.substr(1) : L"\\\\?\\" + full;
}

SystemPath system_path(const std::wstring& path)
{
#ifdef _WIN32
    // The test suite runs once more with every absolute path in the long form, which Wine, having
    // no length limit, would otherwise never see.
    static const bool force_long_form = GetEnvironmentVariableW(L"TARVO_TEST_LONG_PATHS", nullptr, 0) != 0;
    std::wstring current(GetCurrentDirectoryW(0, nullptr), L'\0');
    current.resize(GetCurrentDirectoryW(static_cast<DWORD>(current.size()), current.data()));
    return windows_system_path(path, current, force_long_form);
#else
    return to_utf8(path);
#endif
}

std::filesystem::path to_fs_path(const std::wstring& path) { return std::filesystem::path(system_path(path)); }

std::wstring from_fs_path(const std::filesystem::path& path)
{
#ifdef _WIN32
    return path.wstring();
#else
    return from_utf8(path.native());
#endif
}

namespace {

// The error of a failed file-system operation, naming the path as the user gave it.
std::filesystem::filesystem_error path_error(const char* operation, const std::wstring& path, std::error_code error)
{
#ifdef _WIN32
    return std::filesystem::filesystem_error(operation, std::filesystem::path(path), error);
#else
    return std::filesystem::filesystem_error(operation, std::filesystem::path(to_utf8(path)), error);
#endif
}

}  // namespace

std::wstring join_path(const std::wstring& directory, const std::wstring& name)
{
    std::wstring out = directory;
    out += kPathSeparator;
    out += name;
    return out;
}

std::wstring join_archive_name(const std::wstring& directory, const std::wstring& name)
{
    std::wstring out = join_path(directory, name);
#ifndef _WIN32
    for (std::size_t i = directory.size() + 1; i < out.size(); ++i) {
        if (out[i] == L'\\') out[i] = L'/';
    }
#endif
    return out;
}

void trim_trailing_separators(std::wstring& path)
{
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
}

#ifdef _WIN32
// The C runtime's status calls take "?" for a wildcard and refuse the long form, and the
// directory listing of the C++ library lists the current directory for it: status, size and
// listing ask Windows itself.
namespace {

// Windows errors that mean nothing is there: file and path not found, an invalid name.
bool is_not_found(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME;
}

std::error_code windows_error(DWORD error) { return std::error_code(static_cast<int>(error), std::system_category()); }

// What a path names, links followed; 0, or the Windows error. `disk` is false for a device.
DWORD file_information(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info, bool& disk)
{
    // No access right is needed for the attributes; backup semantics open directories too.
    const HANDLE handle = CreateFileW(system_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    disk = GetFileType(handle) == FILE_TYPE_DISK;
    const DWORD error = !disk || GetFileInformationByHandle(handle, &info) ? 0 : GetLastError();
    CloseHandle(handle);
    return error;
}

}  // namespace

PathKind path_kind(const std::wstring& path, const char* operation)
{
    BY_HANDLE_FILE_INFORMATION info{};
    bool disk = false;
    const DWORD error = file_information(path, info, disk);
    if (error != 0) {
        if (is_not_found(error)) return PathKind::not_found;
        throw path_error(operation, path, windows_error(error));
    }
    if (!disk) return PathKind::other;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::directory : PathKind::regular;
}

std::uint64_t file_size(const std::wstring& path)
{
    BY_HANDLE_FILE_INFORMATION info{};
    bool disk = false;
    const DWORD error = file_information(path, info, disk);
    if (error != 0) throw path_error("file_size", path, windows_error(error));
    return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

std::vector<std::wstring> directory_names(const std::wstring& path)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(system_path(join_path(path, L"*")).c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return names;  // not even "." and "..": an empty drive
        throw path_error("directory_iterator::directory_iterator", path, windows_error(error));
    }
    do {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..") names.emplace_back(name);
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) throw path_error("directory_iterator::operator++", path, windows_error(error));
    return names;
}

bool remove_file(const std::wstring& path)
{
    return DeleteFileW(system_path(path).c_str()) || is_not_found(GetLastError());
}

bool rename_file(const std::wstring& from, const std::wstring& to)
{
    return MoveFileExW(system_path(from).c_str(), system_path(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

#else

PathKind path_kind(const std::wstring& path, const char* operation)
{
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(to_fs_path(path), ec);
    if (ec) {
        if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) return PathKind::not_found;
        throw path_error(operation, path, ec);
    }
    switch (status.type()) {
    case std::filesystem::file_type::not_found: return PathKind::not_found;
    case std::filesystem::file_type::regular: return PathKind::regular;
    case std::filesystem::file_type::directory: return PathKind::directory;
    default: return PathKind::other;
    }
}

std::uint64_t file_size(const std::wstring& path)
{
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(to_fs_path(path), ec);
    if (ec) throw path_error("file_size", path, ec);
    return static_cast<std::uint64_t>(size);
}

std::vector<std::wstring> directory_names(const std::wstring& path)
{
    std::vector<std::wstring> names;
    std::error_code ec;
    std::filesystem::directory_iterator it(to_fs_path(path), ec);
    if (ec) throw path_error("directory_iterator::directory_iterator", path, ec);
    while (it != std::filesystem::directory_iterator()) {
        names.push_back(from_fs_path(it->path().filename()));
        it.increment(ec);
        if (ec) throw path_error("directory_iterator::operator++", path, ec);
    }
    return names;
}

bool remove_file(const std::wstring& path)
{
    std::error_code ec;
    std::filesystem::remove(to_fs_path(path), ec);
    return !ec;
}

bool rename_file(const std::wstring& from, const std::wstring& to)
{
    std::error_code ec;
    std::filesystem::rename(to_fs_path(from), to_fs_path(to), ec);
    return !ec;
}

#endif

PathKind path_kind_or_nothing(const std::wstring& path)
{
    try {
        return path_kind(path, "status");
    } catch (const std::filesystem::filesystem_error&) {
        return PathKind::not_found;
    }
}

bool is_fifo_or_socket(const std::wstring& path)
{
    std::error_code ec;
    const std::filesystem::file_type type = std::filesystem::status(to_fs_path(path), ec).type();
    return !ec && (type == std::filesystem::file_type::fifo || type == std::filesystem::file_type::socket);
}

MakeDirectoryResult make_single_directory(const std::wstring& path)
{
#ifdef _WIN32
    const int rc = _wmkdir(system_path(path).c_str());
#else
    constexpr mode_t kDirectoryMode = 0777;  // narrowed by the user's umask
    const int rc = ::mkdir(system_path(path).c_str(), kDirectoryMode);
#endif
    if (rc == 0) return MakeDirectoryResult::created;
    return errno == EEXIST ? MakeDirectoryResult::already_exists : MakeDirectoryResult::failed;
}

namespace {

// ASCII case-insensitive comparison with a word written in upper case.
bool equals_ignoring_case(std::wstring_view text, std::wstring_view upper_word)
{
    if (text.size() != upper_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = (text[i] >= L'a' && text[i] <= L'z') ? static_cast<wchar_t>(text[i] - L'a' + L'A') : text[i];
        if (c != upper_word[i]) return false;
    }
    return true;
}

}  // namespace

bool is_windows_unsafe_component(std::wstring_view component)
{
    if (!component.empty() && (component.back() == L'.' || component.back() == L' ')) return true;
    // Windows refuses to create a file whose name holds one of these, so an unpack would stop
    // half-way at it; a ":" is refused on every platform before this rule is asked.
    constexpr std::wstring_view kForbidden = L"<>\"|?*";
    constexpr wchar_t kLastControlCharacter = 31;
    for (const wchar_t c : component) {
        if ((c >= 1 && c <= kLastControlCharacter) || kForbidden.find(c) != std::wstring_view::npos) return true;
    }
    // Device names are reserved with any extension too: "con.txt" is the console.
    const std::wstring_view stem = component.substr(0, component.find(L'.'));
    for (std::wstring_view device : {L"CON", L"PRN", L"AUX", L"NUL"})
        if (equals_ignoring_case(stem, device)) return true;
    if (stem.size() == 4 && stem[3] >= L'1' && stem[3] <= L'9')
        for (std::wstring_view port : {L"COM", L"LPT"})
            if (equals_ignoring_case(stem.substr(0, 3), port)) return true;
    return false;
}

bool same_file_name(std::wstring_view a, std::wstring_view b)
{
#ifdef _WIN32
    if (a.size() != b.size()) return false;
    const auto upper = [](wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) return false;
    }
    return true;
#else
    return a == b;
#endif
}

bool name_holds_separator([[maybe_unused]] std::wstring_view component)
{
#ifdef _WIN32
    return false;
#else
    return component.find(L'\\') != std::wstring_view::npos;
#endif
}

unsigned hardware_thread_count() { return std::thread::hardware_concurrency(); }

}  // namespace tarvo
