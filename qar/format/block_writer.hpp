// Writing files' stored blocks into an archive: compressed on the worker pool, written in order,
// placed by a policy (back to back from where the archive stands, or in place within a room).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/file.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/format/deflate_workers.hpp"

namespace qar::format {

// One loose file, in entry order: where to read it and how many bytes the scan recorded.
struct FileToStore {
    std::wstring path;
    std::uint64_t size = 0;
};

// Gives file `index`; asked once per file, in entry order, when its turn comes (so a large
// tree never holds all its paths at once).
using FileSource = std::function<FileToStore(std::size_t index)>;

// Told on the calling thread, in entry order, once file `index` is wholly in the archive:
// where its data starts and its blocks' stored sizes (which the callee may take).
using FileStored = std::function<void(std::size_t index, std::uint64_t data_offset, BlockSizeList& block_sizes)>;

// Appends: writes every file's stored blocks from the archive's current position on, each file
// right after the previous one, keeping every worker of the run's pool busy across file
// boundaries. The first failure in entry order ends the call; everything of the files before it
// is then written and reported, nothing of the files after it. deflaters needs one state per worker.
void store_files(std::size_t file_count, const FileSource& files, tarvo::File& archive, DeflateWorkers& deflaters,
                 const FileStored& stored);

// target_offset asking for an append over the archive's last 16 bytes.
inline constexpr std::uint64_t kAppend = ~std::uint64_t{0};

struct BlockPlacement {
    std::uint64_t offset = 0;  // where the file's first stored block was written
    bool restarted = false;    // it didn't fit its room and went to the end instead
};

// Places one file: its stored blocks back to back from target_offset while they fit in `room`
// bytes from there; a file that doesn't fit is written again, whole, at the end over the
// archive's last 16 bytes (so does kAppend, whatever the room). Blocks written before the file
// turned out too long stay in its room, never past it. Fills block_sizes; leaves the write
// position after the last byte written.
BlockPlacement place_file(const std::wstring& path, std::uint64_t size, tarvo::File& archive,
                          std::uint64_t target_offset, std::uint64_t room, BlockSizeList& block_sizes,
                          DeflateWorkers& deflaters);

}  // namespace qar::format
