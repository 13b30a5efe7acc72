// Fischer random chess: castling read from where the king and its rooks
// stand rather than from fixed squares, the castling field in X-FEN and
// Shredder-FEN, and the numbered starting positions. Meanings follow the
// chess library Python users know, so that games and keys agree with it.

#include <bit>

#include "board.h"
#include "attacks.h"

namespace board {

namespace {

constexpr Bitboard first_rank(Color c) { return c == WHITE ? RANK_1 : RANK_8; }

// The squares strictly between two squares of one rank.
constexpr Bitboard between_on_rank(Square a, Square b) {
    const Square lo = a < b ? a : b, hi = a < b ? b : a;
    if (hi - lo < 2) return 0;
    return (square_bb(hi) - 1) & ~((square_bb(lo) << 1) - 1);
}

constexpr std::uint16_t files_of_rooks(Bitboard rooks) {
    return static_cast<std::uint16_t>((rooks & RANK_1) | ((rooks & RANK_8) >> 48));
}

int highest_square(Bitboard b) { return 63 - std::countl_zero(b); }

}  // namespace

Bitboard castling_rooks(const BoardState& s) {
    if (!s.chess960) {
        Bitboard out = 0;
        const std::uint8_t bits = clean_castling_bits(s);
        for (Color c : {WHITE, BLACK})
            for (CastlingSide side : {KING_SIDE, QUEEN_SIDE})
                if (bits & castling_bit(c, side)) out |= square_bb(CASTLING[c][side].rook_from);
        return out;
    }
    const Bitboard named = held_castling_rooks(s);
    Bitboard out = 0;
    for (Color c : {WHITE, BLACK}) {
        const Bitboard rooks = named & s.pieces(c, ROOK) & first_rank(c);
        const Bitboard kings = s.pieces(c, KING) & first_rank(c);
        if (!rooks || !kings) continue;
        const int king = highest_square(kings);
        const Bitboard a_side = rooks & (~rooks + 1);
        const Bitboard h_side = square_bb(highest_square(rooks));
        if (std::countr_zero(a_side) < king) out |= a_side;
        if (highest_square(h_side) > king) out |= h_side;
    }
    return out;
}

namespace {

constexpr Castling plan_on_first_rank(Square king, Square rook) {
    const bool h_side = rook > king;
    const Square king_to = h_side ? 6 : 2, rook_to = h_side ? 5 : 3;
    const Bitboard movers = square_bb(king) | square_bb(rook);
    const Bitboard crossed = between_on_rank(king, king_to);
    const Bitboard swept = crossed | square_bb(king_to) | between_on_rank(rook, rook_to) | square_bb(rook_to);
    return {0, king, king_to, rook, rook_to, swept & ~movers, crossed | square_bb(king)};
}

// Every plan of the first rank, by the king's and the rook's file: asked
// for each legal list, so looked up rather than worked out.
constexpr auto FIRST_RANK_PLANS = [] {
    std::array<std::array<Castling, 8>, 8> t{};
    for (Square k = 0; k < 8; ++k)
        for (Square r = 0; r < 8; ++r)
            if (k != r) t[k][r] = plan_on_first_rank(k, r);
    return t;
}();

}  // namespace

Castling castling_plan(Square king, Square rook) {
    Castling plan = FIRST_RANK_PLANS[king % 8][rook % 8];
    if (const Square base = king & 56) {
        plan.king_from += base;
        plan.king_to += base;
        plan.rook_from += base;
        plan.rook_to += base;
        plan.must_be_empty <<= base;
        plan.king_path <<= base;
    }
    return plan;
}

CastlingPlans castling_plans(const BoardState& s) {
    CastlingPlans out;
    const Bitboard rooks = castling_rooks(s);
    for (Color c : {WHITE, BLACK}) {
        Bitboard mine = rooks & first_rank(c);
        if (!mine) continue;
        const auto king = static_cast<Square>(highest_square(s.pieces(c, KING) & first_rank(c)));
        for (; mine; mine &= mine - 1) {
            const auto rook = static_cast<Square>(std::countr_zero(mine));
            const CastlingSide side = rook > king ? KING_SIDE : QUEEN_SIDE;
            out.plan[c][side] = castling_plan(king, rook);
            out.bits |= castling_bit(c, side);
        }
    }
    return out;
}

bool castling_legal_now(const Placement& p, Color us, const Castling& plan) {
    slider_tables();
    const Color them = opposite(us);
    auto attacked = [&](Square s, Bitboard occupied) {
        return attackers_to(p, static_cast<int>(s), occupied, them) != 0;
    };
    auto path_attacked = [&](Bitboard path, Bitboard occupied) {
        for (; path; path &= path - 1)
            if (attacked(static_cast<Square>(std::countr_zero(path)), occupied)) return true;
        return false;
    };
    return castling_allowed(plan, p.occupied(), path_attacked, attacked);
}

std::optional<Bitboard> read_castling_field(const Placement& p, std::string_view field) {
    if (field.empty() || field == "-") return Bitboard{0};
    // At most two white letters, then at most two black ones.
    std::size_t i = 0, upper = 0, lower = 0;
    while (i < field.size() && (field[i] == 'K' || field[i] == 'Q' || (field[i] >= 'A' && field[i] <= 'H'))) ++i, ++upper;
    while (i < field.size() && (field[i] == 'k' || field[i] == 'q' || (field[i] >= 'a' && field[i] <= 'h'))) ++i, ++lower;
    if (i != field.size() || upper > 2 || lower > 2) return std::nullopt;
    Bitboard rights = 0;
    for (char flag : field) {
        const Color c = flag >= 'a' ? BLACK : WHITE;
        const char letter = static_cast<char>(flag >= 'a' ? flag : flag - 'A' + 'a');
        const Bitboard rank = first_rank(c);
        const Bitboard rooks = p.pieces(c, ROOK) & rank;
        const Bitboard kings = p.pieces(c, KING);
        const int king = kings ? highest_square(kings) : -1;
        // "k" and "q" name the outermost rook on their side of the king, or
        // the corner when there is none.
        if (letter == 'q') {
            if (king >= 0 && rooks && std::countr_zero(rooks) < king)
                rights |= rooks & (~rooks + 1);
            else
                rights |= FILE_A & rank;
        } else if (letter == 'k') {
            if (king >= 0 && rooks && king < highest_square(rooks))
                rights |= square_bb(highest_square(rooks));
            else
                rights |= (FILE_A << 7) & rank;
        } else {
            rights |= (FILE_A << (letter - 'a')) & rank;
        }
    }
    return rights;
}

std::string castling_field(const BoardState& s, bool shredder) {
    const Bitboard rights = castling_rooks(s);
    std::string out;
    for (Color c : {WHITE, BLACK}) {
        const Bitboard rank = first_rank(c);
        const Bitboard kings = s.pieces(c, KING);
        if (!shredder && !kings) continue;
        const int king_file = kings ? highest_square(kings) % 8 : 0;
        for (Bitboard mine = rights & rank; mine;) {
            const int rook = highest_square(mine);
            mine ^= square_bb(rook);
            const int rook_file = rook % 8;
            char letter = BOARD_FILES[rook_file];
            if (!shredder) {
                const bool a_side = rook_file < king_file;
                const Bitboard others = s.pieces(c, ROOK) & rank & ~square_bb(rook);
                bool outer = false;
                for (Bitboard o = others; o; o &= o - 1) outer |= ((std::countr_zero(o) % 8) < rook_file) == a_side;
                if (!outer) letter = a_side ? 'q' : 'k';
            }
            out += c == WHITE ? static_cast<char>(letter - 'a' + 'A') : letter;
        }
    }
    return out.empty() ? "-" : out;
}

void set_castling_rooks(BoardState& s, Bitboard rooks) {
    s.castling_files = files_of_rooks(rooks);
    // "-" rather than no text: the field as X-FEN writes it.
    s.castling_rights.assign(castling_field(s, false));
    s.decode_castling();
}

Board Board::from_chess960_pos(std::uint32_t n) {
    if (n > 959) throw Invalid("chess960 position number " + std::to_string(n) + " is not in 0..959");
    // The Scharnagl numbering: the bishops' files, the queen's among the
    // six files left, the knights' pair among the five left; rook, king and
    // rook take the last three in that order.
    std::uint32_t rest = n;
    const std::uint32_t light = rest % 4;
    rest /= 4;
    const std::uint32_t dark = rest % 4;
    rest /= 4;
    const std::uint32_t queen = rest % 6;
    rest /= 6;
    static constexpr std::array<std::array<int, 2>, 10> KNIGHTS{
        {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {1, 2}, {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}}};
    std::array<char, 8> row{};
    row[2 * light + 1] = 'b';
    row[2 * dark] = 'b';
    auto place_nth_free = [&](std::uint32_t k, char piece) {
        for (auto& square : row)
            if (!square && k-- == 0) {
                square = piece;
                return;
            }
    };
    place_nth_free(queen, 'q');
    // Both knights are placed by their index among the same five free files.
    const auto [first, second] = KNIGHTS[rest];
    place_nth_free(static_cast<std::uint32_t>(second), 'n');
    place_nth_free(static_cast<std::uint32_t>(first), 'n');
    place_nth_free(0, 'r');
    place_nth_free(0, 'k');
    place_nth_free(0, 'r');
    std::string black(row.begin(), row.end()), white;
    for (char c : black) white += static_cast<char>(c - 'a' + 'A');
    return from_fen(black + "/pppppppp/8/8/8/8/PPPPPPPP/" + white + " w KQkq - 0 1", true);
}

}  // namespace board
