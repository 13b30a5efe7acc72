#include "fast.h"

#include <bit>

#include "position.h"

namespace board::fast {

using namespace detail;

namespace {

Pos to_pos(const Board& b) {
    Pos p{};
    p.kind[PAWN] = b.pawns;
    p.kind[KNIGHT] = b.knights;
    p.kind[BISHOP] = b.bishops;
    p.kind[ROOK] = b.rooks;
    p.kind[QUEEN] = b.queens;
    p.kind[KING] = b.kings;
    p.color[WHITE] = b.white;
    p.color[BLACK] = b.black;
    p.ep = b.en_passant_square ? *b.en_passant_square : 0;
    return p;
}

// Castling letters of the text whose king and rook still stand at home: the
// only ones that can ever yield a move.
std::uint8_t castle_bits(const Pos& p, std::string_view text) {
    const Bitboard white_rooks = p.kind[ROOK] & p.color[WHITE];
    const Bitboard black_rooks = p.kind[ROOK] & p.color[BLACK];
    const bool white_home = p.kind[KING] & p.color[WHITE] & square_bb(4);
    const bool black_home = p.kind[KING] & p.color[BLACK] & square_bb(60);
    std::uint8_t bits = 0;
    for (char c : text) {
        if (c == 'K' && white_home && (white_rooks & square_bb(7))) bits |= WHITE_KING_SIDE;
        if (c == 'Q' && white_home && (white_rooks & square_bb(0))) bits |= WHITE_QUEEN_SIDE;
        if (c == 'k' && black_home && (black_rooks & square_bb(63))) bits |= BLACK_KING_SIDE;
        if (c == 'q' && black_home && (black_rooks & square_bb(56))) bits |= BLACK_QUEEN_SIDE;
    }
    return bits;
}

// The side that just moved may not still be in check.
bool opponent_in_check(const Pos& p, Color us) {
    const Color them = us == WHITE ? BLACK : WHITE;
    const int king = std::countr_zero(p.kind[KING] & p.color[them]);
    return attackers_to(p, king, p.color[WHITE] | p.color[BLACK], us) != 0;
}

// An upper bound on the legal moves of `side` anywhere in the tree below:
// pawns are counted as the queens they may become.
unsigned mobility_bound(const Pos& p, Color side) {
    const Bitboard own = p.color[side];
    return 27 * std::popcount((p.kind[QUEEN] | p.kind[PAWN]) & own) + 14 * std::popcount(p.kind[ROOK] & own) +
           13 * std::popcount(p.kind[BISHOP] & own) + 8 * std::popcount(p.kind[KNIGHT] & own) + 10;
}

constexpr std::array<char32_t, 5> PROMO_LETTER{0, U'q', U'r', U'n', U'b'};

template <Color Us>
bool legal_list(const Pos& p, const Text& castling, MoveList& out) {
    using S = Side<Us>;
    if (opponent_in_check(p, Us)) return false;
    const Info in = analyse<Us>(p);
    out.clear();
    if (castling.present() && !in.checkers && in.king == S::HOME) {
        const Bitboard rooks = p.kind[ROOK] & in.own;
        for (char c : castling.view()) {
            const bool king_side = c == (Us == WHITE ? 'K' : 'k');
            if (!king_side && c != (Us == WHITE ? 'Q' : 'q')) continue;
            const int corner = king_side ? S::HOME + 3 : S::HOME - 4;
            if ((rooks & square_bb(corner)) && castling_legal<Us>(in, king_side ? S::KING_SIDE : S::QUEEN_SIDE))
                out.push_back(Move(S::HOME, king_side ? S::HOME + 2 : S::HOME - 2));
        }
    }
    generate<Us>(p, in, [&](int from, int to, int, std::uint32_t flag) {
        if (flag >= PROMO_Q && flag <= PROMO_B)
            out.push_back(Move(static_cast<Square>(from), static_cast<Square>(to), PROMO_LETTER[flag]));
        else
            out.push_back(Move(static_cast<Square>(from), static_cast<Square>(to)));
    });
    return out.size() <= MoveList::INLINE_CAPACITY;
}

}  // namespace

bool is_normal(const Board& b) {
    const Bitboard kinds[6] = {b.pawns, b.knights, b.bishops, b.rooks, b.queens, b.kings};
    Bitboard all = 0;
    for (Bitboard k : kinds) {
        if (all & k) return false;
        all |= k;
    }
    if ((b.white & b.black) || (b.white | b.black) != all) return false;
    if (std::popcount(b.kings & b.white) != 1 || std::popcount(b.kings & b.black) != 1) return false;
    if (b.pawns & (RANK_1 | RANK_8)) return false;
    if (b.en_passant_square) {
        const unsigned ep = *b.en_passant_square;
        if (ep > 63 || (all & square_bb(ep))) return false;
        if (b.turn ? !(square_bb(ep) & RANK_6) || !(b.pawns & b.black & square_bb(ep - 8))
                   : !(square_bb(ep) & RANK_3) || !(b.pawns & b.white & square_bb(ep + 8)))
            return false;
    }
    if (b.castling_rights.present()) {
        unsigned seen = 0;
        for (char c : b.castling_rights.view()) {
            unsigned bit = c == 'K' ? 1 : c == 'Q' ? 2 : c == 'k' ? 4 : c == 'q' ? 8 : 0;
            if (!bit || (seen & bit)) return false;
            seen |= bit;
        }
    }
    return true;
}

bool legal_moves(const Board& b, MoveList& out) {
    if (!is_normal(b)) return false;
    slider_tables();
    const Pos p = to_pos(b);
    return b.turn ? legal_list<WHITE>(p, b.castling_rights, out) : legal_list<BLACK>(p, b.castling_rights, out);
}

bool perft(const Board& b, unsigned depth, std::uint64_t& nodes) {
    if (!is_normal(b)) return false;
    slider_tables();
    Pos p = to_pos(b);
    const Color us = b.turn ? WHITE : BLACK;
    if (opponent_in_check(p, us)) return false;
    if (mobility_bound(p, WHITE) > PLY_CAPACITY || mobility_bound(p, BLACK) > PLY_CAPACITY) return false;
    p.castle = castle_bits(p, b.castling_rights.view());
    if (depth == 0)
        nodes = 1;
    else
        nodes = us == WHITE ? detail::perft<WHITE>(p, depth) : detail::perft<BLACK>(p, depth);
    return true;
}

bool is_check(const Board& b, bool& result) {
    if (!is_normal(b)) return false;
    slider_tables();
    const Pos p = to_pos(b);
    const Color us = b.turn ? WHITE : BLACK;
    const int king = std::countr_zero(p.kind[KING] & p.color[us]);
    result = attackers_to(p, king, b.white | b.black, us == WHITE ? BLACK : WHITE) != 0;
    return true;
}

bool is_attacked(const Board& b, std::uint8_t square, bool& result) {
    if (!is_normal(b)) return false;
    if (square > 63) {
        result = false;
        return true;
    }
    slider_tables();
    const Pos p = to_pos(b);
    const Color by = b.turn ? BLACK : WHITE;
    const Bitboard occupied = b.white | b.black;
    const Bitboard s = square_bb(square);
    if (p.color[by] & s) {
        result = false;
        return true;
    }
    // Pawn diagonals land only on pieces; onto an empty square pawns push.
    Bitboard hit = attackers_to(p, square, occupied, by);
    const Bitboard pawns = p.kind[PAWN] & p.color[by];
    if (!(occupied & s)) {
        hit &= ~p.kind[PAWN];
        const int up = by == WHITE ? 8 : -8;
        const Bitboard behind = by == WHITE ? s >> 8 : s << 8;
        const Bitboard double_rank = by == WHITE ? RANK_4 : RANK_5;
        hit |= behind & pawns;
        if ((s & double_rank) && !(behind & occupied)) hit |= square_bb(square - 2 * up) & pawns;
    }
    result = hit != 0;
    return true;
}

}  // namespace board::fast
