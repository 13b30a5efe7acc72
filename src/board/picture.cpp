// Pictures of a board: the grid of chess symbols for terminals, and the SVG
// diagram notebooks show.

#include "board.h"

#include <bit>
#include <charconv>
#include <utility>

namespace board {

namespace {

// UNICODE_SYMBOLS[color][kind], UTF-8.
constexpr std::array<std::array<std::string_view, KIND_NB>, COLOR_NB> UNICODE_SYMBOLS{{
    {"\u2659", "\u2658", "\u2657", "\u2656", "\u2655", "\u2654"},
    {"\u265F", "\u265E", "\u265D", "\u265C", "\u265B", "\u265A"},
}};

constexpr std::string_view BORDER_LINE = "  -----------------\n";

}  // namespace

std::string Board::unicode(bool invert_color, bool borders, std::string_view empty_square,
                           bool orientation) const {
    std::string out;
    out.reserve(64 * (empty_square.size() > 3 ? empty_square.size() + 1 : 4) + 200);
    for (int step = 0; step < 8; ++step) {
        const int rank = orientation ? 7 - step : step;
        if (borders) {
            out += BORDER_LINE;
            out += static_cast<char>('1' + rank);
            out += ' ';
        }
        for (int column = 0; column < 8; ++column) {
            const int file = orientation ? column : 7 - column;
            if (borders)
                out += '|';
            else if (column)
                out += ' ';
            if (const auto piece = piece_at(static_cast<Square>(rank * 8 + file))) {
                const Color shown = invert_color ? opposite(piece->color) : piece->color;
                out += UNICODE_SYMBOLS[shown][piece->kind];
            } else {
                out += empty_square;
            }
        }
        if (borders) out += '|';
        if (borders || step < 7) out += '\n';
    }
    if (borders) {
        out += BORDER_LINE;
        out += orientation ? "   a b c d e f g h" : "   h g f e d c b a";
    }
    return out;
}

namespace {

// The diagram is drawn in a 400-unit box: a 20-unit frame carrying the
// coordinates around eight 45-unit squares.
constexpr int MARGIN = 20;
constexpr int SQUARE = 45;
constexpr int EXTENT = 2 * MARGIN + 8 * SQUARE;
static_assert(SQUARE == 45 && EXTENT == 400, "the SVG text below spells these numbers out");

constexpr std::string_view LIGHT = "#efe3c8", DARK = "#b38b66";
constexpr std::string_view LIGHT_LAST = "#e3e48c", DARK_LAST = "#b9ae4f";

// Piece glyphs in a 45-unit square, drawn in outline and fill so one shape
// serves both colours: each <use> sets the fill, the outline and (through
// `color`) the inner lines. Ids carry a prefix because a notebook page holds
// many diagrams whose definitions share one namespace; equal ids there name
// equal shapes.
constexpr std::string_view DEFS = R"svg(<defs>
<g id="tm-p" stroke-width="1.5" stroke-linejoin="round">
<path d="M22.5 9a5 5 0 0 0-3.2 8.85C16.6 19.3 15 21.6 15 24.5h4.3c-.8 3.6-4.3 6.7-7.3 8V37h21v-4.5
c-3-1.3-6.5-4.4-7.3-8H30c0-2.9-1.6-5.2-4.3-6.65A5 5 0 0 0 22.5 9z"/></g>
<g id="tm-n" stroke-width="1.5" stroke-linejoin="round">
<path d="M14 37h20c0-9-1-17-6-22l1-6-4 3-2-3-1 4C15 16 11 22 10 27c0 2 2 3 4 2l5-4c1 3-1 6-5 12z"/>
<circle cx="18.5" cy="18" r="1.4" fill="currentColor" stroke="none"/></g>
<g id="tm-b" stroke-width="1.5" stroke-linejoin="round">
<path d="M11 37h23v-3H11zM15 34c-1.5-7 2.5-14 7.5-19 5 5 9 12 7.5 19z"/><circle cx="22.5" cy="12" r="2.5"/>
<path d="M25 21l-4 4M16 31h13" fill="none" stroke="currentColor"/></g>
<g id="tm-r" stroke-width="1.5" stroke-linejoin="round">
<path d="M11 37h23v-4h-3V19l3-3v-6h-4.5v3h-4v-3h-6v3h-4v-3H11v6l3 3v14h-3z"/>
<path d="M14 19h17M14 33h17" fill="none" stroke="currentColor"/></g>
<g id="tm-q" stroke-width="1.5" stroke-linejoin="round">
<path d="M11 37h23v-4H11zM12 33L8 14l7 10 1-13 4 12 2.5-14 2.5 14 4-12 1 13 7-10-4 19z"/>
<circle cx="8" cy="13" r="2"/><circle cx="16" cy="10" r="2"/><circle cx="22.5" cy="8" r="2"/>
<circle cx="29" cy="10" r="2"/><circle cx="37" cy="13" r="2"/></g>
<g id="tm-k" stroke-width="1.5" stroke-linejoin="round">
<path d="M11 37h23v-4H11zM12 33c-4-7-1-13 5-13 3 0 5 2 5.5 5 .5-3 2.5-5 5.5-5 6 0 9 6 5 13z
M21.5 6h2v3h3v2h-3v12h-2V11h-3V9h3z"/></g>
<radialGradient id="tm-check"><stop offset="0" stop-color="#ff2a2a"/>
<stop offset=".5" stop-color="#e21818" stop-opacity=".85"/>
<stop offset="1" stop-color="#a00" stop-opacity="0"/></radialGradient></defs>
)svg";

// Coordinate glyphs as strokes in a 4 x 6 box (baseline at 6), so the
// picture needs no font.
constexpr std::array<std::string_view, 8> FILE_GLYPHS{
    "M4 2v4M4 4a2 2 0 1 0-4 0 2 2 0 1 0 4 0",
    "M0 0v6M0 4a2 2 0 1 1 4 0 2 2 0 1 1-4 0",
    "M3.4 2.6a2 2 0 1 0 0 2.8",
    "M4 0v6M4 4a2 2 0 1 0-4 0 2 2 0 1 0 4 0",
    "M0 4h4a2 2 0 1 0-.6 1.4",
    "M3.8.4C2.4-.4 1.5.4 1.5 2v4M0 2.5h3.5",
    "M4 2v5c0 2-2.6 2.4-3.6 1.2M4 4a2 2 0 1 0-4 0 2 2 0 1 0 4 0",
    "M0 0v6M0 4a2 2 0 1 1 4 0v2",
};
constexpr std::array<std::string_view, 8> RANK_GLYPHS{
    "M.8 1.2 2.6 0v6M.8 6h3.6",
    "M.2 1.5A2 1.7 0 0 1 4 2c0 1.6-4 2.3-4 4h4",
    "M.3 1A1.8 1.5 0 1 1 2 3a1.9 1.5 0 1 1-1.8 2.2",
    "M3 6V0L0 4.2h4",
    "M3.8 0H.6L.3 2.7A2 1.8 0 1 1 .2 5.4",
    "M3.6.3C1 .3 0 2 0 4a2 2 0 1 0 4 0 2 2 0 1 0-4 0",
    "M0 0h4L1.4 6",
    "M2 3a1.5 1.5 0 1 1 0-3 1.5 1.5 0 1 1 0 3 1.5 1.5 0 1 1 0 3 1.5 1.5 0 1 1 0-3z",
};

void append_int(std::string& out, long long v) {
    char buf[24];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    out.append(buf, end);
}

void append_glyph(std::string& out, std::string_view d, double x, double y) {
    char buf[32];
    out += "<path transform=\"translate(";
    out.append(buf, std::to_chars(buf, buf + sizeof buf, x).ptr);
    out += ' ';
    out.append(buf, std::to_chars(buf, buf + sizeof buf, y).ptr);
    out += ") scale(1.5)\" d=\"";
    out += d;
    out += "\"/>";
}

// ` x="X" y="Y"`, the corner of a square.
void append_corner(std::string& out, std::pair<int, int> corner) {
    out += " x=\"";
    append_int(out, corner.first);
    out += "\" y=\"";
    append_int(out, corner.second);
    out += '"';
}

void append_square_rect(std::string& out, std::pair<int, int> corner, std::string_view fill) {
    out += "<rect";
    append_corner(out, corner);
    out += " width=\"45\" height=\"45\" fill=\"";
    out += fill;
    out += "\"/>";
}

}  // namespace

