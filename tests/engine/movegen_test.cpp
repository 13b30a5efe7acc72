#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "board.h"

namespace board {
namespace {

struct FailingCall {
    const char* name;
    const char* fen;
    std::function<void(Board&, MoveList&)> call;
};

// A generator or query that panics hands back neither a partial list nor a
// changed board: the caller's list keeps what it held, the record and its
// history are as before.
class MoveGenFailure : public ::testing::TestWithParam<FailingCall> {};

TEST_P(MoveGenFailure, LeavesListAndBoardAsFound) {
    const FailingCall& c = GetParam();
    Board b{std::string_view(c.fen)};
    const BoardState before = b.state();
    MoveList out;
    out.push_back(Move(1, 2));
    EXPECT_THROW(c.call(b, out), Panic);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to_square, 2u);
    EXPECT_TRUE(b.state() == before);
    EXPECT_TRUE(b.history.empty());
}

const char* const NO_BLACK_KING = "8/8/8/8/8/8/4P3/4K3 w - - 0 1";
const char* const EP_OFF_BOARD = "4k3/8/8/8/8/8/4P3/4K3 w - e9 0 1";

INSTANTIATE_TEST_SUITE_P(
    MoveGen, MoveGenFailure,
    ::testing::Values(
        FailingCall{"pawn_moves", EP_OFF_BOARD, [](Board& b, MoveList& l) { b.pawn_moves(l); }},
        FailingCall{"pseudo_legal_moves", "8/4p3/8/8/8/8/8/4K3 b - - 0 1",
                    [](Board& b, MoveList& l) { b.pseudo_legal_moves(l); }},
        FailingCall{"king_moves", "8/8/8/8/8/8/4P3/4K3 b - - 0 1",
                    [](Board& b, MoveList& l) { b.king_moves(l); }},
        FailingCall{"legal_moves", NO_BLACK_KING, [](Board& b, MoveList& l) { b.legal_moves(l); }},
        FailingCall{"is_check", NO_BLACK_KING, [](Board& b, MoveList&) { b.is_check(); }},
        FailingCall{"is_game_over", NO_BLACK_KING, [](Board& b, MoveList&) { b.is_game_over(); }},
        FailingCall{"perft", NO_BLACK_KING, [](Board& b, MoveList&) { b.perft(2); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace board
