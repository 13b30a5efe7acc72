// Coverage-guided fuzz target for the engine. An input is a FEN line, then
// an operation program: each byte picks an operation, the bytes after it are
// its arguments. After every step the fast path must agree with the
// reference wherever it answers, a failed operation must leave the board as
// its contract promises, and the queries that promise never to panic must
// not. Any disagreement aborts, which libFuzzer reports with the input.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "board.h"
#include "fast/fast.h"

namespace {

using namespace board;

// The move under test, for the report.
std::string subject;

[[noreturn]] void fail(const char* what, const Board& b) {
    std::fprintf(stderr, "engine_fuzz: %s\n  position %s\n  starting text %.*s\n  move %s\n", what,
                 b.fen().c_str(), static_cast<int>(b.starting_fen.view().size()), b.starting_fen.view().data(),
                 subject.c_str());
    std::abort();
}

#define CHECK(cond, b)                                 \
    do {                                               \
        if (!(cond)) fail("check failed: " #cond, b);  \
    } while (0)

// Reads the program; past its end every read gives zero.
class Input {
public:
    explicit Input(std::string_view bytes) : bytes_(bytes) {}
    bool done() const { return pos_ >= bytes_.size(); }
    std::uint8_t byte() { return pos_ < bytes_.size() ? static_cast<std::uint8_t>(bytes_[pos_++]) : 0; }
    std::uint64_t u64() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = v << 8 | byte();
        return v;
    }
    std::string_view slice(std::size_t n) {
        n = std::min(n, bytes_.size() - std::min(pos_, bytes_.size()));
        std::string_view s = bytes_.substr(std::min(pos_, bytes_.size()), n);
        pos_ += n;
        return s;
    }

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

bool same_move(const Move& a, const Move& b) {
    return a.from_square == b.from_square && a.to_square == b.to_square && a.promotion == b.promotion;
}

bool same_record(const Board& a, const Board& b) {
    if (!(a.state() == b.state()) || !(a.starting_fen == b.starting_fen) || a.history.size() != b.history.size())
        return false;
    for (std::size_t i = 0; i < a.history.size(); ++i)
        if (!same_move(a.history[i].move, b.history[i].move) || !(a.history[i].state == b.history[i].state))
            return false;
    return true;
}

bool same_list(const MoveList& a, const MoveList& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same_move(a[i], b[i])) return false;
    return true;
}

// Each square one kind and one colour, or empty: the boards the rule
// queries, which follow the chess library's meanings, are defined on.
bool well_formed(const Board& b) {
    Bitboard seen = 0;
    for (Bitboard k : b.kinds) {
        if (seen & k) return false;
        seen |= k;
    }
    return !(b.colors[WHITE] & b.colors[BLACK]) && seen == b.occupied();
}

// Well formed with one king each: where the rule queries and the reference
// must mean the same (with several kings the reference watches one).
bool ordinary(const Board& b) {
    return well_formed(b) && std::has_single_bit(b.pieces(WHITE, KING)) && std::has_single_bit(b.pieces(BLACK, KING));
}

bool listed(const MoveList& list, const Move& m) {
    return std::any_of(list.begin(), list.end(), [&](const Move& x) { return same_move(x, m); });
}

// Letters the setters and the promotion field see: the real ones, the
// library's own W and A, and near misses (the Kelvin sign, a digit, U+FFFD).
constexpr char32_t LETTERS[] = {U'P', U'R', U'N', U'B', U'Q', U'K', U'p', U'r', U'n', U'b', U'q',
                                U'k', U'W', U'A', U'x', U'\u212A', U'1', U'\uFFFD'};
char32_t letter(Input& in) { return LETTERS[in.byte() % std::size(LETTERS)]; }

Move arbitrary_move(Input& in) {
    const std::uint8_t from = in.byte(), to = in.byte(), promo = in.byte();
    // Mostly on-board squares, now and then the whole byte range.
    const auto square = [](std::uint8_t s, bool wide) { return static_cast<Square>(wide ? s : s % 64); };
    const bool wide = (promo & 0xC0) == 0xC0;
    Move m(square(from, wide), square(to, wide));
    if (promo & 1) m.promotion = LETTERS[(promo >> 1) % std::size(LETTERS)];
    return m;
}

// A query that promises not to panic, and changes nothing in any case.
template <typename F>
void query(Board& b, const char* name, F&& f) {
    const Board before = b;
    try {
        f();
    } catch (const Invalid&) {
    } catch (const Panic&) {
        fail(name, b);
    }
    if (!same_record(b, before)) fail(name, b);
}

// The reference legal list, or nullopt where the reference panics.
std::optional<MoveList*> reference_list(Board& b, MoveList& out) {
    const Board before = b;
    try {
        reference::legal_moves(b, out);
    } catch (const Panic&) {
        out.clear();
        CHECK(same_record(b, before), b);
        return std::nullopt;
    }
    CHECK(same_record(b, before), b);
    return &out;
}

// The fast path against the reference on the current position.
void differential(Board& b, Input& in, MoveList& ref, bool ref_ok) {
    MoveList fast_list;
    if (fast::legal_moves(b, fast_list)) {
        CHECK(ref_ok, b);
        CHECK(same_list(fast_list, ref), b);
    }
    if (const auto fast_check = fast::is_check(b)) CHECK(*fast_check == reference::is_check(b), b);
    for (int i = 0; i < 2; ++i) {
        const std::uint8_t s = in.byte() % 72;
        if (const auto attacked = fast::is_attacked(b, s)) CHECK(*attacked == reference::is_attacked(b, s), b);
    }
    // can_castle answers for the fixed squares of standard chess.
    for (CastlingSide side : {KING_SIDE, QUEEN_SIDE}) {
        if (b.chess960) break;
        MoveList castles;
        reference::castling_moves(b, castles);
        const Castling& g = CASTLING[b.us()][side];
        CHECK(fast::can_castle(b, side) == listed(castles, Move(g.king_from, g.king_to)), b);
    }
}

void perft_step(Board& b, Input& in, std::size_t moves) {
    // Bounded work: the reference plays every move of every node.
    const unsigned depth = 1 + in.byte() % (moves <= 12 ? 3 : moves <= 60 ? 2 : 1);
    const Board before = b;
    std::optional<std::uint64_t> ref;
    try {
        ref = reference::perft(b, depth);
    } catch (const Panic&) {
    }
    CHECK(same_record(b, before), b);
    if (const auto fast = fast::perft(b, depth)) {
        CHECK(ref.has_value(), b);
        CHECK(*fast == *ref, b);
    }
    try {
        const std::uint64_t n = b.perft(depth);
        CHECK(ref && n == *ref, b);
    } catch (const Panic&) {
        CHECK(!ref, b);
    }
    CHECK(same_record(b, before), b);
    try {
        b.perft(MAX_PERFT_DEPTH + 1 + in.byte());
        fail("perft above the limit answered", b);
    } catch (const Invalid&) {
    }
    CHECK(same_record(b, before), b);
}

// The additions: each may refuse with Invalid, none may panic or change
// the board, and they must agree with each other and with play.
void queries(Board& b, Input& in, const MoveList& ref, bool ref_ok) {
    MoveList checked;
    bool checked_ok = true;
    query(b, "checked_legal_moves", [&] {
        try {
            b.checked_legal_moves(checked);
        } catch (const Invalid&) {
            checked_ok = false;
            throw;
        }
    });
    CHECK(checked_ok == ref_ok, b);
    if (checked_ok) CHECK(same_list(checked, ref), b);

    const Move m = ref_ok && !ref.empty() && (in.byte() & 1) ? ref[in.byte() % ref.size()] : arbitrary_move(in);
    subject = m.uci();
    bool legal = false, pseudo = false;
    query(b, "is_legal", [&] { legal = b.is_legal(m); });
    query(b, "is_pseudo_legal", [&] { pseudo = b.is_pseudo_legal(m); });
    if (legal) CHECK(pseudo, b);
    if (ref_ok && ordinary(b)) {
        if (listed(ref, m)) CHECK(legal, b);
        // UCI also writes castling as the king taking its own rook.
        if (legal) CHECK(listed(ref, m) || b.is_castling(m), b);
    }
    if (pseudo && m.from_square < 64 && m.to_square < 64) {
        query(b, "is_capture", [&] { (void)b.is_capture(m); });
        query(b, "is_en_passant", [&] { (void)b.is_en_passant(m); });
        query(b, "is_castling", [&] { (void)b.is_castling(m); });
        query(b, "is_zeroing", [&] { (void)b.is_zeroing(m); });
        std::optional<bool> check;
        query(b, "gives_check", [&] { check = b.gives_check(m); });
        if (check && legal && ref_ok && listed(ref, m)) {
            Board after = b;
            after.apply_move(m);
            if (ordinary(after)) CHECK(*check == reference::is_check(after), b);
        }
    }
    query(b, "apply_uci", [&] {
        const std::string uci = m.uci();
        Board trial = b;
        try {
            trial.apply_uci(uci);
            CHECK(legal || !ref_ok, b);
        } catch (const Invalid&) {
            CHECK(same_record(trial, b), b);
        }
    });

    const Square s = in.byte() % 64;
    const Color c = in.byte() & 1 ? WHITE : BLACK;
    query(b, "piece queries", [&] {
        (void)b.piece_at(s);
        (void)b.king(c);
        (void)b.attackers(c, s);
        (void)b.checkers();
        (void)b.is_pinned(c, s);
        (void)b.has_insufficient_material(c);
        (void)b.is_insufficient_material();
        (void)b.is_valid();
    });
    query(b, "zobrist_hash", [&] { CHECK(b.zobrist_hash() == zobrist_hash(b.state()), b); });
    const bool claim = in.byte() & 1;
    query(b, "outcome", [&] { (void)b.outcome(claim); });
    query(b, "result", [&] { (void)b.result(claim); });
    query(b, "draw rules", [&] {
        (void)b.is_seventyfive_moves();
        (void)b.is_fifty_moves();
        (void)b.can_claim_fifty_moves();
        (void)b.is_repetition(1 + in.byte() % 4);
        (void)b.can_claim_threefold_repetition();
        (void)b.is_fivefold_repetition();
        (void)b.has_legal_en_passant();
    });
}

// The text and byte forms: what they write reads back as the same record.
void round_trips(Board& b, Input& in) {
    const std::string text = b.fen();
    // The strict reader splits at any whitespace, as Python does, so a
    // lenient field holding some other than a space reads as two.
    const bool printable = std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '~'; });
    try {
        const Board read = Board::from_fen(text, b.chess960);
        // A Fischer random castling field is written from the rooks the
        // sets hold and read against the king: a placement the text cannot
        // show, or several kings, leave it without one meaning (as in
        // python-chess).
        const bool one_meaning = !b.chess960 || (!b.malformed() && b.one_king_each());
        if (printable && one_meaning) CHECK(read.fen() == text, b);
        if (one_meaning) CHECK(Board::from_fen(read.fen(), b.chess960).fen() == read.fen(), b);
    } catch (const Invalid&) {
    }
    const std::string bytes = b.to_bytes();
    const Board back = Board::from_bytes(bytes);
    CHECK(same_record(back, b), b);
    CHECK(back.piece_key == b.piece_key, b);
    // Bytes it did not write: refused with Invalid, or a record the engine
    // can work with.
    std::string mangled = bytes;
    if (!mangled.empty()) {
        const std::size_t at = in.byte() * 7u % mangled.size();
        mangled[at] = static_cast<char>(mangled[at] ^ (in.byte() | 1));
    }
    if (in.byte() & 1) mangled.resize(mangled.size() * in.byte() / 256);
    try {
        Board odd = Board::from_bytes(mangled);
        (void)odd.fen();
        (void)odd.render();
        CHECK(same_record(Board::from_bytes(odd.to_bytes()), odd), odd);
        query(odd, "checked_legal_moves", [&] {
            MoveList moves;
            odd.checked_legal_moves(moves);
        });
        while (!odd.history.empty()) odd.pop();
    } catch (const Invalid&) {
    }
}

