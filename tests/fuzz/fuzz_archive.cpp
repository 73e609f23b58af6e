// Fuzzing the archive reader and a full unpack: the input is an archive image, read as metadata
// and then unpacked into a fresh directory. Beyond crashes, leaks and sanitizer reports:
// - an image the reader refuses, the unpack refuses as "Invalid input file format";
// - a successful unpack wrote exactly the selected entries' files (the later of two with the same
//   path wins) with the content an independent decoding gives, and nothing outside its directory;
// - the unpack on the worker pool prints, writes and fails as the one that goes entry by entry.
// Entries may share stored blocks, so a consistent archive of a few kilobytes can ask for hundreds
// of megabytes of output; such an archive is read and checked but not unpacked.
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/text.hpp"
#include "qar/base/pattern_list.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/format/unpack.hpp"
#include "tests/fuzz/fuzz_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace fmt = qar::format;
using tarvo::fuzz::finding;

constexpr std::uint64_t kMaxUnpackedBytes = 64ull << 20;  // declared output of one unpacked input

// An entry's content decoded straight from the image, or nothing when the image can't supply it
// (data beyond the end, a block that doesn't inflate to its raw length, a raw block of another).
std::optional<std::string> decode_entry(std::string_view image, const fmt::ArchiveMetadata& metadata, std::size_t i)
{
    const fmt::FileEntry& entry = metadata.entries[i];
    const auto blocks = metadata.blocks_of(i);
    std::string content, inflated(fmt::kBlockSize, '\0');
    std::uint64_t at = entry.data_offset;
    for (std::uint32_t j = 0; j < blocks.size(); ++j) {
        const std::uint64_t stored = fmt::stored_length(blocks[j]), raw = fmt::raw_block_length(entry.size, j);
        if (at > image.size() || stored > image.size() - at) return std::nullopt;
        const std::string_view bytes = image.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(stored));
        at += stored;
        if (fmt::is_raw_block(entry, j, blocks[j])) {
            if (stored != raw) return std::nullopt;
            content.append(bytes);
            continue;
        }
        uLongf length = static_cast<uLongf>(inflated.size());
        if (uncompress(reinterpret_cast<Bytef*>(inflated.data()), &length, reinterpret_cast<const Bytef*>(bytes.data()),
                       static_cast<uLong>(bytes.size())) != Z_OK || length != raw)
            return std::nullopt;
        content.append(inflated, 0, length);
    }
    return content;
}

