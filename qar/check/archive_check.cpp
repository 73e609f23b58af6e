// Checking an archive from its lock to its verdict, reading only: nothing is ever written.
#include "qar/check/archive_check.hpp"

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "common/byte_order.hpp"
#include "common/console.hpp"
#include "common/error.hpp"
#include "common/file_lock.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/base/pattern_list.hpp"
#include "qar/base/source_tree.hpp"
#include "qar/format/block_reader.hpp"
#include "qar/format/journal.hpp"
#include "qar/format/md5.hpp"
#include "qar/format/name_clash.hpp"
#include "qar/format/own_files.hpp"
#include "qar/base/safe_name.hpp"
#include "qar/format/extra_file.hpp"

namespace qar::check {
namespace {

using format::ArchiveMetadata;
using format::BlockJob;
using format::BlockVerdict;
using std::to_wstring;


// Prints each problem as it is found and the verdict at the end.
class Problems {
public:
    void add(const std::wstring& text)
    {
        tarvo::console::out(L"Problem: " + text);
        ++count_;
    }
    int verdict() const
    {
        if (count_ == 0) {
            tarvo::console::out(L"OK");
            return kSound;
        }
        tarvo::console::out(to_wstring(count_) + (count_ == 1 ? L" problem found" : L" problems found"));
        return kDamaged;
    }

private:
    std::size_t count_ = 0;
};

// One entry that the check looks at.
struct Item {
    std::size_t entry = 0;  // in the entry table
    std::wstring name;
    bool utf8 = true;         // the name converts; otherwise `name` shows its bytes
    std::uint64_t stored = 0;
    bool inside = true;       // its data lies in front of the trailer
    std::wstring loose_path;  // -d=: the file of its name
    bool loose_differs = false;
    std::vector<std::wstring> unpack_problems;  // why an unpack here or on Windows would refuse it
};

std::wstring quote(std::wstring_view text) { return tarvo::quoted(L"", text); }

std::wstring percent(std::uint64_t part, std::uint64_t whole)
{
    // Nothing stored of nothing is all of it.
    const float value = whole == 0 ? 100.0f : static_cast<float>(part) / static_cast<float>(whole) * 100.0f;
    std::wostringstream text;
    text << std::fixed << std::setprecision(2) << value << L'%';
    return text.str();
}

std::wstring display_name(const ArchiveMetadata& metadata, std::size_t i, bool* utf8 = nullptr)
{
    try {
        return tarvo::from_utf8(metadata.name_bytes(i));
    } catch (const std::range_error&) {
        if (utf8 != nullptr) *utf8 = false;
        return tarvo::widen_bytes(metadata.name_bytes(i));
    }
}

std::optional<std::wstring> journal_problem(const format::JournalInspection& inspection)
{
    const std::wstring journal = quote(inspection.journal);
    switch (inspection.finding) {
    case format::JournalFinding::none:
        break;
    case format::JournalFinding::pending:
        return L"interrupted update pending in " + journal + L" (the next tarvo-qar -u, -r or -a restores the archive)";
    case format::JournalFinding::damaged:
        return L"damaged journal " + journal;
    case format::JournalFinding::foreign:
        return L"journal " + journal + L" belongs to another archive";
    case format::JournalFinding::missing:
        return L"interrupted update of this archive, journal " + journal + L" is missing";
    }
    return std::nullopt;
}

std::optional<PatternExpression> pattern_of(const std::wstring& text)
{
    std::vector<std::wstring> items;
    split_list(text, L';', items);
    if (items.empty()) return std::nullopt;
    return compile_pattern_expression(build_pattern_expression(items));
}

// The files below the directory that an update from it would take, as -a scans them.
FileSizeMap scan_directory(const std::wstring& directory, const std::wstring& archive_path,
                                   const std::optional<PatternExpression>& filter)
{
    if (tarvo::path_kind(directory, "status") != tarvo::PathKind::directory)
        throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input directory ", directory));
    FileSizeMap files;
    scan_source_tree(directory, files, directory.size(), {});
    const std::optional<PatternExpression> ignore = pattern_of(kDefaultIgnorePatterns);
    const format::OwnFiles own = format::own_files_of(archive_path);
    // An update never writes a loose qar_extra.bin, nor the archive and its journal.
    std::erase_if(files, [&](const auto& file) {
        return matches(file.first, *ignore) || file.first == format::kExtraFileNameWide ||
               (filter && !matches(file.first, *filter)) ||
               format::is_own_file(own, tarvo::join_archive_name(directory, file.first));
    });
    return files;
}

void check_trailer(tarvo::File& archive, const ArchiveMetadata& metadata, std::uint64_t tables_end,
                   std::vector<std::wstring>& found)
{
    const std::uint64_t claimed = metadata.header.metadata_size;
    if (claimed != tables_end)
        found.push_back(L"the header gives metadata_size " + to_wstring(claimed) + L", the tables take " +
                        to_wstring(tables_end) + L" bytes");
    // Tables that claim to pass the trailer can't have its digest.
    const bool sound = claimed <= metadata.archive_length - format::kTrailerSize &&
                       format::tables_digest(archive, claimed) == metadata.trailer;
    if (!sound) found.push_back(L"the trailer digest does not match the tables");
}

// The extra file of an updated archive; its image when the header holds up, for its records.
std::optional<format::ExtraFile> check_extra_file(tarvo::File& archive, const ArchiveMetadata& metadata,
                                                  std::size_t index, std::uint64_t tables_end,
                                                  std::vector<std::wstring>& found)
{
    const std::wstring about = std::wstring(format::kExtraFileNameWide) + L": ";
    const format::FileEntry& entry = metadata.entries[index];
    if (!format::stored_in_one_piece(entry, metadata.blocks_of(index))) {
        found.push_back(about + L"it is not " + to_wstring(format::kExtraFileSize) + L" bytes stored in one piece");
        return std::nullopt;
    }
    const std::uint64_t data_limit = metadata.archive_length - format::kTrailerSize;
    if (entry.data_offset > data_limit || format::kExtraFileSize > data_limit - entry.data_offset) return std::nullopt;  // its entry's problem
    std::vector<std::uint8_t> image(format::kExtraFileSize);
    archive.seek(entry.data_offset);
    archive.read_all(image.data(), image.size());
    format::ExtraFile extra(std::move(image));
    if (!extra.has_signature()) {
        found.push_back(about + L"the signature is not QARE");
        return std::nullopt;
    }
    if (extra.version() != format::kExtraFileVersion) {
        found.push_back(about + L"version " + to_wstring(extra.version()) + L" is not 1");
        return std::nullopt;
    }
    if (extra.record_count() > format::kMaxRegionRecords) {
        found.push_back(about + to_wstring(extra.record_count()) + L" records do not fit in its table of " +
                        to_wstring(format::kMaxRegionRecords));
        return std::nullopt;
    }
    if (extra.reserve_end() < tables_end) found.push_back(about + L"the reserve ends inside the tables");

    // Every entry's data in archive order; no two overlap, the reader made sure.
    struct Span {
        std::uint64_t begin, end;
        std::size_t entry;
    };
    std::vector<Span> spans;
    for (std::size_t i = 0; i < metadata.entries.size(); ++i) {
        const std::uint64_t stored = format::stored_total(metadata.blocks_of(i));
        const std::uint64_t begin = metadata.entries[i].data_offset;
        if (stored != 0) spans.push_back({begin, begin > ~stored ? ~std::uint64_t{0} : begin + stored, i});
    }
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    for (std::size_t r = 0; r < extra.record_count(); ++r) {
        const format::RegionRecord record = extra.record(r);
        const std::wstring which = about + L"record " + to_wstring(r);
        if (record.offset < tables_end) {
            found.push_back(which + L" starts inside the tables");
        } else if (record.offset > data_limit || record.capacity > data_limit - record.offset) {
            found.push_back(which + L" reaches past the end of the archive");
        } else {
            // The first data ending after the region starts, past the region's own entry.
            auto next = std::partition_point(spans.begin(), spans.end(), [&](const Span& s) { return s.end <= record.offset; });
            if (next != spans.end() && next->begin == record.offset) ++next;
            if (next != spans.end() && next->begin < record.offset + record.capacity)
                found.push_back(which + L" overlaps the data of " + quote(display_name(metadata, next->entry)));
        }
    }
    return extra;
}

// One row of the check's table, its columns right-aligned under the heading row.
std::wstring listing_row(const std::wstring& size, const std::wstring& stored, const std::wstring& ratio,
                         const std::wstring& offset, const std::wstring& room, const std::wstring& name)
{
    std::wostringstream line;
    line << std::setw(12) << size << L' ' << std::setw(12) << stored << L' ' << std::setw(7) << ratio << L' '
         << std::setw(14) << offset << L' ' << std::setw(12) << room << L"  " << name;
    return line.str();
}

// Where each region starts, with its capacity: the first record of an offset counts, as for the update.
std::unordered_map<std::uint64_t, std::uint64_t> regions_of(const std::optional<format::ExtraFile>& extra)
{
    std::unordered_map<std::uint64_t, std::uint64_t> regions;
    for (std::size_t r = 0; extra && r < extra->record_count(); ++r) regions.emplace(extra->record(r).offset, extra->record(r).capacity);
    return regions;
}

void print_listing(const ArchiveMetadata& metadata, const std::vector<Item>& items, const std::optional<format::ExtraFile>& extra)
{
    const auto regions = regions_of(extra);
    tarvo::console::out(listing_row(L"size", L"stored", L"ratio", L"offset", L"room", L"name"));
    for (const Item& item : items) {
        const format::FileEntry& entry = metadata.entries[item.entry];
        // An empty file has no room of its own: its offset is the next file's.
        std::uint64_t room = item.stored;
        const auto region = regions.find(entry.data_offset);
        if (entry.size != 0 && region != regions.end() && region->second != 0) room = region->second;
        tarvo::console::out(listing_row(to_wstring(entry.size), to_wstring(item.stored), percent(item.stored, entry.size),
                                        L"0x" + tarvo::to_hex(entry.data_offset), to_wstring(room), item.name));
    }
}

// The names an unpack on either platform refuses, and those that another name needs as a
// directory: the unpack stops at such a file, on Windows also where only the case differs.
void find_unpack_problems(const ArchiveMetadata& metadata, std::vector<Item>& items)
{
    format::NameTree exact(/*ignore_case=*/false), any_case(/*ignore_case=*/true);
    std::vector<std::size_t> placed;  // the items whose names are in the trees
    for (std::size_t k = 0; k < items.size(); ++k) {
        Item& item = items[k];
        if (!item.utf8) continue;  // reported as it is
        const NameRefusal refusal = name_refusal(item.name);
        if (refusal == NameRefusal::everywhere) {
            item.unpack_problems.push_back(quote(item.name) + L": unpack refuses this name");
            continue;
        }
        if (refusal == NameRefusal::on_windows)
            item.unpack_problems.push_back(quote(item.name) + L": unpack refuses this name on Windows");
        exact.add(metadata.name_bytes(item.entry), k);
        any_case.add(metadata.name_bytes(item.entry), k);
        placed.push_back(k);
    }
    for (const std::size_t k : placed) {
        const std::string_view name = metadata.name_bytes(items[k].entry);
        std::wstring where;
        std::optional<std::size_t> other = exact.name_below(name);
        if (!other) {
            other = any_case.name_below(name);
            where = L" on Windows";
        }
        if (other)
            items[k].unpack_problems.push_back(quote(items[k].name) + L": unpack can't write it" + where + L", " +
                                               quote(items[*other].name) + L" needs it as a directory");
    }
}

void print_entry_problems(const ArchiveMetadata& metadata, const Item& item, const BlockVerdict& verdict, Problems& problems)
{
    const std::wstring name = quote(item.name);
    if (!item.utf8) problems.add(name + L": the name is not UTF-8");
    for (const std::wstring& text : item.unpack_problems) problems.add(text);
    format::Digest digest{};
    format::MD5(metadata.name_bytes(item.entry)).get_digest(digest);
    if (digest != metadata.digests[item.entry]) problems.add(name + L": the name digest does not match the name");
    if (!item.inside) problems.add(name + L": its data reaches past the end of the archive");
    if (verdict.damaged_block) {
        const std::uint32_t raw = format::raw_block_length(metadata.entries[item.entry].size, *verdict.damaged_block);
        problems.add(name + L": block " + to_wstring(*verdict.damaged_block) + L" does not decode to its " + to_wstring(raw) + L" bytes");
    } else if (item.loose_differs || verdict.differs) {
        problems.add(name + L" from " + quote(item.loose_path) + L" differs from the archive");
    }
}

}  // namespace

int check_archive(const CheckOptions& options, WorkerPool& pool)
{
    const std::optional<PatternExpression> filter = pattern_of(options.extract_patterns);
    // Held to the end: no update changes the archive while it is read.
    const tarvo::FileLock lock = format::lock_for_checking(options.archive);
    tarvo::File archive(options.archive, tarvo::File::Mode::read);
    if (!archive.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", options.archive));
    Problems problems;
    std::vector<std::wstring> found;  // about the archive as a whole, printed after the summary
    // Before the magic: an archive in the middle of an update holds the update's mark there.
    const format::JournalInspection journal = format::inspect_journal(options.archive);
    if (std::optional<std::wstring> text = journal_problem(journal)) {
        if (journal.final) {
            problems.add(*text);
            return problems.verdict();
        }
        found.push_back(*text);
    }
    std::uint8_t magic[sizeof format::kMagic];
    if (!archive.read_exact(magic, sizeof magic) || tarvo::get_le<std::uint32_t>(magic) != format::kMagic)
        throw tarvo::wruntime_error(tarvo::quoted(L"File ", options.archive) + L" is not a QAR archive");
    std::wstring directory = options.directory;
    tarvo::trim_trailing_separators(directory);
    const FileSizeMap loose =
        directory.empty() ? FileSizeMap{} : scan_directory(directory, options.archive, filter);

    ArchiveMetadata metadata;
    try {
        metadata = format::read_metadata(archive);
    } catch (const format::MalformedArchive& e) {
        for (const std::wstring& text : found) problems.add(text);
        problems.add(L"the tables: " + tarvo::widen_bytes(e.what()));
        return problems.verdict();
    }
    const std::uint64_t tables_end =
        format::metadata_size_of(metadata.entries.size(), metadata.names.size(), metadata.block_table.size());
    const std::uint64_t data_limit = metadata.archive_length - format::kTrailerSize;
    check_trailer(archive, metadata, tables_end, found);

    std::vector<Item> items;
    std::optional<format::ExtraFile> extra;
    std::uint64_t first_data = data_limit, total_size = 0, total_stored = 0;
    for (std::size_t i = 0; i < metadata.entries.size(); ++i) {
        const format::FileEntry& entry = metadata.entries[i];
        const std::uint64_t stored = format::stored_total(metadata.blocks_of(i));
        if (stored != 0) first_data = std::min(first_data, entry.data_offset);
        if (metadata.name_bytes(i) == format::kExtraFileName && !extra)
            extra = check_extra_file(archive, metadata, i, tables_end, found);
        Item item{i, {}, true, stored, entry.data_offset <= data_limit && stored <= data_limit - entry.data_offset, {}, false, {}};
        item.name = display_name(metadata, i, &item.utf8);
        if (filter && !matches(item.name, *filter)) continue;
        total_size += entry.size;
        total_stored += stored;
        items.push_back(std::move(item));
    }

    tarvo::console::out(tarvo::quoted(L"Archive ", options.archive) + L": " + to_wstring(items.size()) + L" files, " +
                        to_wstring(total_size) + L" bytes, stored " + to_wstring(total_stored) + L" bytes (" +
                        percent(total_stored, total_size) + L")");
    if (extra)
        tarvo::console::out(L"Updated archive: " + to_wstring(extra->record_count()) + L" region records, " +
                            to_wstring(first_data - tables_end) + L" bytes of room left for growth");
    if (options.list) print_listing(metadata, items, extra);
    for (const std::wstring& text : found) problems.add(text);
    find_unpack_problems(metadata, items);

    // -d=: each file goes with the last entry of its name, the one an unpack leaves on disk.
    std::unordered_map<std::wstring, std::size_t> by_name;
    for (std::size_t k = 0; k < items.size(); ++k) by_name.insert_or_assign(items[k].name, k);
    std::vector<std::wstring> missing;
    for (const auto& [name, size] : loose) {
        const std::wstring path = tarvo::join_archive_name(directory, name);
        const auto match = by_name.find(name);
        if (match == by_name.end()) {
            // An update leaves a new name out when an unpack refuses it.
            if (name_refusal(name) != NameRefusal::none) continue;
            missing.push_back(quote(name) + L" from " + quote(path) + L" is missing from the archive");
            continue;
        }
        Item& item = items[match->second];
        item.loose_path = path;
        item.loose_differs = size != metadata.entries[item.entry].size;
    }

    std::vector<BlockJob> jobs;
    for (const Item& item : items) {
        if (item.stored == 0 || !item.inside) continue;
        jobs.push_back({item.entry, item.loose_differs ? std::wstring() : item.loose_path});
    }
    // Problems in table order: the entries without blocks to decode go out as the ones around them do.
    std::size_t next = 0;
    format::verify_blocks(archive, metadata, jobs, pool, [&](const BlockJob& job, const BlockVerdict& verdict) {
        for (; items[next].entry != job.entry; ++next) print_entry_problems(metadata, items[next], {}, problems);
        print_entry_problems(metadata, items[next++], verdict, problems);
    });
    for (; next < items.size(); ++next) print_entry_problems(metadata, items[next], {}, problems);
    for (const std::wstring& text : missing) problems.add(text);
    return problems.verdict();
}

}  // namespace qar::check
