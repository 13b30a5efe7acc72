#include <array>
#include <bit>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <locale.h>
#include <wctype.h>

#include "board.h"
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

// Puts `turn` back however the scope is left.
class TurnGuard {
public:
    explicit TurnGuard(Board& b) noexcept : board_(b), turn_(b.turn) {}
    TurnGuard(const TurnGuard&) = delete;
    TurnGuard& operator=(const TurnGuard&) = delete;
    ~TurnGuard() { board_.turn = turn_; }

private:
    Board& board_;
    bool turn_;
};

// Takes back every move played since construction, also while a Panic
// unwinds (a failed apply_move still pushed its history entry).
class TrialMove {
public:
    explicit TrialMove(Board& b) noexcept : board_(b), depth_(b.history.size()) {}
    TrialMove(const TrialMove&) = delete;
    TrialMove& operator=(const TrialMove&) = delete;
    ~TrialMove() {
        while (board_.history.size() > depth_) board_.pop();
    }

private:
    Board& board_;
    std::size_t depth_;
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
void sliding_moves(const Board& b, Bitboard pieces, const std::array<std::int8_t, N>& dirs,
                   MoveList& out) {
    const Bitboard own = b.turn ? b.white : b.black;
    const Bitboard opponent = b.turn ? b.black : b.white;
    for_each_square(pieces & own, [&](Square s) {
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
std::uint8_t king_square(const Board& b, Bitboard colour) {
    return static_cast<std::uint8_t>(63 - std::countl_zero(b.kings & colour));
}

bool any_move_to(const MoveList& moves, Square square) {
    for (const Move& m : moves)
        if (m.to_square == square) return true;
    return false;
}

// Whether the opponent could take on `square`: unlike the pseudo-legal test,
// pawns count by their diagonals, empty target or not, and never by pushes.
bool truly_attacked(const Board& b, Square square) {
    const Bitboard them = b.turn ? b.black : b.white;
    const Bitboard occupied = b.white | b.black;
    const Bitboard target = BOARD_SQUARES[square];

    const Bitboard pawns = b.pawns & them;
    const Bitboard pawn_attacks =
        b.turn ? ((pawns >> 7) & NOT_A_FILE) | ((pawns >> 9) & NOT_H_FILE)
               : ((pawns << 9) & NOT_A_FILE) | ((pawns << 7) & NOT_H_FILE);
    if (pawn_attacks & target) return true;
    if (KNIGHT_ATTACK_MASKS()[square] & b.knights & them) return true;
    if (KING_ATTACK_MASKS()[square] & b.kings & them) return true;

    auto ray_hits = [&](std::int8_t d, Bitboard sliders) {
        auto p = static_cast<std::uint8_t>(square);
        std::uint8_t n;
        while (ray_step(p, d, n)) {
            const Bitboard bit = BOARD_SQUARES[n];
            if (occupied & bit) return (sliders & bit) != 0;
            p = n;
        }
        return false;
    };
    const Bitboard diagonal = (b.bishops | b.queens) & them;
    const Bitboard straight = (b.rooks | b.queens) & them;
    for (std::int8_t d : BISHOP_DIRS)
        if (ray_hits(d, diagonal)) return true;
    for (std::int8_t d : ROOK_DIRS)
        if (ray_hits(d, straight)) return true;
    return false;
}

// Castling letters are UTF-8 text and their case is Unicode's; the C locale
// only knows ASCII, so ask a UTF-8 one when the system has it.
locale_t utf8_locale() {
    static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    return loc;
}

enum class LetterCase { upper, lower, none };

LetterCase letter_case(char32_t c) {
    if (c < 0x80) {
        if (c >= U'A' && c <= U'Z') return LetterCase::upper;
        if (c >= U'a' && c <= U'z') return LetterCase::lower;
        return LetterCase::none;
    }
    const locale_t loc = utf8_locale();
    if (loc == locale_t{}) return LetterCase::none;
    if (iswupper_l(static_cast<wint_t>(c), loc)) return LetterCase::upper;
    if (iswlower_l(static_cast<wint_t>(c), loc)) return LetterCase::lower;
    return LetterCase::none;
}

// True for "k", "K" and any other letter that lower-cases to "k".
bool lowers_to_k(char32_t c) {
    if (c == U'k' || c == U'K') return true;
    if (c < 0x80) return false;
    const locale_t loc = utf8_locale();
    return loc != locale_t{} && towlower_l(static_cast<wint_t>(c), loc) == L'k';
}

struct CastlingSide {
    Square king_from, king_to, rook_corner;
    Bitboard must_be_empty;
    std::array<Square, 3> must_be_safe;
};

constexpr Bitboard squares_bb(std::initializer_list<Square> squares) {
    Bitboard bb = 0;
    for (Square s : squares) bb |= BOARD_SQUARES[s];
    return bb;
}

// [white, black][king side, queen side]
constexpr CastlingSide CASTLING[2][2] = {
    {{4, 6, 7, squares_bb({5, 6}), {4, 5, 6}}, {4, 2, 0, squares_bb({1, 2, 3}), {4, 3, 2}}},
    {{60, 62, 63, squares_bb({61, 62}), {60, 61, 62}},
     {60, 58, 56, squares_bb({57, 58, 59}), {60, 59, 58}}},
};

}  // namespace

void Board::pawn_moves(MoveList& out) const {
    ListRollback rollback(out);
    const Bitboard own = turn ? white : black;
    const Bitboard opponent = turn ? black : white;
    const Bitboard mine = pawns & own;
    const Bitboard empty = ~(white | black);

    Bitboard singles, doubles, captures;
    if (turn) {
        singles = empty & (mine << 8);
        doubles = empty & (singles << 8) & RANK_4;
        captures = opponent & (((mine << 9) & NOT_A_FILE) | ((mine << 7) & NOT_H_FILE));
    } else {
        singles = empty & (mine >> 8);
        doubles = empty & (singles >> 8) & RANK_5;
        captures = opponent & (((mine >> 7) & NOT_A_FILE) | ((mine >> 9) & NOT_H_FILE));
    }
    const std::uint8_t last_rank = turn ? 8 : 1;

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
        const Bitboard capturers =
            turn ? mine & RANK_5 & (((target >> 9) & NOT_H_FILE) | ((target >> 7) & NOT_A_FILE))
                 : mine & RANK_4 & (((target << 9) & NOT_A_FILE) | ((target << 7) & NOT_H_FILE));
        for_each_square(capturers, [&](Square c) { out.push_back(Move(c, ep)); });
    }
}

void Board::knight_moves(MoveList& out) const {
    const auto& masks = KNIGHT_ATTACK_MASKS();
    const Bitboard own = turn ? white : black;
    for_each_square(knights & own, [&](Square k) {
        for_each_square(masks[k] & ~own, [&](Square t) { out.push_back(Move(k, t)); });
    });
}

void Board::king_moves(MoveList& out) const {
    const auto& masks = KING_ATTACK_MASKS();
    const Bitboard own = turn ? white : black;
    // No king gives 63 - 64, wrapped: the index the panic reports.
    const Square k = 63u - static_cast<Square>(std::countl_zero(kings & own));
    const Bitboard targets = checked(masks, k) & ~own;
    for_each_square(targets, [&](Square t) { out.push_back(Move(k, t)); });
}

void Board::bishop_moves(MoveList& out) const { sliding_moves(*this, bishops, BISHOP_DIRS, out); }

void Board::rook_moves(MoveList& out) const { sliding_moves(*this, rooks, ROOK_DIRS, out); }

void Board::queen_moves(MoveList& out) const { sliding_moves(*this, queens, KING_DIRS, out); }

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
    bool result = false;
    if (fast::is_attacked(*this, square, result)) return result;
    return reference::is_attacked(*this, square);
}

bool Board::is_check() {
    bool result = false;
    if (fast::is_check(*this, result)) return result;
    return reference::is_check(*this);
}

void Board::_castling_moves(MoveList& out) { reference::castling_moves(*this, out); }

void Board::legal_moves(MoveList& out) {
    const std::size_t start = out.size();
    if (start == 0 && fast::legal_moves(*this, out)) return;
    out.truncate(start);
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

std::uint64_t Board::perft(unsigned depth) {
    std::uint64_t nodes = 0;
    if (fast::perft(*this, depth, nodes)) return nodes;
    return reference::perft(*this, depth);
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
    const std::uint8_t king = king_square(b, b.turn ? b.white : b.black);
    return is_attacked(b, king);
}

void castling_moves(Board& b, MoveList& out) {
    if (!b.castling_rights.present()) return;
    const int colour = b.turn ? 0 : 1;
    const Bitboard own = b.turn ? b.white : b.black;
    const Bitboard occupied = b.white | b.black;
    const LetterCase wanted = b.turn ? LetterCase::upper : LetterCase::lower;

    ListRollback rollback(out);
    auto consider = [&](char32_t c) {
        if (letter_case(c) != wanted) return;
        const CastlingSide& side = CASTLING[colour][lowers_to_k(c) ? 0 : 1];
        if (!(b.kings & own & BOARD_SQUARES[side.king_from])) return;
        if (!(b.rooks & own & BOARD_SQUARES[side.rook_corner])) return;
        if (occupied & side.must_be_empty) return;
        for (Square s : side.must_be_safe)
            if (truly_attacked(b, s)) return;
        out.push_back(Move(side.king_from, side.king_to));
    };
    const std::string_view text = b.castling_rights.view();
    for (std::size_t i = 0; i < text.size();) consider(next_code_point(text, i));
}

void legal_moves(Board& b, MoveList& out) {
    ListRollback rollback(out);
    castling_moves(b, out);
    MoveList candidates;
    b.pseudo_legal_moves(candidates);
    MoveList replies;
    for (const Move& m : candidates) {
        TrialMove trial(b);
        b.apply_move(m);
        const std::uint8_t king = king_square(b, b.turn ? b.black : b.white);
        replies.clear();
        b.pseudo_legal_moves(replies);
        if (!any_move_to(replies, king)) out.push_back(m);
    }
}

std::uint64_t perft(Board& b, unsigned depth) {
    if (depth == 0) return 1;
    MoveList moves;
    legal_moves(b, moves);
    if (depth == 1) return moves.size();
    std::uint64_t nodes = 0;
    for (const Move& m : moves) {
        TrialMove trial(b);
        b.apply_move(m);
        nodes += perft(b, depth - 1);
    }
    return nodes;
}

}  // namespace reference

}  // namespace board
