#include "board.h"

#include <bit>
#include <charconv>

namespace board {

void panic_index(std::uint64_t len, std::uint64_t index, std::source_location where) {
    throw Panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                    std::to_string(index),
                where);
}

void panic_unwrap_none(std::source_location where) {
    throw Panic("called `Option::unwrap()` on a `None` value", where);
}

namespace {

std::size_t count_code_points(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char b : s) n += (b & 0xC0) != 0x80;
    return n;
}

// An optional "+", then decimal digits, at most 2^32 - 1; 0 for anything else.
std::uint32_t read_counter(std::string_view field) {
    if (!field.empty() && field.front() == '+') field.remove_prefix(1);
    if (field.empty()) return 0;
    for (char c : field)
        if (c < '0' || c > '9') return 0;
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (ec != std::errc{} || end != field.data() + field.size()) return 0;
    return value;
}

}  // namespace

Board::Board(std::optional<std::string_view> fen) {
    if (!fen || *fen == STARTING_FEN)
        starting_fen = Text::from_static(STARTING_FEN);
    else
        starting_fen.assign(*fen);
    read_fen();
}

void Board::reset_position() noexcept { state() = BoardState{}; }

void Board::set_board() {
    // Reading onto a played position would OR the start placement over the
    // current one; a position is only ever the one its text describes.
    BoardState before = state();
    reset_position();
    chess960 = before.chess960;
    try {
        read_fen();
    } catch (...) {
        state() = std::move(before);
        throw;
    }
}

void Board::read_fen() {
    // Before the first write: a reading that fails halfway keeps no class.
    forget_class();
    const std::string_view text = starting_fen.view();
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        std::size_t space = text.find(' ', start);
        if (space == std::string_view::npos) {
            fields.push_back(text.substr(start));
            break;
        }
        fields.push_back(text.substr(start, space - start));
        start = space + 1;
    }
    if (fields.size() <= 5)
        throw Panic("Invalid starting fen; got " + std::string(text) + ", with " +
                    std::to_string(fields.size()) + " parts");

    std::uint32_t cursor = 56;
    const std::string_view placement = fields[0];
    for (std::size_t i = 0; i < placement.size();) {
        char32_t c = next_code_point(placement, i);
        if (c >= U'0' && c <= U'9') {
            cursor += c - U'0';
        } else if (c == U'/') {
            cursor -= 16;
        } else {
            set_pieces_or(c, checked(BOARD_SQUARES, cursor));
            ++cursor;
        }
    }

    turn = fields[1] == "w";

    if (fields[2] != "-") castling_rights.assign(fields[2]);
    decode_castling();

    if (fields[3] != "-") {
        std::string_view ep = fields[3];
        std::size_t chars = count_code_points(ep);
        if (chars < 2) panic_index(chars, 1);
        std::size_t i = 0;
        char32_t first = next_code_point(ep, i);
        char32_t second = next_code_point(ep, i);
        int file = first >= U'a' && first <= U'h' ? static_cast<int>(first - U'a') : 0;
        int digit = second >= U'0' && second <= U'9' ? static_cast<int>(second - U'0') : 0;
        en_passant_square = static_cast<std::uint8_t>(file + 8 * (digit - 1));
    }

    half_move_clock = read_counter(fields[4]);
    full_move_number = read_counter(fields[5]);
    piece_key = piece_key_of(*this);
    if (chess960) set_castling_rooks(*this, read_castling_field(*this, fields[2]).value_or(0));
}

void Board::set_pieces_or(char32_t letter, Bitboard mask) {
    const auto piece = piece_of_letter(letter);
    if (!piece) throw Panic("Invalid piece type");
    kinds[piece->kind] |= mask;
    colors[piece->color] |= mask;
    piece_key = piece_key_of(*this);
    forget_class();
}

