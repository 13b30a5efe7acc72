#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"

namespace board {
namespace {

constexpr std::string_view TEXT =
    "[Event \"a\"]\n[Site \"b\"]\n\n1. e4 { [%clk 0:03:00] } e5 *\n\n"
    "[Event \"c\"]\n\n1. d4 d5 2. c4 1-0\n\n1. Nf3 *\n";

using Games = std::vector<std::pair<Headers, std::string>>;

Games drain(PgnReader& reader) {
    Games out;
    RawGame raw;
    while (reader.next_raw(raw) == PgnReader::Status::GAME) out.emplace_back(raw.headers, std::string(raw.movetext));
    return out;
}

Games fed(std::size_t step) {
    PgnReader reader(false);
    Games out;
    for (std::size_t at = 0; at < TEXT.size(); at += step) {
        reader.feed(TEXT.substr(at, step));
        for (auto& g : drain(reader)) out.push_back(std::move(g));
    }
    reader.finish();
    for (auto& g : drain(reader)) out.push_back(std::move(g));
    return out;
}

// Text written into the room reserve() gives reads as the same text fed; a
// read that fails (nothing committed) or comes up short leaves no bytes of
// the room behind.
TEST(PgnReader, TextWrittenIntoReservedRoomReadsAsFedText) {
    const Games expected = fed(TEXT.size());
    ASSERT_EQ(expected.size(), 3u);
    for (std::size_t step : {1u, 7u, 40u, 1000u}) {
        EXPECT_EQ(fed(step), expected) << step;
        PgnReader reader(false);
        Games out;
        for (std::size_t at = 0; at < TEXT.size(); at += step) {
            std::memset(reader.reserve(64), '{', 64);
            reader.commit(0);
            char* room = reader.reserve(step + 64);
            const std::size_t n = std::min(step, TEXT.size() - at);
            std::memcpy(room, TEXT.data() + at, n);
            std::memset(room + n, '{', 64);
            reader.commit(n);
            for (auto& g : drain(reader)) out.push_back(std::move(g));
        }
        reader.reserve(16);
        reader.commit(0);
        reader.finish();
        for (auto& g : drain(reader)) out.push_back(std::move(g));
        EXPECT_EQ(out, expected) << step;
    }
}

}  // namespace
}  // namespace board
