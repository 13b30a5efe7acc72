// Pictures of a board: the grid of chess symbols for terminals, and the SVG
// diagram notebooks show.

#include "board.h"

#include <bit>
#include <charconv>
#include <cmath>
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


// Six significant digits: a hundredth of a unit at most, far below a pixel.
void append_number(std::string& out, double v) {
    char buf[32];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 6).ptr);
}

// ` opacity="O"`, left out when opaque.
void append_opacity(std::string& out, double opacity) {
    if (opacity >= 1.0) return;
    out += " opacity=\"";
    append_number(out, opacity);
    out += '"';
}

void append_square_rect(std::string& out, std::pair<int, int> corner, const Paint& paint) {
    out += "<rect";
    append_corner(out, corner);
    out += " width=\"45\" height=\"45\" fill=\"";
    out += paint.color;
    out += '"';
    append_opacity(out, paint.opacity);
    out += "/>";
}

// The mark on a selected square: a cross, dark over a light rim so that it
// shows on either colour of square and piece.
constexpr std::string_view MARK_DEFS =
    "<defs><g id=\"tm-x\" fill=\"none\" stroke-linecap=\"round\">"
    "<path d=\"M11 11l23 23M34 11L11 34\" stroke=\"#fff\" stroke-width=\"6\"/>"
    "<path d=\"M11 11l23 23M34 11L11 34\" stroke=\"#000\" stroke-width=\"3.5\"/></g></defs>";

// The shapes python-chess draws for an arrow, in the same proportions of a
// square: a shaft and a head, or a ring when tail and head are one square.
void append_arrow(std::string& out, const Arrow& arrow, bool orientation) {
    const auto centre = [orientation](Square s) {
        const double file = s % 8, rank = s / 8;
        return std::pair{MARGIN + (orientation ? file + 0.5 : 7.5 - file) * SQUARE,
                         MARGIN + (orientation ? 7.5 - rank : rank + 0.5) * SQUARE};
    };
    const auto [xtail, ytail] = centre(arrow.tail);
    const auto [xhead, yhead] = centre(arrow.head);
    if (arrow.tail == arrow.head) {
        out += "<circle cx=\"";
        append_number(out, xhead);
        out += "\" cy=\"";
        append_number(out, yhead);
        out += "\" r=\"20.25\" stroke-width=\"4.5\" stroke=\"";
        out += arrow.paint.color;
        out += '"';
        append_opacity(out, arrow.paint.opacity);
        out += " fill=\"none\" class=\"circle\"/>";
        return;
    }
    constexpr double marker_size = 0.75 * SQUARE, marker_margin = 0.1 * SQUARE;
    const double dx = xhead - xtail, dy = yhead - ytail, hypot = std::hypot(dx, dy);
    const double shaft_x = xhead - dx * (marker_size + marker_margin) / hypot;
    const double shaft_y = yhead - dy * (marker_size + marker_margin) / hypot;
    const double xtip = xhead - dx * marker_margin / hypot, ytip = yhead - dy * marker_margin / hypot;
    out += "<line x1=\"";
    append_number(out, xtail);
    out += "\" y1=\"";
    append_number(out, ytail);
    out += "\" x2=\"";
    append_number(out, shaft_x);
    out += "\" y2=\"";
    append_number(out, shaft_y);
    out += "\" stroke=\"";
    out += arrow.paint.color;
    out += '"';
    append_opacity(out, arrow.paint.opacity);
    out += " stroke-width=\"9\" stroke-linecap=\"butt\" class=\"arrow\"/><polygon points=\"";
    const double points[6] = {xtip, ytip,
                              shaft_x + dy * 0.5 * marker_size / hypot, shaft_y - dx * 0.5 * marker_size / hypot,
                              shaft_x - dy * 0.5 * marker_size / hypot, shaft_y + dx * 0.5 * marker_size / hypot};
    for (int i = 0; i < 6; ++i) {
        if (i) out += i % 2 ? ',' : ' ';
        append_number(out, points[i]);
    }
    out += "\" fill=\"";
    out += arrow.paint.color;
    out += '"';
    append_opacity(out, arrow.paint.opacity);
    out += " class=\"arrow\"/>";
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

Paint parse_paint(std::string_view text) {
    // Names, #hex, rgb()/hsl() with numbers and percentages: nothing that
    // closes the attribute, starts markup or fetches another document.
    bool safe = !text.empty();
    for (char c : text)
        safe = safe && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        std::string_view("#(),.%+- ").find(c) != std::string_view::npos);
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (!safe || lower.find("url") != std::string::npos)
        throw Invalid("'" + std::string(text) + "' is not a colour a self-contained diagram can use");
    // "#rgba" and "#rrggbbaa" as python-chess splits them; other text as it is.
    if (text[0] == '#' && (text.size() == 5 || text.size() == 9)) {
        const std::size_t digits = text.size() == 5 ? 1 : 2;
        int alpha = 0;
        bool hex = true;
        for (std::size_t i = text.size() - digits; i < text.size(); ++i) {
            const int d = hex_digit(text[i]);
            hex = hex && d >= 0;
            alpha = alpha * 16 + d;
        }
        if (hex) return {std::string(text.substr(0, text.size() - digits)), alpha / (digits == 1 ? 15.0 : 255.0)};
    }
    return {std::string(text), 1.0};
}

