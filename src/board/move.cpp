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
    auto square = [&](std::size_t i) -> std::optional<Square> {
        char f = text[i], r = text[i + 1];
        if (f < 'a' || f > 'h' || r < '1' || r > '8') return std::nullopt;
        return static_cast<Square>((r - '1') * 8 + (f - 'a'));
    };
    auto from = square(0), to = square(2);
    if (!from || !to) return std::nullopt;
    std::optional<char32_t> promo;
    if (text.size() == 5) {
        char p = text[4];
        if (p != 'q' && p != 'r' && p != 'b' && p != 'n') return std::nullopt;
        promo = static_cast<char32_t>(p);
    }
    return Move(*from, *to, promo);
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
