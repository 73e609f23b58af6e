// Storing one loose file in an archive: blocks compressed in parallel on the worker pool.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/file.hpp"
#include "qar/create/deflate_workers.hpp"
#include "qar/format/archive_format.hpp"

namespace qar::create {

// target_offset asking for an append over the archive's last 16 bytes; limit meaning none.
inline constexpr std::uint64_t kAppend = ~std::uint64_t{0};
inline constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

struct BlockPlacement {
    std::uint64_t offset = 0;  // where the file's first stored block was written
    bool restarted = false;    // the limit was exceeded and the file went to the end instead
};

// Writes the file's stored blocks back to back from target_offset (or at the end minus 16
// for kAppend) while their running length stays within limit; past it the whole file is
// written again at the end. Fills block_sizes; leaves the write position after the last
// byte written. Compresses on the deflate states' pool with those states; they outlive the call.
BlockPlacement compress_file_blocks(const std::wstring& path, std::uint64_t size, tarvo::File& archive,
                                    std::uint64_t target_offset, std::uint64_t limit,
                                    format::BlockSizeList& block_sizes, DeflateWorkers& deflaters);

// Where one block's stored bytes are and how many there are.
struct StoredBlock {
    const std::uint8_t* bytes = nullptr;
    std::uint32_t length = 0;
};

// The compression task of one block, run on worker `worker`: compresses raw into slot (room
// for format::kMaxCompressedBlock bytes) and keeps the zlib stream when it is strictly shorter
// than the raw bytes, which are kept otherwise. False when zlib fails.
bool store_block(DeflateWorkers& deflaters, int worker, std::span<const std::uint8_t> raw, std::uint8_t* slot,
                 StoredBlock& stored);

}  // namespace qar::create
