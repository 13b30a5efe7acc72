// Standard Algebraic Notation out and in, numbered lines and whole PGN
// movetexts, with the texts and the acceptance of the chess library Python
// users know. Legality, disambiguation and the check suffix all come from the
// one legal move generator (the fast path where it answers).

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "board.h"
#include "fast/fast.h"
#include "movetext.h"

namespace board {

namespace {

void append_suffix(std::string& out, Check c) {
    if (c == Check::CHECK) out += '+';
    if (c == Check::MATE) out += '#';
}

constexpr char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The text as Python's repr() shows a str, for error messages.
std::string quoted(std::string_view s) {
    const char q = s.find('\'') != std::string_view::npos && s.find('"') == std::string_view::npos ? '"' : '\'';
    std::string out(1, q);
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\' || c == q) {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7f) {
            constexpr char HEX[] = "0123456789abcdef";
            out += "\\x";
            out += HEX[u >> 4];
            out += HEX[u & 15];
        } else {
            out += c;
        }
    }
    out += q;
    return out;
}

// What a SAN text names, before the position is asked.
struct SanText {
    enum Form : std::uint8_t { MOVE, KING_SIDE_CASTLE, QUEEN_SIDE_CASTLE } form = MOVE;
    std::optional<PieceKind> piece;
    int file = -1;  // the origin's file and rank where the text gives them
    int rank = -1;
    Square to = 0;
    std::optional<char32_t> promotion;  // lower case, "k" included
};

enum class Reading : std::uint8_t { OK, INVALID, NULL_MOVE, MULTI_LEG };

constexpr std::array<std::string_view, 6> KING_SIDE_TEXTS{"O-O", "O-O+", "O-O#", "0-0", "0-0+", "0-0#"};
constexpr std::array<std::string_view, 6> QUEEN_SIDE_TEXTS{"O-O-O", "O-O-O+", "O-O-O#", "0-0-0", "0-0-0+", "0-0-0#"};
constexpr std::array<std::string_view, 4> NULL_TEXTS{"--", "Z0", "0000", "@@@@"};

bool one_of(std::string_view s, const auto& texts) {
    for (std::string_view t : texts)
        if (s == t) return true;
    return false;
}

bool is_file(char c) { return c >= 'a' && c <= 'h'; }
bool is_rank(char c) { return c >= '1' && c <= '8'; }

// The grammar is [NBKRQ]? [a-h]? [1-8]? [-x]? [a-h][1-8] (=?[nbrqkNBRQK])? [+#]?,
// read from the right: the target square always ends in a digit, so a
// trailing letter can only be the promotion, and every optional part left of
// the square has a character class of its own.
Reading read_san(std::string_view s, SanText& out) {
    // Annotation glyphs after the move ("e4!", "Nf3+?!") are read past.
    for (int i = 0; i < 2 && !s.empty() && (s.back() == '!' || s.back() == '?'); ++i) s.remove_suffix(1);
    if (!s.empty() && (s[0] == 'O' || s[0] == '0')) {
        if (one_of(s, KING_SIDE_TEXTS)) {
            out.form = SanText::KING_SIDE_CASTLE;
            return Reading::OK;
        }
        if (one_of(s, QUEEN_SIDE_TEXTS)) {
            out.form = SanText::QUEEN_SIDE_CASTLE;
            return Reading::OK;
        }
    }
    const std::string_view whole = s;
    auto fail = [&] {
        if (one_of(whole, NULL_TEXTS)) return Reading::NULL_MOVE;
        if (whole.find(',') != std::string_view::npos) return Reading::MULTI_LEG;
        return Reading::INVALID;
    };
    if (!s.empty() && (s.back() == '+' || s.back() == '#')) s.remove_suffix(1);
    if (!s.empty()) {
        const char p = lower(s.back());
        if (p == 'n' || p == 'b' || p == 'r' || p == 'q' || p == 'k') {
            out.promotion = static_cast<char32_t>(p);
            s.remove_suffix(1);
            if (!s.empty() && s.back() == '=') s.remove_suffix(1);
        }
    }
    if (s.size() < 2 || !is_file(s[s.size() - 2]) || !is_rank(s.back())) return fail();
    out.to = static_cast<Square>((s.back() - '1') * 8 + (s[s.size() - 2] - 'a'));
    s.remove_suffix(2);
    if (!s.empty() && (s.back() == '-' || s.back() == 'x')) s.remove_suffix(1);
    if (!s.empty() && is_rank(s.back())) {
        out.rank = s.back() - '1';
        s.remove_suffix(1);
    }
    if (!s.empty() && is_file(s.back())) {
        out.file = s.back() - 'a';
        s.remove_suffix(1);
    }
    if (!s.empty()) {
        const char c = s.back();
        if (c != 'N' && c != 'B' && c != 'K' && c != 'R' && c != 'Q') return fail();
        out.piece = kind_of_letter(static_cast<char32_t>(c));
        s.remove_suffix(1);
    }
    return s.empty() ? Reading::OK : fail();
}

