#include "policy.h"

#include <cstring>

#include "board.h"

namespace board {

namespace {

// (rank step, file step) of each plane group, in the encoding's order.
struct Step {
    int rank, file;
};
constexpr std::array<Step, 8> QUEEN_DIRECTIONS{{{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}}};
constexpr std::array<Step, 8> KNIGHT_STEPS{{{2, 1}, {1, 2}, {-1, 2}, {-2, 1}, {-2, -1}, {-1, -2}, {1, -2}, {2, -1}}};
constexpr unsigned KNIGHT_PLANE = 56;
constexpr unsigned UNDERPROMOTION_PLANE = 64;

// Which plane a (rank, file) step is, without a promotion; std::nullopt for
// a step that is neither a straight or diagonal line nor a knight's jump.
constexpr std::optional<unsigned> step_plane(int dr, int df) {
    for (unsigned i = 0; i < KNIGHT_STEPS.size(); ++i)
        if (KNIGHT_STEPS[i].rank == dr && KNIGHT_STEPS[i].file == df) return KNIGHT_PLANE + i;
    const int adr = dr < 0 ? -dr : dr, adf = df < 0 ? -df : df;
    if ((adr == 0 && adf == 0) || (adr != 0 && adf != 0 && adr != adf)) return std::nullopt;
    const int distance = adr > adf ? adr : adf;
    const Step unit{dr / distance, df / distance};
    for (unsigned d = 0; d < QUEEN_DIRECTIONS.size(); ++d)
        if (QUEEN_DIRECTIONS[d].rank == unit.rank && QUEEN_DIRECTIONS[d].file == unit.file)
            return 7 * d + static_cast<unsigned>(distance - 1);
    return std::nullopt;
}

// PLANE_OF_STEP[(dr + 7) * 15 + df + 7]: the plane of every step on the
// board, 0xFF for none, so that encoding a move is two lookups.
constexpr auto PLANE_OF_STEP = [] {
    std::array<std::uint8_t, 15 * 15> t{};
    for (int dr = -7; dr <= 7; ++dr)
        for (int df = -7; df <= 7; ++df) {
            const auto plane = step_plane(dr, df);
            t[(dr + 7) * 15 + df + 7] = plane ? static_cast<std::uint8_t>(*plane) : 0xFF;
        }
    return t;
}();

static_assert(PLANE_OF_STEP[(1 + 7) * 15 + 0 + 7] == 0);    // N, one square
static_assert(PLANE_OF_STEP[(0 + 7) * 15 + 2 + 7] == 15);   // E, two squares: castling short
static_assert(PLANE_OF_STEP[(1 + 7) * 15 - 1 + 7] == 49);   // NW, one square
static_assert(PLANE_OF_STEP[(2 + 7) * 15 - 1 + 7] == 63);   // the last knight jump

std::optional<PieceKind> promotion_kind(const Move& m) {
    if (!m.promotion) return std::nullopt;
    // Moves the board calls legal promote to a lower-case letter; a letter
    // of no kind reads as a pawn, which policy_index has no plane for.
    return kind_of_letter(*m.promotion).value_or(PAWN);
}

}  // namespace

void fill_planes(const Placement& p, bool black_view, std::uint8_t* out) noexcept {
    const auto sets = piece_sets(p);
    for (std::size_t i = 0; i < PLANE_COUNT; ++i) {
        // From black's view the planes of black's sets come first.
        Bitboard b = sets[black_view ? (i + KIND_NB) % PLANE_COUNT : i];
        if (black_view) b = mirror_ranks(b);
        for (int rank = 0; rank < 8; ++rank) {
            const std::uint64_t bytes = SPREAD_RANK[(b >> (8 * rank)) & 0xFF];
            std::memcpy(out + i * 64 + rank * 8, &bytes, sizeof bytes);
        }
    }
}

std::optional<std::uint16_t> policy_index(Square from, Square to, std::optional<PieceKind> promotion,
                                          Color side) noexcept {
    if (from > 63 || to > 63) return std::nullopt;
    if (side == BLACK) {
        from ^= 56;
        to ^= 56;
    }
    const int dr = static_cast<int>(to / 8) - static_cast<int>(from / 8);
    const int df = static_cast<int>(to % 8) - static_cast<int>(from % 8);
    unsigned plane;
    if (promotion) {
        if (dr != 1 || df < -1 || df > 1) return std::nullopt;
        switch (*promotion) {
            case QUEEN: plane = PLANE_OF_STEP[(dr + 7) * 15 + df + 7]; break;
            case KNIGHT: plane = UNDERPROMOTION_PLANE + 0 + static_cast<unsigned>(df + 1); break;
            case BISHOP: plane = UNDERPROMOTION_PLANE + 3 + static_cast<unsigned>(df + 1); break;
            case ROOK: plane = UNDERPROMOTION_PLANE + 6 + static_cast<unsigned>(df + 1); break;
            default: return std::nullopt;
        }
    } else {
        plane = PLANE_OF_STEP[(dr + 7) * 15 + df + 7];
        if (plane == 0xFF) return std::nullopt;
    }
    return static_cast<std::uint16_t>(POLICY_PLANES * from + plane);
}

// ---------------------------------------------------------------- the board's

void Board::planes(bool perspective, std::uint8_t* out) const noexcept {
    fill_planes(*this, perspective && us() == BLACK, out);
}

std::uint16_t Board::move_index(const Move& raw) {
    if (!is_legal(raw)) throw Invalid("move_index: " + raw.uci() + " is not a legal move in " + fen());
    // King takes own rook, which is_legal accepts for castling, is indexed
    // as the king's two-square step the legal list writes.
    const Move m = castling_alias(*this, raw);
    const auto index = policy_index(m.from_square, m.to_square, promotion_kind(m), us());
    if (!index) throw Invalid("move_index: " + m.uci() + " has no policy index");
    return *index;
}

Move Board::move_from_index(std::uint64_t index) {
    if (index >= POLICY_SIZE)
        throw Invalid("move_from_index: index " + std::to_string(index) + " is outside 0.." +
                      std::to_string(POLICY_SIZE - 1));
    MoveList moves;
    checked_legal_moves(moves);
    for (const Move& m : moves)
        if (policy_index(m.from_square, m.to_square, promotion_kind(m), us()) == index) return m;
    throw Invalid("move_from_index: no legal move has index " + std::to_string(index) + " in " + fen());
}

void Board::legal_move_mask(std::uint8_t* out) {
    MoveList moves;
    checked_legal_moves(moves);
    std::memset(out, 0, POLICY_SIZE);
    for (const Move& m : moves)
        if (const auto index = policy_index(m.from_square, m.to_square, promotion_kind(m), us())) out[*index] = 1;
}

}  // namespace board
