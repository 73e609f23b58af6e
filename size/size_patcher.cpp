// tarvo-size writes the current size of each listed game file into the game's size table:
// one pass over the offset list, one table opened once, 4 bytes per listed file.
#include "size/size_patcher.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_order.hpp"
#include "common/console.hpp"
#include "common/error.hpp"
#include "common/file.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "common/line_reader.hpp"
#include "size/offset_list.hpp"

namespace tarvo::size {
namespace {

constexpr std::size_t kMinArguments = 3;  // table, offsets, dir
constexpr std::size_t kMaxArguments = 5;  // and the two options
constexpr std::size_t kSizeBytes = 4;     // the table keeps sizes as 32-bit numbers
static_assert(kSizeBytes == sizeof(std::uint32_t));
constexpr std::wstring_view kLanguageOption = L"-l=";
constexpr std::wstring_view kFileListOption = L"-s=";

// The names in the offset list are those of the default language; the others live in a
// sibling directory named by their code. The index is the position in this table.
struct Language {
    const wchar_t* code;
    const char* fragment;
    const wchar_t* usage_name;
};
constexpr std::array<Language, 9> kLanguages = {{
    {L"us", "/us/", L"English (default)"},
    {L"de", "/de/", L"German"},
    {L"es", "/es/", L"Spanish"},
    {L"fr", "/fr/", L"French"},
    {L"it", "/it/", L"Italian"},
    {L"in", "/in/", L"Japanese"},
    {L"kr", "/kr/", L"Korean"},
    {L"ch", "/ch/", L"Chinese (simplified)"},
    {L"cn", "/cn/", L"Chinese (traditional)"},
}};
constexpr std::string_view kDefaultFragment = "/us/";  // the names of the offset list are the default language's
static_assert(kDefaultFragment == kLanguages[0].fragment);

bool has_prefix(const std::wstring& arg, std::wstring_view prefix)
{
    return arg.size() >= prefix.size() && std::wstring_view(arg).substr(0, prefix.size()) == prefix;
}

// "us" and unknown codes leave the index as it was, without a word.
void select_language(std::wstring_view code, int& language)
{
    if (code.size() != 2) return;
    for (std::size_t i = 1; i < kLanguages.size(); ++i) {
        if (code == kLanguages[i].code) {
            language = static_cast<int>(i);
            return;
        }
    }
}

// Returns the usage message when the arguments are not acceptable.
std::optional<std::wstring> parse_arguments(const std::vector<std::wstring>& args, Settings& settings)
{
    if (!argument_count_allowed(args.size())) return L"Invalid parameters";
    int paths = 0;
    for (const std::wstring& arg : args) {
        if (has_prefix(arg, kLanguageOption)) {
            select_language(std::wstring_view(arg).substr(kLanguageOption.size()), settings.language);
        } else if (has_prefix(arg, kFileListOption)) {
            settings.file_list = arg.substr(kFileListOption.size());
        } else {
            switch (paths++) {
            case 0: settings.table = arg; break;
            case 1: settings.offsets = arg; break;
            case 2: settings.dir = arg; break;
            default: return L"Too many paths specified";
            }
        }
    }
    return std::nullopt;
}

// Replaces every "/us/", left to right and without overlap.
std::string rewrite_language(std::string name, int language)
{
    if (language == 0) return name;
    const std::string_view fragment = kLanguages[static_cast<std::size_t>(language)].fragment;
    for (std::size_t at = name.find(kDefaultFragment); at != std::string::npos;
         at = name.find(kDefaultFragment, at + fragment.size())) {
        name.replace(at, kDefaultFragment.size(), fragment);
    }
    return name;
}

void check_directory(const std::wstring& dir)
{
    const PathKind kind = path_kind_or_nothing(dir);
    if (kind == PathKind::not_found) {
        // The closing quote really does come after the words; scripts may match this text.
        throw wruntime_error(L"Directory \"" + dir + L" doesn't exist\"");
    }
    if (kind != PathKind::directory) {
        throw wruntime_error(dir + L" is a file, not a directory!");
    }
}

// The listed file's size, or nothing when there is no regular file to measure. A name
// holding a NUL byte names no valid file: the system would see only the part before it.
std::optional<std::uintmax_t> listed_file_size(const std::string& name, const std::wstring& path)
{
    if (name.find('\0') != std::string::npos) return std::nullopt;
    if (path_kind(path, "status") != PathKind::regular) return std::nullopt;
    return file_size(path);
}

}  // namespace

bool argument_count_allowed(std::size_t count) { return count >= kMinArguments && count <= kMaxArguments; }

void print_usage(std::wstring_view message)
{
    if (!message.empty()) {
        console::out(message);
        console::out(L"");
    }
    console::out(L"Usage: tarvo-size table offsets dir");
    console::out(L"Options:");
    console::out(L"\t-s=path\t\tpath to file list to change (only replace mode)");
    console::out(L"\t-l=lang\t\tuse tables for language 'lang'");
    for (const Language& language : kLanguages) {
        console::out(std::wstring(L"\t\t") + language.code + L"\t" + language.usage_name);
    }
    console::out(L"");
}

int usage_error(std::wstring_view message)
{
    print_usage(message);
    return kFailure;
}

void patch_sizes(const Settings& settings)
{
    std::wstring dir = settings.dir;
    trim_trailing_separators(dir);
    check_directory(dir);

    File table(settings.table, File::Mode::read_write);
    if (!table.is_open()) throw wruntime_error(quoted(L"Cannot open input file ", settings.table));
    // The table never grows: a patch must land wholly inside what is there now.
    const std::uint64_t table_length = table.length();

    File offsets = open_for_reading(settings.offsets);
    if (!offsets.is_open()) throw wruntime_error(quoted(L"Cannot open input file ", settings.offsets));

    FileList file_list;
    if (!settings.file_list.empty()) file_list = read_file_list(settings.file_list);

    LineReader reader(offsets, LineReader::Mode::text);
    std::string line;
    while (reader.next(line)) {
        const std::optional<OffsetEntry> entry = match_offset_line(line);
        if (!entry) continue;

        const std::string name = rewrite_language(entry->name, settings.language);
        const std::wstring wide_name = from_utf8(name);
        const std::wstring path = dir + L"/" + wide_name;
        if (!passes(file_list, name)) continue;

        // Missing files are skipped before their offset is even looked at.
        const std::optional<std::uintmax_t> file_size = listed_file_size(name, path);
        if (!file_size) continue;
        const auto size = static_cast<std::uint32_t>(*file_size);  // files of 4 GiB and more wrap

        const OffsetValue offset = convert_offset(entry->offset_text);
        if (offset.status == OffsetStatus::no_number) {
            console::err(L"Conversion impossible, skipping");
            continue;
        }
        if (offset.status == OffsetStatus::too_big) {
            console::err(L"Converted number too big, skipping");
            continue;
        }
        if (static_cast<std::uint64_t>(offset.offset) + kSizeBytes > table_length) {
            console::err(L"Offset out of range, skipping");
            continue;
        }

        std::array<std::uint8_t, kSizeBytes> bytes{};
        put_le<std::uint32_t>(bytes.data(), size);
        table.seek(offset.offset);
        table.write(bytes);
        // Reported only once the system has the bytes, so a failed write is never "Patched".
        table.flush();
        console::out(quoted(L"Patched ", wide_name) + L", new size: " + std::to_wstring(size));
    }
    table.close();
}

int run_size_patcher(const std::vector<std::wstring>& args)
{
    Settings settings;
    if (const std::optional<std::wstring> message = parse_arguments(args, settings)) {
        return usage_error(*message);
    }
    return console::run_reporting_errors(
        [&] {
            patch_sizes(settings);
            console::out(L"Done!");
            return kSuccess;
        },
        kFailure, kUnknownError);
}

}  // namespace tarvo::size
