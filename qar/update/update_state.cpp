// Opening the archive for an update: the stream and its metadata, checked before anything is written.
#include "qar/update/update_state.hpp"

#include "common/error.hpp"
#include "common/text.hpp"

namespace qar::update {
namespace {

[[noreturn]] void refuse_format() { throw tarvo::wruntime_error(L"Invalid QAR file format"); }

}  // namespace

UpdateState open_update_state(const std::wstring& archive_path)
{
    UpdateState state;
    state.archive_path = archive_path;
    state.archive = tarvo::File(archive_path, tarvo::File::Mode::read_write);
    if (!state.archive.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", archive_path));
    try {
        state.metadata = format::read_metadata(state.archive);
    } catch (const format::MalformedArchive&) {
        refuse_format();
    }
    // Moves and in-place rewrites trust each entry's stored data to lie in front of the trailer.
    const std::uint64_t end = state.metadata.archive_length - format::kTrailerSize;
    for (std::size_t i = 0; i < state.metadata.entries.size(); ++i) {
        const std::uint64_t stored = format::stored_total(state.metadata.blocks_of(i));
        const std::uint64_t offset = state.metadata.entries[i].data_offset;
        if (stored != 0 && (offset > end || stored > end - offset)) refuse_format();
    }
    return state;
}

}  // namespace qar::update
