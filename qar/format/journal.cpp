// Writing, applying and discarding the rollback journal of an update.
#include "qar/format/journal.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <system_error>

#include "common/byte_order.hpp"
#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"

namespace qar::format {
namespace {

constexpr std::array<std::uint8_t, 4> kJournalMagic{'Q', 'A', 'R', 'J'};
constexpr std::uint32_t kJournalVersion = 1;
constexpr std::size_t kJournalHeaderSize = 24;  // magic, version, original length, CRC, 0
constexpr std::size_t kHeaderChecked = 16;      // the header bytes its CRC covers
constexpr std::size_t kRecordHeaderSize = 16;   // offset, length
constexpr std::size_t kRecordCrcSize = 4;
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
    std::error_code error;
    std::filesystem::remove(tarvo::to_fs_path(path), error);
    if (error) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot remove file ", path));
}

// One record of a journal that has been checked: where its bytes go and where they lie.
struct SavedRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint64_t journal_position = 0;  // of the first saved byte
};

struct CheckedJournal {
    std::uint64_t original_length = 0;
    std::vector<SavedRange> ranges;  // the whole records, in journal order
};

// Reads the header and every whole record, checking each record's CRC. Throws for a journal
// without a valid header; stops quietly at the first torn record.
CheckedJournal check_journal(tarvo::File& journal, const std::wstring& archive_path)
{
    const auto damaged = [&] {
        return tarvo::wruntime_error(tarvo::quoted(L"Cannot recover interrupted update of ", archive_path) +
                                     tarvo::quoted(L": damaged journal ", journal.path()));
    };
    std::array<std::uint8_t, kJournalHeaderSize> header{};
    if (!journal.read_exact(header.data(), header.size())) throw damaged();
    if (!std::equal(kJournalMagic.begin(), kJournalMagic.end(), header.begin()) ||
        tarvo::get_le<std::uint32_t>(header.data() + 4) != kJournalVersion ||
        tarvo::get_le<std::uint32_t>(header.data() + kHeaderChecked) != crc_of(0, header.data(), kHeaderChecked))
        throw damaged();

    CheckedJournal checked;
    checked.original_length = tarvo::get_le<std::uint64_t>(header.data() + 8);
    const std::uint64_t journal_length = journal.length();
    std::uint64_t position = kJournalHeaderSize;
    CopyBuffer chunk;
    journal.seek(position);
    for (;;) {
        std::array<std::uint8_t, kRecordHeaderSize> fields{};
        if (!journal.read_exact(fields.data(), fields.size())) break;
        const SavedRange range{tarvo::get_le<std::uint64_t>(fields.data()),
                               tarvo::get_le<std::uint64_t>(fields.data() + 8), position + kRecordHeaderSize};
        // Fields that point outside the archive or past the journal's end can only be torn.
        if (range.offset > checked.original_length || range.length > checked.original_length - range.offset) break;
        if (range.length + kRecordCrcSize > journal_length - range.journal_position) break;
        std::uint32_t crc = crc_of(0, fields.data(), fields.size());
        bool whole = true;
        for (std::uint64_t done = 0; done < range.length && whole;) {
            const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, range.length - done));
            std::uint8_t* bytes = chunk.room(piece);
            whole = journal.read_exact(bytes, piece);
            crc = crc_of(crc, bytes, piece);
            done += piece;
        }
        std::array<std::uint8_t, kRecordCrcSize> stored{};
        if (!whole || !journal.read_exact(stored.data(), stored.size()) ||
            tarvo::get_le<std::uint32_t>(stored.data()) != crc)
            break;
        checked.ranges.push_back(range);
        position = range.journal_position + range.length + kRecordCrcSize;
    }
    return checked;
}

// Checks the journal beside the archive first and then puts the old bytes back, cuts the
// archive to its original length, makes it durable and deletes the journal. A journal that
// can't be applied throws before anything is written.
void apply_journal(const std::wstring& archive_path)
{
    const std::wstring path = journal_path(archive_path);
    tarvo::File journal(path, tarvo::File::Mode::read);
    if (!journal.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", path));
    const CheckedJournal checked = check_journal(journal, archive_path);

    tarvo::File archive(archive_path, tarvo::File::Mode::read_write);
    if (!archive.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", archive_path));
    // An update only ever makes its archive longer; a shorter one is not the archive this
    // journal was written for.
    if (archive.length() < checked.original_length)
        throw tarvo::wruntime_error(tarvo::quoted(L"Cannot recover interrupted update of ", archive_path) +
                                    tarvo::quoted(L": the journal doesn't match the archive ", path));

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
    std::error_code ignored;
    std::filesystem::remove(tarvo::to_fs_path(temporary_path_), ignored);
}

void JournalWriter::save(std::uint64_t offset, std::uint64_t length)
{
    if (offset >= original_length_) return;
    const std::uint64_t end = length > original_length_ - offset ? original_length_ : offset + length;
    if (end > offset) marked_.emplace_back(offset, end);
}

void JournalWriter::commit_saved(tarvo::File& archive)
{
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

    const std::wstring& target = published_ ? journal_path_ : temporary_path_;
    tarvo::File journal(target, published_ ? tarvo::File::Mode::read_write : tarvo::File::Mode::write_new);
    if (!journal.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot create output file ", target));
    if (published_) {
        journal.seek_end();
    } else {
        std::array<std::uint8_t, kJournalHeaderSize> header{};
        std::copy(kJournalMagic.begin(), kJournalMagic.end(), header.begin());
        tarvo::put_le<std::uint32_t>(header.data() + 4, kJournalVersion);
        tarvo::put_le<std::uint64_t>(header.data() + 8, original_length_);
        tarvo::put_le<std::uint32_t>(header.data() + kHeaderChecked, crc_of(0, header.data(), kHeaderChecked));
        journal.write(header.data(), header.size());
    }

    CopyBuffer chunk;
    for (const auto& [begin, end] : ranges) {
        std::array<std::uint8_t, kRecordHeaderSize> fields{};
        tarvo::put_le<std::uint64_t>(fields.data(), begin);
        tarvo::put_le<std::uint64_t>(fields.data() + 8, end - begin);
        journal.write(fields.data(), fields.size());
        std::uint32_t crc = crc_of(0, fields.data(), fields.size());
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
        std::array<std::uint8_t, kRecordCrcSize> stored{};
        tarvo::put_le<std::uint32_t>(stored.data(), crc);
        journal.write(stored.data(), stored.size());
    }
    journal.sync();
    journal.close();

    if (!published_) {
        // Under its own name only once it is whole and durable.
        std::error_code error;
        std::filesystem::rename(tarvo::to_fs_path(temporary_path_), tarvo::to_fs_path(journal_path_), error);
        if (error) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot write output file ", journal_path_));
        published_ = true;
        tarvo::sync_directory_of(journal_path_);
    }
    marked_.clear();
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

void discard_journal(const std::wstring& archive_path)
{
    for (const std::wstring& path : {journal_path(archive_path), temporary_path_of(archive_path)}) {
        if (exists(path)) remove_file(path);
    }
}

}  // namespace qar::format
