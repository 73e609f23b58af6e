// Storing the files of a new archive back to back, pipelined across file boundaries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/file.hpp"
#include "qar/create/deflate_workers.hpp"
#include "qar/format/archive_format.hpp"

namespace qar::create {

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
using FileStored =
    std::function<void(std::size_t index, std::uint64_t data_offset, format::BlockSizeList& block_sizes)>;

// Writes every file's stored blocks from the archive's current position on, each file right
// after the previous one, keeping every worker of the run's pool busy across file boundaries.
// The first failure in entry order ends the call; everything of the files before it is then
// written and reported, nothing of the files after it. deflaters needs one state per worker.
void store_files(std::size_t file_count, const FileSource& files, tarvo::File& archive, DeflateWorkers& deflaters,
                 const FileStored& stored);

// How a run stores its files: store_files, or in a test a reference to compare it with.
using StoreFiles = void (*)(std::size_t file_count, const FileSource& files, tarvo::File& archive,
                            DeflateWorkers& deflaters, const FileStored& stored);

}  // namespace qar::create