// Python hands the engine well-formed UTF-8 only: what decodes and
// encodes back to the same bytes.
bool well_formed_utf8(std::string_view text) {
    std::string again;
    for (std::size_t i = 0; i < text.size();) append_utf8(again, next_code_point(text, i));
    return again == text;
}

// A leading '!' reads the text strictly, a leading '*' strictly as a
// Fischer random board.
std::optional<Board> read(std::string_view fen) {
    if (!well_formed_utf8(fen)) return std::nullopt;
    try {
        if (!fen.empty() && fen.front() == '!') return Board::from_fen(fen.substr(1));
        if (!fen.empty() && fen.front() == '*') return Board::from_fen(fen.substr(1), true);
        return Board{fen};
    } catch (const Panic&) {
    } catch (const Invalid&) {
    }
    return std::nullopt;
}

void run(Board& b, Input& in) {
    std::optional<Board> saved;
    for (int step = 0; step < 48 && !in.done(); ++step) {
        CHECK(b.piece_key == piece_key_of(b), b);
        MoveList ref;
        const bool ref_ok = reference_list(b, ref).has_value();
        const std::uint8_t op = in.byte();
        switch (op % 16) {
            case 0:
                differential(b, in, ref, ref_ok);
                break;
            case 1:
            case 2:
                if (ref_ok && !ref.empty()) {
                    b.apply_move(ref[in.byte() % ref.size()]);
                    break;
                }
                [[fallthrough]];
            case 3: {
                const Move m = arbitrary_move(in);
                const Board before = b;
                try {
                    b.apply_move(m);
                } catch (const Panic&) {
                    // The position is kept; the entry stays for pop().
                    CHECK(b.state() == before.state(), b);
                    CHECK(b.history.size() == before.history.size() + 1, b);
                    CHECK(b.history.back().state == before.state(), b);
                }
                break;
            }
            case 4: {
                const Board before = b;
                try {
                    const Move m = b.pop();
                    CHECK(same_move(m, before.history.back().move), b);
                    CHECK(b.state() == before.history.back().state, b);
                } catch (const Panic&) {
                    CHECK(before.history.empty() && same_record(b, before), b);
                }
                break;
            }
            case 5:
                perft_step(b, in, ref.size());
                break;
            case 6:
            case 7: {
                const char32_t l = letter(in);
                const Bitboard mask = in.u64();
                const Board before = b;
                try {
                    if (op % 16 == 6)
                        b.set_pieces_or(l, mask);
                    else
                        b.set_pieces_xor(l, mask);
                } catch (const Panic&) {
                    CHECK(same_record(b, before), b);
                }
                break;
            }
            case 8: {
                const Board before = b;
                try {
                    b.set_board();
                } catch (const Panic&) {
                    CHECK(same_record(b, before), b);
                }
                break;
            }
            case 9:
                // As the binding's turn setter writes it.
                b.turn = !b.turn;
                b.forget_class();
                break;
            case 10: {
                static constexpr char32_t IDS[] = {U'a', U'k', U'q', U'K', U'x'};
                const Board before = b;
                try {
                    b._remove_castling_rights(IDS[in.byte() % std::size(IDS)]);
                } catch (const Panic&) {
                    CHECK(same_record(b, before), b);
                }
                break;
            }
            case 11:
                if (in.byte() & 1 || !saved) {
                    saved = b;
                } else {
                    b._restore(saved->state());
                }
                break;
            case 12:
                queries(b, in, ref, ref_ok);
                break;
            case 13:
                round_trips(b, in);
                break;
            case 14: {
                const Board copy = b;
                CHECK(same_record(copy, b), b);
                MoveList generated;
                const Board before = b;
                try {
                    b.legal_moves(generated);
                    CHECK(ref_ok && same_list(generated, ref), b);
                } catch (const Panic&) {
                    CHECK(!ref_ok, b);
                }
                CHECK(same_record(b, before), b);
                (void)b.render();
                break;
            }
            case 15: {
                Board trial = b;
                try {
                    trial.apply_uci(in.slice(in.byte() % 8));
                } catch (const Invalid&) {
                    CHECK(same_record(trial, b), b);
                }
                break;
            }
        }
    }
}

}  // namespace

