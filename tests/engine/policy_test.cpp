#include <gtest/gtest.h>

#include <array>
#include <set>

#include "board.h"

namespace board {
namespace {

// Every step a piece can make on the board, promotions on every rank pair
// one step apart included, gets its own index inside the vector, for either
// side: two moves sharing an index would make the policy head ambiguous.
TEST(Policy, EveryStepHasItsOwnIndex) {
    for (Color side : {WHITE, BLACK}) {
        std::set<std::uint16_t> seen;
        std::size_t steps = 0;
        for (Square from = 0; from < 64; ++from)
            for (Square to = 0; to < 64; ++to) {
                const int dr = static_cast<int>(to / 8) - static_cast<int>(from / 8);
                const int df = static_cast<int>(to % 8) - static_cast<int>(from % 8);
                const int adr = dr < 0 ? -dr : dr, adf = df < 0 ? -df : df;
                const bool line = from != to && (adr == 0 || adf == 0 || adr == adf);
                const bool jump = (adr == 1 && adf == 2) || (adr == 2 && adf == 1);
                const auto index = policy_index(from, to, std::nullopt, side);
                ASSERT_EQ(index.has_value(), line || jump) << from << " " << to;
                if (!index) continue;
                ++steps;
                EXPECT_LT(*index, POLICY_SIZE);
                EXPECT_EQ(*index / POLICY_PLANES, side == WHITE ? from : from ^ 56);
                EXPECT_TRUE(seen.insert(*index).second) << from << " " << to;
                for (PieceKind kind : {KNIGHT, BISHOP, ROOK, QUEEN}) {
                    const auto promoted = policy_index(from, to, kind, side);
                    const int forward = side == WHITE ? dr : -dr;
                    ASSERT_EQ(promoted.has_value(), forward == 1 && adf <= 1);
                    if (!promoted) continue;
                    // A queen promotion is the pawn's own step.
                    if (kind == QUEEN) EXPECT_EQ(*promoted, *index);
                    else EXPECT_TRUE(seen.insert(*promoted).second);
                }
            }
        EXPECT_EQ(steps, 1456u + 336u);  // queen-like steps, knight jumps
    }
    EXPECT_FALSE(policy_index(8, 16, PAWN, WHITE));
    EXPECT_FALSE(policy_index(8, 16, KING, WHITE));
    EXPECT_FALSE(policy_index(64, 0, std::nullopt, WHITE));
}

// Black's view is white's with the ranks reversed and the sets swapped;
// files stay where they are.
TEST(Policy, PlanesFromBlacksViewMirrorRanksOnly) {
    Board b("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R b KQkq - 0 1");
    std::array<std::uint8_t, PLANES_BYTES> white{}, black{};
    b.planes(false, white.data());
    b.planes(true, black.data());
    for (std::size_t plane = 0; plane < PLANE_COUNT; ++plane)
        for (Square s = 0; s < 64; ++s) {
            EXPECT_EQ(white[plane * 64 + s], (b.bitboards()[plane] >> s) & 1);
            EXPECT_EQ(black[(plane + KIND_NB) % PLANE_COUNT * 64 + (s ^ 56)], white[plane * 64 + s]);
        }
}

}  // namespace
}  // namespace board
