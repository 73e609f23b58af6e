// Fuzzing the archive reader and a full unpack of the input. Beyond crashes and sanitizer reports:
// an image the reader refuses is reported as "Invalid input file format"; a successful unpack
// wrote exactly the entries' files (the later of two with one path wins) with the content their
// blocks decode to; the pool's unpack prints, writes and fails as the one without workers; nothing
// lands outside the output directory. Entries may share stored blocks: an archive that asks for
// too much output is only read.
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
#include "qar/format/block_reader.hpp"
#include "qar/unpack/unpack_mode.hpp"
#include "tests/fuzz/fuzz_support.hpp"

namespace {

namespace fs = std::filesystem;
namespace fmt = qar::format;
using tarvo::fuzz::finding;

constexpr std::uint64_t kMaxUnpackedBytes = 64ull << 20;  // declared output of one unpacked input

// An entry's content decoded from its blocks in the image; nothing if they lie past it or are damaged.
std::optional<std::string> decode_entry(std::string_view image, const fmt::ArchiveMetadata& metadata, std::size_t i)
{
    const fmt::FileEntry& entry = metadata.entries[i];
    const auto blocks = metadata.blocks_of(i);
    std::string content(static_cast<std::size_t>(entry.size), '\0');
    std::uint64_t at = entry.data_offset;
    for (std::uint32_t j = 0; j < blocks.size(); ++j) {
        const std::uint64_t stored = fmt::stored_length(blocks[j]);
        if (at > image.size() || stored > image.size() - at ||
            !fmt::decode_block(entry, j, blocks[j], reinterpret_cast<const std::uint8_t*>(image.data() + at),
                               reinterpret_cast<std::uint8_t*>(content.data() + j * fmt::kBlockSize)))
            return std::nullopt;
        at += stored;
    }
    return content;
}

// One unpack: its failure (empty if it succeeded) and printed lines, the output directory as
// "OUT", and what lies below that directory (files with their content, directories with a "/").
struct UnpackRun {
    std::wstring failure;
    std::wstring lines;
    std::map<std::string, std::string> tree;
};

UnpackRun run_unpack(const std::wstring& archive_path, const fs::path& out, qar::WorkerPool& pool)
{
    UnpackRun run;
    const std::wstring out_text = tarvo::from_fs_path(out);
    {
        tarvo::console::Capture capture;  // the progress lines of every run would flood the log
        try {
            qar::unpack::unpack_archive(archive_path, out_text, L"", pool);
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
    if (!fs::exists(out)) return run;
    for (const fs::directory_entry& item : fs::recursive_directory_iterator(out)) {
        const std::string relative = item.path().lexically_relative(out).native();
        if (item.is_directory()) {
            run.tree[relative + "/"];
        } else {
            std::ifstream in(item.path(), std::ios::binary);
            run.tree[relative] = std::string(std::istreambuf_iterator<char>(in), {});
        }
    }
    return run;
}

// A successful unpack left every path the entries name, with the content of the last one.
void check_unpacked(std::string_view image, const fmt::ArchiveMetadata& metadata, const UnpackRun& run)
{
    std::map<std::string, std::size_t> last_entry_at;
    for (std::size_t i = 0; i < metadata.entries.size(); ++i)
        last_entry_at[fs::path(std::string(metadata.name_bytes(i))).lexically_normal().native()] = i;
    const auto files = std::count_if(run.tree.begin(), run.tree.end(), [](const auto& item) { return !item.first.ends_with('/'); });
    if (static_cast<std::size_t>(files) != last_entry_at.size()) finding("the unpack wrote other files than the entries name");
    for (const auto& [relative, i] : last_entry_at) {
        const auto file = run.tree.find(relative);
        if (file == run.tree.end() || file->second != decode_entry(image, metadata, i))
            finding("an entry of a successful unpack has no file or one with other content than its blocks");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const tarvo::fuzz::ScratchRoot scratch("archive");
    static qar::WorkerPool pool(2);
    static qar::WorkerPool no_workers(0);
    const std::string_view image = tarvo::fuzz::as_text(data, size);
    const std::wstring archive_path = scratch.write_input("input.qar", image);
    const fs::path out = scratch.path / "out", parallel_out = scratch.path / "out_parallel";

    std::optional<fmt::ArchiveMetadata> metadata;
    try {
        tarvo::File archive(archive_path, tarvo::File::Mode::read);
        metadata = fmt::read_metadata(archive);
    } catch (const fmt::MalformedArchive&) {
    }
    std::uint64_t declared = 0;
    if (metadata) {
        // Every name the reader vouched for ends inside the names area (the unpack reads them).
        if (metadata->archive_length != size) finding("the archive length is not the input's length");
        const auto* names_end = reinterpret_cast<const char*>(metadata->names.data() + metadata->names.size());
        for (std::size_t i = 0; i < metadata->entries.size(); ++i) {
            const std::string_view name = metadata->name_bytes(i);
            if (name.data() + name.size() >= names_end) finding("a name runs to the end of the names area");
            declared += std::min(metadata->entries[i].size, kMaxUnpackedBytes + 1);
        }
    }
    if (declared > kMaxUnpackedBytes) return 0;

    const UnpackRun serial = run_unpack(archive_path, out, no_workers);
    if (!metadata && serial.failure != L"Invalid input file format") finding("a refused archive was not reported as an invalid format");
    if (serial.failure.empty()) check_unpacked(image, *metadata, serial);
    if (size % 2 == 1) {  // odd lengths also on the pool: slower, its buffers are large
        const UnpackRun parallel = run_unpack(archive_path, parallel_out, pool);
        if (parallel.failure != serial.failure || parallel.lines != serial.lines || parallel.tree != serial.tree)
            finding("the parallel unpack failed, printed or wrote otherwise than the unpack without workers");
    }
    for (const fs::directory_entry& item : fs::directory_iterator(scratch.path))
        if (item.path() != out && item.path() != parallel_out && item.path().filename() != "input.qar")
            finding("the unpack wrote outside its output directory");
    fs::remove_all(out);
    fs::remove_all(parallel_out);
    return 0;
}
