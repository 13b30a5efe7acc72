#pragma once

// Training samples from PGN games: one row per position before a mainline
// move, in columns, as a learning pipeline takes them. Games are split from
// the stream by PgnReader and played here, on several threads at once when
// asked: the work needs nothing but the game's own text.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board.h"

namespace board {

// A column's entries, grown without setting the new ones: every row writes
// all of its columns at once, so zeroing them first would be wasted stores.
template <typename T>
class ColumnBuffer {
public:
    T* data() noexcept { return data_.get(); }
    const T* data() const noexcept { return data_.get(); }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    // Room for `n` entries, the first `keep` of them kept.
    void reserve(std::size_t n, std::size_t keep) {
        if (n <= capacity_) return;
        auto grown = std::make_unique_for_overwrite<T[]>(n);
        if (keep) std::memcpy(grown.get(), data_.get(), keep * sizeof(T));
        data_ = std::move(grown);
        capacity_ = n;
    }

private:
    std::unique_ptr<T[]> data_;
    std::size_t capacity_ = 0;
};

// The columns of a run of rows. Booleans are stored as bytes of 0 or 1;
// `bitboards` holds PLANE_COUNT entries per row, `castling` four (K, Q, k, q).
struct SampleColumns {
    ColumnBuffer<std::int32_t> game;
    ColumnBuffer<std::uint16_t> ply;
    ColumnBuffer<std::uint64_t> bitboards;
    ColumnBuffer<std::uint8_t> turn;
    ColumnBuffer<std::uint8_t> castling;
    ColumnBuffer<std::int8_t> en_passant;
    ColumnBuffer<std::uint16_t> half_move_clock;
    ColumnBuffer<std::uint8_t> move_from;
    ColumnBuffer<std::uint8_t> move_to;
    ColumnBuffer<std::uint8_t> promotion;
    ColumnBuffer<std::int16_t> move_index;
    ColumnBuffer<std::int32_t> eval_cp;
    ColumnBuffer<std::int16_t> eval_mate;
    ColumnBuffer<std::uint8_t> has_eval;
    ColumnBuffer<float> clock;
    ColumnBuffer<std::int8_t> result;
    ColumnBuffer<std::int16_t> white_elo;
    ColumnBuffer<std::int16_t> black_elo;

    std::size_t rows() const noexcept { return rows_; }
    std::size_t capacity() const noexcept { return capacity_; }
    // Drops the rows from `n` on.
    void truncate(std::size_t n) noexcept {
        if (n < rows_) rows_ = n;
    }
    // Room for `n` rows in every column, the rows written kept.
    void reserve(std::size_t n);
    // The number of a new row, its entries not yet set.
    std::size_t add_row() {
        if (rows_ == capacity_) reserve(capacity_ < 1024 ? 1024 : 2 * capacity_);
        return rows_++;
    }

private:
    std::size_t rows_ = 0;
    std::size_t capacity_ = 0;
};

// A game split from a stream, owning what playing it needs, so that any
// thread can play it after the stream has moved on.
struct SampleGame {
    std::size_t number = 0;  // from 0, counting every game of the stream
    std::string movetext;
    std::optional<std::string> fen;
    bool chess960 = false;  // a Variant tag names Fischer random chess
    std::int8_t result = -2;  // 1 white won, 0 draw, -1 black won, -2 unknown
    std::int16_t white_elo = 0;
    std::int16_t black_elo = 0;
};

// The sample game of a game split by PgnReader::next_split, read before the
// reader moves on; the movetext and the tags it needs are copied.
SampleGame sample_game(const RawGame& raw);

// What became of one game of a part: its rows, or why it was skipped.
struct PlayedGame {
    std::size_t number = 0;
    std::size_t rows = 0;
    std::optional<std::string> skipped;
};

struct SamplePart {
    SampleColumns columns;
    std::vector<PlayedGame> games;  // in order; their rows follow each other in `columns`
};

// Plays the games of a chunk on `threads` threads: the caller's and
// threads - 1 helpers. The chunk is cut into several parts per thread, and
// each thread takes the next part left, so that a thread held up (the
// caller splitting the next chunk, a core busy with another program) leaves
// its share to the others. start() hands over the games and starts the
// helpers; finish() plays what is left on the calling thread, waits for
// the helpers and gives the parts in input order.
class SamplePlayer {
public:
    SamplePlayer() = default;
    SamplePlayer(const SamplePlayer&) = delete;
    SamplePlayer& operator=(const SamplePlayer&) = delete;
    // Waits for the helpers, which use this object's buffers, once they
    // have finished the parts they hold: what nobody took is never played.
    ~SamplePlayer() {
        next_part_.store(parts_.size(), std::memory_order_relaxed);
        wait();
    }

    // Whether games were started and their parts not yet taken.
    bool running() const noexcept { return pending_; }
    // The parts a chunk is cut into on `threads` threads: how many buffers
    // are worth keeping for the next one.
    static std::size_t part_count(unsigned threads) noexcept;
    // Parts handed out before may be given back in `spare`: their buffers
    // are reused (emptied), which spares the allocator and the page faults
    // of fresh memory.
    void start(std::vector<SampleGame>&& games, unsigned threads, std::vector<SamplePart>&& spare = {});
    // The parts in input order, once every part is played; an exception
    // other than a game's Invalid is rethrown.
    std::vector<SamplePart> finish();

private:
    // Plays parts until none is left.
    void work() noexcept;
    void wait() noexcept;

    std::vector<SampleGame> games_;
    std::vector<std::size_t> cuts_;
    std::vector<SamplePart> parts_;
    std::vector<std::exception_ptr> errors_;
    std::vector<std::thread> helpers_;
    std::atomic<std::size_t> next_part_{0};
    bool pending_ = false;
};

// Plays `games` on `threads` threads and returns the parts in input order.
std::vector<SamplePart> play_samples(std::vector<SampleGame>&& games, unsigned threads,
                                     std::vector<SamplePart>&& spare = {});

}  // namespace board
