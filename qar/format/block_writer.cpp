// The block writer: files' stored blocks, compressed on the pool, written in entry order.
//
// What runs where: the calling (main) thread is both ends of the pipeline. As reader it opens
// the files in entry order and reads each one in batches of up to N blocks (N = the pool's
// worker count, or fewer when the whole file has fewer blocks), one block per slot; the slots
// go to the pool in tasks of one block, or of several small ones (tiny files would otherwise
// cost more in hand-offs than in compression). As writer it takes the batches back in entry
// order, writes their stored blocks, and reports each file once its last block is written.
// The workers only run store_block, on the slots of their task, each with the deflate state
// of its own worker index.
// What is ordered: tasks run and finish in any order; batches are written strictly in entry
// order, so the archive gets exactly the bytes that storing one file after the other gives.
// A failure (a file that won't open or holds fewer bytes than recorded) takes its place in
// the sequence and is thrown only when the writer reaches it: what comes before it is written
// and reported, nothing after it is. The placement policy acts at the writer too: in place
// within a room, a batch that would pass the room's end is not written, the run stops there
// and the file starts again, read anew, at the end of the archive.
// What is bounded: at most kMaxSlots blocks (input and output room, 144 KiB each) and a
// few pieces per slot are in flight, whatever the tree; the reader waits for the writer
// when they are all taken. Only one input file is open at a time.
// Who owns each buffer: the Pipeline owns the slot arenas and the slot table; a task
// borrows only the slots it was given and its worker's deflate state, and the Pipeline waits
// for every task it submitted (also when leaving by an exception) before it frees anything.
// The caller owns the deflate states and keeps them past the call.
#include "qar/format/block_writer.hpp"

#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "common/error.hpp"
#include "qar/base/worker_pool.hpp"

namespace qar::format {
namespace {

constexpr std::size_t kBlock = static_cast<std::size_t>(kBlockSize);
constexpr std::size_t kSlot = kMaxCompressedBlock;  // room for one block's zlib stream

// A room without an end: appending.
constexpr std::uint64_t kNoRoom = std::numeric_limits<std::uint64_t>::max();

// Blocks in flight: enough read ahead that a worker finishing a task finds the next one
// queued while the writer catches up, and few enough that peak memory stays small: 192
// slots of 144 KiB are 27 MiB, the most any machine gets.
constexpr std::size_t kSlotsPerWorker = 24;
constexpr std::size_t kMinSlots = 48;
constexpr std::size_t kMaxSlots = 192;

// Stretches of the entry sequence read and not yet written. Empty files take no slot, so they
// need a bound of their own: a long run of them must not fill memory.
constexpr std::size_t kPiecesPerSlot = 4;

// Small blocks share one task until it holds this many raw bytes or this many blocks.
constexpr std::size_t kTaskBytes = 32768;
constexpr std::size_t kTaskBlocks = 8;

// Where one block's stored bytes are and how many there are.
struct StoredBlock {
    const std::uint8_t* bytes = nullptr;
    std::uint32_t length = 0;
};

// The compression task of one block, run on worker `worker`: compresses raw into slot (room
// for kMaxCompressedBlock bytes) and keeps the zlib stream when it is strictly shorter than
// the raw bytes, which are kept otherwise. False when zlib fails.
bool store_block(DeflateWorkers& deflaters, int worker, std::span<const std::uint8_t> raw, std::uint8_t* slot,
                 StoredBlock& stored)
{
    const std::optional<std::size_t> length = deflaters.compress(worker, raw, std::span(slot, kSlot));
    if (!length) return false;
    if (*length < raw.size()) {
        stored = StoredBlock{slot, static_cast<std::uint32_t>(*length)};
    } else {
        stored = StoredBlock{raw.data(), static_cast<std::uint32_t>(raw.size())};
    }
    return true;
}

// One block in flight. The reader sets input_length and task before the task is submitted;
// the task sets stored and ok; the writer reads them after it has collected the task.
struct Slot {
    std::uint32_t input_length = 0;
    std::uint64_t task = 0;  // the number of the task that compresses this block
    StoredBlock stored;
    bool ok = false;
};

// A stretch of the entry sequence: one batch of a file's blocks, an empty file, or the
// failure that ends the run.
struct Piece {
    std::size_t file = 0;
    std::size_t blocks = 0;  // its slots are the first `blocks` of the slot order
    bool starts_file = false;
    bool ends_file = false;
    std::exception_ptr failure;
};

class Pipeline {
public:
    Pipeline(std::size_t file_count, const FileSource& files, tarvo::File& archive, DeflateWorkers& deflaters,
             const FileStored& stored, std::uint64_t room)
        : file_count_(file_count),
          files_(files),
          archive_(archive),
          deflaters_(deflaters),
          stored_(stored),
          room_(room),
          pool_(deflaters.pool()),
          workers_(static_cast<std::size_t>(pool_.worker_count())),
          slot_count_(std::max(workers_, std::clamp(kSlotsPerWorker * workers_, kMinSlots, kMaxSlots))),
          raw_arena_(std::make_unique_for_overwrite<std::uint8_t[]>(slot_count_ * kBlock)),
          zlib_arena_(std::make_unique_for_overwrite<std::uint8_t[]>(slot_count_ * kSlot)),
          slots_(slot_count_)
    {
        if (deflaters.worker_count() <= 0) throw std::logic_error("block writing needs a worker pool with a worker");
        if (deflaters.worker_count() < pool_.worker_count()) {
            throw std::logic_error("fewer deflate states than workers in the pool");
        }
        // Handed out last-freed first, so a small tree touches only the memory it needs.
        free_slots_.reserve(slot_count_);
        for (std::size_t i = slot_count_; i-- > 0;) free_slots_.push_back(static_cast<std::uint32_t>(i));
    }

