// Writing, checking, applying and discarding the rollback journal of an update; the locks.
#include "qar/format/journal.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <system_error>

#include "common/byte_order.hpp"
#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/format/md5.hpp"

namespace qar::format {
namespace {

using tarvo::FileLock;

constexpr std::array<std::uint8_t, 4> kJournalMagic{'Q', 'A', 'R', 'J'};
constexpr std::uint32_t kJournalVersion = 3;          // version 2 knew its archive by file identity
constexpr std::uint32_t kIdentityJournalVersion = 2;  // still recovered, by its own rule
constexpr std::size_t kJournalHeaderSize = 32;  // magic, version, original length, id and 4 zero bytes (or device, index)
constexpr std::size_t kVersionEnd = 8;          // the magic and the version
constexpr std::size_t kIdOffset = 16;           // in the header, after the original length
constexpr std::size_t kRecordHeaderSize = 16;   // offset, length
constexpr std::size_t kSealCountSize = 8;       // the number of records
constexpr std::size_t kSealSize = 12;           // record count, CRC-32 of everything before the CRC
constexpr std::size_t kCopyChunk = 1 << 20;     // saved bytes move through this much memory at a time

// The mark stands where the archive's header stood, so no run takes the archive for a QAR archive
// while it is half written.
static_assert(kMarkMagic.size() + kUpdateIdSize == kHeaderSize);
static_assert(kIdOffset + kUpdateIdSize + 4 == kJournalHeaderSize);
using HeaderBytes = std::array<std::uint8_t, kHeaderSize>;

// Memory for moving saved bytes, as large as the largest piece asked for so far: most
// journals hold a few kilobytes, and none needs more than kCopyChunk at a time.
class CopyBuffer {
public:
    // Reads `length` bytes from the stream's position, piece by piece, and hands each piece
    // to on_piece with where it starts in the stretch; a short read throws like read_all().
    template <typename OnPiece>
    void read(tarvo::File& from, std::uint64_t length, OnPiece on_piece)
    {
        for (std::uint64_t done = 0; done < length;) {
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, length - done));
            if (piece > capacity_) {
                data_ = std::make_unique_for_overwrite<std::uint8_t[]>(piece);
                capacity_ = piece;
            }
            from.read_all(data_.get(), piece);
            on_piece(data_.get(), piece, done);
            done += piece;
        }
    }

private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t capacity_ = 0;
};

std::uint32_t crc_of(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    return static_cast<std::uint32_t>(crc32(crc, data, static_cast<uInt>(size)));
}

std::wstring temporary_path_of(const std::wstring& archive_path) { return journal_path(archive_path) + L".tmp"; }

bool exists(const std::wstring& path) { return tarvo::path_kind(path, "status") != tarvo::PathKind::not_found; }

void remove_file(const std::wstring& path)
{
    if (!tarvo::remove_file(path)) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot remove file ", path));
}

std::wstring cannot_recover(const std::wstring& archive_path)
{
    return tarvo::quoted(L"Cannot recover interrupted update of ", archive_path);
}

tarvo::wruntime_error belongs_elsewhere(const std::wstring& archive, const std::wstring& journal)
{
    return tarvo::wruntime_error(cannot_recover(archive) + tarvo::quoted(L": journal ", journal) + L" belongs to another archive");
}

UpdateId random_update_id()
{
    std::random_device source;
    UpdateId id{};
    for (std::size_t i = 0; i < id.size(); i += sizeof(std::uint32_t)) tarvo::put_le<std::uint32_t>(id.data() + i, source());
    return id;
}

// One record of a journal that has been checked: where its bytes go and where they lie.
struct SavedRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint64_t journal_position = 0;  // of the first saved byte
};

struct CheckedJournal {
    std::uint32_t version = kJournalVersion;
    std::uint64_t original_length = 0;
    UpdateId id{};                 // version 3
    tarvo::FileIdentity archive;   // version 2
    std::vector<SavedRange> ranges;  // in journal order
};

