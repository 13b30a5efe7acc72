#include <gtest/gtest.h>

#include "tables.h"

namespace board {
namespace {

constexpr Bitboard bb(std::initializer_list<int> squares) {
    Bitboard b = 0;
    for (int s : squares) b |= BOARD_SQUARES[s];
    return b;
}

// The edge-wrap guard: corner and edge squares keep only the steps that stay
// on the board.
static_assert(get_attack_masks(0, KNIGHT_DIRS, 3) == bb({17, 10}));
static_assert(get_attack_masks(7, KNIGHT_DIRS, 3) == bb({22, 13}));
static_assert(get_attack_masks(63, KNIGHT_DIRS, 3) == bb({46, 53}));
static_assert(get_attack_masks(0, KING_DIRS, 2) == bb({8, 9, 1}));
static_assert(get_attack_masks(7, KING_DIRS, 2) == bb({15, 14, 6}));
static_assert(get_attack_masks(63, KING_DIRS, 2) == bb({62, 55, 54}));
static_assert(get_attack_masks(24, KING_DIRS, 2) == bb({32, 33, 25, 16, 17}));
static_assert(get_attack_masks(28, KNIGHT_DIRS, 3) == bb({11, 13, 18, 22, 34, 38, 43, 45}));
static_assert(SQUARE_RANK_INDICES[63] == 8 && SQUARE_FILE_INDICES[63] == 7);

TEST(AttackTables, BuiltOnFirstUseWithEveryEntry) {
    for (int s = 0; s < 64; ++s) {
        EXPECT_EQ(KNIGHT_ATTACK_MASKS()[s], get_attack_masks(static_cast<std::int8_t>(s), KNIGHT_DIRS, 3));
        EXPECT_EQ(KING_ATTACK_MASKS()[s], get_attack_masks(static_cast<std::int8_t>(s), KING_DIRS, 2));
    }
}

}  // namespace
}  // namespace board