    // No task may outlive the slots and states it works on, whichever way run() ends.
    ~Pipeline()
    {
        for (std::future<void>& task : tasks_) {
            if (task.valid()) task.wait();
        }
    }

    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // Writes the whole sequence and returns true, or returns false at the first batch that
    // would pass the room's end, with that batch and everything after it left unwritten.
    bool run()
    {
        start_ = offset_ = archive_.tell();
        for (;;) {
            while (!pieces_.empty() && front_ready()) {
                if (!write_front()) return false;
            }
            if (read_ahead()) continue;
            // Nothing more can be read now: every block read must be on its way before the
            // writer waits for the oldest one.
            submit_task();
            if (pieces_.empty()) {
                // Room is made only by writing, and with nothing in flight every slot is free.
                if (!reading_done_) throw std::logic_error("block writing stalled with nothing in flight");
                return true;
            }
            if (!write_front()) return false;
        }
    }

private:
    std::uint64_t next_task() const { return collected_ + tasks_.size(); }

    // Reads the next batch of the entry sequence if there is room for it. False when it
    // can't: every slot is taken, or the sequence is read to its end or to a failure.
    bool read_ahead()
    {
        if (reading_done_ || pieces_.size() >= kPiecesPerSlot * slot_count_) return false;
        std::size_t blocks = 0;
        // What goes wrong with a file takes its place in the sequence; the bookkeeping after
        // the read is not about the file, and its failures end the run at once.
        try {
            if (!in_file_) {
                if (next_file_ == file_count_) {
                    reading_done_ = true;
                    return false;
                }
                file_ = files_(next_file_);
                source_ = tarvo::File(file_.path, tarvo::File::Mode::read);
                if (!source_.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", file_.path));
                if (file_.size == 0) {
                    source_ = tarvo::File();
                    pieces_.push_back(Piece{next_file_++, 0, true, true, nullptr});
                    return true;
                }
                remaining_ = file_.size;
                per_batch_ = static_cast<std::size_t>(std::min<std::uint64_t>(block_count_u64(file_.size), workers_));
                in_file_ = true;
                starts_file_ = true;
            }
            blocks = static_cast<std::size_t>(std::min<std::uint64_t>(block_count_u64(remaining_), per_batch_));
            if (free_slots_.size() < blocks) return false;
            read_batch(blocks);
        } catch (...) {
            pieces_.push_back(Piece{next_file_, 0, false, false, std::current_exception()});
            source_ = tarvo::File();
            reading_done_ = true;
            return false;
        }
        send_batch(blocks);
        return true;
    }

    // Reads the next `blocks` blocks of the open file into the last free slots. A file that
    // yields fewer bytes than recorded fails the whole batch, as a one-file path reading it in
    // one piece would.
    void read_batch(std::size_t blocks)
    {
        std::uint64_t left = remaining_;
        for (std::size_t j = 0; j < blocks; ++j) {
            const std::uint32_t slot = free_slots_[free_slots_.size() - 1 - j];
            const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(left, kBlock));
            if (!source_.read_exact(raw_slot(slot), length)) {
                throw tarvo::wruntime_error(tarvo::quoted(L"Cannot read input file ", file_.path));
            }
            slots_[slot].input_length = static_cast<std::uint32_t>(length);
            left -= length;
        }
    }