// Reads the whole journal and checks every part of it, the seal last; throws the damaged
// message for anything short of a whole journal of a version this build applies.
CheckedJournal check_journal(tarvo::File& journal, const std::wstring& archive_path)
{
    const auto damaged = [&] {
        return tarvo::wruntime_error(cannot_recover(archive_path) + tarvo::quoted(L": damaged journal ", journal.path()));
    };
    const std::uint64_t journal_length = journal.length();
    if (journal_length < kJournalHeaderSize + kSealSize) throw damaged();
    const std::uint64_t seal_position = journal_length - kSealSize;

    std::array<std::uint8_t, kJournalHeaderSize> header{};
    if (!journal.read_exact(header.data(), header.size())) throw damaged();
    CheckedJournal checked;
    checked.version = tarvo::get_le<std::uint32_t>(header.data() + 4);
    if (!std::equal(kJournalMagic.begin(), kJournalMagic.end(), header.begin()) ||
        (checked.version != kJournalVersion && checked.version != kIdentityJournalVersion))
        throw damaged();
    if (checked.version == kJournalVersion &&
        std::any_of(header.begin() + kIdOffset + kUpdateIdSize, header.end(), [](std::uint8_t b) { return b != 0; }))
        throw damaged();
    std::uint32_t crc = crc_of(0, header.data(), header.size());
    checked.original_length = tarvo::get_le<std::uint64_t>(header.data() + 8);
    std::copy_n(header.begin() + kIdOffset, kUpdateIdSize, checked.id.begin());
    checked.archive = {tarvo::get_le<std::uint64_t>(header.data() + 16), tarvo::get_le<std::uint64_t>(header.data() + 24)};

    std::uint64_t position = kJournalHeaderSize;
    CopyBuffer chunk;
    while (position < seal_position) {
        std::array<std::uint8_t, kRecordHeaderSize> fields{};
        if (seal_position - position < fields.size() || !journal.read_exact(fields.data(), fields.size())) throw damaged();
        crc = crc_of(crc, fields.data(), fields.size());
        const SavedRange range{tarvo::get_le<std::uint64_t>(fields.data()),
                               tarvo::get_le<std::uint64_t>(fields.data() + 8), position + kRecordHeaderSize};
        if (range.offset > checked.original_length || range.length > checked.original_length - range.offset ||
            range.length > seal_position - range.journal_position)
            throw damaged();
        chunk.read(journal, range.length, [&](const std::uint8_t* bytes, std::size_t piece, std::uint64_t) {
            crc = crc_of(crc, bytes, piece);
        });
        checked.ranges.push_back(range);
        position = range.journal_position + range.length;
    }

    std::array<std::uint8_t, kSealSize> seal{};
    if (!journal.read_exact(seal.data(), seal.size())) throw damaged();
    crc = crc_of(crc, seal.data(), kSealCountSize);
    if (tarvo::get_le<std::uint64_t>(seal.data()) != checked.ranges.size() ||
        tarvo::get_le<std::uint32_t>(seal.data() + kSealCountSize) != crc)
        throw damaged();
    return checked;
}

// What stands in place of the archive's header, when the archive is at least that long.
std::optional<HeaderBytes> header_bytes_of(tarvo::File& archive)
{
    HeaderBytes head{};
    archive.seek(0);
    if (!archive.read_exact(head.data(), head.size())) return std::nullopt;
    return head;
}

bool is_mark(const std::optional<HeaderBytes>& head)
{
    return head && std::equal(kMarkMagic.begin(), kMarkMagic.end(), head->begin(),
                              [](char magic, std::uint8_t byte) { return static_cast<std::uint8_t>(magic) == byte; });
}

HeaderBytes mark_of(const UpdateId& id)
{
    HeaderBytes mark{};
    std::transform(kMarkMagic.begin(), kMarkMagic.end(), mark.begin(), [](char c) { return static_cast<std::uint8_t>(c); });
    std::copy(id.begin(), id.end(), mark.begin() + kMarkMagic.size());
    return mark;
}

