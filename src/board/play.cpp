#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "board.h"

namespace board {

namespace {

using Kind = Bitboard BoardState::*;

// The order in which the kind of a moving or captured piece is looked for.
constexpr std::array<Kind, 6> KINDS{&BoardState::pawns,   &BoardState::rooks,  &BoardState::knights,
                                    &BoardState::bishops, &BoardState::queens, &BoardState::kings};

Kind kind_on(const BoardState& s, Bitboard mask) {
    for (Kind k : KINDS)
        if (s.*k & mask) return k;
    return nullptr;
}

Kind promotion_kind(char32_t letter) {
    switch (letter) {
        case U'q': return &BoardState::queens;
        case U'r': return &BoardState::rooks;
        case U'b': return &BoardState::bishops;
        case U'n': return &BoardState::knights;
        default: return nullptr;
    }
}

// ASCII letters never occur inside a multi-byte UTF-8 sequence, so erasing
// bytes keeps the rest of the text intact.
void erase_letters(Text& text, std::string_view letters) {
    const std::string_view v = text.view();
    if (v.find_first_of(letters) == std::string_view::npos) return;
    std::string kept;
    kept.reserve(v.size());
    for (char c : v)
        if (letters.find(c) == std::string_view::npos) kept += c;
    text.assign(kept);
}

unsigned distance(Square a, Square b) {
    const int dr = SQUARE_RANK_INDICES[a] - SQUARE_RANK_INDICES[b];
    const int df = SQUARE_FILE_INDICES[a] - SQUARE_FILE_INDICES[b];
    const int r = dr < 0 ? -dr : dr;
    const int f = df < 0 ? -df : df;
    return static_cast<unsigned>(r > f ? r : f);
}

constexpr Square A1 = 0, H1 = 7, A8 = 56, H8 = 63;

}  // namespace

bool Board::_reset_half_move_clock(Bitboard from_mask, Bitboard to_mask) const {
    const Bitboard own = turn ? white : black;
    const Bitboard opponent = turn ? black : white;
    return (pawns & own & from_mask) != 0 || (opponent & to_mask) != 0;
}

bool Board::_check_castling_rights() const {
    if (!castling_rights.present()) return false;
    const std::string_view v = castling_rights.view();
    return v.find_first_of(turn ? "KQ" : "kq") != std::string_view::npos;
}

void Board::_remove_castling_rights(char32_t id) {
    char letter;
    switch (id) {
        case U'a': castling_rights.reset(); return;
        case U'k': letter = turn ? 'K' : 'k'; break;
        case U'q': letter = turn ? 'Q' : 'q'; break;
        default: throw Panic("Invalid castling rights");
    }
    if (!castling_rights.present()) panic_unwrap_none();
    erase_letters(castling_rights, std::string_view(&letter, 1));
}

void Board::apply_move(const Move& mov) {
    // Pushed before anything can fail, so pop() always has an entry to take back.
    history.emplace_back(mov, state());

    // Everything that can fail is decided before the position changes.
    const Bitboard from_mask = checked(BOARD_SQUARES, mov.from_square);
    const Bitboard to_mask = checked(BOARD_SQUARES, mov.to_square);
    const Square from = mov.from_square;
    const Square to = mov.to_square;
    const unsigned dist = distance(from, to);

    const Kind moving = kind_on(*this, from_mask);
    if (!moving) throw Panic("Could not find the piece to move for " + mov.uci());
    Kind promoted = nullptr;
    if (mov.promotion) {
        promoted = promotion_kind(*mov.promotion);
        if (!promoted) throw Panic("Panic in the disco!!! (promotion issue) for " + mov.uci());
    }
    const Kind captured = kind_on(*this, to_mask);

    const bool white_moves = turn;
    const Kind own_colour = white_moves ? &BoardState::white : &BoardState::black;
    const Kind opponent_colour = white_moves ? &BoardState::black : &BoardState::white;
    const Bitboard own = this->*own_colour;

    const bool rights_rule = ((rooks | kings) & own & from_mask) != 0 && _check_castling_rights();
    const bool king_move = rights_rule && (kings & own & from_mask) != 0;
    const bool castling = king_move && dist == 2;

    // The rook comes along only from its own corner of the mover's home rank.
    Bitboard rook_path = 0;
    if (castling && !promoted) {
        const bool king_side = to > from;
        const Square corner = king_side ? (white_moves ? H1 : H8) : (white_moves ? A1 : A8);
        const Square rook_from = king_side ? to + 1 : to - 2;
        const Square rook_to = king_side ? to - 1 : to + 1;
        if (rook_from == corner && (rooks & own & BOARD_SQUARES[corner]))
            rook_path = BOARD_SQUARES[rook_from] | BOARD_SQUARES[rook_to];
    }

    const bool en_passant = moving == &BoardState::pawns && en_passant_square &&
                            Square{*en_passant_square} == to;
    Bitboard en_passant_victim = 0;
    if (en_passant && !promoted && !castling)
        en_passant_victim = checked(BOARD_SQUARES, white_moves ? to - 8 : to + 8);

    // The new rights are worked out on a copy, so an allocation failure
    // also leaves the position untouched. Most moves touch no right at all.
    const bool corner_target = to == A1 || to == H1 || to == A8 || to == H8;
    const bool rights_change = castling_rights.present() && (rights_rule || corner_target);
    Text rights;
    if (rights_change) {
        rights = castling_rights;
        if (king_move) {
            erase_letters(rights, white_moves ? "KQ" : "kq");
        } else if (rights_rule) {
            if (from == (white_moves ? A1 : A8))
                erase_letters(rights, white_moves ? "Q" : "q");
            else if (from == (white_moves ? H1 : H8))
                erase_letters(rights, white_moves ? "K" : "k");
        }
        // Whatever lands on a corner, the rook that castled from there is gone.
        switch (to) {
            case A1: erase_letters(rights, "Q"); break;
            case H1: erase_letters(rights, "K"); break;
            case A8: erase_letters(rights, "q"); break;
            case H8: erase_letters(rights, "k"); break;
            default: break;
        }
    }

    if (_reset_half_move_clock(from_mask, to_mask))
        half_move_clock = 0;
    else
        ++half_move_clock;
    if (!white_moves) ++full_move_number;

    if (dist == 2 && (pawns & from_mask))
        en_passant_square = static_cast<std::uint8_t>(white_moves ? to - 8 : to + 8);
    else
        en_passant_square.reset();

    if (rights_change) castling_rights = std::move(rights);

    // Toggling lets a capture by a piece of the same kind come out right.
    this->*moving ^= from_mask ^ to_mask;
    this->*own_colour ^= from_mask ^ to_mask;

    if (promoted) {
        pawns ^= to_mask;
        this->*promoted |= to_mask;
        if (captured) {
            if (captured != promoted) this->*captured ^= to_mask;
            this->*opponent_colour ^= to_mask;
        }
    } else {
        if (castling) {
            rooks ^= rook_path;
            this->*own_colour ^= rook_path;
        } else if (en_passant) {
            pawns ^= en_passant_victim;
            this->*opponent_colour ^= en_passant_victim;
        }
        if (captured) {
            this->*captured ^= to_mask;
            this->*opponent_colour ^= to_mask;
        }
    }

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
    state() = std::move(copy);
}

}  // namespace board
