// Recognising an archive's own files among the files a run reads or writes.
#include "qar/format/own_files.hpp"

#include <filesystem>
#include <string_view>

#include "common/error.hpp"
#include "common/platform.hpp"
#include "qar/format/journal.hpp"

namespace qar::format {
namespace {

// Where each file stands in the arrays of OwnFiles.
constexpr std::size_t kArchive = 0;
constexpr std::size_t kJournal = 1;
constexpr std::size_t kTemporary = 2;

std::wstring last_component(const std::wstring& path)
{
    return tarvo::from_fs_path(tarvo::to_fs_path(path).filename());
}

std::wstring directory_of(const std::wstring& path)
{
    const std::filesystem::path parent = tarvo::to_fs_path(path).parent_path();
    return parent.empty() ? L"." : tarvo::from_fs_path(parent);
}

bool bears_own_name(const OwnFiles& own, std::wstring_view name, std::size_t first)
{
    for (std::size_t k = first; k < OwnFiles::kCount; ++k) {
        if (tarvo::same_file_name(name, own.names[k])) return true;
    }
    return false;
}

}  // namespace

OwnFiles own_files_of(const std::wstring& archive_path)
{
    OwnFiles own;
    own.paths = {archive_path, journal_path(archive_path), journal_temporary_path(archive_path)};
    for (std::size_t k = 0; k < OwnFiles::kCount; ++k) {
        own.names[k] = last_component(own.paths[k]);
        own.identities[k] = tarvo::file_identity(own.paths[k]);
    }
    // The journal stands beside the file that the archive path leads to.
    own.directory = tarvo::file_identity(directory_of(own.paths[kJournal]));
    return own;
}

bool is_own_file(const OwnFiles& own, const std::wstring& path)
{
    if (!bears_own_name(own, last_component(path), kArchive)) return false;
    const std::optional<tarvo::FileIdentity> identity = tarvo::file_identity(path);
    if (!identity) return false;
    for (const std::optional<tarvo::FileIdentity>& candidate : own.identities) {
        if (candidate == identity) return true;
    }
    return false;
}

void require_outputs_apart(const OwnFiles& own, const std::wstring& output_dir, std::span<const SelectedEntry> selection)
{
    for (const SelectedEntry& selected : selection) {
        const std::wstring& name = selected.name;
        const std::wstring output = tarvo::join_archive_name(output_dir, name);
        if (own.identities[kArchive] && tarvo::file_identity(output) == own.identities[kArchive]) {
            throw tarvo::wruntime_error(tarvo::quoted(L"Archive entry ", name) +
                                        tarvo::quoted(L" would overwrite the archive ", own.paths[kArchive]));
        }
        // A journal that doesn't exist yet may be written by the next update: an output under its
        // name beside the archive would be taken for the archive's journal and applied to it.
        const std::size_t last = name.find_last_of(L"/\\");
        const std::wstring_view file_name = std::wstring_view(name).substr(last == std::wstring::npos ? 0 : last + 1);
        if (!bears_own_name(own, file_name, kJournal)) continue;
        const std::wstring parent =
            last == std::wstring::npos ? output_dir : tarvo::join_archive_name(output_dir, name.substr(0, last));
        if (!own.directory || tarvo::file_identity(parent) != own.directory) continue;
        const std::wstring& journal = own.paths[tarvo::same_file_name(file_name, own.names[kJournal]) ? kJournal : kTemporary];
        throw tarvo::wruntime_error(tarvo::quoted(L"Archive entry ", name) + tarvo::quoted(L" would overwrite the journal ", journal));
    }
}

}  // namespace qar::format