// A readable archive whose trailer holds the digest of its tables: no update is half done in it.
bool is_whole(tarvo::File& archive)
{
    try {
        archive.seek(0);
        const ArchiveMetadata metadata = read_metadata(archive);
        const std::uint64_t size = metadata.header.metadata_size;
        return size <= metadata.archive_length - kTrailerSize && tables_digest(archive, size) == metadata.trailer;
    } catch (const MalformedArchive&) {
        return false;
    }
}

// What a whole journal means for the archive file beside it.
enum class Judgement {
    apply,    // the archive holds this journal's update, half done
    stale,    // the update finished or never wrote, or another archive stands in its place
    foreign,  // the journal can't have been made for the archive as it stands
};

Judgement judge(const CheckedJournal& checked, const std::wstring& archive_file)
{
    tarvo::File archive(archive_file, tarvo::File::Mode::read);
    if (!archive.is_open()) return Judgement::foreign;
    // An update only ever makes its archive longer; a shorter file never held the bytes the
    // records were taken from.
    const bool long_enough = archive.length() >= checked.original_length;
    if (checked.version == kIdentityJournalVersion)
        return tarvo::file_identity(archive_file) == checked.archive && long_enough ? Judgement::apply : Judgement::foreign;
    const std::optional<HeaderBytes> head = header_bytes_of(archive);
    if (is_mark(head)) return *head == mark_of(checked.id) && long_enough ? Judgement::apply : Judgement::foreign;
    return is_whole(archive) ? Judgement::stale : Judgement::foreign;
}

bool holds_mark(const std::wstring& archive_file)
{
    tarvo::File archive(archive_file, tarvo::File::Mode::read);
    return archive.is_open() && is_mark(header_bytes_of(archive));
}

// The journal that speaks for the archive: the one beside the archive file, else, for a path
// through a link, a version-2 journal beside the link (release 1.0.0 put it there).
std::optional<std::wstring> find_journal(const std::wstring& archive_path)
{
    const std::wstring beside_file = journal_path(archive_path);
    if (exists(beside_file)) return beside_file;
    const std::wstring beside_link = archive_path + L".journal";
    if (beside_link == beside_file || !exists(beside_link)) return std::nullopt;
    tarvo::File journal(beside_link, tarvo::File::Mode::read);
    std::array<std::uint8_t, kVersionEnd> head{};
    if (!journal.is_open() || !journal.read_exact(head.data(), head.size()) ||
        tarvo::get_le<std::uint32_t>(head.data() + 4) != kIdentityJournalVersion)
        return std::nullopt;
    return beside_link;
}

// An archive that holds an update's mark with no journal beside it is half written, and only
// that journal can make it whole: no run may read it or write it.
void refuse_lost_journal(const std::wstring& archive_path)
{
    const std::wstring archive = archive_file_path(archive_path);
    if (holds_mark(archive))
        throw tarvo::wruntime_error(cannot_recover(archive) + tarvo::quoted(L": journal ", journal_path(archive_path)) +
                                    L" is missing");
}