// The squares a SAN text lets its piece come from.
Bitboard origins(const SanText& san) {
    Bitboard from_mask = ~Bitboard{0};
    if (san.file >= 0) from_mask &= FILE_A << san.file;
    if (san.rank >= 0) from_mask &= RANK_1 << (8 * san.rank);
    // A pawn leaves its file only by a capture, which names the file.
    if (!san.piece && san.file < 0) from_mask &= FILE_A << (san.to % 8);
    return from_mask;
}

// The one candidate with the text's promotion: nullptr when none, and
// `ambiguous` when several.
const Move* the_one(const MoveList& candidates, const SanText& san, bool& ambiguous) {
    const Move* found = nullptr;
    for (const Move& m : candidates) {
        if (m.promotion != san.promotion) continue;
        if (found) {
            ambiguous = true;
            return found;
        }
        found = &m;
    }
    return found;
}

}  // namespace

// ---------------------------------------------------------------- helpers

void Board::legal_moves_to(PieceKind kind, Bitboard from_mask, Square to, MoveList& out) {
    if (fast::legal_moves_to(*this, kind, from_mask, to, out)) return;
    MoveList all;
    checked_legal_moves(all);
    out.clear();
    for (const Move& m : all) {
        if (m.to_square != to || m.from_square > 63 || !(from_mask & square_bb(m.from_square))) continue;
        const auto piece = piece_at(m.from_square);
        if (!piece || piece->kind != kind) continue;
        if (kind == KING && is_castling(m)) continue;
        out.push_back(m);
    }
}

Check Board::check_after(const Move& m) {
    if (const auto fast = fast::check_after(*this, m)) return *fast;
    Rewind rewind(*this);
    apply_move(m);
    if (!checkers()) return Check::NONE;
    return any_legal_move() ? Check::CHECK : Check::MATE;
}

// ---------------------------------------------------------------- SAN out

std::string Board::algebraic(const Move& raw, bool long_form) {
    auto out = notation(castling_alias(*this, raw), long_form);
    if (!out) throw Invalid("illegal move " + raw.uci() + " in " + fen());
    return std::move(*out);
}

