#pragma once

// Training samples from PGN games: one row per position before a mainline
// move, in columns, as a learning pipeline takes them. Games are split from
// the stream by PgnReader and played here, on several threads at once when
// asked: the work needs nothing but the game's own text.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "board.h"

namespace board {

// The columns of a run of rows. Booleans are stored as bytes of 0 or 1;
// `bitboards` holds PLANE_COUNT entries per row, `castling` four (K, Q, k, q).
struct SampleColumns {
    std::vector<std::int32_t> game;
    std::vector<std::uint16_t> ply;
    std::vector<std::uint64_t> bitboards;
    std::vector<std::uint8_t> turn;
    std::vector<std::uint8_t> castling;
    std::vector<std::int8_t> en_passant;
    std::vector<std::uint16_t> half_move_clock;
    std::vector<std::uint8_t> move_from;
    std::vector<std::uint8_t> move_to;
    std::vector<std::uint8_t> promotion;
    std::vector<std::int16_t> move_index;
    std::vector<std::int32_t> eval_cp;
    std::vector<std::int16_t> eval_mate;
    std::vector<std::uint8_t> has_eval;
    std::vector<float> clock;
    std::vector<std::int8_t> result;
    std::vector<std::int16_t> white_elo;
    std::vector<std::int16_t> black_elo;

    std::size_t rows() const noexcept { return game.size(); }
    // Drops the rows from `n` on.
    void truncate(std::size_t n);
    void reserve(std::size_t n);
};

// A game split from a stream, owning what playing it needs, so that any
// thread can play it after the stream has moved on.
struct SampleGame {
    std::size_t number = 0;  // from 0, counting every game of the stream
    std::string movetext;
    std::optional<std::string> fen;
    std::int8_t result = -2;  // 1 white won, 0 draw, -1 black won, -2 unknown
    std::int16_t white_elo = 0;
    std::int16_t black_elo = 0;
};

// The sample game of a game split by PgnReader::next_raw; the movetext is copied.
SampleGame sample_game(const RawGame& raw);

// Plays a game's mainline and appends one row per position before each of
// its moves, the evaluation and clock read from the comment after the move
// (comments joined and read as `annotate` reads them). Invalid, with `out`
// as it was, when the game cannot be played: the reason, as the PGN reader
// gives it.
void append_samples(const SampleGame& game, SampleColumns& out);

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

// Plays `games` in up to `threads` contiguous parts at once (the calling
// thread plays the first), each into buffers of its own, and returns the
// parts in input order. An exception other than a game's Invalid is
// rethrown here once every thread has finished. Parts handed out before
// may be given back in `spare`: their buffers are reused (emptied), which
// spares the allocator and the page faults of fresh memory.
std::vector<SamplePart> play_samples(const std::vector<SampleGame>& games, unsigned threads,
                                     std::vector<SamplePart>&& spare = {});

// Plays games on threads of its own while the caller goes on with other
// work (splitting the next games of the stream): start() hands over the
// games, finish() waits for their parts.
class SamplePlayer {
public:
    SamplePlayer() = default;
    SamplePlayer(const SamplePlayer&) = delete;
    SamplePlayer& operator=(const SamplePlayer&) = delete;
    // Waits for the threads: they use this object's buffers.
    ~SamplePlayer() { wait(); }

    // Whether games were started and their parts not yet taken.
    bool running() const noexcept { return pending_; }
    // Plays `games` in `threads` contiguous parts, each on a new thread,
    // into the buffers of `spare` where given (as play_samples).
    void start(std::vector<SampleGame>&& games, unsigned threads, std::vector<SamplePart>&& spare = {});
    // The parts in input order, once every thread is done; an exception
    // other than a game's Invalid is rethrown.
    std::vector<SamplePart> finish();

private:
    void wait() noexcept;

    std::vector<SampleGame> games_;
    std::vector<std::size_t> cuts_;
    std::vector<SamplePart> parts_;
    std::vector<std::exception_ptr> errors_;
    std::vector<std::thread> threads_;
    bool pending_ = false;
};

}  // namespace board
