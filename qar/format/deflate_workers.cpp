// Per-worker deflate states: initialised on a worker's first block, reset for every later one.
#include "qar/format/deflate_workers.hpp"

#include <stdexcept>

#include <zlib.h>

namespace qar::format {
namespace {

// The parameters that compress() uses: default level, a 32 KiB window (15 bits), memory
// level 8, default strategy. The same parameters and a fresh reset give the same bytes.
constexpr int kWindowBits = 15;
constexpr int kMemoryLevel = 8;

}  // namespace

struct DeflateWorkers::State {
    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State()
    {
        if (initialised) deflateEnd(&stream);
    }

    // Makes the stream ready for a new, independent zlib stream.
    bool start()
    {
        if (initialised) return deflateReset(&stream) == Z_OK;
        stream = z_stream{};
        if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY) !=
            Z_OK) {
            return false;
        }
        initialised = true;
        return true;
    }

    z_stream stream{};
    bool initialised = false;
};

DeflateWorkers::DeflateWorkers(WorkerPool& pool) : pool_(pool)
{
    states_.reserve(static_cast<std::size_t>(pool.worker_count()));
    for (int i = 0; i < pool.worker_count(); ++i) states_.push_back(std::make_unique<State>());
}

DeflateWorkers::~DeflateWorkers() = default;

std::optional<std::size_t> DeflateWorkers::compress(int worker, std::span<const std::uint8_t> source,
                                                    std::span<std::uint8_t> destination)
{
    if (worker < 0 || worker >= worker_count()) throw std::logic_error("worker index outside the deflate states");
    // One deflate call takes at most a uInt of input and output; blocks are far smaller.
    if (source.size() > 0xFFFFFFFFu || destination.size() > 0xFFFFFFFFu) return std::nullopt;
    State& state = *states_[static_cast<std::size_t>(worker)];
    if (!state.start()) return std::nullopt;
    z_stream& stream = state.stream;
    // zlib never writes through next_in; the cast only meets its pre-const interface.
    stream.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(source.data()));
    stream.avail_in = static_cast<uInt>(source.size());
    stream.next_out = reinterpret_cast<Bytef*>(destination.data());
    stream.avail_out = static_cast<uInt>(destination.size());
    // Anything but the end of the stream means zlib failed or ran out of room.
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) return std::nullopt;
    return static_cast<std::size_t>(stream.total_out);
}

}  // namespace qar::format
