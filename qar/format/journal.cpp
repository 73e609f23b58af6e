// Writing, checking, applying and discarding the rollback journal of an update; the locks.
#include "qar/format/journal.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "common/byte_order.hpp"
#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"

namespace qar::format {
namespace {

using tarvo::FileLock;

constexpr std::array<std::uint8_t, 4> kJournalMagic{'Q', 'A', 'R', 'J'};
constexpr std::uint32_t kJournalVersion = 2;    // version 1 knew neither its archive nor a seal
constexpr std::size_t kJournalHeaderSize = 32;  // magic, version, original length, device, index
constexpr std::size_t kRecordHeaderSize = 16;   // offset, length
constexpr std::size_t kSealCountSize = 8;       // the number of records
constexpr std::size_t kSealSize = 12;           // record count, CRC-32 of everything before the CRC
constexpr std::size_t kCopyChunk = 1 << 20;     // saved bytes move through this much memory at a time

// Memory for moving saved bytes, as large as the largest piece asked for so far: most
// journals hold a few kilobytes, and none needs more than kCopyChunk at a time.
class CopyBuffer {
public:
    std::uint8_t* room(std::size_t size)
    {
        if (size > capacity_) {
            data_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
            capacity_ = size;
        }
        return data_.get();
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

// One record of a journal that has been checked: where its bytes go and where they lie.
struct SavedRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint64_t journal_position = 0;  // of the first saved byte
};

struct CheckedJournal {
    std::uint64_t original_length = 0;
    tarvo::FileIdentity archive;
    std::vector<SavedRange> ranges;  // in journal order
};

// Reads the whole journal and checks every part of it, the seal last; throws the damaged
// message for anything short of a whole journal of this version.
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
    if (!std::equal(kJournalMagic.begin(), kJournalMagic.end(), header.begin()) ||
        tarvo::get_le<std::uint32_t>(header.data() + 4) != kJournalVersion)
        throw damaged();
    std::uint32_t crc = crc_of(0, header.data(), header.size());
    CheckedJournal checked;
    checked.original_length = tarvo::get_le<std::uint64_t>(header.data() + 8);
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
        for (std::uint64_t done = 0; done < range.length;) {
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, range.length - done));
            std::uint8_t* bytes = chunk.room(piece);
            if (!journal.read_exact(bytes, piece)) throw damaged();
            crc = crc_of(crc, bytes, piece);
            done += piece;
        }
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

// Checks the journal beside the archive, then that the archive is the one it was made for,
// and only then puts the old bytes back, cuts the archive to its original length, makes it
// durable and deletes the journal. A journal that can't be applied throws before anything is
// written.
void apply_journal(const std::wstring& archive_path)
{
    const std::wstring path = journal_path(archive_path);
    tarvo::File journal(path, tarvo::File::Mode::read);
    if (!journal.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", path));
    const CheckedJournal checked = check_journal(journal, archive_path);

    tarvo::File archive(archive_path, tarvo::File::Mode::read_write);
    if (!archive.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", archive_path));
    // An update only ever makes its archive longer; a shorter file, or another file that took
    // the archive's name, never held the bytes the records were taken from.
    if (tarvo::file_identity(archive_path) != checked.archive || archive.length() < checked.original_length)
        throw tarvo::wruntime_error(cannot_recover(archive_path) + tarvo::quoted(L": journal ", path) +
                                    L" belongs to another archive");

    CopyBuffer chunk;
    for (auto range = checked.ranges.rbegin(); range != checked.ranges.rend(); ++range) {
        journal.seek(range->journal_position);
        archive.seek(range->offset);
        for (std::uint64_t done = 0; done < range->length;) {
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, range->length - done));
            std::uint8_t* bytes = chunk.room(piece);
            if (!journal.read_exact(bytes, piece))
                throw tarvo::wruntime_error(tarvo::quoted(L"Cannot read input file ", path));
            archive.write(bytes, piece);
            done += piece;
        }
    }
    archive.truncate(checked.original_length);
    archive.sync();
    archive.close();
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
    case FileLock::Outcome::failed:
        break;
    }
    throw tarvo::wruntime_error(tarvo::quoted(L"Cannot lock archive ", archive_path));
}

FileLock take_lock(const std::wstring& archive_path, FileLock::Kind kind, bool create)
{
    FileLock held;
    require_lock(held.acquire(archive_path, kind, create), archive_path);
    return held;
}

}  // namespace