// The games of a PGN text, split from blocks of the sizes `sizes` gives.
std::vector<std::pair<Headers, std::string>> split(std::string_view text, Input& sizes) {
    PgnReader reader(false);
    std::vector<std::pair<Headers, std::string>> games;
    std::size_t fed = 0;
    for (;;) {
        RawGame raw;
        const auto status = reader.next_raw(raw);
        if (status == PgnReader::Status::END) return games;
        if (status == PgnReader::Status::GAME) {
            games.emplace_back(raw.headers, std::string(raw.movetext));
            continue;
        }
        if (fed == text.size()) {
            reader.finish();
            continue;
        }
        const std::size_t n = std::min<std::size_t>(text.size() - fed, 1 + sizes.byte() % 64);
        reader.feed(text.substr(fed, n));
        fed += n;
    }
}

// PGN text: split in blocks of any size it reads as it reads whole; every
// game that plays gets a tree whose mainline is the board's, a text written
// back, and bytes that read back to the same tree; nothing but Invalid is
// thrown.
void pgn(std::string_view text) {
    Input whole_sizes(std::string_view("\xff\xff\xff\xff"));
    Input block_sizes(text);
    const auto whole = split(text, whole_sizes);
    const auto blocks = split(text, block_sizes);
    const Board empty;
    CHECK(whole == blocks, empty);
    for (const auto& [headers, movetext] : whole) {
        RawGame raw;
        for (const auto& [name, value] : headers) raw.tags.emplace_back(name, value);
        raw.movetext = movetext;
        raw.number = 1;
        PgnGame game;
        try {
            PgnReader::play(raw, game, true);
        } catch (const Invalid&) {
            continue;
        }
        if (game.walked) {
            // The walk and the board must read the same moves.
            Board played(game.board);
            MainlineNotes notes;
            played.apply_movetext(movetext, notes);
            const Board replayed = replay(game.board, game.moves);
            CHECK(same_record(played, replayed), played);
            CHECK(notes.spans == game.notes.spans && notes.first == game.notes.first &&
                      notes.nags == game.notes.nags && notes.plain == game.notes.plain &&
                      notes.has_cr == game.notes.has_cr,
                  played);
            game.board = replayed;
        }
        const auto& history = game.board.history;
        const BoardState start = history.empty() ? game.board.state() : history.front().state;
        std::vector<Move> mainline;
        for (const auto& e : history) mainline.push_back(e.move);
        const GameTree tree = annotate(start, movetext, mainline);
        CHECK(tree.lines[0].plies.size() == mainline.size(), game.board);
        try {
            (void)annotated_pgn(headers, start, tree);
        } catch (const Invalid&) {
        }
        const std::string bytes = tree_to_bytes(start, tree);
        const auto [start2, tree2] = tree_from_bytes(bytes);
        CHECK(tree_to_bytes(start2, tree2) == bytes, game.board);
        for (std::size_t cut = 0; cut < bytes.size(); cut += 1 + bytes.size() / 16) {
            try {
                (void)tree_from_bytes(bytes.substr(0, cut));
                fail("truncated tree bytes read", game.board);
            } catch (const Invalid&) {
            }
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // Inputs opening with "PGN\n" are PGN text; the rest a FEN line and a program.
    if (input.starts_with("PGN\n")) {
        pgn(input.substr(4));
        return 0;
    }
    const std::size_t newline = input.find('\n');
    const std::string_view fen = input.substr(0, newline);
    Input program(newline == std::string_view::npos ? std::string_view{} : input.substr(newline + 1));
    // Every other exception is a finding: each operation catches what its
    // contract lets it throw.
    if (auto b = read(fen)) run(*b, program);
    return 0;
}
