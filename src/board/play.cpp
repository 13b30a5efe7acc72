#include <array>
#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "board.h"

namespace board {

namespace {

// The squares castling rooks start from.
constexpr Bitboard CASTLING_CORNERS = [] {
    Bitboard b = 0;
    for (const auto& colour : CASTLING)
        for (const Castling& side : colour) b |= square_bb(side.rook_from);
    return b;
}();

// The piece part of the key over some squares, square by square: for moves
// whose squares the piece sets do not describe plainly.
[[gnu::noinline]] std::uint64_t key_on(const Placement& p, Bitboard squares) {
    std::uint64_t k = 0;
    for (; squares; squares &= squares - 1) {
        const auto s = static_cast<Square>(std::countr_zero(squares));
        if (const auto piece = piece_on(p, s)) k ^= polyglot_piece(*piece, s);
    }
    return k;
}

std::optional<PieceKind> kind_on(const Placement& p, Bitboard mask) {
    // Most targets are empty: one test answers them.
    const Bitboard any = p.kinds[PAWN] | p.kinds[KNIGHT] | p.kinds[BISHOP] | p.kinds[ROOK] | p.kinds[QUEEN] | p.kinds[KING];
    if (!(any & mask)) return std::nullopt;
    for (PieceKind k : LETTER_ORDER)
        if (p.kinds[k] & mask) return k;
    return std::nullopt;
}

std::optional<PieceKind> promotion_kind(char32_t letter) {
    switch (letter) {
        case U'q': return QUEEN;
        case U'r': return ROOK;
        case U'b': return BISHOP;
        case U'n': return KNIGHT;
        default: return std::nullopt;
    }
}

// The castling text is a few bytes and the letters one or two (the same
// letter twice for one), so one plain pass beats the library's searches,
// which call out per letter.
bool has_either(std::string_view v, char a, char b) {
    for (char c : v)
        if (c == a || c == b) return true;
    return false;
}

// ASCII letters never occur inside a multi-byte UTF-8 sequence, so erasing
// bytes keeps the rest of the text intact.
[[gnu::noinline]] void erase_letters_elsewhere(Text& text, char a, char b) {
    const std::string_view v = text.view();
    if (!has_either(v, a, b)) return;
    std::array<char, 16> small;
    std::string large;
    char* kept = small.data();
    if (v.size() > small.size()) {
        large.resize(v.size());
        kept = large.data();
    }
    std::size_t n = 0;
    for (char c : v)
        if (c != a && c != b) kept[n++] = c;
    text.assign(std::string_view(kept, n));
}

void erase_letters(Text& text, char a, char b) {
    if (!text.erase_inline(a, b)) erase_letters_elsewhere(text, a, b);
}

// What a move is, decided before the position changes so that a failure
// leaves it whole: its squares' masks, the kind that moves and the kind a
// promotion makes.
struct MoveParts {
    Bitboard from_mask, to_mask;
    PieceKind moving;
    std::optional<PieceKind> promoted;
};

[[gnu::always_inline]] inline MoveParts read_move(const Placement& p, const Move& mov) {
    MoveParts parts{checked(BOARD_SQUARES, mov.from_square), checked(BOARD_SQUARES, mov.to_square), PAWN, {}};
    const auto moving = kind_on(p, parts.from_mask);
    if (!moving) throw Panic("Could not find the piece to move for " + mov.uci());
    parts.moving = *moving;
    if (mov.promotion) {
        parts.promoted = promotion_kind(*mov.promotion);
        if (!parts.promoted) throw Panic("Panic in the disco!!! (promotion issue) for " + mov.uci());
    }
    return parts;
}

}  // namespace

bool Board::_reset_half_move_clock(Bitboard from_mask, Bitboard to_mask) const {
    return (pieces(us(), PAWN) & from_mask) != 0 || (colors[them()] & to_mask) != 0;
}

bool Board::_check_castling_rights() const {
    return (castling_letters.named & (castling_bit(us(), KING_SIDE) | castling_bit(us(), QUEEN_SIDE))) != 0;
}

void Board::_remove_castling_rights(char32_t id) {
    char letter;
    switch (id) {
        case U'a': castling_rights.reset(); decode_castling(); return;
        case U'k': letter = CASTLING[us()][KING_SIDE].letter; break;
        case U'q': letter = CASTLING[us()][QUEEN_SIDE].letter; break;
        default: throw Panic("Invalid castling rights");
    }
    if (!castling_rights.present()) panic_unwrap_none();
    erase_letters(castling_rights, letter, letter);
    decode_castling();
}

void Board::apply_move(const Move& mov) {
    if (chess960) [[unlikely]] {
        apply_move960(mov);
        return;
    }
    // Pushed before anything can fail, so pop() always has an entry to take
    // back; the snapshot keeps the class, the board forgets it before any write.
    history.emplace_back(mov, state());
    forget_class();

    const auto [from_mask, to_mask, moving, promoted] = read_move(*this, mov);
    const Square from = mov.from_square;
    const Square to = mov.to_square;
    const bool two_away = (TWO_AWAY[from] & to_mask) != 0;
    const auto captured = kind_on(*this, to_mask);

    const Color mover = us();
    const Color opponent = them();
    const Bitboard own = colors[mover];

    const bool rights_rule = ((kinds[ROOK] | kinds[KING]) & own & from_mask) != 0 && _check_castling_rights();
    const bool king_move = rights_rule && (kinds[KING] & own & from_mask) != 0;
    const bool castling = king_move && two_away;

    // The rook comes along only when the king lands where castling puts it
    // and the rook stands in its corner.
    Bitboard rook_path = 0;
    if (castling && !promoted) {
        const Castling& side = CASTLING[mover][to > from ? KING_SIDE : QUEEN_SIDE];
        if (to == side.king_to && (kinds[ROOK] & own & square_bb(side.rook_from)))
            rook_path = square_bb(side.rook_from) | square_bb(side.rook_to);
    }

    const bool en_passant = moving == PAWN && en_passant_square && Square{*en_passant_square} == to;
    Bitboard en_passant_victim = 0;
    if (en_passant && !promoted && !castling)
        en_passant_victim = checked(BOARD_SQUARES, mover == WHITE ? to - 8 : to + 8);

    // The new rights are worked out on a copy, so an allocation failure
    // also leaves the position untouched. Most moves touch no right at all.
    const bool corner_target = (to_mask & CASTLING_CORNERS) != 0;
    const bool rights_change = castling_rights.present() && (rights_rule || corner_target);
    Text rights;
    if (rights_change) {
        rights = castling_rights;
        const auto& mine = CASTLING[mover];
        if (king_move) {
            erase_letters(rights, mine[KING_SIDE].letter, mine[QUEEN_SIDE].letter);
        } else if (rights_rule) {
            if (from == mine[QUEEN_SIDE].rook_from)
                erase_letters(rights, mine[QUEEN_SIDE].letter, mine[QUEEN_SIDE].letter);
            else if (from == mine[KING_SIDE].rook_from)
                erase_letters(rights, mine[KING_SIDE].letter, mine[KING_SIDE].letter);
        }
        // Whatever lands on a corner, the rook that castled from there is gone.
        if (corner_target)
            for (const auto& colour : CASTLING)
                for (const Castling& side : colour)
                    if (to == side.rook_from) erase_letters(rights, side.letter, side.letter);
    }

    // Only these squares change, so the key's piece part changes only there.
    // A move between well-formed squares (one kind and one colour each, the
    // mover's piece onto an empty or enemy square) changes it by the pieces
    // it moves; any other is keyed square by square before and after.
    const Bitboard touched = from_mask | to_mask | rook_path | en_passant_victim;
    const bool plain = !(touched & malformed()) && (own & from_mask) && !(own & to_mask) &&
                       (!promoted || moving == PAWN) &&
                       (!rook_path || (!captured && !(occupied() & rook_path & ~(kinds[ROOK] & own)) &&
                                       (occupied() & rook_path) != rook_path)) &&
                       (!en_passant_victim || ((pieces(opponent, PAWN) & en_passant_victim) && !captured));
    std::uint64_t key_delta = 0;
    if (plain) [[likely]] {
        key_delta = polyglot_piece({mover, moving}, from) ^ polyglot_piece({mover, promoted.value_or(moving)}, to);
        if (captured) key_delta ^= polyglot_piece({opponent, *captured}, to);
        if (rook_path) {
            const Castling& side = CASTLING[mover][to > from ? KING_SIDE : QUEEN_SIDE];
            key_delta ^= polyglot_piece({mover, ROOK}, side.rook_from) ^ polyglot_piece({mover, ROOK}, side.rook_to);
        }
        if (en_passant_victim)
            key_delta ^= polyglot_piece({opponent, PAWN}, static_cast<Square>(std::countr_zero(en_passant_victim)));
    } else {
        key_delta = key_on(*this, touched);
    }

    if (_reset_half_move_clock(from_mask, to_mask))
        half_move_clock = 0;
    else
        ++half_move_clock;
    if (mover == BLACK) ++full_move_number;

    if (two_away && (kinds[PAWN] & from_mask))
        en_passant_square = static_cast<std::uint8_t>(mover == WHITE ? to - 8 : to + 8);
    else
        en_passant_square.reset();

    if (rights_change) {
        castling_rights = std::move(rights);
        decode_castling();
    }

    // Toggling lets a capture by a piece of the same kind come out right.
    kinds[moving] ^= from_mask ^ to_mask;
    colors[mover] ^= from_mask ^ to_mask;

    if (promoted) {
        kinds[PAWN] ^= to_mask;
        kinds[*promoted] |= to_mask;
        if (captured) {
            if (*captured != *promoted) kinds[*captured] ^= to_mask;
            colors[opponent] ^= to_mask;
        }
    } else {
        if (castling) {
            kinds[ROOK] ^= rook_path;
            colors[mover] ^= rook_path;
        } else if (en_passant) {
            kinds[PAWN] ^= en_passant_victim;
            colors[opponent] ^= en_passant_victim;
        }
        if (captured) {
            kinds[*captured] ^= to_mask;
            colors[opponent] ^= to_mask;
        }
    }

    if (!plain) key_delta ^= key_on(*this, touched);
    piece_key ^= key_delta;
    turn = !turn;
}

// Fischer random play knows no text quirks: the rules of chess, with
// castling as king takes own rook and the rights kept as python-chess keeps
// them (lost with the king's move, or with any move from or onto the rook's
// square): the rule castle_keeps states on castling bits for the generator,
// here on the rook squares the board holds rights by, which need no plans.
// The key is taken square by square over the few squares touched.
void Board::apply_move960(const Move& mov) {
    history.emplace_back(mov, state());
    forget_class();
    const auto [from_mask, to_mask, moving, promoted] = read_move(*this, mov);
    const Square from = mov.from_square, to = mov.to_square;
    const Color mover = us(), opponent = them();
    const Bitboard first_rank = mover == WHITE ? RANK_1 : RANK_8;
    const bool castling = moving == KING && !promoted && (pieces(mover, ROOK) & to_mask) &&
                          ((from_mask | to_mask) & first_rank) == (from_mask | to_mask);
    Castling plan{};
    Bitboard touched = from_mask | to_mask;
    if (castling) {
        plan = castling_plan(from, to);
        touched |= square_bb(plan.king_to) | square_bb(plan.rook_to);
    }
    const bool en_passant = moving == PAWN && en_passant_square && Square{*en_passant_square} == to &&
                            (from % 8) != (to % 8) && !(occupied() & to_mask);
    const Bitboard victim = en_passant ? checked(BOARD_SQUARES, mover == WHITE ? to - 8 : to + 8) : 0;
    touched |= victim;
    const std::uint64_t key_before = key_on(*this, touched);
    // The X-FEN letters depend on where kings and rooks stand, not only on
    // which rooks hold rights.
    const bool castlers_touched = (touched & (kinds[KING] | kinds[ROOK])) != 0;

    if (!castling && _reset_half_move_clock(from_mask, to_mask))
        half_move_clock = 0;
    else
        ++half_move_clock;
    if (mover == BLACK) ++full_move_number;
    if (moving == PAWN && (TWO_AWAY[from] & to_mask) && (from % 8) == (to % 8))
        en_passant_square = static_cast<std::uint8_t>(mover == WHITE ? to - 8 : to + 8);
    else
        en_passant_square.reset();

    if (castling) {
        const Bitboard king_from = square_bb(plan.king_from), rook_from = square_bb(plan.rook_from);
        kinds[KING] = (kinds[KING] & ~king_from) | square_bb(plan.king_to);
        kinds[ROOK] = (kinds[ROOK] & ~rook_from) | square_bb(plan.rook_to);
        colors[mover] = (colors[mover] & ~(king_from | rook_from)) | square_bb(plan.king_to) | square_bb(plan.rook_to);
    } else {
        for (Bitboard& k : kinds) k &= ~(to_mask | victim);
        colors[opponent] &= ~(to_mask | victim);
        colors[mover] &= ~to_mask;
        kinds[moving] &= ~from_mask;
        colors[mover] &= ~from_mask;
        kinds[promoted.value_or(moving)] |= to_mask;
        colors[mover] |= to_mask;
    }

    const Bitboard held = held_castling_rooks(*this);
    Bitboard rights = held & ~from_mask & ~to_mask;
    if (moving == KING && !promoted) rights &= ~first_rank;
    if (rights != held || castlers_touched || (touched & (kinds[KING] | kinds[ROOK])))
        set_castling_rooks(*this, rights);

    piece_key ^= key_before ^ key_on(*this, touched);
    turn = !turn;
}

// Undo copies the snapshot back rather than reversing the move's bit
// operations, so even a half-applied move comes back exactly.
Move Board::pop() {
    if (history.empty()) panic_unwrap_none();
    HistoryEntry& last = history.back();
    const Move mov = last.move;
    state() = std::move(last.state);
    history.pop_back();
    return mov;
}

// Copy first, so a failed text allocation leaves the board whole.
void Board::_restore(const BoardState& snapshot) {
    BoardState copy = snapshot;
    copy.piece_key = piece_key_of(copy);
    copy.forget_class();
    state() = std::move(copy);
}

}  // namespace board
