#pragma once

// The fast generator: check and pin masks instead of trial moves, magic
// slider tables, copy-make perft with bulk counting. It answers only for
// positions of the class each entry names (FastClass, board.h), read from the
// record (fast_class()) rather than tested again; for the rest the entry
// declines (false or std::nullopt), and the caller falls back to the
// reference, which defines the results.

#include <cstdint>
#include <optional>

#include "board.h"

namespace board::fast {

// The domain: kind bitboards pairwise disjoint, colours disjoint and covering
// exactly the pieces; one king per colour; no pawn on rank 1 or 8; en passant
// square absent, or on rank 6 (white to move) / rank 3 (black to move), empty,
// with an opponent pawn just beyond it; castling text absent, or made of
// distinct letters among "KQkq".
bool is_normal(const BoardState& b);

// The class of the position (FastClass): is_normal, and whether the side not
// to move is in check. Fills the slider tables every entry reads, so that
// any kept class means they are filled.
FastClass classify(const BoardState& b);

// Whether every entry below that asks for ANSWERS answers for the position.
inline bool answers(const BoardState& b) { return b.fast_class() == FastClass::ANSWERS; }

// The reference legal list (castling first, in the order of the castling
// text), same moves, same order, appended to `out`. ANSWERS; otherwise
// false, appending nothing.
bool legal_moves(const Board& b, MoveList& out);

// Leaf count of the legal tree to `depth` (1 at depth 0), castling rights
// kept as apply_move keeps them. ANSWERS, and perft's own refusal besides:
// positions with enough pieces that a ply could overflow its move array.
// `check` is ticked once per node above the last ply.
std::optional<std::uint64_t> perft(const Board& b, unsigned depth, StopCheck& check);
inline std::optional<std::uint64_t> perft(const Board& b, unsigned depth) {
    StopCheck check;
    return perft(b, depth, check);
}

// Whether the side to move has a legal en passant capture, asked of the
// position alone (no board, no trial move): what Board::has_legal_en_passant
// answers. False without an en passant square on the board, whatever the
// class (the position is not classified then); NORMAL otherwise.
std::optional<bool> has_legal_en_passant(const BoardState& s);

// Whether the side to move's king is attacked. NORMAL.
std::optional<bool> is_check(const Board& b);

// The reference _is_attacked: whether the side not to move has a pseudo-legal
// move onto `square` (pawn pushes count, a pawn's diagonal only onto a piece
// of the side to move); false for a square above 63. NORMAL.
std::optional<bool> is_attacked(const Board& b, std::uint8_t square);

// The two entries that follow ask for no class: each answers wherever what
// it reads is sound, a wider domain than NORMAL, and checks that itself,
// more cheaply than classifying a position a checked move is played from.

// Whether the side to move may castle on `side` now: the right in the text,
// king and rook at home, nothing between, no attacked square on the king's way.
// It answers on every board, whatever else the position holds: the rule reads
// only the right's letter and the sets on and around the king's path, as the
// reference reads them.
bool can_castle(const Board& b, CastlingSide side);

// Whether playing `m` leaves the mover's king attacked; `m` must be a
// pseudo-legal move other than castling. Answers where the sets agree with
// each other and each side has one king.
std::optional<bool> leaves_king_attacked(const Board& b, const Move& m);

// The legal moves other than castling of the side to move's `kind` pieces
// standing on `from_mask` that land on `to`, in list order. ANSWERS.
bool legal_moves_to(const Board& b, PieceKind kind, Bitboard from_mask, Square to, MoveList& out);

// What notation needs to know of the move `m` of a `kind` piece, castling
// excepted: whether it is legal, which other pieces on `from_mask` could make
// it too, and, when it is legal, what it leaves the opponent in. ANSWERS.
struct MoveFacts {
    bool legal;
    Bitboard rivals;
    Check check;
};
std::optional<MoveFacts> move_facts(const Board& b, const Move& m, PieceKind kind, Bitboard from_mask);

// Whether the legal move `m` (castling as the king's two-square step) leaves
// the opponent in check, and with no legal reply. NORMAL; Fischer random
// castling (king takes own rook) is left to the board, which plays it.
std::optional<Check> check_after(const Board& b, const Move& m);

// A game played forward by the fast generator alone, as a sample reader
// plays one, with what the rules need besides the placement: the board's
// en passant square (set after every double step), the side to move, the
// rights that can still castle (castling_bit sets, as clean_castling_bits
// reads them) and the half-move clock. Standard chess; every position of a
// walk is one the generator answers for.
struct Walk : Placement {
    std::optional<std::uint8_t> en_passant_square;
    bool turn = true;
    std::uint8_t castle = 0;
    std::uint32_t half_move_clock = 0;
};
// The walk from `b`, or std::nullopt where it cannot start: a Fischer random
// board, or one that is not ANSWERS.
std::optional<Walk> walk_of(const Board& b);
// What legal_moves_to answers on the board the walk stands for.
void walk_moves_to(const Walk& w, PieceKind kind, Bitboard from_mask, Square to, MoveList& out);
// Whether the side to move may castle on `side` now, as the board answers.
bool walk_can_castle(const Walk& w, CastlingSide side);
// Plays the legal `m` (castling as the king's two-square step), leaving the
// walk where apply_move leaves the board.
void walk_play(Walk& w, const Move& m);

}  // namespace board::fast