    // The batch just read leaves the free list in the order it was filled and goes to the
    // workers; the file is closed after its last batch.
    void send_batch(std::size_t blocks)
    {
        for (std::size_t j = 0; j < blocks; ++j) {
            const std::uint32_t slot = free_slots_.back();
            free_slots_.pop_back();
            slot_order_.push_back(slot);
            remaining_ -= slots_[slot].input_length;
            add_to_task(slot);
        }
        pieces_.push_back(Piece{next_file_, blocks, starts_file_, remaining_ == 0, nullptr});
        starts_file_ = false;
        if (remaining_ == 0) {
            source_ = tarvo::File();
            in_file_ = false;
            ++next_file_;
        }
    }

    std::uint8_t* raw_slot(std::uint32_t slot) { return raw_arena_.get() + std::size_t{slot} * kBlock; }
    std::uint8_t* zlib_slot(std::uint32_t slot) { return zlib_arena_.get() + std::size_t{slot} * kSlot; }

    void add_to_task(std::uint32_t slot)
    {
        slots_[slot].task = next_task();
        group_.push_back(slot);
        group_bytes_ += slots_[slot].input_length;
        if (group_bytes_ >= kTaskBytes || group_.size() >= kTaskBlocks) submit_task();
    }

    void submit_task()
    {
        if (group_.empty()) return;
        std::vector<std::uint32_t> group;
        group.swap(group_);
        group_bytes_ = 0;
        tasks_.push_back(pool_.submit([this, group = std::move(group)](int worker) { compress(group, worker); }));
    }

    // The task: runs on worker `worker` and touches only its own slots.
    void compress(const std::vector<std::uint32_t>& group, int worker)
    {
        for (std::uint32_t slot : group) {
            Slot& s = slots_[slot];
            s.ok = store_block(deflaters_, worker, std::span<const std::uint8_t>(raw_slot(slot), s.input_length),
                               zlib_slot(slot), s.stored);
        }
    }

    // Waits for the tasks up to and including `task`, in submission order; a task that threw
    // rethrows here.
    void collect_through(std::uint64_t task)
    {
        while (collected_ <= task) {
            std::future<void> done = std::move(tasks_.front());
            tasks_.pop_front();
            ++collected_;
            done.get();
        }
    }

    // Whether the oldest piece can be written without waiting.
    bool front_ready()
    {
        const Piece& piece = pieces_.front();
        if (piece.failure || piece.blocks == 0) return true;
        const std::uint64_t last = slots_[slot_order_[piece.blocks - 1]].task;
        if (last >= next_task()) return false;  // still gathering its task
        for (std::uint64_t task = collected_; task <= last; ++task) {
            if (tasks_[task - collected_].wait_for(std::chrono::seconds(0)) != std::future_status::ready) return false;
        }
        return true;
    }

    // Writes the oldest piece, waiting for its blocks if need be; false, with nothing written,
    // when the piece would pass the room's end.
    bool write_front()
    {
        Piece piece = std::move(pieces_.front());
        pieces_.pop_front();
        if (piece.failure) std::rethrow_exception(piece.failure);
        if (piece.starts_file) {
            data_offset_ = offset_;
            block_sizes_.clear();
        }
        if (piece.blocks > 0) {
            collect_through(slots_[slot_order_[piece.blocks - 1]].task);
            for (std::size_t j = 0; j < piece.blocks; ++j) {
                if (!slots_[slot_order_[j]].ok) throw tarvo::wruntime_error(L"Problem compressing file...");
            }
        }
        if (room_ != kNoRoom) {
            std::uint64_t end = offset_ - start_;
            for (std::size_t j = 0; j < piece.blocks; ++j) end += slots_[slot_order_[j]].stored.length;
            if (end > room_) return false;
        }
        for (std::size_t j = 0; j < piece.blocks; ++j) {
            const std::uint32_t slot = slot_order_.front();
            slot_order_.pop_front();
            const StoredBlock& block = slots_[slot].stored;
            archive_.write(block.bytes, block.length);
            block_sizes_.push_back(stored_size_of(block.length));
            offset_ += block.length;
            free_slots_.push_back(slot);
        }
        if (piece.ends_file) stored_(piece.file, data_offset_, block_sizes_);
        return true;
    }

