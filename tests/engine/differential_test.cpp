// The fast generator against the reference, on positions from random games
// and on random placements, degenerate ones included: wherever the fast path
// answers, it must give the reference's answer, order included; wherever the
// reference panics, the fast path must decline.

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board.h"
#include "fast/fast.h"

namespace board {
namespace {

const char* const STARTS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
};

std::size_t scale() {
    const char* env = std::getenv("TAVRINMOSS_DIFF_POSITIONS");
    return env ? std::strtoull(env, nullptr, 10) : 100000;
}

std::string describe(const Board& b) { return b.fen() + " (text " + std::string(b.starting_fen.view()) + ")"; }

void expect_same_list(const MoveList& a, const MoveList& b, const Board& board) {
    ASSERT_EQ(a.size(), b.size()) << describe(board);
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i].uci(), b[i].uci()) << "entry " << i << " of " << describe(board);
    }
}

struct Stats {
    std::size_t compared = 0;
    std::size_t declined = 0;
};

// Compares every fast answer with the reference on `b`, which is left as found.
void compare(Board& b, std::mt19937_64& rng, Stats& stats, bool with_perft) {
    const BoardState before = b.state();
    const std::size_t history = b.history.size();

    MoveList reference_list;
    bool reference_panicked = false;
    try {
        reference::legal_moves(b, reference_list);
    } catch (const Panic&) {
        reference_panicked = true;
    }
    ASSERT_TRUE(b.state() == before) << describe(b);

    MoveList fast_list;
    if (fast::legal_moves(b, fast_list)) {
        ASSERT_FALSE(reference_panicked) << "fast path answered where the reference panics: " << describe(b);
        expect_same_list(fast_list, reference_list, b);
        ++stats.compared;
    } else {
        ++stats.declined;
    }

    if (const auto fast_check = fast::is_check(b)) {
        bool ref = reference::is_check(b);
        ASSERT_EQ(*fast_check, ref) << describe(b);
    }

    std::uniform_int_distribution<int> square(0, 70);
    for (int i = 0; i < 4; ++i) {
        auto s = static_cast<std::uint8_t>(square(rng));
        if (const auto fast_attacked = fast::is_attacked(b, s)) {
            bool ref = reference::is_attacked(b, s);
            ASSERT_EQ(*fast_attacked, ref) << "square " << int(s) << " of " << describe(b);
        }
    }

    // Castling is judged on every board, odd texts and missing or extra kings
    // included: it reads only what the reference's castling list reads.
    MoveList castles;
    reference::castling_moves(b, castles);
    for (CastlingSide side : {KING_SIDE, QUEEN_SIDE}) {
        const Castling& g = CASTLING[b.us()][side];
        bool listed = false;
        for (const Move& c : castles) listed |= c.from_square == g.king_from && c.to_square == g.king_to;
        ASSERT_EQ(fast::can_castle(b, side), listed) << "side " << int(side) << " of " << describe(b);
    }

    // The legality test of checked input, which answers without playing the
    // move, keeps exactly the reference's legal moves among the pseudo-legal.
    if (!reference_panicked && fast::is_normal(b)) {
        MoveList pseudo;
        b.pseudo_legal_moves(pseudo);
        for (const Move& m : pseudo) {
            bool listed = false;
            for (const Move& r : reference_list) listed |= r.uci() == m.uci();
            ASSERT_EQ(b.is_legal(m), listed) << m.uci() << " in " << describe(b);
        }
        for (const Move& r : reference_list) ASSERT_TRUE(b.is_legal(r)) << r.uci() << " in " << describe(b);
    }

    if (with_perft) {
        if (const auto nodes = fast::perft(b, 2)) {
            ASSERT_EQ(*nodes, reference::perft(b, 2)) << describe(b);
        }
    }
    ASSERT_TRUE(b.state() == before) << describe(b);
    ASSERT_EQ(b.history.size(), history);
}