std::string Board::svg(std::uint32_t size, bool orientation) const {
    // The squares to tint: both ends of the last move, where they are on
    // the board (a move may name any square number).
    Bitboard last = 0;
    if (!history.empty()) {
        const Move& m = history.back().move;
        if (m.from_square < 64) last |= square_bb(m.from_square);
        if (m.to_square < 64) last |= square_bb(m.to_square);
    }
    std::optional<Square> checked_king;
    if (checkers()) checked_king = king(us());

    const auto corner = [orientation](Square s) {
        const int file = static_cast<int>(s % 8), rank = static_cast<int>(s / 8);
        const int column = orientation ? file : 7 - file, row = orientation ? 7 - rank : rank;
        return std::pair{MARGIN + SQUARE * column, MARGIN + SQUARE * row};
    };

    std::string out;
    out.reserve(12000);
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
           "version=\"1.1\" width=\"";
    append_int(out, size);
    out += "\" height=\"";
    append_int(out, size);
    out += "\" viewBox=\"0 0 400 400\">";
    out += DEFS;
    out += "<rect width=\"400\" height=\"400\" fill=\"#3d2e22\"/>";

    for (Square s = 0; s < 64; ++s) {
        const bool light = (s / 8 + s % 8) % 2 == 1;
        const bool tinted = (last >> s) & 1;
        append_square_rect(out, corner(s),
                           tinted ? (light ? LIGHT_LAST : DARK_LAST) : (light ? LIGHT : DARK));
    }
    if (checked_king) append_square_rect(out, corner(*checked_king), "url(#tm-check)");

    for (Bitboard occupied = this->occupied(); occupied; occupied &= occupied - 1) {
        const auto s = static_cast<Square>(std::countr_zero(occupied));
        const auto piece = piece_at(s);
        if (!piece) continue;
        out += "<use xlink:href=\"#tm-";
        out += KIND_LETTERS[piece->kind];
        out += '"';
        append_corner(out, corner(s));
        out += piece->color == WHITE ? " fill=\"#fff\" stroke=\"#000\" color=\"#000\"/>"
                                     : " fill=\"#222\" stroke=\"#000\" color=\"#eee\"/>";
    }

    // Files along the bottom edge, ranks along the left, as seen from the
    // side at the bottom.
    out += "<g fill=\"none\" stroke=\"";
    out += LIGHT;
    out += "\" stroke-width=\".8\" stroke-linecap=\"round\" stroke-linejoin=\"round\">";
    for (int column = 0; column < 8; ++column) {
        const int file = orientation ? column : 7 - column;
        append_glyph(out, FILE_GLYPHS[file], MARGIN + SQUARE * column + SQUARE / 2.0 - 3,
                     EXTENT - MARGIN + 4.5);
    }
    for (int row = 0; row < 8; ++row) {
        const int rank = orientation ? 7 - row : row;
        append_glyph(out, RANK_GLYPHS[rank], MARGIN / 2.0 - 3,
                     MARGIN + SQUARE * row + SQUARE / 2.0 - 4.5);
    }
    out += "</g></svg>";
    return out;
}

}  // namespace board