void Board::set_pieces_xor(char32_t letter, Bitboard mask) {
    const auto kind = kind_of_letter(letter);
    if (!kind) throw Panic("Invalid piece type");
    kinds[*kind] ^= mask;
    piece_key = piece_key_of(*this);
    forget_class();
}

Bitboard Board::get_pieces(char32_t letter) const {
    switch (letter) {
        case U'W': case U'w': return colors[WHITE];
        case U'A': case U'a': return occupied();
        default: break;
    }
    const auto kind = kind_of_letter(letter);
    if (!kind) {
        std::string message = "Invalid piece type: ";
        append_utf8(message, letter);
        throw Panic(message);
    }
    return kinds[*kind];
}

namespace {

// Later letters overwrite earlier ones, so a square claimed twice shows the
// black letter and the later kind, as the text form promises.
std::array<char, 64> letter_grid(const BoardState& s) {
    std::array<char, 64> grid;
    grid.fill('.');
    for (Color c : {WHITE, BLACK})
        for (PieceKind k : LETTER_ORDER)
            for (Bitboard bb = s.pieces(c, k); bb; bb &= bb - 1)
                grid[std::countr_zero(bb)] = piece_letter({c, k});
    return grid;
}

}  // namespace

std::string Board::render() const {
    const auto grid = letter_grid(*this);
    std::string out;
    out.reserve(127);
    for (int rank = 7; rank >= 0; --rank) {
        for (int file = 0; file < 8; ++file) {
            if (file) out += ' ';
            out += grid[rank * 8 + file];
        }
        if (rank) out += '\n';
    }
    return out;
}

std::string Board::fen() const { return fen_text(true); }

std::string Board::fen(EnPassantField field) const {
    switch (field) {
        // Asked of the position, or of a scratch copy that plays trial
        // moves, so that writing a FEN never changes the board, even for a moment.
        case EnPassantField::LEGAL: return fen_text(board::has_legal_en_passant(state()));
        case EnPassantField::XFEN: return fen_text(has_pseudo_legal_en_passant());
        case EnPassantField::FEN: break;
    }
    return fen_text(true);
}

std::string Board::shredder_fen(EnPassantField field) const {
    switch (field) {
        case EnPassantField::LEGAL: return fen_text(board::has_legal_en_passant(state()), true);
        case EnPassantField::XFEN: return fen_text(has_pseudo_legal_en_passant(), true);
        case EnPassantField::FEN: break;
    }
    return fen_text(true, true);
}

std::string Board::fen_text(bool show_en_passant, bool shredder) const {
    const auto grid = letter_grid(*this);
    std::string out;
    for (int rank = 7; rank >= 0; --rank) {
        int empty = 0;
        for (int file = 0; file < 8; ++file) {
            char c = grid[rank * 8 + file];
            if (c == '.') {
                ++empty;
                continue;
            }
            if (empty) out += static_cast<char>('0' + empty);
            empty = 0;
            out += c;
        }
        if (empty) out += static_cast<char>('0' + empty);
        if (rank) out += '/';
    }
    out += turn ? " w " : " b ";
    if (chess960 || shredder)
        // Written from the rights that can still castle, as they stand now.
        out += castling_field(*this, shredder);
    else if (castling_rights.present() && !castling_rights.view().empty())
        out += castling_rights.view();
    else
        out += '-';
    out += ' ';
    if (show_en_passant && en_passant_square && *en_passant_square < 64) {
        out += BOARD_FILES[*en_passant_square % 8];
        out += static_cast<char>('1' + *en_passant_square / 8);
    } else {
        out += '-';
    }
    out += ' ';
    out += std::to_string(half_move_clock);
    out += ' ';
    out += std::to_string(full_move_number);
    return out;
}

std::size_t Board::heap_bytes() const noexcept {
    std::size_t n = starting_fen.heap_bytes() + castling_rights.heap_bytes();
    n += history.capacity() * sizeof(HistoryEntry);
    for (const auto& entry : history) n += entry.state.castling_rights.heap_bytes();
    return n;
}

