// The rules a game needs beyond move generation: attacks and pins by the
// rules of chess, checked move input, move predicates, the Polyglot key,
// draws and the outcome. Meanings follow the chess library Python users know;
// none of these ever panics.

#include <algorithm>
#include <bit>
#include <exception>
#include <string>

#include "board.h"
#include "attacks.h"
#include "fast/fast.h"

namespace board {

namespace {


std::optional<Square> highest(Bitboard b) {
    if (!b) return std::nullopt;
    return static_cast<Square>(63 - std::countl_zero(b));
}

// A square above 63 (a move whose play failed stays in the history) touches
// nothing.
Bitboard on_board_bb(Square s) { return s < 64 ? square_bb(s) : 0; }
Bitboard touched_by(const Move& m) { return on_board_bb(m.from_square) ^ on_board_bb(m.to_square); }

// What a repetition compares: placement, side to move, the rights that can
// still castle and an en passant square only when it can be taken.
struct Transposition {
    Placement placement;
    bool turn;
    std::uint8_t castling;
    Bitboard castling_rooks;  // Fischer random: the rooks that may castle
    std::optional<std::uint8_t> en_passant;  // only when it can be taken

    friend bool operator==(const Transposition&, const Transposition&) = default;
};

Transposition transposition_of(const BoardState& s) {
    const auto ep = has_legal_en_passant(s) ? s.en_passant_square : std::nullopt;
    return {s, s.turn, clean_castling_bits(s), s.chess960 ? castling_rooks(s) : 0, ep};
}

// Whether `m`, played from `s`, can never be taken back by a repetition:
// pawn moves, captures, lost castling rights, and giving up en passant.
bool irreversible(const BoardState& s, const Move& m) {
    const Bitboard touched = touched_by(m);
    if ((touched & s.kinds[PAWN]) || (touched & s.colors[s.them()])) return true;
    if (s.chess960) {
        const Bitboard rooks = castling_rooks(s);
        Bitboard kings = 0;
        for (Color c : {WHITE, BLACK})
            if (rooks & s.colors[c]) kings |= s.pieces(c, KING);
        if (touched & (rooks | kings)) return true;
    }
    const std::uint8_t rights = s.chess960 ? 0 : clean_castling_bits(s);
    for (Color c : {WHITE, BLACK}) {
        const bool any = rights & (castling_bit(c, KING_SIDE) | castling_bit(c, QUEEN_SIDE));
        if (any && (touched & s.pieces(c, KING))) return true;
        for (CastlingSide side : {KING_SIDE, QUEEN_SIDE})
            if ((rights & castling_bit(c, side)) && (touched & square_bb(CASTLING[c][side].rook_from))) return true;
    }
    return has_legal_en_passant(s);
}

}  // namespace

// Asked of the position where the fast path knows it, of a scratch board
// (which plays the capture) elsewhere.
bool has_legal_en_passant(const BoardState& s) {
    if (const auto fast = fast::has_legal_en_passant(s)) return *fast;
    Board scratch(s);
    return scratch.has_legal_en_passant();
}

namespace {

// UCI text on a Fischer random board: the king's two-square step from e1
// or e8 is read as king takes the corner rook, where no rook stands on the
// step's target, as the chess library Python users know reads it.
Move uci_castling_alias(const BoardState& s, const Move& m) {
    if (m.promotion || !(s.kinds[KING] & on_board_bb(m.from_square))) return m;
    for (Color c : {WHITE, BLACK}) {
        if (m.from_square != CASTLING[c][KING_SIDE].king_from) continue;
        for (CastlingSide side : {KING_SIDE, QUEEN_SIDE}) {
            const Castling& g = CASTLING[c][side];
            if (m.to_square == g.king_to && !(s.kinds[ROOK] & square_bb(g.king_to)))
                return Move(g.king_from, g.rook_from);
        }
    }
    return m;
}

}  // namespace

Move castling_alias(const BoardState& s, const Move& m) {
    // A Fischer random board reads castling only as king takes rook.
    if (s.chess960) return m;
    if (m.promotion || (m.from_square != CASTLING[WHITE][KING_SIDE].king_from &&
                        m.from_square != CASTLING[BLACK][KING_SIDE].king_from))
        return m;
    for (Color c : {WHITE, BLACK}) {
        const Castling& ks = CASTLING[c][KING_SIDE];
        if (m.from_square != ks.king_from || !(s.kinds[KING] & square_bb(ks.king_from))) continue;
        for (CastlingSide side : {KING_SIDE, QUEEN_SIDE})
            if (m.to_square == CASTLING[c][side].rook_from) return Move(ks.king_from, CASTLING[c][side].king_to);
    }
    return m;
}

std::uint64_t piece_key_of(const Placement& p) {
    std::uint64_t key = 0;
    for_each_piece(p, [&](Square s, Piece piece) { key ^= polyglot_piece(piece, s); });
    return key;
}

std::uint8_t clean_castling_bits(const BoardState& s) {
    if (s.chess960) return castling_plans(s).bits;
    // The four rights' king-and-rook-at-home tests at once, without a branch:
    // this is asked of every position a sample reader writes.
    std::uint8_t home = 0;
    for (int i = 0; i < 4; ++i) {
        const Color c = static_cast<Color>(i / 2);
        const Castling& g = CASTLING[c][static_cast<CastlingSide>(i % 2)];
        home |= static_cast<std::uint8_t>(((s.pieces(c, KING) >> g.king_from) & (s.pieces(c, ROOK) >> g.rook_from) & 1)
                                          << i);
    }
    return home & s.castling_letters.named;
}

std::uint64_t zobrist_hash(const BoardState& s) {
    std::uint64_t key = s.piece_key;
    for (std::uint8_t bits = clean_castling_bits(s); bits; bits &= bits - 1)
        key ^= POLYGLOT_RANDOM[768 + std::countr_zero(bits)];
    // The en passant file counts only when a pawn stands ready to take;
    // whether the capture is legal does not matter.
    if (s.en_passant_square && *s.en_passant_square > 0 && *s.en_passant_square < 64) {
        const Square ep = *s.en_passant_square;
        if (PAWN_ATTACKS[s.them()][ep] & s.pieces(s.us(), PAWN)) key ^= POLYGLOT_RANDOM[772 + ep % 8];
    }
    if (s.turn) key ^= POLYGLOT_RANDOM[780];
    return key;
}

std::string_view termination_name(Termination t) {
    switch (t) {
        case Termination::CHECKMATE: return "checkmate";
        case Termination::STALEMATE: return "stalemate";
        case Termination::INSUFFICIENT_MATERIAL: return "insufficient_material";
        case Termination::SEVENTYFIVE_MOVES: return "seventyfive_moves";
        case Termination::FIVEFOLD_REPETITION: return "fivefold_repetition";
        case Termination::FIFTY_MOVES: return "fifty_moves";
        case Termination::THREEFOLD_REPETITION: return "threefold_repetition";
    }
    return "";
}

// ---------------------------------------------------------------- queries

std::optional<Square> Board::king(Color c) const { return highest(pieces(c, KING)); }

Bitboard Board::attackers(Color c, Square s) const {
    slider_tables();
    return attackers_to(*this, static_cast<int>(s), occupied(), c);
}

Bitboard Board::checkers() const {
    const auto k = king(us());
    return k ? attackers(them(), *k) : 0;
}

// Pinned: the only thing between its own king and an enemy slider on a line
// that slider moves along; an empty square can be "pinned" too.
bool Board::is_pinned(Color c, Square s) const {
    const auto k = king(c);
    if (!k) return false;
    const Bitboard square = square_bb(s);
    const Bitboard straight = (kinds[ROOK] | kinds[QUEEN]) & colors[opposite(c)];
    const Bitboard diagonal = (kinds[BISHOP] | kinds[QUEEN]) & colors[opposite(c)];
    const struct {
        Bitboard rays;
        Bitboard sliders;
    } families[3] = {
        {RAYS[NORTH][*k] | RAYS[SOUTH][*k], straight},
        {RAYS[EAST][*k] | RAYS[WEST][*k], straight},
        {RAYS[NORTH_EAST][*k] | RAYS[SOUTH_WEST][*k] | RAYS[NORTH_WEST][*k] |
             RAYS[SOUTH_EAST][*k],
         diagonal},
    };
    for (const auto& f : families) {
        if (!(f.rays & square)) continue;
        for (Bitboard snipers = f.rays & f.sliders; snipers; snipers &= snipers - 1) {
            const int sniper = std::countr_zero(snipers);
            if ((LINES.between[sniper][*k] & (occupied() | square)) == square) return true;
        }
        return false;
    }
    return false;
}

// ---------------------------------------------------------------- legality

void Board::checked_legal_moves(MoveList& out) {
    try {
        legal_moves(out);
    } catch (const Panic& p) {
        throw Invalid("no legal moves are defined for the position " + fen() + " (" + p.what() + ")");
    }
}

bool Board::any_legal_move() {
    if (const auto n = fast::perft(*this, 1)) return *n > 0;
    MoveList moves;
    checked_legal_moves(moves);
    return !moves.empty();
}

bool Board::is_pseudo_legal(const Move& raw) { return is_pseudo_legal_as_written(castling_alias(*this, raw)); }

bool Board::is_pseudo_legal_as_written(const Move& m) {
    if (m.from_square > 63 || m.to_square > 63) return false;
    const Bitboard from = square_bb(m.from_square), to = square_bb(m.to_square);
    const auto piece = piece_at(m.from_square);
    if (!piece || !(colors[us()] & from)) return false;
    const Color mover = us();
    if (m.promotion) {
        if (piece->kind != PAWN) return false;
        if (SQUARE_RANK_INDICES[m.to_square] != (mover == WHITE ? 8 : 1)) return false;
        if (!kind_of_letter(*m.promotion) || *m.promotion < U'a' || *m.promotion == U'p' || *m.promotion == U'k')
            return false;
    }
    if (chess960) {
        // Castling is king takes own rook, and only ever a legal one.
        if (piece->kind == KING && (pieces(mover, ROOK) & to)) {
            const CastlingPlans plans = castling_plans(*this);
            for (CastlingSide side : {KING_SIDE, QUEEN_SIDE}) {
                const Castling& g = plans.plan[mover][side];
                if ((plans.bits & castling_bit(mover, side)) && g.king_from == m.from_square &&
                    g.rook_from == m.to_square)
                    return castling_legal_now(*this, mover, g);
            }
            return false;
        }
    } else {
        const Castling& home = CASTLING[mover][m.to_square > m.from_square ? KING_SIDE : QUEEN_SIDE];
        if (piece->kind == KING && m.from_square == home.king_from && m.to_square == home.king_to &&
            fast::can_castle(*this, m.to_square > m.from_square ? KING_SIDE : QUEEN_SIDE))
            return true;
    }
    if (colors[mover] & to) return false;
    const Bitboard occ = occupied();
    switch (piece->kind) {
        case PAWN: {
            // Reaching the last rank is a promotion and nothing else.
            const bool last = (to & (mover == WHITE ? RANK_8 : RANK_1)) != 0;
            if (last != m.promotion.has_value()) return false;
            if (PAWN_ATTACKS[mover][m.from_square] & to) {
                if (colors[them()] & to) return true;
                // En passant: onto the empty square a pawn just passed.
                if (!en_passant_square || *en_passant_square != m.to_square || (occ & to)) return false;
                return (from & (mover == WHITE ? RANK_5 : RANK_4)) != 0;
            }
            const Bitboard single = pawn_push(mover, from) & ~occ;
            if (single & to) return true;
            const Bitboard twice = pawn_push(mover, single) & ~occ & (mover == WHITE ? RANK_4 : RANK_5);
            return (twice & to) != 0;
        }
        case KNIGHT: return (KNIGHT_ATTACKS[m.from_square] & to) != 0;
        case KING: return (KING_ATTACKS[m.from_square] & to) != 0;
        default: {
            slider_tables();
            const int s = static_cast<int>(m.from_square);
            Bitboard reach = 0;
            if (piece->kind != ROOK) reach |= bishop_attacks(s, occ);
            if (piece->kind != BISHOP) reach |= rook_attacks(s, occ);
            return (reach & to) != 0;
        }
    }
}

bool Board::leaves_king_attacked(const Move& m) {
    if (const auto fast = fast::leaves_king_attacked(*this, m)) return *fast;
    Rewind rewind(*this);
    apply_move(m);
    return mover_in_check();
}

[[gnu::always_inline]] inline bool Board::mover_in_check() const {
    const auto k = king(them());
    return k && attackers(us(), *k);
}

bool Board::is_legal(const Move& raw) { return is_legal_as_written(castling_alias(*this, raw)); }

[[gnu::always_inline]] inline std::optional<bool> Board::legality_before_play(const Move& m) {
    if (!is_pseudo_legal_as_written(m)) return false;
    // With more or fewer kings than one a side, the legal list moves and
    // guards only the highest king: legal means listed there.
    if (!one_king_each()) {
        MoveList moves;
        try {
            legal_moves(moves);
        } catch (const Panic&) {
            return false;
        }
        return std::any_of(moves.begin(), moves.end(), [&](const Move& l) {
            return l.from_square == m.from_square && l.to_square == m.to_square && l.promotion == m.promotion;
        });
    }
    // Castling was judged whole by the castling list (a pseudo-legal move
    // from a king's square moves that king).
    if (is_castling(m)) return true;
    return std::nullopt;
}

bool Board::is_legal_as_written(const Move& m) {
    if (const auto settled = legality_before_play(m)) return *settled;
    try {
        return !leaves_king_attacked(m);
    } catch (const Panic&) {
        return false;
    }
}

// Playing first and asking after costs less than working out the board
// after the move without playing it, when the move is to be played anyway.
bool Board::play_if_legal(const Move& m) {
    if (const auto settled = legality_before_play(m)) {
        if (*settled) apply_move(m);
        return *settled;
    }
    Rewind rewind(*this);
    try {
        apply_move(m);
    } catch (const Panic&) {
        return false;
    }
    if (mover_in_check()) return false;
    rewind.keep();
    return true;
}

bool Board::is_en_passant(const Move& m) const {
    if (m.from_square > 63 || m.to_square > 63) return false;
    const int diff = static_cast<int>(m.to_square) - static_cast<int>(m.from_square);
    return en_passant_square && *en_passant_square == m.to_square && (kinds[PAWN] & square_bb(m.from_square)) &&
           (diff == 7 || diff == 9 || diff == -7 || diff == -9) && !(occupied() & square_bb(m.to_square));
}

bool Board::is_capture(const Move& m) const {
    if (m.from_square > 63 || m.to_square > 63) return false;
    return (touched_by(m) & colors[them()]) || is_en_passant(m);
}

bool Board::is_zeroing(const Move& m) const {
    if (m.from_square > 63 || m.to_square > 63) return false;
    const Bitboard touched = touched_by(m);
    return (touched & kinds[PAWN]) || (touched & colors[them()]);
}

bool Board::is_castling(const Move& m) const {
    if (m.from_square > 63 || m.to_square > 63) return false;
    if (!(kinds[KING] & square_bb(m.from_square))) return false;
    const int diff = SQUARE_FILE_INDICES[m.from_square] - SQUARE_FILE_INDICES[m.to_square];
    return diff > 1 || diff < -1 || (pieces(us(), ROOK) & square_bb(m.to_square));
}

bool Board::gives_check(const Move& raw) {
    const Move m = castling_alias(*this, raw);
    if (!is_pseudo_legal_as_written(m)) throw Invalid("move " + raw.uci() + " is not pseudo-legal in " + fen());
    Rewind rewind(*this);
    try {
        apply_move(m);
    } catch (const Panic& p) {
        throw Invalid("move " + m.uci() + " cannot be played in " + fen() + " (" + p.what() + ")");
    }
    return checkers() != 0;
}

Move Board::apply_uci(std::string_view text) {
    const auto parsed = Move::from_uci(text);
    if (!parsed) throw Invalid("invalid UCI move '" + std::string(text) + "'");
    const Move m = chess960 ? uci_castling_alias(*this, *parsed) : castling_alias(*this, *parsed);
    if (!play_if_legal(m)) throw Invalid("illegal UCI move '" + std::string(text) + "' in " + fen());
    return m;
}

// ---------------------------------------------------------------- draws

bool Board::has_legal_en_passant() {
    if (const auto fast = fast::has_legal_en_passant(*this)) return *fast;
    if (!en_passant_square || *en_passant_square > 63) return false;
    const Square ep = *en_passant_square;
    // A piece on the square (a text can say so) makes any capture there an
    // ordinary one.
    if (occupied() & square_bb(ep)) return false;
    for (Bitboard c = PAWN_ATTACKS[them()][ep] & pieces(us(), PAWN); c; c &= c - 1)
        if (is_legal_as_written(Move(static_cast<Square>(std::countr_zero(c)), ep))) return true;
    return false;
}

bool Board::has_pseudo_legal_en_passant() const {
    if (!en_passant_square || *en_passant_square > 63) return false;
    const Square ep = *en_passant_square;
    if (occupied() & square_bb(ep)) return false;
    // The capturer stands on the fifth rank (the fourth for black), whatever
    // rank a text put the square on.
    const Bitboard capture_rank = 0xFFull << (8 * (us() == WHITE ? 4 : 3));
    return PAWN_ATTACKS[them()][ep] & pieces(us(), PAWN) & capture_rank;
}

bool Board::has_insufficient_material(Color c) const {
    const Bitboard own = colors[c];
    const Bitboard other = colors[opposite(c)];
    if (own & (kinds[PAWN] | kinds[ROOK] | kinds[QUEEN])) return false;
    // A lone knight mates only with the opponent's help: pieces that can
    // block its own king in.
    if (own & kinds[KNIGHT]) return std::popcount(own) <= 2 && !(other & ~kinds[KING] & ~kinds[QUEEN]);
    // Bishops all on one colour of square, and no opposite bishop, knight or
    // pawn to mate against.
    if (own & kinds[BISHOP]) {
        const bool same_colour = !(kinds[BISHOP] & DARK_SQUARES) || !(kinds[BISHOP] & ~DARK_SQUARES);
        return same_colour && !kinds[PAWN] && !kinds[KNIGHT];
    }
    return true;
}

bool Board::is_insufficient_material() const {
    return has_insufficient_material(WHITE) && has_insufficient_material(BLACK);
}

bool Board::is_seventyfive_moves() { return half_move_clock >= 150 && any_legal_move(); }

bool Board::is_fifty_moves() { return half_move_clock >= 100 && any_legal_move(); }

bool Board::can_claim_fifty_moves() {
    if (is_fifty_moves()) return true;
    if (half_move_clock < 99) return false;
    MoveList moves;
    checked_legal_moves(moves);
    for (const Move& m : moves) {
        if (is_zeroing(m)) continue;
        Rewind rewind(*this);
        apply_move(m);
        if (is_fifty_moves()) return true;
    }
    return false;
}

bool Board::is_repetition(std::uint64_t count) {
    if (count <= 1) return true;
    // Positions with another occupancy cannot repeat this one, nor can any
    // before the last pawn move or capture, where the replay below stops.
    std::uint64_t candidates = 1;
    const Bitboard occ = occupied();
    const auto window = history.rbegin() + static_cast<std::ptrdiff_t>(
                                               std::min<std::size_t>(history.size(), half_move_clock));
    for (auto e = history.rbegin(); e != window && candidates < count; ++e)
        candidates += e->state.occupied() == occ;
    if (candidates < count) return false;

    const Transposition here = transposition_of(*this);
    for (auto e = history.rbegin(); e != history.rend(); ++e) {
        if (static_cast<std::uint64_t>(history.rend() - e) < count - 1) break;
        if (irreversible(e->state, e->move)) break;
        // The piece key and the turn settle most comparisons before the
        // rights and en passant are worked out.
        if (e->state.piece_key == piece_key && e->state.turn == turn && e->state.occupied() == occ &&
            transposition_of(e->state) == here && --count <= 1)
            return true;
    }
    return false;
}

bool Board::can_claim_threefold_repetition() {
    // Every position since the last irreversible move, this one included.
    std::vector<Transposition> seen{transposition_of(*this)};
    for (auto e = history.rbegin(); e != history.rend(); ++e) {
        if (irreversible(e->state, e->move)) break;
        seen.push_back(transposition_of(e->state));
    }
    auto occurrences = [&](const Transposition& t) {
        return static_cast<std::size_t>(std::count(seen.begin(), seen.end(), t));
    };
    if (occurrences(seen.front()) >= 3) return true;

    MoveList moves;
    checked_legal_moves(moves);
    for (const Move& m : moves) {
        Rewind rewind(*this);
        apply_move(m);
        if (occurrences(transposition_of(*this)) >= 2) return true;
    }
    return false;
}

std::optional<Outcome> Board::outcome(bool claim_draw) {
    const bool moves = any_legal_move();
    if (!moves && checkers()) return Outcome{Termination::CHECKMATE, them()};
    if (is_insufficient_material()) return Outcome{Termination::INSUFFICIENT_MATERIAL, std::nullopt};
    if (!moves) return Outcome{Termination::STALEMATE, std::nullopt};
    if (half_move_clock >= 150) return Outcome{Termination::SEVENTYFIVE_MOVES, std::nullopt};
    if (is_repetition(5)) return Outcome{Termination::FIVEFOLD_REPETITION, std::nullopt};
    if (claim_draw) {
        if (can_claim_fifty_moves()) return Outcome{Termination::FIFTY_MOVES, std::nullopt};
        if (can_claim_threefold_repetition()) return Outcome{Termination::THREEFOLD_REPETITION, std::nullopt};
    }
    return std::nullopt;
}

std::string_view Board::result(bool claim_draw) {
    const auto o = outcome(claim_draw);
    if (!o) return "*";
    if (!o->winner) return "1/2-1/2";
    return *o->winner == WHITE ? "1-0" : "0-1";
}

// ---------------------------------------------------------------- validity

namespace {

// The en passant square a position can have: behind a pawn of the side that
// just moved which may have come two squares, with both squares it crossed
// empty; none otherwise.
std::optional<Square> plausible_en_passant(const BoardState& s) {
    if (!s.en_passant_square || *s.en_passant_square == 0 || *s.en_passant_square > 63) return std::nullopt;
    const Square ep = *s.en_passant_square;
    const Color mover = s.them();
    if (SQUARE_RANK_INDICES[ep] != (mover == WHITE ? 3 : 6)) return std::nullopt;
    const Bitboard square = square_bb(ep);
    if (!(pawn_push(mover, square) & s.pieces(mover, PAWN))) return std::nullopt;
    if (s.occupied() & (square | pawn_push(s.us(), square))) return std::nullopt;
    return ep;
}

}  // namespace

bool Board::is_valid() const {
    // Sets the text forms could not print: a square in two colours or two
    // kinds, a colour without a kind, a kind without a colour.
    if (malformed()) return false;
    if (!occupied()) return false;

    if (!one_king_each()) return false;
    for (Color c : {WHITE, BLACK})
        if (std::popcount(colors[c]) > 16 || std::popcount(pieces(c, PAWN)) > 8) return false;
    if (kinds[PAWN] & (RANK_1 | RANK_8)) return false;

    if (chess960) {
        const Bitboard held = held_castling_rooks(*this);
        if (held != castling_rooks(*this)) return false;
    } else if (castling_letters.unknown || castling_letters.named != clean_castling_bits(*this)) {
        return false;
    }

    const auto ep = plausible_en_passant(*this);
    if (en_passant_square != ep) return false;

    if (attackers(us(), *king(them()))) return false;

    const Square k = *king(us());
    const Bitboard checks = checkers();
    if (checks) {
        const int count = std::popcount(checks);
        if (count > 2) return false;
        if (ep) {
            // After a double step, the check must come from the pawn itself or
            // be uncovered by it.
            const Square pushed_to = *ep ^ 8, pushed_from = *ep ^ 24;
            const Bitboard before = (occupied() & ~square_bb(pushed_to)) | square_bb(pushed_from);
            if (count > 1 ||
                (highest(checks) != pushed_to && attackers_to(*this, static_cast<int>(k), before, them())))
                return false;
        } else if (count == 2) {
            // Two checkers on one line with the king: no single move uncovers both.
            const int a = std::countr_zero(checks), b = 63 - std::countl_zero(checks);
            if (LINES.line[a][b] & square_bb(k)) return false;
        }
    }
    return true;
}

}  // namespace board
