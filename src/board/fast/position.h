#pragma once

// The fast generator's core: a compact position, legality from check and pin
// masks, generation in the reference's exact order, bulk counting and
// copy-make. Internal to src/board/fast.

#include <bit>
#include <cstdint>
#include <optional>

#include "../attacks.h"

namespace board::fast::detail {

// A node of the perft tree: the board's own placement record, with the en
// passant square (absent as the board's is absent) and the castling bits
// that still have their king and rook at home.
struct Pos : Placement {
    std::optional<std::uint8_t> ep;
    std::uint8_t castle;
};

// Move flags; the promotions come in the order the lists expand them.
enum Flag : std::uint32_t { NORMAL, PROMO_Q, PROMO_R, PROMO_N, PROMO_B, EN_PASSANT, CASTLE };

inline constexpr std::array<int, 5> PROMO_KIND{0, QUEEN, ROOK, KNIGHT, BISHOP};

// from | to << 6 | kind << 12 | flag << 15
using CMove = std::uint32_t;

constexpr CMove make_move(int from, int to, int kind, std::uint32_t flag) {
    return static_cast<CMove>(from) | static_cast<CMove>(to) << 6 | static_cast<CMove>(kind) << 12 | flag << 15;
}
constexpr int move_from(CMove m) { return m & 63; }
constexpr int move_to(CMove m) { return (m >> 6) & 63; }
constexpr int move_kind(CMove m) { return (m >> 12) & 7; }
constexpr std::uint32_t move_flag(CMove m) { return m >> 15; }

// A move onto or off a castling king's or rook's square ends the right:
// the rights each square keeps, for the rights `bits` holds.
constexpr std::array<std::uint8_t, 64> castle_keeps(const std::array<std::array<Castling, 2>, 2>& plans,
                                                    std::uint8_t bits) {
    std::array<std::uint8_t, 64> t{};
    for (auto& v : t) v = 15;
    for (Color c : {WHITE, BLACK})
        for (CastlingSide side : {KING_SIDE, QUEEN_SIDE}) {
            if (!(bits & castling_bit(c, side))) continue;
            const Castling& g = plans[c][side];
            t[g.king_from] &= static_cast<std::uint8_t>(~(castling_bit(c, KING_SIDE) | castling_bit(c, QUEEN_SIDE)));
            t[g.rook_from] &= static_cast<std::uint8_t>(~castling_bit(c, side));
        }
    return t;
}
inline constexpr auto CASTLE_KEEP = castle_keeps(CASTLING, 15);

// Where castling puts king and rook: fixed squares in standard chess; in
// Fischer random chess read from the root position, as rights are only ever
// lost below it and the plans hold for the whole tree.
struct StandardCastles {
    static constexpr bool FISCHER = false;
    static constexpr const Castling& plan(Color c, CastlingSide side) { return CASTLING[c][side]; }
    static constexpr std::uint8_t keep(int s) { return CASTLE_KEEP[s]; }
};

struct FischerCastles {
    static constexpr bool FISCHER = true;
    std::array<std::array<Castling, 2>, 2> plans{};
    std::array<std::uint8_t, 64> keeps{};

    FischerCastles(const std::array<std::array<Castling, 2>, 2>& p, std::uint8_t bits)
        : plans(p), keeps(castle_keeps(p, bits)) {}
    const Castling& plan(Color c, CastlingSide side) const { return plans[c][side]; }
    std::uint8_t keep(int s) const { return keeps[s]; }
};

inline int pop_lowest(Bitboard& b) {
    int s = std::countr_zero(b);
    b &= b - 1;
    return s;
}

inline int pop_highest(Bitboard& b) {
    int s = 63 - std::countl_zero(b);
    b ^= square_bb(s);
    return s;
}

inline int count(Bitboard b) { return std::popcount(b); }

template <Color Us>
struct Side {
    static constexpr Color THEM = opposite(Us);
    static constexpr int UP = Us == WHITE ? 8 : -8;
    // The first capture direction the lists try (origin t - 9 for white,
    // t + 9 for black), then the second.
    static constexpr int FIRST = Us == WHITE ? 9 : -9;
    static constexpr int SECOND = Us == WHITE ? 7 : -7;
    static constexpr Bitboard PROMO_RANK = Us == WHITE ? RANK_8 : RANK_1;
    static constexpr Bitboard DOUBLE_RANK = Us == WHITE ? RANK_4 : RANK_5;
    static constexpr int HOME = CASTLING[Us][KING_SIDE].king_from;