DiagramOptions Board::diagram_defaults() const {
    DiagramOptions options;
    if (!history.empty()) {
        const Move& m = history.back().move;
        options.lastmove = std::pair{m.from_square, m.to_square};
    }
    if (checkers()) options.check = king(us());
    return options;
}

std::string Board::svg(std::uint32_t size, bool orientation) const {
    DiagramOptions options = diagram_defaults();
    options.size = size;
    options.orientation = orientation;
    return diagram(options);
}

std::string Board::diagram(const DiagramOptions& options) const {
    const bool orientation = options.orientation;
    // The squares to tint: both ends of the last move, where they are on
    // the board (a move may name any square number).
    Bitboard last = 0;
    if (options.lastmove) {
        if (options.lastmove->first < 64) last |= square_bb(options.lastmove->first);
        if (options.lastmove->second < 64) last |= square_bb(options.lastmove->second);
    }

    const auto corner = [orientation](Square s) {
        const int file = static_cast<int>(s % 8), rank = static_cast<int>(s / 8);
        const int column = orientation ? file : 7 - file, row = orientation ? 7 - rank : rank;
        return std::pair{MARGIN + SQUARE * column, MARGIN + SQUARE * row};
    };

    std::string out;
    out.reserve(12000 + 400 * options.arrows.size());
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
           "version=\"1.1\" width=\"";
    append_int(out, options.size);
    out += "\" height=\"";
    append_int(out, options.size);
    // Without coordinates the frame that carries them is cut off.
    out += options.coordinates ? "\" viewBox=\"0 0 400 400\">" : "\" viewBox=\"20 20 360 360\">";
    out += DEFS;
    if (options.squares) out += MARK_DEFS;
    out += "<rect width=\"400\" height=\"400\" fill=\"";
    out += options.margin.color;
    out += '"';
    append_opacity(out, options.margin.opacity);
    out += "/>";

    for (Square s = 0; s < 64; ++s) {
        const bool light = (s / 8 + s % 8) % 2 == 1;
        const bool tinted = (last >> s) & 1;
        append_square_rect(out, corner(s),
                           tinted ? (light ? options.light_lastmove : options.dark_lastmove)
                                  : (light ? options.light : options.dark));
    }
    for (const auto& [square, paint] : options.fill) append_square_rect(out, corner(square), paint);
    if (options.check && *options.check < 64)
        append_square_rect(out, corner(*options.check), Paint{"url(#tm-check)"});

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
    for (Bitboard marked = options.squares; marked; marked &= marked - 1) {
        out += "<use xlink:href=\"#tm-x\"";
        append_corner(out, corner(static_cast<Square>(std::countr_zero(marked))));
        out += "/>";
    }
    for (const Arrow& arrow : options.arrows) append_arrow(out, arrow, orientation);

    if (options.coordinates) {
        // Files along the bottom edge, ranks along the left, as seen from
        // the side at the bottom.
        out += "<g fill=\"none\" stroke=\"";
        out += options.coord.color;
        out += '"';
        append_opacity(out, options.coord.opacity);
        out += " stroke-width=\".8\" stroke-linecap=\"round\" stroke-linejoin=\"round\">";
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
        out += "</g>";
    }
    out += "</svg>";
    return out;
}

}  // namespace board