TEST(FastPath, AgreesOnRandomGames) {
    std::mt19937_64 rng(20261208);
    const std::size_t target = scale() * 3 / 5;
    Stats stats;
    std::size_t positions = 0;
    while (positions < target) {
        for (const char* start : STARTS) {
            Board b{std::string_view(start)};
            for (int ply = 0; ply < 120 && positions < target; ++ply, ++positions) {
                compare(b, rng, stats, positions % 40 == 0);
                if (HasFatalFailure()) return;
                MoveList moves;
                b.legal_moves(moves);
                if (moves.empty()) break;
                b.apply_move(moves[std::uniform_int_distribution<std::size_t>(0, moves.size() - 1)(rng)]);
            }
        }
    }
    EXPECT_GT(stats.compared, target * 9 / 10);
}

// A random placement: mostly playable positions, with now and then a missing
// or extra king, a pawn on a back rank, a stray en passant square or an odd
// castling text, so the domain test is exercised from both sides.
std::string random_fen(std::mt19937_64& rng) {
    auto chance = [&](int percent) { return std::uniform_int_distribution<int>(0, 99)(rng) < percent; };
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    char grid[64];
    std::fill(std::begin(grid), std::end(grid), '.');
    auto place = [&](char piece, bool pawn) {
        for (int tries = 0; tries < 100; ++tries) {
            int s = pick(64);
            if (pawn && (s < 8 || s >= 56) && !chance(3)) continue;
            if (grid[s] == '.') {
                grid[s] = piece;
                return;
            }
        }
    };
    if (!chance(3)) place('K', false);
    if (!chance(3)) place('k', false);
    if (chance(2)) place('K', false);
    // Kings on their home squares and rooks in their corners make castling likely.
    if (chance(50) && grid[4] == '.') {
        for (int s = 0; s < 64; ++s) if (grid[s] == 'K') grid[s] = '.';
        grid[4] = 'K';
    }
    if (chance(50) && grid[60] == '.') {
        for (int s = 0; s < 64; ++s) if (grid[s] == 'k') grid[s] = '.';
        grid[60] = 'k';
    }
    for (int corner : {0, 7, 56, 63})
        if (chance(40) && grid[corner] == '.') grid[corner] = corner < 8 ? 'R' : 'r';
    const char kinds[] = "PNBRQpnbrq";
    int pieces = pick(24);
    for (int i = 0; i < pieces; ++i) {
        char piece = kinds[pick(10)];
        place(piece, piece == 'P' || piece == 'p');
    }
    std::string fen;
    for (int rank = 7; rank >= 0; --rank) {
        int empty = 0;
        for (int file = 0; file < 8; ++file) {
            char c = grid[rank * 8 + file];
            if (c == '.') { ++empty; continue; }
            if (empty) fen += char('0' + empty);
            empty = 0;
            fen += c;
        }
        if (empty) fen += char('0' + empty);
        if (rank) fen += '/';
    }
    const bool white = chance(50);
    fen += white ? " w " : " b ";
    const char* castling[] = {"-", "KQkq", "KQ", "kq", "K", "q", "Qk", "", "KK", "xyz", "kqKQ"};
    std::string rights = castling[pick(11)];
    fen += rights.empty() ? std::string(" ") : rights + " ";
    if (chance(80)) {
        fen += "-";
    } else {
        const char* ep[] = {"e6", "d3", "a6", "h3", "e3", "e9", "c6", "f3"};
        fen += ep[pick(8)];
    }
    fen += " 0 1";
    return fen;
}