std::string read_whole(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What a successful unpack must have left: every path the selected entries name, with the
// content of the last one. The list "*" selects names "." matches throughout: no line terminator.
void check_unpacked(std::string_view image, const fmt::ArchiveMetadata& metadata, bool all_selected, const fs::path& out)
{
    std::map<fs::path, std::size_t> last_entry_at;
    for (std::size_t i = 0; i < metadata.entries.size(); ++i) {
        const std::string_view name = metadata.name_bytes(i);
        if (!all_selected) {  // the names of a successful unpack are UTF-8: it converted each
            const std::wstring wide = tarvo::from_utf8(name);
            if (wide.empty() || wide.find_first_of(L"\n\r\u2028\u2029") != std::wstring::npos) continue;
        }
        last_entry_at[fs::path(std::string(name)).lexically_normal()] = i;
    }
    std::size_t files = 0;
    for (const fs::directory_entry& item : fs::recursive_directory_iterator(out)) {
        if (item.is_symlink()) finding("the unpack made a symbolic link");
        files += item.is_regular_file();
    }
    if (files != last_entry_at.size()) finding("the unpack wrote other files than the entries name");
    for (const auto& [relative, i] : last_entry_at) {
        const std::optional<std::string> expected = decode_entry(image, metadata, i);
        if (!expected) finding("the unpack reported success for an entry whose data can't be decoded");
        if (!fs::is_regular_file(out / relative)) finding("an entry of a successful unpack has no file");
        if (read_whole(out / relative) != *expected) finding("an unpacked file differs from the entry's content");
    }
}

// One unpack: its failure and printed lines with the output directory as "OUT", and every file
// and directory below that directory (content, or "<dir>").
struct UnpackRun {
    bool succeeded = false;
    std::wstring failure;
    std::wstring lines;
    std::map<std::string, std::string> tree;
};

UnpackRun run_unpack(const std::wstring& archive_path, const fs::path& out, const std::wstring& patterns, qar::WorkerPool* pool)
{
    UnpackRun run;
    const std::wstring out_text = tarvo::from_fs_path(out);
    {
        tarvo::console::Capture capture;  // the progress lines of every run would flood the log
        qar::WorkerPool no_workers(0);
        try {
            fmt::unpack_archive(archive_path, out_text, patterns, pool != nullptr ? *pool : no_workers);
            run.succeeded = true;
        } catch (const tarvo::wruntime_error& error) {
            run.failure = error.message();
        } catch (const std::runtime_error& error) {
            run.failure = tarvo::widen_bytes(error.what());  // names that aren't UTF-8, file-system refusals: results
        }
        run.lines = capture.out + capture.err;
    }
    qar::replace_all(run.failure, out_text, L"OUT");
    qar::replace_all(run.failure, tarvo::widen_bytes(out.native()), L"OUT");
    qar::replace_all(run.lines, out_text, L"OUT");
    if (fs::exists(out))
        for (const fs::directory_entry& item : fs::recursive_directory_iterator(out))
            run.tree[item.path().lexically_relative(out).native()] = item.is_directory() ? std::string("<dir>") : read_whole(item.path());
    return run;
}

// The same paths with the same contents, except the file whose data failed to decode: the two
// ways flush at other points, but keep only bytes decoded in full, so one part starts the other.
bool same_files(const UnpackRun& a, const UnpackRun& b)
{
    static const std::wstring kFailedFile = L"Problem decompressing file OUT/";
    std::string failed;
    if (a.failure.starts_with(kFailedFile))
        failed = fs::path(tarvo::to_utf8(a.failure.substr(kFailedFile.size()))).lexically_normal().native();
    if (a.tree.size() != b.tree.size()) return false;
    for (auto i = a.tree.begin(), j = b.tree.begin(); i != a.tree.end(); ++i, ++j) {
        if (i->first != j->first) return false;
        const auto& [shorter, longer] = std::minmax(i->second, j->second, [](const auto& x, const auto& y) { return x.size() < y.size(); });
        if (i->first == failed ? !longer.starts_with(shorter) : i->second != j->second) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const tarvo::fuzz::ScratchRoot scratch("archive");
    static qar::WorkerPool pool(2);
    const std::wstring archive_path = scratch.write_input("input.qar", data, size);
    const fs::path out = scratch.path() / "out", parallel_out = scratch.path() / "out_parallel";

    std::optional<fmt::ArchiveMetadata> metadata;
    {
        tarvo::File archive(archive_path, tarvo::File::Mode::read);
        if (!archive.is_open()) finding("the input file doesn't open");
        try {
            metadata = fmt::read_metadata(archive);
        } catch (const fmt::MalformedArchive&) {
        }
    }
    std::uint64_t declared = 0;
    if (metadata) {
        // Every name and block range the reader vouched for lies inside its tables; reading them
        // lets the sanitizers see any access outside.
        if (metadata->archive_length != size) finding("the archive length is not the input's length");
        const auto* names_end = reinterpret_cast<const char*>(metadata->names.data() + metadata->names.size());
        for (std::size_t i = 0; i < metadata->entries.size(); ++i) {
            const std::string_view name = metadata->name_bytes(i);
            if (name.data() + name.size() >= names_end) finding("a name runs to the end of the names area");
            const auto blocks = metadata->blocks_of(i);
            if (blocks.size() != fmt::block_count_u64(metadata->entries[i].size)) finding("an entry lost blocks");
            if (!blocks.empty() && &blocks.back() > &metadata->block_table.back()) finding("blocks outside the table");
            declared += std::min(metadata->entries[i].size, kMaxUnpackedBytes + 1);
        }
    }
    if (declared > kMaxUnpackedBytes) return 0;

    // The input's length chooses the variant: odd lengths are unpacked with the extract list "*";
    // every other pair of lengths also on the pool (slower, its buffers are large).
    const bool all_selected = size % 2 == 0, compare_parallel = (size / 2) % 2 == 1;
    const std::wstring patterns = all_selected ? L"" : L"*";
    const UnpackRun one_by_one = run_unpack(archive_path, out, patterns, nullptr);
    if (!metadata && one_by_one.failure != L"Invalid input file format") finding("a refused archive was not reported as an invalid format");
    if (one_by_one.succeeded) check_unpacked(tarvo::fuzz::as_text(data, size), *metadata, all_selected, out);
    if (compare_parallel) {
        const UnpackRun parallel = run_unpack(archive_path, parallel_out, patterns, &pool);
        if (parallel.succeeded != one_by_one.succeeded || parallel.failure != one_by_one.failure)
            finding("the parallel unpack failed otherwise than the one-by-one unpack");
        if (parallel.lines != one_by_one.lines) finding("the parallel unpack printed other lines");
        if (!same_files(one_by_one, parallel)) finding("the parallel unpack left other files");
    }
    for (const fs::directory_entry& item : fs::directory_iterator(scratch.path()))
        if (item.path() != out && item.path() != parallel_out && item.path().filename() != "input.qar")
            finding("the unpack wrote outside its output directory");
    fs::remove_all(out);
    fs::remove_all(parallel_out);
    return 0;
}
