#pragma once

// The one geometry and attack core: rays and lines, magic-indexed slider
// attacks, and which pieces attack a square. Every generator (the reference,
// the fast one), the rules and validity ask it; the leaper and pawn tables
// beside it are in tables.h.

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>

#include "tables.h"
#include "types.h"

namespace board {

// Ray directions in the order the queen walks them; the bishop takes the
// diagonal entries (0, 2, 5, 7), the rook the straight ones (1, 3, 4, 6).
enum Dir : int { NORTH_EAST, NORTH, NORTH_WEST, EAST, WEST, SOUTH_EAST, SOUTH, SOUTH_WEST };
inline constexpr std::array<int, 8> DIR_RANK{1, 1, 1, 0, 0, -1, -1, -1};
inline constexpr std::array<int, 8> DIR_FILE{1, 0, -1, 1, -1, 1, 0, -1};

// RAYS[d][s]: the squares from s in direction d up to the board's edge.
inline constexpr auto RAYS = [] {
    std::array<std::array<Bitboard, 64>, 8> t{};
    for (int d = 0; d < 8; ++d)
        for (int s = 0; s < 64; ++s) {
            int r = s / 8 + DIR_RANK[d], f = s % 8 + DIR_FILE[d];
            for (; r >= 0 && r < 8 && f >= 0 && f < 8; r += DIR_RANK[d], f += DIR_FILE[d])
                t[d][s] |= square_bb(r * 8 + f);
        }
    return t;
}();

struct LineTables {
    // Squares strictly between two aligned squares, else empty.
    std::array<std::array<Bitboard, 64>, 64> between{};
    // The whole line through two aligned squares, else empty.
    std::array<std::array<Bitboard, 64>, 64> line{};
};

inline constexpr LineTables LINES = [] {
    LineTables t{};
    for (int a = 0; a < 64; ++a)
        for (int d = 0; d < 8; ++d) {
            Bitboard full = RAYS[d][a] | RAYS[7 - d][a] | square_bb(a);
            for (Bitboard r = RAYS[d][a]; r; r &= r - 1) {
                int b = std::countr_zero(r);
                t.between[a][b] = RAYS[d][a] & ~RAYS[d][b] & ~square_bb(b);
                t.line[a][b] = full;
            }
        }
    return t;
}();

struct Magic {
    Bitboard mask;
    Bitboard magic;
    std::uint32_t offset;
    std::uint32_t shift;
};

// Multipliers found once by a seeded random search; any that index without
// harmful collisions will do, so they stay fixed.
inline constexpr std::array<Bitboard, 64> ROOK_MULTIPLIERS{
    0x1080004008801020ULL, 0x0840092002c03000ULL, 0x1900200010400900ULL, 0x0880100008000480ULL,
    0x4200100420080200ULL, 0x8100020100080400ULL, 0x0200040110886200ULL, 0x0200008040220411ULL,
    0x0404800084400220ULL, 0x0000401000402000ULL, 0x0086001081220440ULL, 0x0408800800100280ULL,
    0x000a001201040820ULL, 0x8848800200840080ULL, 0x4001000100040200ULL, 0x0442000102105084ULL,
    0x9080010020804100ULL, 0x0040404000201009ULL, 0x0000808010002009ULL, 0x2200090021d00100ULL,
    0x0008008008040080ULL, 0x0004004002010040ULL, 0x0011040008015042ULL, 0x00000a0001768104ULL,
    0x0000800080204009ULL, 0x2010004140002001ULL, 0x9800200280100080ULL, 0x1000100080080080ULL,
    0x0442000a00049020ULL, 0x2100040080020080ULL, 0x0800120400900148ULL, 0x0010040a00128541ULL,
    0x2800804000800030ULL, 0x1010002000400041ULL, 0x4000200011004100ULL, 0x0610008410800800ULL,
    0x0400802402800800ULL, 0xc100020080800400ULL, 0x0002000802000401ULL, 0x0182085882000401ULL,
    0x0220204000808000ULL, 0x2860100040024022ULL, 0x0001002004110040ULL, 0x99101042000a0020ULL,
    0x0004080004008080ULL, 0x0010040002008080ULL, 0x2012004881020004ULL, 0x8300842444820011ULL,
    0x0088403882010200ULL, 0x0820400080210100ULL, 0x0110910040a00300ULL, 0x0801100280080480ULL,
    0x0242009008200600ULL, 0x1002000489500200ULL, 0x0040800200010080ULL, 0x0091800041000080ULL,
    0x0000209300488001ULL, 0x04c1002414824001ULL, 0x020020000b001041ULL, 0x7000100004200901ULL,
    0x8002002004100802ULL, 0x30010002084c0007ULL, 0x0888221800813004ULL, 0x4000002840840112ULL,
};

inline constexpr std::array<Bitboard, 64> BISHOP_MULTIPLIERS{
    0xa010041108003100ULL, 0x006082020a002900ULL, 0x6810010619200000ULL, 0x08281a0520000408ULL,
    0x0001104001000400ULL, 0x0018901008048400ULL, 0x00040a0210245280ULL, 0x000200210808a402ULL,
    0x9140048410821200ULL, 0x0800091010820041ULL, 0x20504804832202c0ULL, 0x0100091401081000ULL,
    0x8021011140000012ULL, 0x0810020804450400ULL, 0x208b0542109008a2ULL, 0x0080084a08040204ULL,
    0x0040e2a80811244cULL, 0x2505022008008108ULL, 0x0430220100420040ULL, 0x010a040420220040ULL,
    0x1105000290400000ULL, 0x0093001200822120ULL, 0x4000a62048043004ULL, 0x280120048a015004ULL,
    0x006090002a020814ULL, 0x44042000240800d0ULL, 0x01102800040a4400ULL, 0x1004080080220040ULL,
    0x0001001011004024ULL, 0x0010044000805040ULL, 0x0914041200820100ULL, 0x0004821012821480ULL,
    0x0024040500c05021ULL, 0x0088611002080200ULL, 0x0116080a00040020ULL, 0x4000020080080080ULL,
    0x2450450140840040ULL, 0x0000880201484100ULL, 0x0222020404020092ULL, 0x8081110600002e00ULL,
    0x2842101105000801ULL, 0x1100809008001025ULL, 0x00020202221c0400ULL, 0x0422014022009020ULL,
    0x0210046102100c00ULL, 0xc004008082029102ULL, 0x00aa461801101200ULL, 0x0404080080201108ULL,
    0x020542108c205002ULL, 0x0410544804100100ULL, 0x0040910841100000ULL, 0x0400200042021100ULL,
    0x00004204850400c0ULL, 0x0200100410a42102ULL, 0x1040020801210102ULL, 0x0805040410420000ULL,
    0x2884804130100200ULL, 0x800c262201242000ULL, 0x1058000194108800ULL, 0x0014221054420204ULL,
    0x0104000012a02200ULL, 0x0200881003300100ULL, 0x0140400202840100ULL, 0x0402020801010201ULL,
};

// Relevant blockers: the rays without their last square, whose occupancy
// never changes the attack set.
constexpr Bitboard relevant_mask(int s, bool diagonal) {
    Bitboard m = 0;
    for (int d = 0; d < 8; ++d) {
        bool is_diagonal = DIR_RANK[d] != 0 && DIR_FILE[d] != 0;
        if (is_diagonal != diagonal) continue;
        Bitboard ray = RAYS[d][s];
        if (!ray) continue;
        int last = (d < 4) ? 63 - std::countl_zero(ray) : std::countr_zero(ray);
        m |= ray & ~square_bb(last);
    }
    return m;
}

struct MagicTables {
    std::array<Magic, 64> rook{};
    std::array<Magic, 64> bishop{};
    std::uint32_t size = 0;
};

inline constexpr MagicTables MAGICS = [] {
    MagicTables t{};
    std::uint32_t offset = 0;
    for (int s = 0; s < 64; ++s) {
        Bitboard m = relevant_mask(s, false);
        int bits = std::popcount(m);
        t.rook[s] = {m, ROOK_MULTIPLIERS[s], offset, static_cast<std::uint32_t>(64 - bits)};
        offset += std::uint32_t{1} << bits;
    }
    for (int s = 0; s < 64; ++s) {
        Bitboard m = relevant_mask(s, true);
        int bits = std::popcount(m);
        t.bishop[s] = {m, BISHOP_MULTIPLIERS[s], offset, static_cast<std::uint32_t>(64 - bits)};
        offset += std::uint32_t{1} << bits;
    }
    t.size = offset;
    return t;
}();

// Filled by slider_tables(); every entry point of the fast generator calls
// that first, so the hot paths read the array without a guard.
extern std::array<Bitboard, MAGICS.size> SLIDER_ATTACKS;

// Set once SLIDER_ATTACKS is whole. Every checked move asks, so the ask is
// one load, with no call.
extern std::atomic<bool> SLIDER_TABLES_READY;
void fill_slider_tables();

// Builds SLIDER_ATTACKS on the first call (other threads wait); cheap after.
inline void slider_tables() {
    if (!SLIDER_TABLES_READY.load(std::memory_order_acquire)) [[unlikely]]
        fill_slider_tables();
}

inline Bitboard magic_index(const Magic& m, Bitboard occupied) {
    return ((occupied & m.mask) * m.magic) >> m.shift;
}

inline Bitboard rook_attacks(int s, Bitboard occupied) {
    const Magic& m = MAGICS.rook[s];
    return SLIDER_ATTACKS[m.offset + magic_index(m, occupied)];
}

inline Bitboard bishop_attacks(int s, Bitboard occupied) {
    const Magic& m = MAGICS.bishop[s];
    return SLIDER_ATTACKS[m.offset + magic_index(m, occupied)];
}

inline constexpr auto ROOK_RAYS = [] {
    std::array<Bitboard, 64> t{};
    for (int s = 0; s < 64; ++s) t[s] = RAYS[NORTH][s] | RAYS[EAST][s] | RAYS[WEST][s] | RAYS[SOUTH][s];
    return t;
}();

inline constexpr auto BISHOP_RAYS = [] {
    std::array<Bitboard, 64> t{};
    for (int s = 0; s < 64; ++s) t[s] = RAYS[NORTH_EAST][s] | RAYS[NORTH_WEST][s] | RAYS[SOUTH_EAST][s] | RAYS[SOUTH_WEST][s];
    return t;
}();

// Pieces of colour `by` attacking `s` under `occupied`: the rules of chess,
// pawns by their diagonals only. Sliders see through nothing but what
// `occupied` holds, so a caller may lift a piece off or add one. The slider
// tables must be filled (slider_tables()).
// A slider table is read only where a slider of `by` stands on one of the
// square's lines: the tables outgrow the cache that the small ones share,
// and reading a game looks up every move's king.
inline Bitboard attackers_to(const Placement& p, int s, Bitboard occupied, Color by) {
    const Bitboard them = p.colors[by];
    const Bitboard diagonal = (p.kinds[BISHOP] | p.kinds[QUEEN]) & them;
    const Bitboard straight = (p.kinds[ROOK] | p.kinds[QUEEN]) & them;
    Bitboard found = (KNIGHT_ATTACKS[s] & p.kinds[KNIGHT] & them) | (PAWN_ATTACKS[opposite(by)][s] & p.kinds[PAWN] & them) |
                     (KING_ATTACKS[s] & p.kinds[KING] & them);
    if (BISHOP_RAYS[s] & diagonal) found |= bishop_attacks(s, occupied) & diagonal;
    if (ROOK_RAYS[s] & straight) found |= rook_attacks(s, occupied) & straight;
    return found;
}

}  // namespace board
