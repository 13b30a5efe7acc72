#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdlib>

#include <random>

#include "attacks.h"
#include "tables.h"

namespace board {
namespace {

constexpr Bitboard bb(std::initializer_list<int> squares) {
    Bitboard b = 0;
    for (int s : squares) b |= Bitboard{1} << s;
    return b;
}

// The edge-wrap guard: corner and edge squares keep only the steps that stay
// on the board, as read off a diagram.
static_assert(KNIGHT_ATTACKS[0] == bb({17, 10}));
static_assert(KNIGHT_ATTACKS[7] == bb({22, 13}));
static_assert(KNIGHT_ATTACKS[63] == bb({46, 53}));
static_assert(KING_ATTACKS[0] == bb({8, 9, 1}));
static_assert(KING_ATTACKS[7] == bb({15, 14, 6}));
static_assert(KING_ATTACKS[63] == bb({62, 55, 54}));
static_assert(KING_ATTACKS[24] == bb({32, 33, 25, 16, 17}));
static_assert(KNIGHT_ATTACKS[28] == bb({11, 13, 18, 22, 34, 38, 43, 45}));
static_assert(PAWN_ATTACKS[WHITE][8] == bb({17}) && PAWN_ATTACKS[BLACK][55] == bb({46}));
static_assert(SQUARE_RANK_INDICES[63] == 8 && SQUARE_FILE_INDICES[63] == 7);

// A knight has 336 moves on an empty board and a king 420: counts every
// chess programmer can check by hand.
constexpr int total(const std::array<Bitboard, 64>& table) {
    int n = 0;
    for (Bitboard b : table) n += std::popcount(b);
    return n;
}
static_assert(total(KNIGHT_ATTACKS) == 336 && total(KING_ATTACKS) == 420);

// The steps from coordinates, independent of how the tables are built.
int file_gap(int a, int b) { return std::abs(a % 8 - b % 8); }
int rank_gap(int a, int b) { return std::abs(a / 8 - b / 8); }
bool knight_step(int a, int b) {
    return (file_gap(a, b) == 1 && rank_gap(a, b) == 2) || (file_gap(a, b) == 2 && rank_gap(a, b) == 1);
}
bool king_step(int a, int b) { return std::max(file_gap(a, b), rank_gap(a, b)) == 1; }
bool two_away(int a, int b) { return std::max(file_gap(a, b), rank_gap(a, b)) == 2; }
bool pawn_capture(Color c, int from, int to) {
    return file_gap(from, to) == 1 && to / 8 - from / 8 == (c == WHITE ? 1 : -1);
}

bool has(Bitboard b, int s) { return (b >> s) & 1; }

TEST(AttackTables, EveryEntryHoldsExactlyTheSquaresOfItsStep) {
    for (int a = 0; a < 64; ++a)
        for (int b = 0; b < 64; ++b) {
            EXPECT_EQ(has(KNIGHT_ATTACK_MASKS()[a], b), knight_step(a, b)) << a << " " << b;
            EXPECT_EQ(has(KING_ATTACK_MASKS()[a], b), king_step(a, b)) << a << " " << b;
            EXPECT_EQ(has(TWO_AWAY[a], b), two_away(a, b)) << a << " " << b;
            EXPECT_EQ(square_distance(static_cast<Square>(a), static_cast<Square>(b)),
                      std::max(file_gap(a, b), rank_gap(a, b)));
            for (Color c : {WHITE, BLACK})
                EXPECT_EQ(has(PAWN_ATTACKS[c][a], b), pawn_capture(c, a, b)) << c << " " << a << " " << b;
        }
}

// A slider's attacks walked square by square from coordinates, stopping at
// the first occupied square.
Bitboard walked(int s, Bitboard occupied, bool diagonal) {
    Bitboard out = 0;
    for (int dr = -1; dr <= 1; ++dr)
        for (int df = -1; df <= 1; ++df) {
            if ((dr == 0 && df == 0) || (dr != 0 && df != 0) != diagonal) continue;
            for (int r = s / 8 + dr, f = s % 8 + df; r >= 0 && r < 8 && f >= 0 && f < 8; r += dr, f += df) {
                out |= Bitboard{1} << (8 * r + f);
                if (has(occupied, 8 * r + f)) break;
            }
        }
    return out;
}

TEST(AttackTables, SlidersSeeUpToTheFirstPieceOnEveryLine) {
    slider_tables();
    std::mt19937_64 random(7);
    for (int s = 0; s < 64; ++s)
        for (int k = 0; k < 400; ++k) {
            // Sparse and dense boards alike, the square itself sometimes set.
            Bitboard occupied = random() & random();
            if (k % 2) occupied &= random();
            if (k % 5 == 0) occupied = 0;
            EXPECT_EQ(rook_attacks(s, occupied), walked(s, occupied, false)) << s << " " << occupied;
            EXPECT_EQ(bishop_attacks(s, occupied), walked(s, occupied, true)) << s << " " << occupied;
        }
}

}  // namespace
}  // namespace board