namespace {

[[noreturn]] void bad_field(std::string_view text, std::string_view field, std::string_view value,
                            std::string_view reason) {
    throw Invalid("invalid FEN '" + std::string(text) + "': " + std::string(field) + " field '" +
                  std::string(value) + "' " + std::string(reason));
}

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

void check_placement(std::string_view text, std::string_view placement) {
    int ranks = 1, squares = 0;
    bool after_digit = false;
    for (char c : placement) {
        if (c == '/') {
            if (squares != 8) bad_field(text, "placement", placement, "needs 8 squares in every rank");
            ++ranks;
            squares = 0;
            after_digit = false;
        } else if (c >= '1' && c <= '8') {
            if (after_digit) bad_field(text, "placement", placement, "has two digits in a row");
            squares += c - '0';
            after_digit = true;
        } else if (piece_of_letter(static_cast<unsigned char>(c))) {
            ++squares;
            after_digit = false;
        } else {
            bad_field(text, "placement", placement, "has a character that is no piece letter or digit 1 to 8");
        }
        if (squares > 8) bad_field(text, "placement", placement, "needs 8 squares in every rank");
    }
    if (squares != 8) bad_field(text, "placement", placement, "needs 8 squares in every rank");
    if (ranks != 8) bad_field(text, "placement", placement, "needs 8 ranks");
}

}  // namespace

Board Board::from_fen(std::string_view text, bool chess960) {
    std::vector<std::string_view> fields;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r') {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t' && text[end] != '\n' && text[end] != '\r')
            ++end;
        fields.push_back(text.substr(i, end - i));
        i = end;
    }
    if (fields.size() < 4 || fields.size() > 6)
        throw Invalid("invalid FEN '" + std::string(text) + "': expected 4 to 6 fields, got " +
                      std::to_string(fields.size()));

    check_placement(text, fields[0]);
    if (fields[1] != "w" && fields[1] != "b") bad_field(text, "side to move", fields[1], "is not 'w' or 'b'");
    if (chess960) {
        if (!read_castling_field(Placement{}, fields[2]))
            bad_field(text, "castling", fields[2],
                      "is not '-', X-FEN or Shredder-FEN (up to two of 'KQA-H', then up to two of 'kqa-h')");
    } else if (fields[2] != "-" && !read_castling_letters(fields[2]).plain()) {
        bad_field(text, "castling", fields[2], "is not '-' or distinct letters among 'KQkq'");
    }
    if (fields[3] != "-") {
        const std::string_view ep = fields[3];
        if (ep.size() != 2 || ep[0] < 'a' || ep[0] > 'h' || (ep[1] != '3' && ep[1] != '6'))
            bad_field(text, "en passant", ep, "is not '-' or a square on rank 3 or 6");
    }
    for (std::size_t i = 4; i < fields.size(); ++i) {
        const char* name = i == 4 ? "half-move clock" : "full-move number";
        std::uint32_t value = 0;
        const auto [end, ec] = std::from_chars(fields[i].data(), fields[i].data() + fields[i].size(), value);
        if (!all_digits(fields[i]) || ec != std::errc{} || end != fields[i].data() + fields[i].size())
            bad_field(text, name, fields[i], "is not a whole number below 2**32");
    }

    std::string normal;
    for (std::size_t i = 0; i < 6; ++i) {
        if (i) normal += ' ';
        normal += i < fields.size() ? fields[i] : (i == 4 ? "0" : "1");
    }
    if (!chess960) return Board(std::string_view(normal));
    Board b{BoardState{}};
    b.chess960 = true;
    b.starting_fen.assign(normal);
    b.read_fen();
    // The start is kept as this board writes it, castling field in X-FEN.
    b.starting_fen.assign(b.fen());
    return b;
}

const Move& Board::peek() const {
    if (history.empty()) throw Invalid("peek from an empty move stack", Invalid::Index);
    return history.back().move;
}

}  // namespace board