std::optional<std::string> Board::notation(const Move& m, bool long_form) {
    const Square from = m.from_square, to = m.to_square;
    if (from > 63 || to > 63) return std::nullopt;
    const auto piece = piece_at(from);
    if (!piece || piece->color != us()) return std::nullopt;
    if (piece->kind == KING && is_castling(m)) {
        if (!is_legal_as_written(m)) return std::nullopt;
        std::string out = SQUARE_FILE_INDICES[to] < SQUARE_FILE_INDICES[from] ? "O-O-O" : "O-O";
        append_suffix(out, check_after(m));
        return out;
    }
    const PieceKind kind = piece->kind;
    // One generation tells whether the move is legal and which other pieces
    // of its kind could go there too.
    const Bitboard from_mask = kind == PAWN ? square_bb(from) : pieces(us(), kind);
    auto facts = fast::move_facts(*this, m, kind, from_mask);
    if (!facts) {
        MoveList candidates;
        legal_moves_to(kind, from_mask, to, candidates);
        facts = fast::MoveFacts{false, 0, Check::NONE};
        for (const Move& c : candidates) {
            if (c.from_square == from)
                facts->legal |= c.promotion == m.promotion;
            else
                facts->rivals |= square_bb(c.from_square);
        }
        if (facts->legal) facts->check = check_after(m);
    }
    if (!facts->legal) return std::nullopt;

    // Written into a small buffer: the longest text, "Qh5xf7#" or
    // "e7xd8=Q+", is 8 characters.
    const bool capture = is_capture(m);
    char text[16];
    std::size_t n = 0;
    auto square = [&](Square s) {
        text[n++] = BOARD_FILES[s % 8];
        text[n++] = static_cast<char>('1' + s / 8);
    };
    if (kind != PAWN) text[n++] = upper(KIND_LETTERS[kind]);
    if (long_form) {
        square(from);
    } else if (const Bitboard others = facts->rivals) {
        // The least that tells this piece from the others: the file, else
        // the rank, else both.
        const bool same_file = others & (FILE_A << (from % 8));
        const bool same_rank = others & (RANK_1 << (8 * (from / 8)));
        if (same_rank || !same_file) text[n++] = BOARD_FILES[from % 8];
        if (same_file) text[n++] = static_cast<char>('1' + from / 8);
    } else if (kind == PAWN && capture) {
        text[n++] = BOARD_FILES[from % 8];
    }
    if (capture)
        text[n++] = 'x';
    else if (long_form)
        text[n++] = '-';
    square(to);
    if (m.promotion) {
        text[n++] = '=';
        text[n++] = upper(static_cast<char>(*m.promotion));
    }
    if (facts->check == Check::CHECK) text[n++] = '+';
    if (facts->check == Check::MATE) text[n++] = '#';
    return std::string(text, n);
}

std::string Board::variation_san(const std::vector<Move>& moves) {
    Rewind rewind(*this);
    std::string out;
    for (std::size_t i = 0; i < moves.size(); ++i) {
        const Move m = castling_alias(*this, moves[i]);
        auto san = notation(m, false);
        if (!san)
            throw Invalid("illegal move " + moves[i].uci() + " at ply " + std::to_string(i + 1) +
                          " of the variation, in position " + fen());
        if (turn) {
            if (!out.empty()) out += ' ';
            out += std::to_string(full_move_number);
            out += ". ";
        } else if (out.empty()) {
            out += std::to_string(full_move_number);
            out += "...";
        } else {
            out += ' ';
        }
        out += *san;
        apply_move(m);
    }
    return out;
}

// ---------------------------------------------------------------- SAN in

Move Board::parse_san(std::string_view text) {
    SanText san;
    switch (read_san(text, san)) {
        case Reading::OK: break;
        case Reading::INVALID: throw Invalid("invalid san: " + quoted(text));
        case Reading::NULL_MOVE: throw Invalid("invalid san: " + quoted(text) + " (null moves are not supported)");
        case Reading::MULTI_LEG: throw Invalid("invalid san: " + quoted(text) + " (unsupported multi-leg move)");
    }
    auto illegal = [&](std::string_view why = {}) {
        std::string message = "illegal san: " + quoted(text) + " in " + fen();
        if (!why.empty()) message.append(" (").append(why).append(")");
        return Invalid(message);
    };

    if (san.form != SanText::MOVE && chess960) {
        const CastlingSide side = san.form == SanText::KING_SIDE_CASTLE ? KING_SIDE : QUEEN_SIDE;
        const CastlingPlans plans = castling_plans(*this);
        if (!(plans.bits & castling_bit(us(), side))) throw illegal();
        const Castling& g = plans.plan[us()][side];
        const Move m(g.king_from, g.rook_from);
        if (!is_legal_as_written(m)) throw illegal();
        return m;
    }
    if (san.form != SanText::MOVE) {
        const Castling& g = CASTLING[us()][san.form == SanText::KING_SIDE_CASTLE ? KING_SIDE : QUEEN_SIDE];
        const Move m(g.king_from, g.king_to);
        // Whatever else stands on the king's square may not make that step.
        if (!(pieces(us(), KING) & square_bb(g.king_from)) || !is_legal_as_written(m)) throw illegal();
        return m;
    }

    // Origin and target in full and no piece letter: any move, castling
    // written as king takes rook included; a pawn reaching the last rank
    // must say what it becomes.
    if (!san.piece && san.file >= 0 && san.rank >= 0) {
        const auto from = static_cast<Square>(8 * san.rank + san.file);
        const bool promotes = (kinds[PAWN] & square_bb(from)) && (square_bb(san.to) & (RANK_1 | RANK_8));
        std::optional<char32_t> promotion = san.promotion;
        if (!promotion && promotes) promotion = U'q';
        const Move m = castling_alias(*this, Move(from, san.to, promotion));
        if (!is_legal_as_written(m)) throw illegal();
        if (promotes && !san.promotion) throw illegal("missing promotion piece type");
        return m;
    }

    MoveList candidates;
    legal_moves_to(san.piece.value_or(PAWN), origins(san), san.to, candidates);
    bool ambiguous = false;
    const Move* found = the_one(candidates, san, ambiguous);
    if (ambiguous) throw Invalid("ambiguous san: " + quoted(text) + " in " + fen());
    if (!found) throw illegal();
    return *found;
}

