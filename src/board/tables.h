#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "types.h"

namespace board {

inline constexpr std::array<char, 8> BOARD_FILES{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};

inline constexpr std::array<Bitboard, 64> BOARD_SQUARES = [] {
    std::array<Bitboard, 64> t{};
    for (int i = 0; i < 64; ++i) t[i] = Bitboard{1} << i;
    return t;
}();

inline constexpr std::array<std::uint8_t, 64> SQUARE_RANK_INDICES = [] {
    std::array<std::uint8_t, 64> t{};
    for (int i = 0; i < 64; ++i) t[i] = static_cast<std::uint8_t>(i / 8 + 1);
    return t;
}();

inline constexpr std::array<std::uint8_t, 64> SQUARE_FILE_INDICES = [] {
    std::array<std::uint8_t, 64> t{};
    for (int i = 0; i < 64; ++i) t[i] = static_cast<std::uint8_t>(i % 8);
    return t;
}();

inline constexpr std::array<std::int8_t, 8> KNIGHT_DIRS{17, 15, 10, 6, -6, -10, -15, -17};
inline constexpr std::array<std::int8_t, 8> KING_DIRS{9, 8, 7, 1, -1, -7, -8, -9};

inline constexpr Bitboard NOT_A_FILE = 0xFEFEFEFEFEFEFEFEULL;
inline constexpr Bitboard NOT_H_FILE = 0x7F7F7F7F7F7F7F7FULL;
inline constexpr Bitboard FILE_A = 0x0101010101010101ULL;
inline constexpr Bitboard RANK_1 = 0x00000000000000FFULL;
inline constexpr Bitboard RANK_3 = 0x0000000000FF0000ULL;
inline constexpr Bitboard RANK_4 = 0x00000000FF000000ULL;
inline constexpr Bitboard RANK_5 = 0x000000FF00000000ULL;
inline constexpr Bitboard RANK_6 = 0x0000FF0000000000ULL;
inline constexpr Bitboard RANK_8 = 0xFF00000000000000ULL;
inline constexpr Bitboard DARK_SQUARES = 0xAA55AA55AA55AA55ULL;

constexpr std::uint8_t square_distance(Square a, Square b) {
    const int dr = SQUARE_RANK_INDICES[a] - SQUARE_RANK_INDICES[b];
    const int df = SQUARE_FILE_INDICES[a] - SQUARE_FILE_INDICES[b];
    const int r = dr < 0 ? -dr : dr;
    const int f = df < 0 ? -df : df;
    return static_cast<std::uint8_t>(r > f ? r : f);
}

// TWO_AWAY[s]: the squares at distance two from s, where play's castling and
// double-step rules look, as one load rather than two distances.
inline constexpr auto TWO_AWAY = [] {
    std::array<Bitboard, 64> t{};
    for (Square a = 0; a < 64; ++a)
        for (Square b = 0; b < 64; ++b)
            if (square_distance(a, b) == 2) t[a] |= Bitboard{1} << b;
    return t;
}();

// Squares reached from `square` by the offsets of `dirs` whose step spans fewer
// than `limit` ranks and files: the distance test is what drops the offsets
// that wrap around the a- or h-file.
constexpr Bitboard get_attack_masks(std::int8_t square, const std::array<std::int8_t, 8>& dirs,
                                    std::int8_t limit) {
    Bitboard mask = 0;
    for (std::int8_t d : dirs) {
        auto t = static_cast<std::uint8_t>(square + d);
        if (t > 63) continue;
        if (square_distance(static_cast<Square>(square), t) < limit) mask |= BOARD_SQUARES[t];
    }
    return mask;
}

inline constexpr auto KNIGHT_ATTACKS = [] {
    std::array<Bitboard, 64> t{};
    for (int s = 0; s < 64; ++s) t[s] = get_attack_masks(static_cast<std::int8_t>(s), KNIGHT_DIRS, 3);
    return t;
}();

inline constexpr auto KING_ATTACKS = [] {
    std::array<Bitboard, 64> t{};
    for (int s = 0; s < 64; ++s) t[s] = get_attack_masks(static_cast<std::int8_t>(s), KING_DIRS, 2);
    return t;
}();

// The leaper tables under their public names; they are constant, so every
// caller shares the one copy above.
inline const std::array<Bitboard, 64>& KNIGHT_ATTACK_MASKS() { return KNIGHT_ATTACKS; }
inline const std::array<Bitboard, 64>& KING_ATTACK_MASKS() { return KING_ATTACKS; }

// Pawns take one step forward and one file aside; the file mask drops the
// steps that would wrap around the board's edge.
constexpr Bitboard pawn_attacks_east(Color c, Bitboard pawns) {
    return (c == WHITE ? pawns << 9 : pawns >> 7) & NOT_A_FILE;
}
constexpr Bitboard pawn_attacks_west(Color c, Bitboard pawns) {
    return (c == WHITE ? pawns << 7 : pawns >> 9) & NOT_H_FILE;
}
constexpr Bitboard pawn_attacks(Color c, Bitboard pawns) {
    return pawn_attacks_east(c, pawns) | pawn_attacks_west(c, pawns);
}
constexpr Bitboard pawn_push(Color c, Bitboard pawns) { return c == WHITE ? pawns << 8 : pawns >> 8; }

// PAWN_ATTACKS[c][s]: the squares a pawn of colour c on s attacks.
inline constexpr auto PAWN_ATTACKS = [] {
    std::array<std::array<Bitboard, 64>, 2> t{};
    for (int s = 0; s < 64; ++s) {
        t[WHITE][s] = pawn_attacks(WHITE, square_bb(s));
        t[BLACK][s] = pawn_attacks(BLACK, square_bb(s));
    }
    return t;
}();

// The one castling geometry: the right's letter, where king and rook stand
// and go, what must be empty and which king squares must not be attacked.
struct Castling {
    char letter;
    Square king_from, king_to, rook_from, rook_to;
    Bitboard must_be_empty;
    Bitboard king_path;  // from, passed and arrival squares
};

constexpr Castling castling_of(Color c, CastlingSide side) {
    const Square home = c == WHITE ? 4 : 60;
    const Square corner = side == KING_SIDE ? home + 3 : home - 4;
    const Square king_to = side == KING_SIDE ? home + 2 : home - 2;
    const Square rook_to = side == KING_SIDE ? home + 1 : home - 1;
    Bitboard empty = 0;
    for (Square s = corner < home ? corner + 1 : home + 1; s < (corner < home ? home : corner); ++s)
        empty |= square_bb(s);
    const char letter = side == KING_SIDE ? 'K' : 'Q';
    return {c == WHITE ? letter : static_cast<char>(letter - 'A' + 'a'),
            home,
            king_to,
            corner,
            rook_to,
            empty,
            square_bb(home) | square_bb(rook_to) | square_bb(king_to)};
}

// When castling is allowed, given that the right is held and king and rook
// stand on its squares: the squares the two sweep empty but for themselves,
// no square of the king's path attacked with the king lifted off the board
// (`path_attacked(path, occupied)`), and the king's destination not attacked
// once the rook has moved (`attacked(square, occupied)`). In standard chess
// the path takes in the destination, where the rook's move changes nothing.
template <typename PathAttacked, typename Attacked>
constexpr bool castling_allowed(const Castling& g, Bitboard occupied, PathAttacked&& path_attacked,
                                Attacked&& attacked) {
    if (occupied & g.must_be_empty) return false;
    if (path_attacked(g.king_path, occupied ^ square_bb(g.king_from))) return false;
    const Bitboard after = (occupied & ~square_bb(g.king_from) & ~square_bb(g.rook_from)) | square_bb(g.rook_to);
    return !attacked(g.king_to, after);
}

// CASTLING[colour][side]
inline constexpr std::array<std::array<Castling, 2>, 2> CASTLING{{
    {castling_of(WHITE, KING_SIDE), castling_of(WHITE, QUEEN_SIDE)},
    {castling_of(BLACK, KING_SIDE), castling_of(BLACK, QUEEN_SIDE)},
}};

// The castling right a text letter names, when it names one.
struct CastlingRight {
    Color color;
    CastlingSide side;
};
// Every position check reads the castling text letter by letter, so the
// letters are looked up in a table rather than searched for.
inline constexpr auto CASTLING_RIGHT_OF_ASCII = [] {
    std::array<std::optional<CastlingRight>, 128> t{};
    for (Color c : {WHITE, BLACK})
        for (CastlingSide s : {KING_SIDE, QUEEN_SIDE}) t[static_cast<unsigned char>(CASTLING[c][s].letter)] = CastlingRight{c, s};
    return t;
}();
constexpr std::optional<CastlingRight> castling_right_of(char32_t letter) {
    if (letter >= CASTLING_RIGHT_OF_ASCII.size()) return std::nullopt;
    return CASTLING_RIGHT_OF_ASCII[letter];
}
// Bit of a right in a four-bit set: white king side 1, white queen side 2,
// black king side 4, black queen side 8.
constexpr std::uint8_t castling_bit(Color c, CastlingSide s) { return static_cast<std::uint8_t>(1u << (2 * c + s)); }
// The same lookup straight to the right's bit, 0 for a byte that names no
// right: for checks that only ask which rights a text names.
inline constexpr auto CASTLING_BIT_OF_BYTE = [] {
    std::array<std::uint8_t, 256> t{};
    for (Color c : {WHITE, BLACK})
        for (CastlingSide s : {KING_SIDE, QUEEN_SIDE})
            t[static_cast<unsigned char>(CASTLING[c][s].letter)] = castling_bit(c, s);
    return t;
}();

// What a castling text's letters name, read by the one function every
// reader of the text goes through: the rights named (castling_bit sets),
// whether some letter names no right, and whether some right is named twice.
// One byte, so that a position's record stays as small as before.
struct CastlingLetters {
    std::uint8_t named : 4 = 0;
    std::uint8_t unknown : 1 = 0;
    std::uint8_t repeated : 1 = 0;

    // Letters the fast path and strict reading take: distinct, all rights.
    constexpr bool plain() const { return !unknown && !repeated; }
    friend constexpr bool operator==(const CastlingLetters&, const CastlingLetters&) = default;
};
constexpr CastlingLetters read_castling_letters(std::string_view text) {
    CastlingLetters out;
    for (char c : text) {
        const std::uint8_t bit = CASTLING_BIT_OF_BYTE[static_cast<unsigned char>(c)];
        out.unknown |= !bit;
        out.repeated |= (out.named & bit) != 0;
        out.named = static_cast<std::uint8_t>(out.named | bit);
    }
    return out;
}

}  // namespace board
