// The piece part of the Polyglot key is kept up to date by play rather than
// recomputed; on every board play can reach, well-formed or not, it must
// equal the key computed from the placement.

#include <random>

#include <gtest/gtest.h>

#include "board.h"

namespace board {
namespace {

TEST(PieceKey, KeptThroughPlayAndUndoOnAnyPlacement) {
    std::mt19937_64 rng(20261208);
    const char letters[] = "PNBRQKpnbrqk";
    const char32_t promotions[] = {U'q', U'r', U'b', U'n'};
    for (int game = 0; game < 3000; ++game) {
        Board b(game % 3 ? "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq e3 0 1"
                         : "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
        // Some boards get pieces stacked on squares already taken.
        if (game % 4 == 0) b.set_pieces_or(static_cast<char32_t>(letters[rng() % 12]), rng() & rng());
        for (int ply = 0; ply < 40; ++ply) {
            MoveList moves;
            std::optional<Move> m;
            if (rng() % 3) {
                try {
                    b.legal_moves(moves);
                } catch (const Panic&) {
                }
                if (!moves.empty()) m = moves[rng() % moves.size()];
            }
            if (!m) {
                // Any move at all, as apply_move takes it: onto own pieces,
                // from empty squares, with promotions anywhere.
                m = Move(static_cast<Square>(rng() % 64), static_cast<Square>(rng() % 64));
                if (rng() % 8 == 0) m->promotion = promotions[rng() % 4];
            }
            try {
                b.apply_move(*m);
            } catch (const Panic&) {
                b.pop();
                continue;
            }
            ASSERT_EQ(b.piece_key, piece_key_of(b)) << b.fen() << " after " << m->uci();
            if (rng() % 4 == 0) {
                b.pop();
                ASSERT_EQ(b.piece_key, piece_key_of(b)) << b.fen();
            }
        }
    }
}

}  // namespace
}  // namespace board
