#pragma once

// Positions and moves as a network sees them: twelve planes of pieces, and
// the 8x8x73 move encoding of a policy head. Geometry only; the board's
// methods built on it (planes, move_index, ...) are in board.h.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "types.h"

namespace board {

inline constexpr std::size_t PLANE_COUNT = COLOR_NB * KIND_NB;
inline constexpr std::size_t PLANES_BYTES = PLANE_COUNT * 64;
inline constexpr unsigned POLICY_PLANES = 73;
inline constexpr std::size_t POLICY_SIZE = 64 * POLICY_PLANES;

// The twelve piece sets, white pawn to king then black, each a kind's set
// masked by a colour's. On a placement whose sets overlap (the setters can
// make one) a square may so count in several sets: they are the sets as
// stored, not the one piece a square shows.
constexpr std::array<Bitboard, PLANE_COUNT> piece_sets(const Placement& p) {
    std::array<Bitboard, PLANE_COUNT> sets{};
    for (int c = 0; c < COLOR_NB; ++c)
        for (int k = 0; k < KIND_NB; ++k) sets[c * KIND_NB + k] = p.kinds[k] & p.colors[c];
    return sets;
}

// The board seen from the other side: rank r becomes rank 7 - r.
constexpr Bitboard mirror_ranks(Bitboard b) { return __builtin_bswap64(b); }

// SPREAD_RANK[r]: the eight bits of a rank as eight bytes of 0 or 1, bit i
// in byte i of memory. A table load per rank is about three times quicker
// than spreading the bits by multiplication, for 2 KiB of cache.
inline constexpr auto SPREAD_RANK = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned r = 0; r < 256; ++r) {
        std::uint64_t bytes = 0;
        for (unsigned i = 0; i < 8; ++i)
            if (r & (1u << i)) bytes |= std::uint64_t{1} << (std::endian::native == std::endian::big ? 56 - 8 * i : 8 * i);
        t[r] = bytes;
    }
    return t;
}();

// Fills `out` (PLANES_BYTES bytes, [plane][rank][file]) with 1 where a set
// of piece_sets has its piece and 0 elsewhere. `black_view` mirrors the
// ranks and puts black's sets first, as the side to move sees a board when
// it is black; files are never mirrored.
void fill_planes(const Placement& p, bool black_view, std::uint8_t* out) noexcept;

// The index of a move in the policy vector, 73 * from + plane, seen from
// `side` (for black every square is mirrored to s ^ 56 first): planes 0-55
// for queen-like steps (7 * direction + distance - 1, directions N, NE, E,
// SE, S, SW, W, NW), queen promotions among them; 56-63 for knight jumps;
// 64-72 for promotions to a knight, bishop or rook, 64 + 3 * piece + file
// step + 1. std::nullopt when the squares are no such step, or the
// promotion is to another kind or not on a single pawn step forward.
std::optional<std::uint16_t> policy_index(Square from, Square to, std::optional<PieceKind> promotion,
                                          Color side) noexcept;

}  // namespace board
