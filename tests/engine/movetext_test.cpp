#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "movetext.h"

namespace board {
namespace {

std::vector<std::string> tokens(std::string_view text, std::size_t* end = nullptr) {
    MovetextReader reader(text);
    std::vector<std::string> out;
    while (const auto t = reader.next()) out.emplace_back(*t);
    if (end) *end = reader.offset();
    return out;
}

using Tokens = std::vector<std::string>;

// The PGN reader hands this reader whole game bodies, so what it reads past
// has to be exact: everything but the mainline's move words.
TEST(MovetextReader, ReadsPastAllButTheMainline) {
    EXPECT_EQ(tokens("1. e4 e5 2. Nf3 *"), (Tokens{"e4", "e5", "Nf3"}));
    EXPECT_EQ(tokens("1.e4 1...e5 12.Nf3 12... Nc6 13 Bb5"), (Tokens{"e4", "e5", "Nf3", "Nc6", "Bb5"}));
    EXPECT_EQ(tokens("e4 {a (b} e5 ; c ( d\n Nf3"), (Tokens{"e4", "e5", "Nf3"}));
    EXPECT_EQ(tokens("e4 (e3 (d4 {)} d5) ; )\n c5) e5"), (Tokens{"e4", "e5"}));
    EXPECT_EQ(tokens("e4$1 $22 e5!? ?? Nf3+! 1/2-1/2"), (Tokens{"e4", "e5!?", "Nf3+!"}));
    EXPECT_EQ(tokens("%e4\ne5 %Nf3\n"), (Tokens{"e5", "%Nf3"}));
    EXPECT_EQ(tokens("e4) e5} Nf3"), (Tokens{"e4", "e5", "Nf3"}));
    EXPECT_EQ(tokens("e4 -- 0000 $ +-"), (Tokens{"e4", "--", "0000", "$", "+-"}));
}

TEST(MovetextReader, UnclosedCommentsAndVariationsRunToTheEnd) {
    std::size_t end = 0;
    EXPECT_EQ(tokens("e4 {e5 Nf3", &end), (Tokens{"e4"}));
    EXPECT_EQ(end, 10u);
    EXPECT_EQ(tokens("e4 (e5 (Nf3) Nc6", &end), (Tokens{"e4"}));
    EXPECT_EQ(end, 16u);
    EXPECT_EQ(tokens(""), Tokens{});
}

}  // namespace
}  // namespace board
