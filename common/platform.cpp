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

std::filesystem::path to_fs_path(const std::wstring& path)
{
#ifdef _WIN32
    return std::filesystem::path(path);
#else
    return std::filesystem::path(to_utf8(path));
#endif
}

std::wstring from_fs_path(const std::filesystem::path& path)
{
#ifdef _WIN32
    return path.wstring();
#else
    return from_utf8(path.native());
#endif
}

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

namespace {

bool is_not_found(const std::error_code& ec)
{
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) return true;
#ifdef _WIN32
    // An invalid name (Windows error 123) reaches the C runtime as EINVAL.
    if (ec == std::errc::invalid_argument) return true;
#endif
    return false;
}

}  // namespace

PathKind path_kind(const std::wstring& path, const char* operation)
{
    std::error_code ec;
    const std::filesystem::path fs_path = to_fs_path(path);
    const std::filesystem::file_status status = std::filesystem::status(fs_path, ec);
    if (ec) {
        if (is_not_found(ec)) return PathKind::not_found;
        throw std::filesystem::filesystem_error(operation, fs_path, ec);
    }
    switch (status.type()) {
    case std::filesystem::file_type::not_found: return PathKind::not_found;
    case std::filesystem::file_type::regular: return PathKind::regular;
    case std::filesystem::file_type::directory: return PathKind::directory;
    default: return PathKind::other;
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
    const int rc = _wmkdir(path.c_str());
#else
    constexpr mode_t kDirectoryMode = 0777;  // narrowed by the user's umask
    const int rc = ::mkdir(to_utf8(path).c_str(), kDirectoryMode);
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
