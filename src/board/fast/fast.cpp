#include "fast.h"

#include <algorithm>
#include <bit>

#include "position.h"

namespace board::fast {

using namespace detail;

namespace {

// The side that just moved may not still be in check.
bool opponent_in_check(const Placement& p, Color us) {
    const Color them = opposite(us);
    const int king = std::countr_zero(p.kinds[KING] & p.colors[them]);
    return attackers_to(p, king, p.colors[WHITE] | p.colors[BLACK], us) != 0;
}

// An upper bound on the legal moves of `side` anywhere in the tree below:
// pawns are counted as the queens they may become.
unsigned mobility_bound(const Placement& p, Color side) {
    const Bitboard own = p.colors[side];
    return 27 * std::popcount((p.kinds[QUEEN] | p.kinds[PAWN]) & own) + 14 * std::popcount(p.kinds[ROOK] & own) +
           13 * std::popcount(p.kinds[BISHOP] & own) + 8 * std::popcount(p.kinds[KNIGHT] & own) + 10;
}

constexpr std::array<char32_t, 5> PROMO_LETTER{0, U'q', U'r', U'n', U'b'};

template <Color Us>
void legal_list(const Board& b, MoveList& out) {
    using S = Side<Us>;
    const Info in = analyse<Us>(b);
    if (b.chess960) {
        if (!in.checkers) {
            const CastlingPlans plans = castling_plans(b);
            for (CastlingSide side : {KING_SIDE, QUEEN_SIDE}) {
                const Castling& g = plans.plan[Us][side];
                if ((plans.bits & castling_bit(Us, side)) && castling_legal<Us, FischerCastles>(b, in, g))
                    out.push_back(Move(g.king_from, g.rook_from));
            }
        }
    } else if (b.castling_rights.present() && !in.checkers && in.king == S::HOME) {
        const Bitboard rooks = b.kinds[ROOK] & in.own;
        for (char c : b.castling_rights.view()) {
            const auto right = castling_right_of(static_cast<unsigned char>(c));
            if (!right || right->color != Us) continue;
            const Castling& g = CASTLING[Us][right->side];
            if ((rooks & square_bb(g.rook_from)) && castling_legal<Us>(b, in, g))
                out.push_back(Move(g.king_from, g.king_to));
        }
    }
    generate<Us>(b, b.en_passant_square, in, [&](int from, int to, int, std::uint32_t flag) {
        if (flag >= PROMO_Q && flag <= PROMO_B)
            out.push_back(Move(static_cast<Square>(from), static_cast<Square>(to), PROMO_LETTER[flag]));
        else
            out.push_back(Move(static_cast<Square>(from), static_cast<Square>(to)));
    });
}

// The one test of the domain every entry makes: the class the record keeps.
bool within(const BoardState& b, FastClass needed) { return b.fast_class_reaches(needed); }

}  // namespace

bool is_normal(const BoardState& b) {
    if (b.malformed()) return false;
    const Bitboard all = b.occupied();
    if (!b.one_king_each()) return false;
    if (b.kinds[PAWN] & (RANK_1 | RANK_8)) return false;
    if (b.en_passant_square) {
        const unsigned ep = *b.en_passant_square;
        if (ep > 63 || (all & square_bb(ep))) return false;
        if (b.turn ? !(square_bb(ep) & RANK_6) || !(b.pieces(BLACK, PAWN) & square_bb(ep - 8))
                   : !(square_bb(ep) & RANK_3) || !(b.pieces(WHITE, PAWN) & square_bb(ep + 8)))
            return false;
    }
    // Fischer random rights are read from the rooks, not the letters.
    return b.chess960 || b.castling_letters.plain();
}

FastClass classify(const BoardState& b) {
    if (!is_normal(b)) return FastClass::OUTSIDE;
    // The check test reads the slider tables: the first position a fresh
    // process asks about may come before anything else has filled them.
    slider_tables();
    return opponent_in_check(b, b.us()) ? FastClass::NORMAL : FastClass::ANSWERS;
}

bool legal_moves(const Board& b, MoveList& out) {
    if (!within(b, FastClass::ANSWERS)) return false;
    slider_tables();
    if (b.turn)
        legal_list<WHITE>(b, out);
    else
        legal_list<BLACK>(b, out);
    return true;
}

std::optional<std::uint64_t> perft(const Board& b, unsigned depth, StopCheck& check) {
    if (!within(b, FastClass::ANSWERS)) return std::nullopt;
    slider_tables();
    const Color us = b.us();
    if (mobility_bound(b, WHITE) > PLY_CAPACITY || mobility_bound(b, BLACK) > PLY_CAPACITY) return std::nullopt;
    if (depth == 0) return 1;
    if (b.chess960) {
        const CastlingPlans plans = castling_plans(b);
        const FischerCastles castles(plans.plan, plans.bits);
        Pos p{b, b.en_passant_square, plans.bits};
        return us == WHITE ? detail::perft<WHITE>(p, depth, check, castles)
                           : detail::perft<BLACK>(p, depth, check, castles);
    }
    Pos p{b, b.en_passant_square, clean_castling_bits(b)};
    return us == WHITE ? detail::perft<WHITE>(p, depth, check) : detail::perft<BLACK>(p, depth, check);
}

std::optional<bool> has_legal_en_passant(const BoardState& s) {
    if (!s.en_passant_square || *s.en_passant_square > 63) return false;
    if (!within(s, FastClass::NORMAL)) return std::nullopt;
    slider_tables();
    const int ep = *s.en_passant_square;
    auto any_legal = [&]<Color Us>() {
        const Info in = analyse<Us, false>(s);
        for (Bitboard c = PAWN_ATTACKS[opposite(Us)][ep] & s.pieces(Us, PAWN); c;)
            if (en_passant_legal<Us>(s, in, pop_lowest(c), ep)) return true;
        return false;
    };
    return s.turn ? any_legal.operator()<WHITE>() : any_legal.operator()<BLACK>();
}

std::optional<bool> is_check(const Board& b) {
    if (!within(b, FastClass::NORMAL)) return std::nullopt;
    slider_tables();
    const Color us = b.us();
    const int king = std::countr_zero(b.pieces(us, KING));
    return attackers_to(b, king, b.occupied(), opposite(us)) != 0;
}

namespace {

// The compact form of a move of the side to move: its kind read off the
// board, and the flag make() needs.
template <Color Us>
CMove compact(const Placement& b, std::optional<std::uint8_t> en_passant_square, const Move& m) {
    const Bitboard from = square_bb(m.from_square);
    int kind = PAWN;
    while (!(b.kinds[kind] & from)) ++kind;
    std::uint32_t flag = NORMAL;
    if (m.promotion) {
        for (std::uint32_t f = PROMO_Q; f <= PROMO_B; ++f)
            if (PROMO_LETTER[f] == *m.promotion) flag = f;
    } else if (kind == PAWN && en_passant_square && *en_passant_square == m.to_square) {
        flag = EN_PASSANT;
    } else if (kind == KING && square_distance(m.from_square, m.to_square) == 2) {
        flag = CASTLE;
    }
    return make_move(static_cast<int>(m.from_square), static_cast<int>(m.to_square), kind, flag);
}

// Castling is never a reply to check, so the castling bits may stay empty.
template <Color Us>
Check check_after_move(const Board& b, const Move& m) {
    constexpr Color Them = opposite(Us);
    const Pos p{b, b.en_passant_square, 0};
    const Pos n = make<Us>(p, compact<Us>(b, b.en_passant_square, m));
    const int king = std::countr_zero(n.pieces(Them, KING));
    if (!attackers_to(n, king, n.occupied(), Us)) return Check::NONE;
    return count_legal<Them>(n, analyse<Them>(n)) ? Check::CHECK : Check::MATE;
}

// The few pieces that can reach `to` are found from the square itself, and
// each move is judged by whether the king is attacked once it is made: no
// analysis of the whole board and no generation. The captured piece (the
// pawn beside, for en passant) attacks nothing any more.
template <Color Us>
void moves_to(const Placement& b, std::optional<std::uint8_t> en_passant_square, PieceKind kind, Bitboard from_mask,
              Square to, MoveList& out) {
    using S = Side<Us>;
    constexpr Color Them = S::THEM;
    out.clear();
    const Bitboard own = b.colors[Us], occupied = b.occupied();
    const Bitboard target = square_bb(to);
    if (own & target) return;
    const Bitboard movers = b.kinds[kind] & own & from_mask;
    const Bitboard behind = pawn_push(Them, target);
    const bool en_passant = kind == PAWN && en_passant_square && *en_passant_square == to;
    Bitboard origins = 0;
    switch (kind) {
        case PAWN:
            if ((b.colors[Them] & target) || en_passant) origins = PAWN_ATTACKS[Them][to] & movers;
            if (!(occupied & target)) {
                origins |= behind & movers;
                if ((target & S::DOUBLE_RANK) && !(occupied & behind)) origins |= pawn_push(Them, behind) & movers;
            }
            break;
        case KNIGHT: origins = KNIGHT_ATTACKS[to] & movers; break;
        case BISHOP: origins = bishop_attacks(static_cast<int>(to), occupied) & movers; break;
        case ROOK: origins = rook_attacks(static_cast<int>(to), occupied) & movers; break;
        case QUEEN:
            origins = (bishop_attacks(static_cast<int>(to), occupied) | rook_attacks(static_cast<int>(to), occupied)) &
                      movers;
            break;
        case KING: origins = KING_ATTACKS[to] & movers; break;
    }
    const int king = std::countr_zero(b.pieces(Us, KING));
    for (Bitboard o = origins; o;) {
        const int from = pop_lowest(o);
        const Bitboard from_bb = square_bb(from);
        Bitboard taken = target;
        Bitboard after = (occupied ^ from_bb) | target;
        if (en_passant && (PAWN_ATTACKS[Them][to] & from_bb)) {
            taken = behind;
            after ^= behind;
        }
        if (attackers_to(b, kind == KING ? static_cast<int>(to) : king, after, Them) & ~taken) continue;
        if (kind == PAWN && (target & S::PROMO_RANK)) {
            for (std::uint32_t flag = PROMO_Q; flag <= PROMO_B; ++flag)
                out.push_back(Move(static_cast<Square>(from), to, PROMO_LETTER[flag]));
        } else {
            out.push_back(Move(static_cast<Square>(from), to));
        }
    }
}

// The squares from which an enemy knight, king or pawn would reach some
// square of a castling king's path: attacks are symmetric, so a leaper there
// is a leaper attacking the path.
struct PathReach {
    Bitboard knight, king, pawn;
};
constexpr auto PATH_REACH = [] {
    std::array<std::array<PathReach, 2>, 2> t{};
    for (Color c : {WHITE, BLACK})
        for (CastlingSide side : {KING_SIDE, QUEEN_SIDE})
            for (Bitboard path = CASTLING[c][side].king_path; path; path &= path - 1) {
                const auto s = static_cast<Square>(std::countr_zero(path));
                t[c][side].knight |= KNIGHT_ATTACKS[s];
                t[c][side].king |= KING_ATTACKS[s];
                t[c][side].pawn |= PAWN_ATTACKS[c][s];
            }
    return t;
}();

// Castling asks about three squares, so only those are looked at: the
// whole-board analysis the generator makes costs more than the move. A path
// square is in danger when an enemy piece attacks it with the king lifted
// off the board, as the generator's danger map has it; the path is refused
// whole when any of its squares is.
// `rights`: castling_bit sets, the board's letters named by its text (other
// letters, repeated or not, are no business of this right) or a walk's
// rights that can still castle; king and rook are looked for here either way.
template <Color Us>
bool castle_now(const Placement& b, std::uint8_t rights, CastlingSide side) {
    constexpr Color Them = opposite(Us);
    const Castling& g = CASTLING[Us][side];
    if (!(b.pieces(Us, KING) & square_bb(g.king_from)) || !(b.pieces(Us, ROOK) & square_bb(g.rook_from)))
        return false;
    if (!(rights & castling_bit(Us, side))) return false;
    const Bitboard occupied = b.occupied();
    const Bitboard through = occupied ^ square_bb(g.king_from);
    const Bitboard them = b.colors[Them];
    const PathReach& reach = PATH_REACH[Us][side];
    Bitboard danger = 0;
    if ((reach.knight & b.kinds[KNIGHT] & them) | (reach.king & b.kinds[KING] & them) |
        (reach.pawn & b.kinds[PAWN] & them))
        danger = g.king_path;
    const Bitboard diagonal = (b.kinds[BISHOP] | b.kinds[QUEEN]) & them;
    const Bitboard straight = (b.kinds[ROOK] | b.kinds[QUEEN]) & them;
    // A line with no enemy slider on it needs no lookup.
    for (Bitboard path = g.king_path; path && !danger;) {
        const int s = pop_lowest(path);
        if (((BISHOP_RAYS[s] & diagonal) && (bishop_attacks(s, through) & diagonal)) ||
            ((ROOK_RAYS[s] & straight) && (rook_attacks(s, through) & straight)))
            danger = g.king_path;
    }
    return castling_legal<Us>(occupied, danger, side);
}

template <Color Us>
MoveFacts facts_of(const Board& b, const Move& m, PieceKind kind, Bitboard from_mask) {
    MoveList candidates;
    moves_to<Us>(b, b.en_passant_square, kind, from_mask, m.to_square, candidates);
    MoveFacts facts{false, 0, Check::NONE};
    for (const Move& c : candidates) {
        if (c.from_square == m.from_square)
            facts.legal |= c.promotion == m.promotion;
        else
            facts.rivals |= square_bb(c.from_square);
    }
    if (facts.legal) facts.check = check_after_move<Us>(b, m);
    return facts;
}

}  // namespace

bool can_castle(const Board& b, CastlingSide side) {
    slider_tables();
    const std::uint8_t rights = b.castling_letters.named;
    return b.turn ? castle_now<WHITE>(b, rights, side) : castle_now<BLACK>(b, rights, side);
}

std::optional<bool> leaves_king_attacked(const Board& b, const Move& m) {
    // Asked once per checked move, so only what the answer needs is checked:
    // sets that agree with each other and one king a side. The move
    // is pseudo-legal and not castling, so it moves one piece of the mover's,
    // takes at most one, and the board after it is known without playing it.
    if (b.malformed()) return std::nullopt;
    const Bitboard all = b.occupied();
    const Color us = b.us();
    if (!b.one_king_each()) return std::nullopt;
    const Bitboard kings = b.pieces(us, KING);
    slider_tables();
    const Bitboard from = square_bb(m.from_square), to = square_bb(m.to_square);
    Bitboard taken = to;
    if ((b.kinds[PAWN] & from) && b.en_passant_square && *b.en_passant_square == m.to_square) {
        // Play takes whatever stands behind the square; only a real en passant
        // capture of an enemy pawn is answered here.
        if ((all & to) || m.to_square < 8 || m.to_square > 55) return std::nullopt;
        taken = square_bb(us == WHITE ? m.to_square - 8 : m.to_square + 8);
        if (!(b.pieces(opposite(us), PAWN) & taken)) return std::nullopt;
    }
    const Bitboard occupied = (all & ~from & ~taken) | to;
    const int king = (kings & from) ? static_cast<int>(m.to_square) : std::countr_zero(kings);
    return (attackers_to(b, king, occupied, opposite(us)) & ~taken) != 0;
}

std::optional<MoveFacts> move_facts(const Board& b, const Move& m, PieceKind kind, Bitboard from_mask) {
    if (m.to_square > 63 || !within(b, FastClass::ANSWERS)) return std::nullopt;
    slider_tables();
    return b.turn ? facts_of<WHITE>(b, m, kind, from_mask) : facts_of<BLACK>(b, m, kind, from_mask);
}

bool legal_moves_to(const Board& b, PieceKind kind, Bitboard from_mask, Square to, MoveList& out) {
    if (to > 63 || !within(b, FastClass::ANSWERS)) return false;
    slider_tables();
    if (b.turn)
        moves_to<WHITE>(b, b.en_passant_square, kind, from_mask, to, out);
    else
        moves_to<BLACK>(b, b.en_passant_square, kind, from_mask, to, out);
    return true;
}

std::optional<Check> check_after(const Board& b, const Move& m) {
    // Fischer random castling (king takes own rook) is played by the board.
    if (!within(b, FastClass::NORMAL) ||
        (b.chess960 && m.to_square < 64 && (b.colors[b.us()] & square_bb(m.to_square))))
        return std::nullopt;
    slider_tables();
    return b.turn ? check_after_move<WHITE>(b, m) : check_after_move<BLACK>(b, m);
}

std::optional<bool> is_attacked(const Board& b, std::uint8_t square) {
    if (!within(b, FastClass::NORMAL)) return std::nullopt;
    if (square > 63) return false;
    slider_tables();
    const Color by = b.them();
    const Bitboard occupied = b.occupied();
    const Bitboard s = square_bb(square);
    if (b.colors[by] & s) return false;
    // Pawn diagonals land only on pieces; onto an empty square pawns push.
    Bitboard hit = attackers_to(b, square, occupied, by);
    const Bitboard pawns = b.pieces(by, PAWN);
    if (!(occupied & s)) {
        hit &= ~b.kinds[PAWN];
        const int up = by == WHITE ? 8 : -8;
        const Bitboard behind = by == WHITE ? s >> 8 : s << 8;
        const Bitboard double_rank = by == WHITE ? RANK_4 : RANK_5;
        hit |= behind & pawns;
        if ((s & double_rank) && !(behind & occupied)) hit |= square_bb(square - 2 * up) & pawns;
    }
    return hit != 0;
}

// ---------------------------------------------------------------- walks

std::optional<Walk> walk_of(const Board& b) {
    // A kept class means the attack tables the walk reads are filled.
    if (b.chess960 || !answers(b)) return std::nullopt;
    Walk w;
    static_cast<Placement&>(w) = b;
    w.en_passant_square = b.en_passant_square;
    w.turn = b.turn;
    w.castle = clean_castling_bits(b);
    w.half_move_clock = b.half_move_clock;
    return w;
}

void walk_moves_to(const Walk& w, PieceKind kind, Bitboard from_mask, Square to, MoveList& out) {
    if (w.turn)
        moves_to<WHITE>(w, w.en_passant_square, kind, from_mask, to, out);
    else
        moves_to<BLACK>(w, w.en_passant_square, kind, from_mask, to, out);
}

bool walk_can_castle(const Walk& w, CastlingSide side) {
    return w.turn ? castle_now<WHITE>(w, w.castle, side) : castle_now<BLACK>(w, w.castle, side);
}

namespace {

template <Color Us>
void walk_play_as(Walk& w, const Move& m) {
    const CMove cm = compact<Us>(w, w.en_passant_square, m);
    const bool zeroing = move_kind(cm) == PAWN || (w.colors[opposite(Us)] & square_bb(m.to_square));
    // The move keeps the rights each square keeps (the board's rule for the
    // rights that can still castle) and reads no en passant square but the
    // move's flag; the square it would record is not the board's.
    std::optional<std::uint8_t> capturable;
    make_in_place<Us>(w, capturable, w.castle, cm);
    // As the board sets it: after every double step, whether or not a pawn
    // can take there.
    if (move_kind(cm) == PAWN && (m.from_square ^ m.to_square) == 16)
        w.en_passant_square = static_cast<std::uint8_t>((m.from_square + m.to_square) / 2);
    else
        w.en_passant_square.reset();
    w.half_move_clock = zeroing ? 0 : w.half_move_clock + 1;
    w.turn = !w.turn;
}

}  // namespace

void walk_play(Walk& w, const Move& m) { w.turn ? walk_play_as<WHITE>(w, m) : walk_play_as<BLACK>(w, m); }

}  // namespace board::fast
