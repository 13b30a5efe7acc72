#include <array>
#include <bit>
#include <cstdint>
#include <exception>

#include "board.h"
#include "attacks.h"
#include "fast/fast.h"

namespace board {

namespace {

// Highest square first: every list order follows from this walk.
template <typename F>
void for_each_square(Bitboard bb, F&& f) {
    while (bb) {
        const Square s = 63 - static_cast<Square>(std::countl_zero(bb));
        bb ^= Bitboard{1} << s;
        f(s);
    }
}

// A generator that panics halfway hands back no partial list.
class ListRollback {
public:
    explicit ListRollback(MoveList& list) noexcept
        : list_(list), size_(list.size()), pending_(std::uncaught_exceptions()) {}
    ListRollback(const ListRollback&) = delete;
    ListRollback& operator=(const ListRollback&) = delete;
    ~ListRollback() {
        if (std::uncaught_exceptions() > pending_) list_.truncate(size_);
    }

private:
    MoveList& list_;
    std::size_t size_;
    int pending_;
};

// Puts `turn` back however the scope is left. The position with the other
// side to move is another one, so the class is forgotten until then.
class TurnGuard {
public:
    explicit TurnGuard(Board& b) noexcept : board_(b), turn_(b.turn), kept_(b.class_cache) { b.forget_class(); }
    TurnGuard(const TurnGuard&) = delete;
    TurnGuard& operator=(const TurnGuard&) = delete;
    ~TurnGuard() {
        board_.turn = turn_;
        board_.class_cache = kept_;
    }

private:
    Board& board_;
    bool turn_;
    BoardState::ClassCache kept_;
};

// Steps from `s` along `d`; false when the ray leaves the board or wraps
// around the a- or h-file.
bool ray_step(std::uint8_t s, std::int8_t d, std::uint8_t& n) {
    n = static_cast<std::uint8_t>(s + d);
    if (n > 63) return false;
    const int dr = SQUARE_RANK_INDICES[n] - SQUARE_RANK_INDICES[s];
    const int df = SQUARE_FILE_INDICES[n] - SQUARE_FILE_INDICES[s];
    return dr >= -1 && dr <= 1 && df >= -1 && df <= 1;
}

constexpr std::array<std::int8_t, 4> BISHOP_DIRS{9, 7, -7, -9};
constexpr std::array<std::int8_t, 4> ROOK_DIRS{8, 1, -1, -8};

template <std::size_t N>
void sliding_moves(const Board& b, PieceKind kind, const std::array<std::int8_t, N>& dirs,
                   MoveList& out) {
    const Bitboard own = b.colors[b.us()];
    const Bitboard opponent = b.colors[b.them()];
    for_each_square(b.pieces(b.us(), kind), [&](Square s) {
        for (std::int8_t d : dirs) {
            auto p = static_cast<std::uint8_t>(s);
            std::uint8_t n;
            while (ray_step(p, d, n)) {
                const Bitboard bit = BOARD_SQUARES[n];
                if (own & bit) break;
                out.push_back(Move(s, n));
                if (opponent & bit) break;
                p = n;
            }
        }
    });
}

// Highest king of the given colour; 255 when there is none, which no move reaches.
std::uint8_t king_square(const Board& b, Color c) {
    return static_cast<std::uint8_t>(63 - std::countl_zero(b.pieces(c, KING)));
}

bool any_move_to(const MoveList& moves, Square square) {
    for (const Move& m : moves)
        if (m.to_square == square) return true;
    return false;
}

}  // namespace

void Board::pawn_moves(MoveList& out) const {
    ListRollback rollback(out);
    const Color mover = us();
    const Bitboard mine = pieces(mover, PAWN);
    const Bitboard empty = ~occupied();

    const Bitboard singles = empty & pawn_push(mover, mine);
    const Bitboard doubles = empty & pawn_push(mover, singles) & (mover == WHITE ? RANK_4 : RANK_5);
    const Bitboard captures = colors[them()] & pawn_attacks(mover, mine);
    const std::uint8_t last_rank = mover == WHITE ? 8 : 1;

    auto emit = [&](Square from, Square to) {
        if (SQUARE_RANK_INDICES[to] == last_rank) {
            for (char32_t p : {U'q', U'r', U'n', U'b'}) out.push_back(Move(from, to, p));
        } else {
            out.push_back(Move(from, to));
        }
    };

    for_each_square(singles, [&](Square t) { emit(turn ? t - 8 : t + 8, t); });
    for_each_square(doubles, [&](Square t) { out.push_back(Move(turn ? t - 16 : t + 16, t)); });
    for_each_square(captures, [&](Square t) {
        // Only a pawn on its own first rank sends the first origin off the
        // board; the unsigned wrap is the index the panic reports.
        const Square first = turn ? t - 9 : t + 9;
        if (checked(BOARD_SQUARES, first) & mine & (turn ? NOT_H_FILE : NOT_A_FILE)) emit(first, t);
        const Square second = turn ? t - 7 : t + 7;
        if (checked(BOARD_SQUARES, second) & mine & (turn ? NOT_A_FILE : NOT_H_FILE)) emit(second, t);
    });

    if (en_passant_square) {
        const Square ep = *en_passant_square;
        const Bitboard target = checked(BOARD_SQUARES, ep);
        const Bitboard capturers = mine & (mover == WHITE ? RANK_5 : RANK_4) & pawn_attacks(them(), target);
        for_each_square(capturers, [&](Square c) { out.push_back(Move(c, ep)); });
    }
}

void Board::knight_moves(MoveList& out) const {
    const Bitboard own = colors[us()];
    for_each_square(pieces(us(), KNIGHT), [&](Square k) {
        for_each_square(KNIGHT_ATTACKS[k] & ~own, [&](Square t) { out.push_back(Move(k, t)); });
    });
}

void Board::king_moves(MoveList& out) const {
    const Bitboard own = colors[us()];
    // No king gives 63 - 64, wrapped: the index the panic reports.
    const Square k = 63u - static_cast<Square>(std::countl_zero(pieces(us(), KING)));
    const Bitboard targets = checked(KING_ATTACKS, k) & ~own;
    for_each_square(targets, [&](Square t) { out.push_back(Move(k, t)); });
}

void Board::bishop_moves(MoveList& out) const { sliding_moves(*this, BISHOP, BISHOP_DIRS, out); }

void Board::rook_moves(MoveList& out) const { sliding_moves(*this, ROOK, ROOK_DIRS, out); }

void Board::queen_moves(MoveList& out) const { sliding_moves(*this, QUEEN, KING_DIRS, out); }

void Board::pseudo_legal_moves(MoveList& out) const {
    ListRollback rollback(out);
    pawn_moves(out);
    knight_moves(out);
    king_moves(out);
    bishop_moves(out);
    rook_moves(out);
    queen_moves(out);
}

// The fast generator answers for every position a game can reach; the
// reference takes the rest, where its results and panics are the contract.
bool Board::_is_attacked(std::uint8_t square) {
    if (const auto fast = fast::is_attacked(*this, square)) return *fast;
    return reference::is_attacked(*this, square);
}

bool Board::is_check() {
    if (const auto fast = fast::is_check(*this)) return *fast;
    return reference::is_check(*this);
}

void Board::_castling_moves(MoveList& out) { reference::castling_moves(*this, out); }

void Board::legal_moves(MoveList& out) {
    if (fast::legal_moves(*this, out)) return;
    reference::legal_moves(*this, out);
}

bool Board::is_checkmate() {
    if (!is_check()) return false;
    MoveList moves;
    legal_moves(moves);
    return moves.empty();
}

bool Board::is_stalemate() {
    if (is_check()) return false;
    MoveList moves;
    legal_moves(moves);
    return moves.empty();
}

bool Board::is_game_over() { return is_checkmate() || is_stalemate(); }

std::uint64_t Board::perft(unsigned depth, StopPoll stop) {
    if (depth > MAX_PERFT_DEPTH)
        throw Invalid("perft depth " + std::to_string(depth) + " is above the limit of " +
                      std::to_string(MAX_PERFT_DEPTH));
    StopCheck check(stop);
    if (const auto fast = fast::perft(*this, depth, check)) return *fast;
    return reference::perft(*this, depth, check);
}

namespace reference {

bool is_attacked(Board& b, std::uint8_t square) {
    MoveList moves;
    {
        TurnGuard guard(b);
        b.turn = !b.turn;
        b.pseudo_legal_moves(moves);
    }
    return any_move_to(moves, square);
}

bool is_check(Board& b) {
    return is_attacked(b, king_square(b, b.us()));
}

// Only the four letters that play castles by count; a letter repeated in
// the text names the same move, which is listed once.
void castling_moves(Board& b, MoveList& out) {
    if (b.chess960) {
        // King takes own rook, the king side first.
        const CastlingPlans plans = castling_plans(b);
        const Color mover = b.us();
        for (CastlingSide side : {KING_SIDE, QUEEN_SIDE}) {
            const Castling& g = plans.plan[mover][side];
            if ((plans.bits & castling_bit(mover, side)) && castling_legal_now(b, mover, g))
                out.push_back(Move(g.king_from, g.rook_from));
        }
        return;
    }
    if (!b.castling_rights.present()) return;
    const Color mover = b.us();
    const Bitboard own = b.colors[mover];

    ListRollback rollback(out);
    std::uint8_t listed = 0;
    for (char letter : b.castling_rights.view()) {
        const auto right = castling_right_of(static_cast<unsigned char>(letter));
        if (!right || right->color != mover) continue;
        const std::uint8_t bit = castling_bit(right->color, right->side);
        if (listed & bit) continue;
        listed |= bit;
        const Castling& side = CASTLING[mover][right->side];
        if (!(b.kinds[KING] & own & square_bb(side.king_from))) continue;
        if (!(b.kinds[ROOK] & own & square_bb(side.rook_from))) continue;
        // Attacks by the rules of chess, pawns by their diagonals only; the
        // destination lies on the standard path, so the rook's move changes nothing.
        if (castling_legal_now(b, mover, side)) out.push_back(Move(side.king_from, side.king_to));
    }
}

void legal_moves(Board& b, MoveList& out) {
    ListRollback rollback(out);
    castling_moves(b, out);
    MoveList candidates;
    b.pseudo_legal_moves(candidates);
    MoveList replies;
    for (const Move& m : candidates) {
        Rewind trial(b);  // also while a Panic unwinds: a failed apply_move still pushed its entry
        b.apply_move(m);
        const std::uint8_t king = king_square(b, b.them());
        replies.clear();
        b.pseudo_legal_moves(replies);
        if (!any_move_to(replies, king)) out.push_back(m);
    }
}

std::uint64_t perft(Board& b, unsigned depth, StopCheck& check) {
    if (depth == 0) return 1;
    check.tick();
    MoveList moves;
    legal_moves(b, moves);
    if (depth == 1) return moves.size();
    std::uint64_t nodes = 0;
    for (const Move& m : moves) {
        Rewind trial(b);  // also while a Panic unwinds: a failed apply_move still pushed its entry
        b.apply_move(m);
        nodes += perft(b, depth - 1, check);
    }
    return nodes;
}

}  // namespace reference

}  // namespace board