std::optional<Move> walk_san(const fast::Walk& w, std::string_view text) {
    SanText san;
    if (read_san(text, san) != Reading::OK) return std::nullopt;
    if (san.form != SanText::MOVE) {
        const CastlingSide side = san.form == SanText::KING_SIDE_CASTLE ? KING_SIDE : QUEEN_SIDE;
        if (!fast::walk_can_castle(w, side)) return std::nullopt;
        const Castling& g = CASTLING[w.turn ? WHITE : BLACK][side];
        return Move(g.king_from, g.king_to);
    }
    // Origin and target in full: the board reads that form.
    if (!san.piece && san.file >= 0 && san.rank >= 0) return std::nullopt;
    MoveList candidates;
    fast::walk_moves_to(w, san.piece.value_or(PAWN), origins(san), san.to, candidates);
    bool ambiguous = false;
    const Move* found = the_one(candidates, san, ambiguous);
    if (!found || ambiguous) return std::nullopt;
    return *found;
}

Move Board::apply_san(std::string_view text) {
    const Move m = parse_san(text);
    apply_legal(m);
    return m;
}

namespace {

std::size_t apply_mainline(Board& board, MovetextReader& reader) {
    Rewind rewind(board);
    std::size_t played = 0;
    while (const auto token = reader.next()) {
        try {
            board.apply_legal(board.parse_san(*token));
        } catch (const Invalid& e) {
            throw Invalid(std::string(e.what()) + ", at ply " + std::to_string(played + 1) + " of the movetext");
        }
        ++played;
    }
    rewind.keep();
    return played;
}

}  // namespace

std::size_t Board::apply_movetext(std::string_view text) {
    MovetextReader reader(text);
    return apply_mainline(*this, reader);
}

namespace {

void begin_notes(MainlineNotes& notes, std::string_view text) {
    notes.clear();
    // About one ply and one comment per 16 bytes of an annotated game; a
    // guess, not a bound.
    notes.first.reserve(text.size() / 16 + 2);
    notes.spans.reserve(text.size() / 32 + 1);
    notes.first.push_back(0);
    notes.has_cr = text.find('\r') != std::string_view::npos;
}

// Offsets are 32 bits wide: a longer movetext is left to the tree.
void end_notes(MainlineNotes& notes, std::string_view text) {
    if (text.size() > UINT32_MAX) notes.plain = false;
}

}  // namespace

std::size_t Board::apply_movetext(std::string_view text, MainlineNotes& notes) {
    begin_notes(notes, text);
    // Grown once rather than doubled a dozen times over a game.
    history.reserve(history.size() + text.size() / 16 + 2);
    MovetextReader reader(text, &notes);
    const std::size_t played = apply_mainline(*this, reader);
    end_notes(notes, text);
    return played;
}

bool walk_movetext(const Board& start, std::string_view text, MainlineNotes& notes, std::vector<Move>& moves) {
    auto walk = fast::walk_of(start);
    if (!walk) return false;
    begin_notes(notes, text);
    moves.clear();
    moves.reserve(text.size() / 16 + 2);
    MovetextReader reader(text, &notes);
    while (const auto token = reader.next()) {
        const auto m = walk_san(*walk, *token);
        if (!m) return false;
        fast::walk_play(*walk, *m);
        moves.push_back(*m);
    }
    end_notes(notes, text);
    return true;
}

Board replay(Board b, const std::vector<Move>& moves) {
    b.history.reserve(b.history.size() + moves.size());
    for (const Move& m : moves) b.apply_legal(m);
    return b;
}

}  // namespace board
