#pragma once

// The engine's vocabulary: every generator, the reference and the fast path,
// play, and the queries built on them speak in these types.

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace board {

using Bitboard = std::uint64_t;
// A move's squares are as wide as Python may set them; a square of the board
// is 0 (a1) to 63 (h8).
using Square = std::uint32_t;

enum Color : std::uint8_t { WHITE, BLACK };
enum PieceKind : std::uint8_t { PAWN, KNIGHT, BISHOP, ROOK, QUEEN, KING };
enum CastlingSide : std::uint8_t { KING_SIDE, QUEEN_SIDE };
inline constexpr int COLOR_NB = 2;
inline constexpr int KIND_NB = 6;

constexpr Color opposite(Color c) { return static_cast<Color>(c ^ 1); }
constexpr Color color_of_turn(bool turn) { return turn ? WHITE : BLACK; }
constexpr Bitboard square_bb(Square s) { return Bitboard{1} << s; }

struct Piece {
    Color color;
    PieceKind kind;
    friend constexpr bool operator==(Piece, Piece) = default;
};

// FEN letters: upper case white, lower case black.
inline constexpr std::array<char, KIND_NB> KIND_LETTERS{'p', 'n', 'b', 'r', 'q', 'k'};
constexpr char piece_letter(Piece p) {
    const char c = KIND_LETTERS[p.kind];
    return p.color == WHITE ? static_cast<char>(c - 'a' + 'A') : c;
}
constexpr std::optional<PieceKind> kind_of_letter(char32_t c) {
    if (c >= U'A' && c <= U'Z') c += U'a' - U'A';
    for (int k = 0; k < KIND_NB; ++k)
        if (c == static_cast<char32_t>(KIND_LETTERS[k])) return static_cast<PieceKind>(k);
    return std::nullopt;
}
constexpr std::optional<Piece> piece_of_letter(char32_t c) {
    const auto kind = kind_of_letter(c);
    if (!kind) return std::nullopt;
    return Piece{c >= U'a' ? BLACK : WHITE, *kind};
}

// Where the pieces stand: one set per kind and one per colour. The sets are
// kept as play and the setters leave them, so they may overlap or disagree on
// contrived boards; normal positions keep them consistent.
struct Placement {
    std::array<Bitboard, KIND_NB> kinds{};
    std::array<Bitboard, COLOR_NB> colors{};

    constexpr Bitboard pieces(Color c, PieceKind k) const { return kinds[k] & colors[c]; }
    constexpr Bitboard occupied() const { return colors[WHITE] | colors[BLACK]; }
    // Exactly one king a side: a single-bit test, as popcount may be a
    // library call.
    constexpr bool one_king_each() const {
        const Bitboard w = pieces(WHITE, KING), b = pieces(BLACK, KING);
        return w && !(w & (w - 1)) && b && !(b & (b - 1));
    }
    // The squares the sets do not describe plainly: claimed by two kinds or
    // both colours, or by a kind without a colour or a colour without a kind.
    constexpr Bitboard malformed() const {
        Bitboard seen = 0, twice = 0;
        for (Bitboard k : kinds) {
            twice |= seen & k;
            seen |= k;
        }
        return twice | (colors[WHITE] & colors[BLACK]) | (seen ^ occupied());
    }

    friend bool operator==(const Placement&, const Placement&) = default;
};

// A violated assumption inside an engine operation. The binding turns it into
// the Python-visible panic exception; `where` feeds the stderr diagnostic.
class Panic : public std::runtime_error {
public:
    explicit Panic(const std::string& message,
                   std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}

    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

// Bad input to one of the additions (checked move text, strict FEN, a square
// out of range, ...). Unlike a Panic it is an ordinary Python error: the
// binding raises ValueError, or IndexError for an `Invalid::Index`, with the
// text, and the operation has changed nothing.
class Invalid : public std::invalid_argument {
public:
    enum Kind { Value, Index };
    explicit Invalid(const std::string& message, Kind kind = Value)
        : std::invalid_argument(message), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

// Long operations poll `stop` now and then; when it answers true they throw
// Interrupted, having put the board back as it was. The binding's poll
// checks for signals, so Ctrl-C reaches a deep perft.
using StopPoll = bool (*)();

class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

class StopCheck {
public:
    // Interior nodes between polls: some two million leaves of the fast
    // path's bulk counts, a few hundredths of a second of the reference.
    static constexpr std::uint32_t PERIOD = 2048;

    explicit StopCheck(StopPoll stop = nullptr) noexcept : stop_(stop) {}
    void tick() {
        if (--left_) return;
        left_ = PERIOD;
        if (stop_ && stop_()) throw Interrupted();
    }

private:
    StopPoll stop_;
    std::uint32_t left_ = PERIOD;
};

// The two generic messages every caller of a table or an optional expects.
[[noreturn]] void panic_index(std::uint64_t len, std::uint64_t index,
                              std::source_location where = std::source_location::current());
[[noreturn]] void panic_unwrap_none(std::source_location where = std::source_location::current());

// Appends the UTF-8 form of one code point.
void append_utf8(std::string& out, char32_t c);
// Decodes the code point at byte i and moves i past it; a malformed byte
// decodes to U+FFFD, which is no letter, digit or separator.
char32_t next_code_point(std::string_view text, std::size_t& i);

template <typename Table>
constexpr auto checked(const Table& table, std::uint64_t index,
                       std::source_location where = std::source_location::current()) {
    if (index >= table.size()) panic_index(table.size(), index, where);
    return table[index];
}

}  // namespace board
