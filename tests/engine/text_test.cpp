#include <string>

#include <gtest/gtest.h>

#include "text.h"

namespace board {
namespace {

// Assigning a text a view of its own bytes: whole, a prefix and a suffix,
// inline and heap-held, short results and long ones. AddressSanitizer
// catches the heap cases reading freed bytes; the values catch the rest.
TEST(Text, AssignFromItsOwnBytes) {
    const std::string short_text = "KQkq";
    const std::string long_text = "KQkqKQkqKQkqKQkqKQkqKQkq";
    for (const std::string& original : {short_text, long_text}) {
        for (std::size_t from = 0; from < original.size(); from += 3) {
            for (std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{4}, original.size() - from}) {
                if (from + len > original.size()) continue;
                Text t(original);
                t.assign(t.view().substr(from, len));
                EXPECT_TRUE(t.present());
                EXPECT_EQ(t.view(), original.substr(from, len)) << original << " from " << from << " len " << len;
            }
        }
    }
}

TEST(Text, CopyAndMoveKeepPresenceAndBytes) {
    Text absent;
    Text empty{std::string_view{}};
    Text heap{std::string_view{"a castling field longer than fifteen bytes"}};
    Text copy = heap;
    Text moved = std::move(copy);
    EXPECT_FALSE(absent.present());
    EXPECT_TRUE(empty.present());
    EXPECT_FALSE(absent == empty);
    EXPECT_EQ(moved, heap);
    EXPECT_EQ(heap.heap_bytes(), heap.view().size() + 1);
    const Text& alias = moved;
    moved = alias;
    EXPECT_EQ(moved, heap);
}

}  // namespace
}  // namespace board