    static constexpr Bitboard up(Bitboard b) { return pawn_push(Us, b); }
    static constexpr Bitboard first(Bitboard b) { return Us == WHITE ? pawn_attacks_east(Us, b) : pawn_attacks_west(Us, b); }
    static constexpr Bitboard second(Bitboard b) { return Us == WHITE ? pawn_attacks_west(Us, b) : pawn_attacks_east(Us, b); }
};

// What legality needs, worked out once per position.
struct Info {
    Bitboard own, them, occupied;
    Bitboard checkers;
    Bitboard pinned;
    Bitboard target;  // where a non-king move may land: not own, and ends a single check
    Bitboard danger;  // squares the king may not step to
    int king;
};

// Without `Danger` every square counts as forbidden to the king: for a
// caller that wants no king move.
template <Color Us, bool Danger = true>
Info analyse(const Placement& p) {
    using S = Side<Us>;
    constexpr Color Them = S::THEM;
    Info in;
    in.own = p.colors[Us];
    in.them = p.colors[Them];
    in.occupied = in.own | in.them;
    const Bitboard king_bb = p.kinds[KING] & in.own;
    in.king = std::countr_zero(king_bb);
    const int k = in.king;

    const Bitboard their_pawns = p.kinds[PAWN] & in.them;
    const Bitboard their_knights = p.kinds[KNIGHT] & in.them;
    const Bitboard diagonal = (p.kinds[BISHOP] | p.kinds[QUEEN]) & in.them;
    const Bitboard straight = (p.kinds[ROOK] | p.kinds[QUEEN]) & in.them;

    in.checkers = (KNIGHT_ATTACKS[k] & their_knights) | (PAWN_ATTACKS[Us][k] & their_pawns) |
                  (bishop_attacks(k, in.occupied) & diagonal) | (rook_attacks(k, in.occupied) & straight);

    in.pinned = 0;
    Bitboard snipers = (BISHOP_RAYS[k] & diagonal) | (ROOK_RAYS[k] & straight);
    while (snipers) {
        int s = pop_lowest(snipers);
        Bitboard between = LINES.between[k][s] & in.occupied;
        if (between && !(between & (between - 1))) in.pinned |= between & in.own;
    }

    in.danger = ~Bitboard{0};
    if constexpr (Danger) {
        // The king steps out of the occupancy: a slider's ray goes on past it.
        const Bitboard through = in.occupied ^ king_bb;
        Bitboard danger = pawn_attacks(Them, their_pawns);
        danger |= KING_ATTACKS[std::countr_zero(p.kinds[KING] & in.them)];
        for (Bitboard b = their_knights; b;) danger |= KNIGHT_ATTACKS[pop_lowest(b)];
        for (Bitboard b = diagonal; b;) danger |= bishop_attacks(pop_lowest(b), through);
        for (Bitboard b = straight; b;) danger |= rook_attacks(pop_lowest(b), through);
        in.danger = danger;
    }

    if (!in.checkers)
        in.target = ~in.own;
    else if (!(in.checkers & (in.checkers - 1)))
        in.target = LINES.between[k][std::countr_zero(in.checkers)] | in.checkers;
    else
        in.target = 0;
    return in;
}

// Plays the en passant capture from `from` on the occupancy alone and asks
// whether the king is then attacked: the one move pins cannot judge (two
// pawns leave the capturer's rank at once).
template <Color Us>
bool en_passant_legal(const Placement& p, const Info& in, int from, int to) {
    const Bitboard captured = square_bb(to - Side<Us>::UP);
    const Bitboard occupied = (in.occupied ^ square_bb(from) ^ captured) | square_bb(to);
    const Bitboard them = in.them ^ captured;
    const int k = in.king;
    const Bitboard diagonal = (p.kinds[BISHOP] | p.kinds[QUEEN]) & them;
    const Bitboard straight = (p.kinds[ROOK] | p.kinds[QUEEN]) & them;
    return !((KNIGHT_ATTACKS[k] & p.kinds[KNIGHT] & them) | (PAWN_ATTACKS[Us][k] & p.kinds[PAWN] & them) |
             (bishop_attacks(k, occupied) & diagonal) | (rook_attacks(k, occupied) & straight));
}

// Per-direction line through the king that a pinned pawn may keep to.
inline Bitboard king_file(int k) { return FILE_A << (k & 7); }
inline Bitboard king_diagonal(int k) { return RAYS[NORTH_EAST][k] | RAYS[SOUTH_WEST][k]; }
inline Bitboard king_antidiagonal(int k) { return RAYS[NORTH_WEST][k] | RAYS[SOUTH_EAST][k]; }

struct PawnTargets {
    Bitboard single, twice, first, second;
};

template <Color Us>
PawnTargets pawn_targets(const Placement& p, const Info& in) {
    using S = Side<Us>;
    const Bitboard pawns = p.kinds[PAWN] & in.own;
    const Bitboard free = pawns & ~in.pinned;
    const Bitboard pinned = pawns & in.pinned;
    const Bitboard empty = ~in.occupied;
    PawnTargets t;
    const Bitboard pushers = free | (pinned & king_file(in.king));
    const Bitboard once = S::up(pushers) & empty;
    t.single = once & in.target;
    t.twice = S::up(once) & empty & S::DOUBLE_RANK & in.target;
    // +9/-9 captures run along the king's a1-h8 diagonal, +7/-7 along the other.
    t.first = S::first(free | (pinned & king_diagonal(in.king))) & in.them & in.target;
    t.second = S::second(free | (pinned & king_antidiagonal(in.king))) & in.them & in.target;
    return t;
}

inline constexpr std::array<int, 4> BISHOP_DIRS{NORTH_EAST, NORTH_WEST, SOUTH_EAST, SOUTH_WEST};
inline constexpr std::array<int, 4> ROOK_DIRS{NORTH, EAST, WEST, SOUTH};
inline constexpr std::array<int, 8> QUEEN_DIRS{NORTH_EAST, NORTH, NORTH_WEST, EAST, WEST, SOUTH_EAST, SOUTH, SOUTH_WEST};

// A slider's targets ray by ray, each nearest square first: rising rays
// from their low end, falling ones from their high end.
template <const auto& Dirs, typename Emit>
void emit_rays(int from, Bitboard targets, int kind, Emit& emit) {
    for (int d : Dirs) {
        Bitboard r = targets & RAYS[d][from];
        if (d < WEST)  // the first four directions rise
            while (r) emit(from, pop_lowest(r), kind, NORMAL);
        else
            while (r) emit(from, pop_highest(r), kind, NORMAL);
    }
}

// Every legal move except castling, in the reference's order: pawns (pushes,
// double pushes, captures, en passant), knights, king, bishops, rooks,
// queens. `emit(from, to, kind, flag)` receives them.
template <Color Us, typename Emit>
void generate(const Placement& p, std::optional<std::uint8_t> en_passant, const Info& in, Emit&& emit) {
    using S = Side<Us>;
    const Bitboard pinned = in.pinned;
    const int k = in.king;
    const bool double_check = in.checkers & (in.checkers - 1);

    // A caller asking for other pieces' moves leaves the pawns out.
    if (!double_check && (p.kinds[PAWN] & in.own)) {
        const auto t = pawn_targets<Us>(p, in);
        auto pawn_move = [&](int from, int to) {
            if (square_bb(to) & S::PROMO_RANK) {
                emit(from, to, PAWN, PROMO_Q);
                emit(from, to, PAWN, PROMO_R);
                emit(from, to, PAWN, PROMO_N);
                emit(from, to, PAWN, PROMO_B);
            } else {
                emit(from, to, PAWN, NORMAL);
            }
        };
        for (Bitboard b = t.single; b;) {
            int to = pop_highest(b);
            pawn_move(to - S::UP, to);
        }
        for (Bitboard b = t.twice; b;) {
            int to = pop_highest(b);
            emit(to - 2 * S::UP, to, PAWN, NORMAL);
        }
        for (Bitboard b = t.first | t.second; b;) {
            int to = pop_highest(b);
            if (t.first & square_bb(to)) pawn_move(to - S::FIRST, to);
            if (t.second & square_bb(to)) pawn_move(to - S::SECOND, to);
        }
        if (en_passant) {
            const int ep = *en_passant;
            Bitboard capturers = PAWN_ATTACKS[S::THEM][ep] & p.kinds[PAWN] & in.own;
            while (capturers) {
                int from = pop_highest(capturers);
                if (en_passant_legal<Us>(p, in, from, ep)) emit(from, ep, PAWN, EN_PASSANT);
            }
        }
    }
    if (!double_check) {
        for (Bitboard b = p.kinds[KNIGHT] & in.own & ~pinned; b;) {
            int from = pop_highest(b);
            for (Bitboard a = KNIGHT_ATTACKS[from] & in.target; a;) emit(from, pop_highest(a), KNIGHT, NORMAL);
        }
    }
    for (Bitboard a = KING_ATTACKS[k] & ~in.own & ~in.danger; a;) emit(k, pop_highest(a), KING, NORMAL);
    if (double_check) return;

    auto legal_targets = [&](int from, Bitboard a) {
        a &= in.target;
        if (pinned & square_bb(from)) a &= LINES.line[k][from];
        return a;
    };
    for (Bitboard b = p.kinds[BISHOP] & in.own; b;) {
        int from = pop_highest(b);
        emit_rays<BISHOP_DIRS>(from, legal_targets(from, bishop_attacks(from, in.occupied)), BISHOP, emit);
    }
    for (Bitboard b = p.kinds[ROOK] & in.own; b;) {
        int from = pop_highest(b);
        emit_rays<ROOK_DIRS>(from, legal_targets(from, rook_attacks(from, in.occupied)), ROOK, emit);
    }
    for (Bitboard b = p.kinds[QUEEN] & in.own; b;) {
        int from = pop_highest(b);
        Bitboard a = bishop_attacks(from, in.occupied) | rook_attacks(from, in.occupied);
        emit_rays<QUEEN_DIRS>(from, legal_targets(from, a), QUEEN, emit);
    }
}

// Whether castling by `g` is legal, assuming its king and rook stand on
// its squares and the king is not in check: the rule of castling_allowed,
// with the king's path read from the danger map, which already has the king
// lifted. Only Fischer random castling can land on a square the map does
// not settle.
template <Color Us, typename C = StandardCastles>
bool castling_legal(const Placement& p, const Info& in, const Castling& g) {
    auto path_attacked = [&](Bitboard path, Bitboard) { return (in.danger & path) != 0; };
    auto attacked = [&](Square s, Bitboard occupied) {
        if constexpr (C::FISCHER) {
            // The two squares the rook changes lie on the destination's rank,
            // so where the map finds the square safe only a rank slider can
            // differ.
            if (!(in.danger & square_bb(s)))
                return (rook_attacks(static_cast<int>(s), occupied) & (p.kinds[ROOK] | p.kinds[QUEEN]) &
                        p.colors[opposite(Us)]) != 0;
            return attackers_to(p, static_cast<int>(s), occupied, opposite(Us)) != 0;
        } else {
            return false;
        }
    };
    return castling_allowed(g, in.occupied, path_attacked, attacked);
}
template <Color Us>
bool castling_legal(Bitboard occupied, Bitboard danger, CastlingSide side) {
    Info in{};
    in.occupied = occupied;
    in.danger = danger;
    return castling_legal<Us>(Placement{}, in, CASTLING[Us][side]);
}

// The number of legal moves, castling included.
template <Color Us, typename C = StandardCastles>
std::uint64_t count_legal(const Pos& p, const Info& in, const C& castles = C{}) {
    using S = Side<Us>;
    const int k = in.king;
    std::uint64_t n = count(KING_ATTACKS[k] & ~in.own & ~in.danger);
    if (in.checkers & (in.checkers - 1)) return n;

    const auto t = pawn_targets<Us>(p, in);
    n += count(t.single) + count(t.twice) + count(t.first) + count(t.second);
    if ((t.single | t.first | t.second) & S::PROMO_RANK)
        n += 3 * (count(t.single & S::PROMO_RANK) + count(t.first & S::PROMO_RANK) + count(t.second & S::PROMO_RANK));
    if (p.ep) {
        const int ep = *p.ep;
        Bitboard capturers = PAWN_ATTACKS[S::THEM][ep] & p.kinds[PAWN] & in.own;
        while (capturers) n += en_passant_legal<Us>(p, in, pop_lowest(capturers), ep);
    }

    const Bitboard pinned = in.pinned;
    for (Bitboard b = p.kinds[KNIGHT] & in.own & ~pinned; b;) n += count(KNIGHT_ATTACKS[pop_lowest(b)] & in.target);
    const Bitboard diagonal = (p.kinds[BISHOP] | p.kinds[QUEEN]) & in.own;
    const Bitboard straight = (p.kinds[ROOK] | p.kinds[QUEEN]) & in.own;
    for (Bitboard b = diagonal & ~pinned; b;) n += count(bishop_attacks(pop_lowest(b), in.occupied) & in.target);
    for (Bitboard b = straight & ~pinned; b;) n += count(rook_attacks(pop_lowest(b), in.occupied) & in.target);
    // A pinned piece never answers a check.
    if (pinned && !in.checkers) {
        for (Bitboard b = diagonal & pinned; b;) {
            int s = pop_lowest(b);
            n += count(bishop_attacks(s, in.occupied) & in.target & LINES.line[k][s]);
        }
        for (Bitboard b = straight & pinned; b;) {
            int s = pop_lowest(b);
            n += count(rook_attacks(s, in.occupied) & in.target & LINES.line[k][s]);
        }
    }
    if (!in.checkers) {
        for (CastlingSide side : {KING_SIDE, QUEEN_SIDE})
            n += (p.castle & castling_bit(Us, side)) && castling_legal<Us, C>(p, in, castles.plan(Us, side));
    }
    return n;
}

// Makes `m` on a placement in place, with the en passant square it leaves
// and the rights each square keeps; make() and a walk's step share it.
// A Fischer random castling move is written as king takes rook.
template <Color Us, typename C = StandardCastles>
void make_in_place(Placement& n, std::optional<std::uint8_t>& ep, std::uint8_t& castle, CMove m,
                   const C& castles = C{}) {
    using S = Side<Us>;
    constexpr Color Them = S::THEM;
    const int from = move_from(m), to = move_to(m), kind = move_kind(m);
    const Bitboard from_bb = square_bb(from), to_bb = square_bb(to), both = from_bb | to_bb;
    ep.reset();
    castle &= castles.keep(from) & castles.keep(to);
    if constexpr (C::FISCHER) {
        if (move_flag(m) == CASTLE) {
            const Castling& g = castles.plan(Us, to > from ? KING_SIDE : QUEEN_SIDE);
            const Bitboard king_to = square_bb(g.king_to), rook_to = square_bb(g.rook_to);
            n.kinds[KING] = (n.kinds[KING] & ~from_bb) | king_to;
            n.kinds[ROOK] = (n.kinds[ROOK] & ~to_bb) | rook_to;
            n.colors[Us] = (n.colors[Us] & ~both) | king_to | rook_to;
            return;
        }
    }
    const Bitboard keep = ~to_bb;
    n.kinds[PAWN] &= keep;
    n.kinds[KNIGHT] &= keep;
    n.kinds[BISHOP] &= keep;
    n.kinds[ROOK] &= keep;
    n.kinds[QUEEN] &= keep;
    n.colors[Them] &= keep;
    n.colors[Us] ^= both;
    switch (move_flag(m)) {
        case NORMAL:
            n.kinds[kind] ^= both;
            if (kind == PAWN && (to - from == 2 * S::UP)) {
                // Only a square some pawn can take on is worth recording. A
                // double step takes nothing: the other side's pawns are as
                // they were.
                const int passed = from + S::UP;
                if (PAWN_ATTACKS[Us][passed] & n.kinds[PAWN] & n.colors[Them]) ep = static_cast<std::uint8_t>(passed);
            }
            break;
        case EN_PASSANT: {
            const Bitboard captured = square_bb(to - S::UP);
            n.kinds[PAWN] ^= both | captured;
            n.colors[Them] ^= captured;
            break;
        }
        case CASTLE: {
            n.kinds[KING] ^= both;
            const Castling& g = CASTLING[Us][to > from ? KING_SIDE : QUEEN_SIDE];
            const Bitboard rook = square_bb(g.rook_from) | square_bb(g.rook_to);
            n.kinds[ROOK] ^= rook;
            n.colors[Us] ^= rook;
            break;
        }
        default:
            n.kinds[PAWN] ^= from_bb;
            n.kinds[PROMO_KIND[move_flag(m)]] |= to_bb;
            break;
    }
}

template <Color Us, typename C = StandardCastles>
Pos make(const Pos& p, CMove m, const C& castles = C{}) {
    Pos n = p;
    make_in_place<Us>(n, n.ep, n.castle, m, castles);
    return n;
}

// Capacity of one ply's move array in perft; entry points refuse positions
// whose mobility bound could exceed it.
inline constexpr std::size_t PLY_CAPACITY = 512;

template <Color Us, typename C = StandardCastles>
std::uint64_t perft(const Pos& p, unsigned depth, StopCheck& check, const C& castles = C{}) {
    using S = Side<Us>;
    const Info in = analyse<Us>(p);
    if (depth == 1) return count_legal<Us, C>(p, in, castles);
    // Only above the bulk-counted leaves, where a tick costs nothing.
    check.tick();
    CMove moves[PLY_CAPACITY];
    std::size_t size = 0;
    generate<Us>(p, p.ep, in, [&](int from, int to, int kind, std::uint32_t flag) {
        moves[size++] = make_move(from, to, kind, flag);
    });
    if (!in.checkers)
        for (CastlingSide side : {KING_SIDE, QUEEN_SIDE}) {
            const Castling& g = castles.plan(Us, side);
            if ((p.castle & castling_bit(Us, side)) && castling_legal<Us, C>(p, in, g))
                moves[size++] = make_move(static_cast<int>(g.king_from),
                                          static_cast<int>(C::FISCHER ? g.rook_from : g.king_to), KING, CASTLE);
        }
    std::uint64_t nodes = 0;
    for (std::size_t i = 0; i < size; ++i)
        nodes += perft<S::THEM, C>(make<Us, C>(p, moves[i], castles), depth - 1, check, castles);
    return nodes;
}

}  // namespace board::fast::detail