std::wstring journal_path(const std::wstring& archive_path) { return archive_path + L".journal"; }

std::wstring journal_temporary_path(const std::wstring& archive_path) { return temporary_path_of(archive_path); }

JournalWriter::JournalWriter(std::wstring archive_path, std::uint64_t original_length)
    : archive_path_(std::move(archive_path)),
      journal_path_(journal_path(archive_path_)),
      temporary_path_(temporary_path_of(archive_path_)),
      original_length_(original_length)
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

    const std::optional<tarvo::FileIdentity> identity = tarvo::file_identity(archive_path_);
    if (!identity) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot read input file ", archive_path_));
    tarvo::File journal(temporary_path_, tarvo::File::Mode::write_new);
    if (!journal.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot create output file ", temporary_path_));

    std::array<std::uint8_t, kJournalHeaderSize> header{};
    std::copy(kJournalMagic.begin(), kJournalMagic.end(), header.begin());
    tarvo::put_le<std::uint32_t>(header.data() + 4, kJournalVersion);
    tarvo::put_le<std::uint64_t>(header.data() + 8, original_length_);
    tarvo::put_le<std::uint64_t>(header.data() + 16, identity->device);
    tarvo::put_le<std::uint64_t>(header.data() + 24, identity->index);
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
        for (std::uint64_t at = begin; at < end;) {
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, end - at));
            std::uint8_t* bytes = chunk.room(piece);
            if (!archive.read_exact(bytes, piece))
                throw tarvo::wruntime_error(tarvo::quoted(L"Cannot read input file ", archive_path_));
            crc = crc_of(crc, bytes, piece);
            journal.write(bytes, piece);
            at += piece;
        }
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
}

void JournalWriter::finish()
{
    if (!published_) return;
    // Not synced: should a power loss undo the removal, the next open rolls back to the
    // archive as it was before, a state as whole as the new one.
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
        apply_journal(archive_path_);
        published_ = false;
        return true;
    } catch (...) {
        return false;
    }
}

bool recover_interrupted_update(const std::wstring& archive_path)
{
    // A journal that never got its own name guarded nothing: the archive was not touched yet.
    const std::wstring temporary = temporary_path_of(archive_path);
    if (exists(temporary)) remove_file(temporary);
    if (!exists(journal_path(archive_path))) return false;
    apply_journal(archive_path);
    tarvo::console::out(tarvo::quoted(L"Recovered interrupted update of ", archive_path));
    return true;
}

JournalFinding inspect_journal(const std::wstring& archive_path)
{
    const std::wstring path = journal_path(archive_path);
    if (!exists(path)) return JournalFinding::none;
    tarvo::File journal(path, tarvo::File::Mode::read);
    if (!journal.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", path));
    CheckedJournal checked;
    try {
        checked = check_journal(journal, archive_path);
    } catch (const tarvo::wruntime_error&) {
        return JournalFinding::damaged;
    }
    tarvo::File archive(archive_path, tarvo::File::Mode::read);
    if (tarvo::file_identity(archive_path) != checked.archive || !archive.is_open() ||
        archive.length() < checked.original_length)
        return JournalFinding::foreign;
    return JournalFinding::pending;
}

void discard_journal(const std::wstring& archive_path)
{
    for (const std::wstring& path : {journal_path(archive_path), temporary_path_of(archive_path)}) {
        if (exists(path)) remove_file(path);
    }
}

FileLock lock_for_reading(const std::wstring& archive_path)
{
    FileLock held = take_lock(archive_path, FileLock::Kind::shared, false);
    if (held.held() && (exists(journal_path(archive_path)) || exists(temporary_path_of(archive_path)))) {
        require_lock(held.change_to(FileLock::Kind::exclusive), archive_path);
        recover_interrupted_update(archive_path);
    }
    return held;
}

FileLock lock_for_update(const std::wstring& archive_path)
{
    FileLock held = take_lock(archive_path, FileLock::Kind::exclusive, false);
    if (held.held()) recover_interrupted_update(archive_path);
    return held;
}

FileLock lock_for_create(const std::wstring& archive_path)
{
    FileLock held = take_lock(archive_path, FileLock::Kind::exclusive, true);
    if (held.held()) discard_journal(archive_path);
    return held;
}

}  // namespace qar::format
