#pragma once

#include <array>
#include <cstdint>

#include "types.h"

namespace board {

inline constexpr std::array<char32_t, 6> WHITE_PIECES{U'P', U'R', U'N', U'B', U'Q', U'K'};
inline constexpr std::array<char32_t, 6> BLACK_PIECES{U'p', U'r', U'n', U'b', U'q', U'k'};
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
inline constexpr Bitboard RANK_4 = 0x00000000FF000000ULL;
inline constexpr Bitboard RANK_5 = 0x000000FF00000000ULL;

// Squares reached from `square` by the offsets of `dirs` whose step spans fewer
// than `limit` ranks and files: the distance test is what drops the offsets
// that wrap around the a- or h-file.
constexpr Bitboard get_attack_masks(std::int8_t square, const std::array<std::int8_t, 8>& dirs,
                                    std::int8_t limit) {
    Bitboard mask = 0;
    for (std::int8_t d : dirs) {
        auto t = static_cast<std::uint8_t>(square + d);
        if (t > 63) continue;
        int dr = SQUARE_RANK_INDICES[square] - SQUARE_RANK_INDICES[t];
        int df = SQUARE_FILE_INDICES[square] - SQUARE_FILE_INDICES[t];
        if (dr < 0) dr = -dr;
        if (df < 0) df = -df;
        if ((dr > df ? dr : df) < limit) mask |= BOARD_SQUARES[t];
    }
    return mask;
}

// Built on first use; a function-local static makes concurrent first callers wait.
const std::array<Bitboard, 64>& KNIGHT_ATTACK_MASKS();
const std::array<Bitboard, 64>& KING_ATTACK_MASKS();

}  // namespace board
