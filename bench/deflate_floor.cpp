// The floor that zlib sets for creating an archive: every 64 KiB block of a corpus, already in
// memory, deflated at the default level with one reused state per thread. The bytes are those of
// compress() (checked with --check, outside the timing), so nothing that creates an archive of
// these bytes on this many threads can take less wall time than this.
//
//   tarvo-deflate-floor DIR [THREADS] [--check]
//
// Prints: "floor: WALL s wall on N threads, CPU s processor time (one thread's worth), B blocks".
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBlockSize = 65536;  // the archive's block size
constexpr std::size_t kRoom = 81920;       // above zlib's bound for one block

struct Block {
    const std::uint8_t* data;
    std::size_t size;
};

double thread_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One block into out with a state that deflateInit set up; returns the stream's length.
std::size_t deflate_block(z_stream& stream, const Block& block, std::vector<std::uint8_t>& out)
{
    deflateReset(&stream);
    stream.next_in = const_cast<Bytef*>(block.data);
    stream.avail_in = static_cast<uInt>(block.size);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    return out.size() - stream.avail_out;
}

// Deflates blocks taken in turn from `next` until none is left; returns this thread's processor time.
double deflate_blocks(const std::vector<Block>& blocks, std::atomic<std::size_t>& next, std::vector<std::size_t>* sizes)
{
    const double start = thread_seconds();
    z_stream stream{};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) return 0;
    std::vector<std::uint8_t> out(kRoom);
    for (std::size_t k = next++; k < blocks.size(); k = next++) {
        const std::size_t length = deflate_block(stream, blocks[k], out);
        if (sizes != nullptr) (*sizes)[k] = length;
    }
    deflateEnd(&stream);
    return thread_seconds() - start;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: tarvo-deflate-floor DIR [THREADS] [--check]\n");
        return 2;
    }
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    bool check = false;
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == "--check") check = true;
        else threads = static_cast<unsigned>(std::stoul(argv[i]));
    }

    std::vector<std::vector<std::uint8_t>> files;
    for (const auto& item : std::filesystem::recursive_directory_iterator(argv[1])) {
        if (!item.is_regular_file()) continue;
        std::ifstream in(item.path(), std::ios::binary);
        files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<Block> blocks;
    for (const auto& file : files) {
        for (std::size_t at = 0; at < file.size(); at += kBlockSize)
            blocks.push_back(Block{file.data() + at, std::min(kBlockSize, file.size() - at)});
    }

    std::vector<std::size_t> sizes(blocks.size());
    std::atomic<std::size_t> next{0};
    std::vector<double> cpu(threads);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { cpu[t] = deflate_blocks(blocks, next, &sizes); });
    for (std::thread& worker : workers) worker.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double total_cpu = 0;
    for (double c : cpu) total_cpu += c;

    if (check) {
        // The same lengths and bytes as compress() gives for every block.
        std::vector<std::uint8_t> expected(kRoom), again(kRoom);
        z_stream stream{};
        deflateInit(&stream, Z_DEFAULT_COMPRESSION);
        for (std::size_t k = 0; k < blocks.size(); ++k) {
            uLongf length = static_cast<uLongf>(expected.size());
            compress(expected.data(), &length, blocks[k].data, static_cast<uLong>(blocks[k].size));
            deflate_block(stream, blocks[k], again);
            if (length != sizes[k] || !std::equal(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(length), again.begin())) {
                std::fprintf(stderr, "block %zu differs from compress()\n", k);
                return 1;
            }
        }
        deflateEnd(&stream);
    }
    std::printf("floor: %.3f s wall on %u threads, %.3f s processor time (one thread's worth), %zu blocks%s\n", wall,
                threads, total_cpu, blocks.size(), check ? ", bytes equal compress()'s" : "");
    return 0;
}
