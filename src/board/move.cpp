#include <algorithm>

#include "board.h"

namespace board {

namespace {

void append_square(std::string& out, Square s) {
    out += BOARD_FILES[s % 8];
    out += std::to_string((s % 256) / 8 + 1);
}

}  // namespace

std::string Move::uci() const {
    std::string out;
    out.reserve(6);
    append_square(out, from_square);
    append_square(out, to_square);
    if (promotion) append_utf8(out, *promotion);
    return out;
}

std::optional<Move> Move::from_uci(std::string_view text) {
    if (text.size() != 4 && text.size() != 5) return std::nullopt;
    // Each coordinate as an offset from its first letter: one test finds any
    // out of range, below as well as above.
    auto offset = [&](std::size_t i, char first) { return static_cast<unsigned>(text[i] - first); };
    const unsigned from_file = offset(0, 'a'), from_rank = offset(1, '1');
    const unsigned to_file = offset(2, 'a'), to_rank = offset(3, '1');
    if ((from_file | from_rank | to_file | to_rank) > 7) return std::nullopt;
    const auto from = static_cast<Square>(from_rank * 8 + from_file);
    const auto to = static_cast<Square>(to_rank * 8 + to_file);
    std::optional<char32_t> promo;
    if (text.size() == 5) {
        char p = text[4];
        if (p != 'q' && p != 'r' && p != 'b' && p != 'n') return std::nullopt;
        promo = static_cast<char32_t>(p);
    }
    return Move(from, to, promo);
}

void MoveList::grow() {
    std::size_t capacity = capacity_ * 2;
    auto bigger = std::make_unique<Move[]>(capacity);
    std::copy(data_, data_ + size_, bigger.get());
    heap_ = std::move(bigger);
    data_ = heap_.get();
    capacity_ = capacity;
}

}  // namespace board