TEST(FastPath, AgreesOnRandomPlacements) {
    std::mt19937_64 rng(8122026);
    const std::size_t target = scale() * 2 / 5;
    Stats stats;
    for (std::size_t i = 0; i < target; ++i) {
        std::string fen = random_fen(rng);
        std::optional<Board> b;
        try {
            b.emplace(std::string_view(fen));
        } catch (const Panic&) {
            continue;
        }
        compare(*b, rng, stats, i % 20 == 0);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(stats.compared, 0u);
    EXPECT_GT(stats.declined, 0u);
}

// A walk must stand where the board stands after every legal move, and
// answer the board's questions as the board does: from random placements
// (those a walk can start from) through random games.
void expect_walk_is_board(const fast::Walk& w, const Board& b) {
    ASSERT_EQ(static_cast<const Placement&>(w), static_cast<const Placement&>(b)) << describe(b);
    ASSERT_EQ(w.en_passant_square, b.en_passant_square) << describe(b);
    ASSERT_EQ(w.turn, b.turn) << describe(b);
    ASSERT_EQ(w.castle, clean_castling_bits(b)) << describe(b);
    ASSERT_EQ(w.half_move_clock, b.half_move_clock) << describe(b);
}

TEST(FastPath, WalksPlayAsTheBoardPlays) {
    std::mt19937_64 rng(9122026);
    const std::size_t target = scale() / 5;
    std::size_t walked = 0;
    for (std::size_t i = 0; walked < target && i < 4 * target; ++i) {
        std::optional<Board> b;
        try {
            b.emplace(std::string_view(i % 2 ? random_fen(rng) : std::string(STARTS[i / 2 % std::size(STARTS)])));
        } catch (const Panic&) {
            continue;
        }
        auto w = fast::walk_of(*b);
        if (!w) continue;
        for (int ply = 0; ply < 60; ++ply, ++walked) {
            expect_walk_is_board(*w, *b);
            if (HasFatalFailure()) return;
            for (CastlingSide side : {KING_SIDE, QUEEN_SIDE})
                ASSERT_EQ(fast::walk_can_castle(*w, side), fast::can_castle(*b, side)) << describe(*b);
            MoveList moves;
            b->legal_moves(moves);
            if (moves.empty()) break;
            const Move m = moves[std::uniform_int_distribution<std::size_t>(0, moves.size() - 1)(rng)];
            const PieceKind kind = b->piece_at(m.from_square)->kind;
            if (!b->is_castling(m)) {
                // The legal moves of that kind onto that square, as the
                // board's list has them.
                MoveList from_walk;
                fast::walk_moves_to(*w, kind, ~Bitboard{0}, m.to_square, from_walk);
                std::vector<std::string> walk_texts, board_texts;
                for (const Move& c : from_walk) walk_texts.push_back(c.uci());
                for (const Move& c : moves)
                    if (c.to_square == m.to_square && b->piece_at(c.from_square)->kind == kind && !b->is_castling(c))
                        board_texts.push_back(c.uci());
                std::sort(walk_texts.begin(), walk_texts.end());
                std::sort(board_texts.begin(), board_texts.end());
                ASSERT_EQ(walk_texts, board_texts) << describe(*b);
            }
            fast::walk_play(*w, m);
            b->apply_move(m);
        }
    }
    EXPECT_GE(walked, target);
}

// The public methods route through the fast path; they must give what the
// reference gives on the same boards.
TEST(FastPath, BoardMethodsMatchReference) {
    for (const char* start : STARTS) {
        Board b{std::string_view(start)};
        MoveList via_board, via_reference;
        b.legal_moves(via_board);
        reference::legal_moves(b, via_reference);
        expect_same_list(via_board, via_reference, b);
        EXPECT_EQ(b.perft(3), reference::perft(b, 3)) << start;
        EXPECT_EQ(b.is_check(), reference::is_check(b)) << start;
    }
}

// The class a query learns stays out of the position's value, goes with a
// write, and comes back with the snapshot undo restores.
TEST(FastClass, KeptOutsideThePosition) {
    Board b;
    const Board unasked = b;
    EXPECT_FALSE(b.is_check());
    EXPECT_EQ(b.class_cache.value, FastClass::ANSWERS);
    EXPECT_TRUE(b.state() == unasked.state());
    EXPECT_EQ(b.to_bytes(), unasked.to_bytes());

    b.apply_legal(Move(12, 28));
    EXPECT_EQ(b.class_cache.value, FastClass::ANSWERS);
    b.apply_move(Move(52, 36));
    EXPECT_EQ(b.class_cache.value, FastClass::UNKNOWN);
    b.pop();
    EXPECT_EQ(b.class_cache.value, FastClass::ANSWERS);
    b.set_pieces_or(U'K', square_bb(40));
    EXPECT_EQ(b.class_cache.value, FastClass::UNKNOWN);
    EXPECT_EQ(b.fast_class(), FastClass::OUTSIDE);
}

#ifdef TAVRINMOSS_CHECK_CLASS
// A write that leaves a kept class behind is caught at the next query.
TEST(FastClass, StaleClassIsCaught) {
    Board b;
    EXPECT_EQ(b.fast_class(), FastClass::ANSWERS);
    b.kinds[KING] ^= square_bb(4);
    MoveList out;
    EXPECT_THROW(b.legal_moves(out), Panic);
}
#endif

}  // namespace
}  // namespace board