    const std::size_t file_count_;
    const FileSource& files_;
    tarvo::File& archive_;
    DeflateWorkers& deflaters_;
    const FileStored& stored_;
    const std::uint64_t room_;  // stored bytes the run may write from where it starts, or kNoRoom
    WorkerPool& pool_;
    const std::size_t workers_;
    const std::size_t slot_count_;

    // The slots: block s is read into raw_arena_ at s × kBlock and compressed into
    // zlib_arena_ at s × kSlot.
    std::unique_ptr<std::uint8_t[]> raw_arena_;
    std::unique_ptr<std::uint8_t[]> zlib_arena_;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> free_slots_;
    std::deque<std::uint32_t> slot_order_;  // slots in flight, in entry order
    std::deque<Piece> pieces_;              // read and not yet written, in entry order

    // Tasks: submitted ones not yet collected (numbered from collected_ on), and the slots
    // gathered for the next one.
    std::deque<std::future<void>> tasks_;
    std::uint64_t collected_ = 0;
    std::vector<std::uint32_t> group_;
    std::size_t group_bytes_ = 0;

    // The reader's place in the entry sequence.
    FileToStore file_;    // the file being read
    tarvo::File source_;  // and its stream
    std::size_t next_file_ = 0;
    bool in_file_ = false;
    bool starts_file_ = false;
    bool reading_done_ = false;
    std::uint64_t remaining_ = 0;  // bytes of the open file not read yet
    std::size_t per_batch_ = 0;    // blocks per batch of the open file

    // The writer's place in the archive.
    std::uint64_t start_ = 0;
    std::uint64_t offset_ = 0;
    std::uint64_t data_offset_ = 0;
    BlockSizeList block_sizes_;  // of the file being written
};

// Positions the archive for a placement and returns the offset: target_offset, or for an
// append the start of the trailer digest, which every caller writes again afterwards.
std::uint64_t position_for(tarvo::File& archive, std::uint64_t target_offset)
{
    std::uint64_t offset = target_offset;
    if (target_offset == kAppend) {
        const std::uint64_t length = archive.length();
        if (length < kTrailerSize) throw std::logic_error("append to an archive without a trailer");
        offset = length - kTrailerSize;
    }
    archive.seek(offset);
    return offset;
}

}  // namespace

void store_files(std::size_t file_count, const FileSource& files, tarvo::File& archive, DeflateWorkers& deflaters,
                 const FileStored& stored)
{
    if (file_count == 0) return;
    Pipeline(file_count, files, archive, deflaters, stored, kNoRoom).run();
}

BlockPlacement place_file(const std::wstring& path, std::uint64_t size, tarvo::File& archive,
                          std::uint64_t target_offset, std::uint64_t room, BlockSizeList& block_sizes,
                          DeflateWorkers& deflaters)
{
    const FileSource file = [&](std::size_t) { return FileToStore{path, size}; };
    const FileStored stored = [&](std::size_t, std::uint64_t, BlockSizeList& sizes) { block_sizes.swap(sizes); };
    block_sizes.clear();
    const std::uint64_t offset = position_for(archive, target_offset);
    if (Pipeline(1, file, archive, deflaters, stored, target_offset == kAppend ? kNoRoom : room).run()) {
        return BlockPlacement{offset, false};
    }
    // Too long for its room: the whole file goes to the end instead. Blocks already written in
    // the room stay there.
    const std::uint64_t end_offset = position_for(archive, kAppend);
    Pipeline(1, file, archive, deflaters, stored, kNoRoom).run();
    return BlockPlacement{end_offset, true};
}

}  // namespace qar::format
