// The UCI text reader on lines real engines write and on lines they should
// not: names and choices with spaces, keywords repeated, numbers out of range.

#include <gtest/gtest.h>

#include "uci_engine.h"

namespace board {
namespace {

TEST(UciEngine, OptionNamesAndChoicesKeepTheirSpaces) {
    UciOption o = parse_uci_option(
        "name Analysis Contempt type combo default Both var Off var White var Black var Both Sides");
    EXPECT_EQ(o.name, "Analysis Contempt");
    EXPECT_EQ(o.type, "combo");
    EXPECT_EQ(o.default_value, "Both");
    EXPECT_EQ(o.choices, (std::vector<std::string>{"Off", "White", "Black", "Both Sides"}));
    EXPECT_FALSE(o.min.has_value());
}

TEST(UciEngine, OptionKeywordCountsOnlyOnce) {
    // A second "name" belongs to the value being read, as python-chess splits the line.
    UciOption o = parse_uci_option("name Debug Log File type string default name");
    EXPECT_EQ(o.name, "Debug Log File");
    EXPECT_EQ(o.default_value, "name");
    UciOption spin = parse_uci_option("name Hash type spin default 16 min 1 max 33554432");
    EXPECT_EQ(spin.min, 1);
    EXPECT_EQ(spin.max, 33554432);
    EXPECT_FALSE(parse_uci_option("name Clear Hash type button").default_value.has_value());
    EXPECT_EQ(parse_uci_option("name X type string default").default_value, "");
}

TEST(UciEngine, InfoNumbersReadAsPythonReadsThem) {
    const Board start;
    UciInfo i = parse_uci_info("depth +7 nodes 99999999999999999999 time 1500 score mate -0", start);
    EXPECT_EQ(i.depth, 7);
    EXPECT_FALSE(i.nodes.has_value());  // beyond 64 bits: skipped, not wrapped
    EXPECT_EQ(i.time_ms, 1500);
    ASSERT_TRUE(i.score.has_value());
    EXPECT_EQ(*i.score, SideScore::mate(0));
    EXPECT_TRUE(parse_uci_info("", start).empty());
}

TEST(UciEngine, BestMove) {
    EXPECT_EQ(parse_uci_bestmove("E7E8Q ponder NULL").move, "e7e8q");
    EXPECT_EQ(parse_uci_bestmove("e7e8q ponder NULL").ponder, "");
    EXPECT_EQ(parse_uci_bestmove("e2e4 ponder e7e5").ponder, "e7e5");
    EXPECT_EQ(parse_uci_bestmove("(none)").move, "");
    EXPECT_EQ(parse_uci_bestmove("").move, "");
}

TEST(UciEngine, PositionOfAnEditedBoardWithoutHistory) {
    Board b;
    EXPECT_EQ(uci_position_command(b), "position startpos");
    b.set_pieces_xor('P', 1ULL << 12);  // the e2 pawn taken off by hand
    EXPECT_EQ(uci_position_command(b), "position fen " + b.fen());
}

}  // namespace
}  // namespace board