// Puts the old bytes back, all but the header's, cuts the archive to its original length and
// makes it durable; then the old header goes back in one write, is made durable, and the
// journal is deleted. Throws when a step fails; the journal then stays. With a mark to put back
// first, that goes in and is made durable before anything else.
void apply_journal(tarvo::File& journal, const CheckedJournal& checked, const std::wstring& archive_path,
                   const std::optional<HeaderBytes>& mark = std::nullopt)
{
    tarvo::File archive(archive_path, tarvo::File::Mode::read_write);
    if (!archive.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", archive_path));
    if (mark) {
        archive.seek(0);
        archive.write(mark->data(), mark->size());
        archive.sync();
    }
    std::optional<HeaderBytes> header;
    CopyBuffer chunk;
    for (auto range = checked.ranges.rbegin(); range != checked.ranges.rend(); ++range) {
        journal.seek(range->journal_position);
        chunk.read(journal, range->length, [&](const std::uint8_t* bytes, std::size_t piece, std::uint64_t done) {
            std::uint64_t at = range->offset + done;
            std::size_t skip = 0;
            if (at < kHeaderSize) {
                if (!header) header = header_bytes_of(archive).value_or(HeaderBytes{});
                skip = static_cast<std::size_t>(std::min<std::uint64_t>(kHeaderSize - at, piece));
                std::copy_n(bytes, skip, header->begin() + static_cast<std::ptrdiff_t>(at));
                at += skip;
            }
            if (skip < piece) {
                archive.seek(at);
                archive.write(bytes + skip, piece - skip);
            }
        });
    }
    archive.truncate(checked.original_length);
    archive.sync();
    if (header) {
        archive.seek(0);
        archive.write(header->data(), header->size());
        archive.sync();
    }
    archive.close();
    const std::wstring path = journal.path();
    journal = tarvo::File();  // closed before it goes: Windows keeps an open file
    remove_file(path);
    tarvo::sync_directory_of(path);
}

// Turns a lock that could not be had into the run's error; a file that could not be opened
// is left to the mode's own open, which reports it as it always has.
void require_lock(FileLock::Outcome outcome, const std::wstring& archive_path)
{
    switch (outcome) {
    case FileLock::Outcome::locked:
    case FileLock::Outcome::not_opened:
        return;
    case FileLock::Outcome::in_use:
        throw tarvo::wruntime_error(tarvo::quoted(L"Archive ", archive_path) + L" is in use by another process");
    case FileLock::Outcome::unsupported:
        throw tarvo::wruntime_error(tarvo::quoted(L"Cannot lock archive ", archive_path) +
                                    L": the file system does not support locks");
    case FileLock::Outcome::failed:
        break;
    }
    throw tarvo::wruntime_error(tarvo::quoted(L"Cannot lock archive ", archive_path));
}

// A FIFO or a socket where the archive or its journal should be is refused before anything
// opens it, with the message of the archive's own open (`open_message`) or of the journal's:
// opening a FIFO waits for a writer that may never come.
void refuse_non_files(const std::wstring& archive_path, const wchar_t* open_message)
{
    if (tarvo::is_fifo_or_socket(archive_path)) throw tarvo::wruntime_error(tarvo::quoted(open_message, archive_path));
    const std::wstring journal = journal_path(archive_path);
    if (tarvo::is_fifo_or_socket(journal)) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", journal));
}

// The writers' exclusive lock: where the file system has none, the run stops.
FileLock take_lock(const std::wstring& archive_path, bool create)
{
    refuse_non_files(archive_path, create ? L"Cannot open output file " : L"Cannot open input file ");
    FileLock held;
    require_lock(held.acquire(archive_path, FileLock::Kind::exclusive, create), archive_path);
    return held;
}

}  // namespace

std::wstring archive_file_path(const std::wstring& archive_path) { return tarvo::final_link_target(archive_path); }

std::wstring journal_path(const std::wstring& archive_path) { return archive_file_path(archive_path) + L".journal"; }

std::wstring journal_temporary_path(const std::wstring& archive_path) { return temporary_path_of(archive_path); }

JournalWriter::JournalWriter(std::wstring archive_path, std::uint64_t original_length)
    : archive_path_(std::move(archive_path)),
      journal_path_(journal_path(archive_path_)),
      temporary_path_(temporary_path_of(archive_path_)),
      original_length_(original_length),
      id_(random_update_id())
{
}

JournalWriter::~JournalWriter()
{
    if (published_) return;
    tarvo::remove_file(temporary_path_);
}

void JournalWriter::save(std::uint64_t offset, std::uint64_t length)
{
    if (offset >= original_length_) return;
    const std::uint64_t end = length > original_length_ - offset ? original_length_ : offset + length;
    if (end > offset) marked_.emplace_back(offset, end);
}

