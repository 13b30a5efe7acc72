#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "score.h"

namespace board {
namespace {

// Comments that take each reader down its other paths: several commands of
// a kind, the first malformed; tags glued to text; clocks the short path
// leaves to the general one; a command cut off at the end of the comment.
constexpr std::string_view COMMENTS[] = {
    "",
    " [%eval 0.17] [%clk 0:05:00] ",
    "[%clk 0:05:00] [%eval -1.5]",
    "[%eval #-3,20][%clk 12:34:56]",
    "[%eval #0] [%clk 0:00:00]",
    "[%eval x] [%eval 2.5] [%clk 9:60] [%clk 1:2:3.25]",
    "[%clk 0:05:00.] [%eval 1.]",
    "[%clk 123:00:01] [%evalx 1] [%eval\t+.5]",
    "[[%clk 0:05:07] [%clk 0:05:09]",
    "[%eval 0.30",
    "[%clk 0:05:0",
    "[%clk 0:05:00",
    "text [%clk 00:00:59] more [%eval 99999999999]",
    "[%clk 0:00:12345678901234567] [%clk 1:00:00]",
    // The one-pass shapes and their near misses, which the general reading
    // takes: mates, two-digit hours, a bad digit in each place, cut short.
    "[%eval #-12] [%clk 10:00:01]",
    "[%eval #+3] [%clk 0:00:00]",
    "[%eval #123456789012345678] [%clk 0:00:01]",
    "[%eval #1234567890123456789] [%clk 0:00:01]",
    "[%eval #] [%clk 0:00:01] [%eval #-0]",
    "[%eval -0.00] [%clk 99:59:59]",
    "[%eval 1234567890.99] [%clk 1:00:00]",
    "[%eval 12345678901.99] [%clk 1:00:00]",
    "[%eval 1.00] [%clk 0:0a:00]",
    "[%eval 1.00] [%clk 0:00:0/]",
    "[%eval 1.00] [%clk 0:00:00.5]",
    "[%eval 1.00] [%clk 100:00:00]",
    "[%eval 1.00] [%clk 0:00:00",
    "[%eval 1.00] [%clk 0:00:0",
    "[%eval #1] [%clk 0:00:0",
    "[%eval 1.0] [%clk 0:00:00]",
    "[%eval 1.00][%clk 0:00:00]",
};

class CommentCommandsTest : public testing::TestWithParam<std::string_view> {};

// The one-pass reader the sample columns use finds what the two readers do.
TEST_P(CommentCommandsTest, EqualTheSeparateReaders) {
    for (bool turn : {true, false}) {
        const CommentCommands both = parse_commands(GetParam(), turn);
        const std::optional<Score> eval = parse_eval(GetParam(), turn);
        ASSERT_EQ(both.eval.has_value(), eval.has_value());
        if (eval) {
            EXPECT_EQ(both.eval->turn, eval->turn);
            EXPECT_EQ(both.eval->relative.kind, eval->relative.kind);
            EXPECT_EQ(both.eval->relative.value, eval->relative.value);
        }
        EXPECT_EQ(both.clock, parse_clock(GetParam()));
    }
}

INSTANTIATE_TEST_SUITE_P(Comments, CommentCommandsTest, testing::ValuesIn(COMMENTS));

// Comments of the common shape, "[%eval v] [%clk h:mm:ss]", with their
// parts of random lengths and one character in two changed: the one-pass
// reader agrees with the separate ones on every one, whatever it takes and
// leaves to the general reading.
TEST(CommentCommands, NearlyCommonCommentsEqualTheSeparateReaders) {
    std::mt19937 rng(16);
    const auto digits = [&](unsigned most) {
        std::string out(rng() % (most + 1), '0');
        for (char& c : out) c = static_cast<char>('0' + rng() % 10);
        return out;
    };
    constexpr std::string_view SIGNS[] = {"", "", "-", "+", "#", "#-"};
    constexpr std::string_view OTHERS = "0123456789.:]#-+, x[%";
    for (int i = 0; i < 200000; ++i) {
        std::string comment = i % 3 ? "" : " ";
        comment += "[%eval ";
        comment += SIGNS[rng() % std::size(SIGNS)];
        comment += digits(12);
        // Built by appends: g++ 12 warns falsely on chained string sums.
        if (rng() % 4) comment.append(".").append(digits(3));
        comment.append("] [%clk ").append(digits(3)).append(":").append(digits(3)).append(":").append(digits(3));
        if (rng() % 8 == 0) comment.append(".").append(digits(2));
        comment.append(rng() % 8 ? "] " : "");
        if (rng() % 2) comment[rng() % comment.size()] = OTHERS[rng() % OTHERS.size()];
        if (rng() % 8 == 0) comment.resize(rng() % comment.size());
        const bool turn = rng() % 2;
        const CommentCommands both = parse_commands(comment, turn);
        const std::optional<Score> eval = parse_eval(comment, turn);
        ASSERT_EQ(both.eval.has_value(), eval.has_value()) << comment;
        if (eval) {
            ASSERT_EQ(both.eval->turn, eval->turn) << comment;
            ASSERT_EQ(both.eval->relative.kind, eval->relative.kind) << comment;
            ASSERT_EQ(both.eval->relative.value, eval->relative.value) << comment;
        }
        ASSERT_EQ(both.clock, parse_clock(comment)) << comment;
    }
}

// The short path for "h:mm:ss]" and the general reader give the same
// seconds; shapes the short path refuses still read.
TEST(ClockCommand, ReadsEveryShape) {
    EXPECT_EQ(parse_clock("[%clk 0:05:00]"), 300.0);
    EXPECT_EQ(parse_clock("[%clk 12:34:56]"), 45296.0);
    EXPECT_EQ(parse_clock("[%clk 123:00:01]"), 442801.0);
    EXPECT_EQ(parse_clock("[%clk 1:2:3]"), 3723.0);
    EXPECT_EQ(parse_clock("[%clk 0:00:05.]"), 5.0);
    EXPECT_DOUBLE_EQ(parse_clock("[%clk 1:02:03.4]").value_or(0), 3723.4);
    EXPECT_EQ(parse_clock("[%clk 0:00:90]"), 90.0);
    EXPECT_EQ(parse_clock("[%clk 0:05:00 ]"), std::nullopt);
    EXPECT_EQ(parse_clock("[%clk 0:05]"), std::nullopt);
    EXPECT_EQ(parse_clock("[%clk 0:05:00"), std::nullopt);
    // Beyond 64 bits, as Python's int arithmetic sums them, then rounds.
    EXPECT_EQ(parse_clock("[%clk 9007199254740993:0:0]"), 32425917317067574800.0);
    EXPECT_EQ(parse_clock("[%clk 1111111111111111111:00:00]"), 4e21);
    EXPECT_EQ(parse_clock("[%clk 0:00:1e5]"), std::nullopt);
    EXPECT_EQ(parse_clock("[%clk 0:00:" + std::string(400, '9') + "]"), HUGE_VAL);
    EXPECT_EQ(parse_clock("[%clk 0:00:0." + std::string(400, '0') + "1]"), 0.0);
}

// Centipawns from white's view (the turn after the move is white's), or
// std::nullopt; the short path for "d.dd]" and eval_at agree.
std::optional<std::int64_t> centipawns(std::string_view comment) {
    const auto score = parse_eval(comment, true);
    if (!score || score->relative.is_mate()) return std::nullopt;
    return score->relative.value;
}

TEST(EvalCommand, ReadsEveryShape) {
    EXPECT_EQ(centipawns("[%eval 0.17]"), 17);
    EXPECT_EQ(centipawns("[%eval -3.05]"), -305);
    EXPECT_EQ(centipawns("[%eval +12.50]"), 1250);
    EXPECT_EQ(centipawns("[%eval 1234567890.99]"), 123456789099);
    EXPECT_EQ(centipawns("[%eval 0.5]"), 50);
    EXPECT_EQ(centipawns("[%eval .25]"), 25);
    EXPECT_EQ(centipawns("[%eval 7]"), 700);
    EXPECT_EQ(centipawns("[%eval 0.17,24]"), 17);
    EXPECT_EQ(centipawns("[%eval 12345678901.50]"), std::nullopt);
    EXPECT_EQ(centipawns("[%eval 0.175]"), std::nullopt);
    EXPECT_EQ(centipawns("[%eval -.]"), std::nullopt);
    EXPECT_EQ(centipawns("[%eval 0.17"), std::nullopt);
}

}  // namespace
}  // namespace board