void JournalWriter::commit_saved(tarvo::File& archive)
{
    // The seal closes the journal: more records would need a second journal beside it.
    if (written_) throw std::logic_error("an update's journal is written once");
    written_ = true;
    save(0, kHeaderSize);  // the mark goes there

    // Ranges in order, overlapping and touching ones joined, so every byte is copied once.
    std::sort(marked_.begin(), marked_.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    for (const auto& range : marked_) {
        if (!ranges.empty() && range.first <= ranges.back().second) {
            ranges.back().second = std::max(ranges.back().second, range.second);
        } else {
            ranges.push_back(range);
        }
    }
    marked_.clear();

    tarvo::File journal(temporary_path_, tarvo::File::Mode::write_new);
    if (!journal.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot create output file ", temporary_path_));

    std::array<std::uint8_t, kJournalHeaderSize> header{};
    std::copy(kJournalMagic.begin(), kJournalMagic.end(), header.begin());
    tarvo::put_le<std::uint32_t>(header.data() + 4, kJournalVersion);
    tarvo::put_le<std::uint64_t>(header.data() + 8, original_length_);
    std::copy(id_.begin(), id_.end(), header.begin() + kIdOffset);
    journal.write(header.data(), header.size());
    std::uint32_t crc = crc_of(0, header.data(), header.size());

    CopyBuffer chunk;
    for (const auto& [begin, end] : ranges) {
        std::array<std::uint8_t, kRecordHeaderSize> fields{};
        tarvo::put_le<std::uint64_t>(fields.data(), begin);
        tarvo::put_le<std::uint64_t>(fields.data() + 8, end - begin);
        journal.write(fields.data(), fields.size());
        crc = crc_of(crc, fields.data(), fields.size());
        archive.seek(begin);
        chunk.read(archive, end - begin, [&](const std::uint8_t* bytes, std::size_t piece, std::uint64_t) {
            crc = crc_of(crc, bytes, piece);
            journal.write(bytes, piece);
        });
    }
    std::array<std::uint8_t, kSealSize> seal{};
    tarvo::put_le<std::uint64_t>(seal.data(), ranges.size());
    tarvo::put_le<std::uint32_t>(seal.data() + kSealCountSize, crc_of(crc, seal.data(), kSealCountSize));
    journal.write(seal.data(), seal.size());
    journal.sync();
    journal.close();

    // Under its own name only once it is whole and durable.
    if (!tarvo::rename_file(temporary_path_, journal_path_))
        throw tarvo::wruntime_error(tarvo::quoted(L"Cannot write output file ", journal_path_));
    published_ = true;
    tarvo::sync_directory_of(journal_path_);

    // From here until finish() the archive says, wherever it goes, that this journal undoes it.
    const HeaderBytes mark = mark_of(id_);
    archive.seek(0);
    archive.write(mark.data(), mark.size());
    archive.sync();
}

void JournalWriter::finish(tarvo::File& archive, std::span<const std::uint8_t> header)
{
    if (header.size() != kHeaderSize) throw std::logic_error("an archive's header is 16 bytes");
    archive.seek(0);
    archive.write(header);
    archive.sync();
    archive.close();
    if (!published_) return;
    // Not synced: should a power loss undo the removal, the journal is found beside a whole
    // archive without its mark, and goes then.
    remove_file(journal_path_);
    published_ = false;
}

bool JournalWriter::roll_back(tarvo::File& archive) noexcept
{
    try {
        archive.close();
    } catch (...) {
    }
    // Nothing reaches the archive before the journal is published.
    if (!published_) return true;
    try {
        // The run's own journal: applied whatever the header holds now. The failure may have come
        // after the new header went out, so the mark goes back first: should the rollback fail
        // half-way too, the archive still tells the next run that this journal undoes it.
        tarvo::File journal(journal_path_, tarvo::File::Mode::read);
        if (!journal.is_open()) return false;
        const std::wstring archive_file = archive_file_path(archive_path_);
        const CheckedJournal checked = check_journal(journal, archive_file);
        apply_journal(journal, checked, archive_file, mark_of(id_));
        published_ = false;
        return true;
    } catch (...) {
        return false;
    }
}

bool recover_interrupted_update(const std::wstring& archive_path)
{
    const std::wstring archive = archive_file_path(archive_path);
    // A journal that never got its own name guarded nothing: the archive was not touched yet.
    const std::wstring temporary = temporary_path_of(archive_path);
    if (exists(temporary)) remove_file(temporary);
    const std::optional<std::wstring> found = find_journal(archive_path);
    if (!found) {
        refuse_lost_journal(archive_path);
        return false;
    }
    tarvo::File journal(*found, tarvo::File::Mode::read);
    if (!journal.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", *found));
    const CheckedJournal checked = check_journal(journal, archive);
    switch (judge(checked, archive)) {
    case Judgement::foreign:
        throw belongs_elsewhere(archive, *found);
    case Judgement::stale:
        journal = tarvo::File();
        remove_file(*found);
        return false;
    case Judgement::apply:
        break;
    }
    apply_journal(journal, checked, archive);
    tarvo::console::out(tarvo::quoted(L"Recovered interrupted update of ", archive));
    return true;
}

JournalInspection inspect_journal(const std::wstring& archive_path)
{
    const std::wstring archive = archive_file_path(archive_path);
    const bool marked = holds_mark(archive);
    const std::optional<std::wstring> found = find_journal(archive_path);
    if (!found) {
        if (marked) return {JournalFinding::missing, journal_path(archive_path), true};
        return {};
    }
    tarvo::File journal(*found, tarvo::File::Mode::read);
    if (!journal.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", *found));
    CheckedJournal checked;
    try {
        checked = check_journal(journal, archive);
    } catch (const tarvo::wruntime_error&) {
        return {JournalFinding::damaged, *found, marked};
    }
    switch (judge(checked, archive)) {
    case Judgement::apply:
        return {JournalFinding::pending, *found, marked};
    case Judgement::foreign:
        return {JournalFinding::foreign, *found, marked || checked.version == kJournalVersion};
    case Judgement::stale:
        break;
    }
    return {};
}

void discard_journal(const std::wstring& archive_path)
{
    for (const std::wstring& path : {journal_path(archive_path), temporary_path_of(archive_path)}) {
        if (exists(path)) remove_file(path);
    }
}

FileLock lock_for_checking(const std::wstring& archive_path)
{
    refuse_non_files(archive_path, L"Cannot open input file ");
    FileLock held;
    const FileLock::Outcome outcome = held.acquire(archive_path, FileLock::Kind::shared, false);
    // A share without locks is read as it stands: no writer of ours can change it there.
    if (outcome != FileLock::Outcome::unsupported) require_lock(outcome, archive_path);
    return held;
}

FileLock lock_for_reading(const std::wstring& archive_path)
{
    refuse_non_files(archive_path, L"Cannot open input file ");
    FileLock held;
    const FileLock::Outcome outcome = held.acquire(archive_path, FileLock::Kind::shared, false);
    const bool journal = find_journal(archive_path).has_value();
    // A share without locks is read as it stands, but a journal waits for a run that can lock
    // the archive to itself: applied without a lock, it could meet another run doing the same.
    if (outcome == FileLock::Outcome::unsupported && !journal) {
        refuse_lost_journal(archive_path);
        return held;
    }
    require_lock(outcome, archive_path);
    if (!held.held()) return held;
    // An archive this run may only read keeps its shared lock (not_opened), and recovery
    // reports what it can't do, as it always has.
    if (journal || exists(temporary_path_of(archive_path)))
        require_lock(held.change_to(FileLock::Kind::exclusive), archive_path);
    // Without a journal this only reads: it refuses an archive whose update lost its journal.
    recover_interrupted_update(archive_path);
    return held;
}

FileLock lock_for_update(const std::wstring& archive_path)
{
    FileLock held = take_lock(archive_path, false);
    if (held.held()) recover_interrupted_update(archive_path);
    return held;
}

FileLock lock_for_create(const std::wstring& archive_path)
{
    FileLock held = take_lock(archive_path, true);
    if (held.held()) discard_journal(archive_path);
    return held;
}

}  // namespace qar::format
