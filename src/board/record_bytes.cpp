// A board's whole record as bytes, for pickling: little-endian fixed-width
// fields, so that the bytes read back the same on every platform.

#include <cstring>

#include "board.h"

namespace board {

namespace {

constexpr char MAGIC[4] = {'T', 'M', 'B', '2'};
constexpr std::uint32_t NO_PROMOTION = 0xFFFFFFFFu;

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    void u8(std::uint8_t v) { out_ += static_cast<char>(v); }
    // Little-endian on every host, put together in a register and appended
    // at once: a history is thousands of these.
    void u32(std::uint32_t v) { little_endian<4>(v); }
    void u64(std::uint64_t v) { little_endian<8>(v); }
    void text(const Text& t) {
        u8(t.present());
        if (!t.present()) return;
        u32(static_cast<std::uint32_t>(t.view().size()));
        out_ += t.view();
    }
    void state(const BoardState& s) {
        for (Bitboard k : s.kinds) u64(k);
        for (Bitboard c : s.colors) u64(c);
        u32(s.half_move_clock);
        u32(s.full_move_number);
        text(s.castling_rights);
        u8(s.en_passant_square.has_value());
        u8(s.en_passant_square.value_or(0));
        // A Fischer random state marks its turn byte and adds its rooks, so
        // a standard board's bytes are what they always were.
        u8(static_cast<std::uint8_t>(s.turn | (s.chess960 ? 2 : 0)));
        if (s.chess960) {
            u8(static_cast<std::uint8_t>(s.castling_files));
            u8(static_cast<std::uint8_t>(s.castling_files >> 8));
        }
    }
    void move(const Move& m) {
        u32(m.from_square);
        u32(m.to_square);
        u32(m.promotion ? static_cast<std::uint32_t>(*m.promotion) : NO_PROMOTION);
    }

private:
    template <int N>
    void little_endian(std::uint64_t v) {
        char bytes[N];
        for (int i = 0; i < N; ++i) bytes[i] = static_cast<char>(static_cast<std::uint8_t>(v >> (8 * i)));
        out_.append(bytes, N);
    }

    std::string& out_;
};

class Reader {
public:
    explicit Reader(std::string_view in) : in_(in) {}
    std::uint8_t u8() {
        need(1);
        return static_cast<std::uint8_t>(in_[pos_++]);
    }
    std::uint32_t u32() {
        need(4);
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t{static_cast<std::uint8_t>(in_[pos_++])} << (8 * i);
        return v;
    }
    std::uint64_t u64() {
        need(8);
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t{static_cast<std::uint8_t>(in_[pos_++])} << (8 * i);
        return v;
    }
    bool flag() {
        const std::uint8_t v = u8();
        if (v > 1) fail();
        return v;
    }
    std::string_view bytes(std::uint32_t n) {
        need(n);
        const std::string_view v = in_.substr(pos_, n);
        pos_ += n;
        return v;
    }
    void text(Text& t) {
        if (!flag()) return t.reset();
        t.assign(utf8(bytes(u32())));
    }
    // Python's texts are well-formed UTF-8; nothing else came from a board.
    static std::string_view utf8(std::string_view s) {
        std::string again;
        for (std::size_t i = 0; i < s.size();) {
            const char32_t c = next_code_point(s, i);
            if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) fail();
            append_utf8(again, c);
        }
        if (again != s) fail();
        return s;
    }
    void state(BoardState& s) {
        for (Bitboard& k : s.kinds) k = u64();
        for (Bitboard& c : s.colors) c = u64();
        s.half_move_clock = u32();
        s.full_move_number = u32();
        text(s.castling_rights);
        s.decode_castling();
        const bool ep = flag();
        const std::uint8_t square = u8();
        if (ep && !possible_en_passant(square)) fail();
        s.en_passant_square = ep ? std::optional<std::uint8_t>(square) : std::nullopt;
        const std::uint8_t turn = u8();
        if (turn > 3) fail();
        s.turn = turn & 1;
        s.chess960 = (turn & 2) != 0;
        if (s.chess960) {
            const std::uint8_t white = u8();
            s.castling_files = static_cast<std::uint16_t>(white | u8() << 8);
        }
        // The key is worked out again, never taken on trust; the class, on first need.
        s.piece_key = piece_key_of(s);
        s.forget_class();
    }
    Move move() {
        const Square from = u32(), to = u32();
        const std::uint32_t promotion = u32();
        if (promotion == NO_PROMOTION) return Move(from, to);
        if (promotion > 0x10FFFF || (promotion >= 0xD800 && promotion <= 0xDFFF)) fail();
        return Move(from, to, static_cast<char32_t>(promotion));
    }
    std::size_t left() const { return in_.size() - pos_; }
    // The squares a board can hold: a move's (0 to 63) and the FEN reader's,
    // file + 8 * (digit - 1) for files a to h and digits 0 to 9, which wraps
    // below a1 to 248 and up. Any other makes the move generators panic.
    static bool possible_en_passant(std::uint8_t square) { return square <= 71 || square >= 248; }
    [[noreturn]] static void fail() { throw Invalid("the bytes are not a pickled Board"); }

private:
    void need(std::size_t n) const {
        if (in_.size() - pos_ < n) fail();
    }
    std::string_view in_;
    std::size_t pos_ = 0;
};

// The fewest bytes a state or a history entry can take: a guard against
// counts that promise more than the input holds.
constexpr std::size_t MIN_STATE_BYTES = 8 * 8 + 4 + 4 + 1 + 2 + 1;
constexpr std::size_t MIN_ENTRY_BYTES = 12 + MIN_STATE_BYTES;

}  // namespace

std::string Board::to_bytes() const {
    std::string out;
    out.reserve(sizeof MAGIC + 4 + starting_fen.view().size() + 4 + (history.size() + 1) * (MIN_ENTRY_BYTES + 8));
    out.append(MAGIC, sizeof MAGIC);
    Writer w(out);
    w.u32(static_cast<std::uint32_t>(starting_fen.view().size()));
    out += starting_fen.view();
    w.state(*this);
    w.u32(static_cast<std::uint32_t>(history.size()));
    for (const HistoryEntry& e : history) {
        w.move(e.move);
        w.state(e.state);
    }
    return out;
}

Board Board::from_bytes(std::string_view bytes) {
    Reader r(bytes);
    if (r.bytes(sizeof MAGIC) != std::string_view(MAGIC, sizeof MAGIC)) Reader::fail();
    const std::string_view fen = Reader::utf8(r.bytes(r.u32()));
    Board b{BoardState{}};
    if (fen == STARTING_FEN) {
        b.starting_fen = Text::from_static(STARTING_FEN);
    } else {
        // Every board's starting text was read once; one the reader refuses
        // would make set_board() and the game record panic later.
        try {
            Board probe(fen);
        } catch (const Panic&) {
            Reader::fail();
        }
        b.starting_fen.assign(fen);
    }
    r.state(b.state());
    const std::uint32_t count = r.u32();
    if (count > r.left() / MIN_ENTRY_BYTES) Reader::fail();
    b.history.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        HistoryEntry& e = b.history.emplace_back();
        e.move = r.move();
        r.state(e.state);
        // A board is of one mode for its whole life.
        if (e.state.chess960 != b.chess960) Reader::fail();
    }
    if (r.left()) Reader::fail();
    return b;
}

}  // namespace board

// ---------------------------------------------------------------- game trees

namespace board {

namespace {

constexpr char TREE_MAGIC[4] = {'T', 'M', 'G', '1'};

void write_string(Writer& w, std::string& out, std::string_view s) {
    w.u32(static_cast<std::uint32_t>(s.size()));
    out += s;
}

[[noreturn]] void not_a_tree() { throw Invalid("the bytes are not a pickled Game"); }

}  // namespace

std::string tree_to_bytes(const BoardState& start, const GameTree& tree) {
    std::string out(TREE_MAGIC, sizeof TREE_MAGIC);
    Writer w(out);
    w.state(start);
    write_string(w, out, tree.comment);
    w.u8(tree.result.has_value());
    if (tree.result) write_string(w, out, *tree.result);
    w.u32(static_cast<std::uint32_t>(tree.lines.size()));
    for (const Line& line : tree.lines) {
        w.u32(line.parent.line);
        w.u32(static_cast<std::uint32_t>(line.parent.ply));
        w.u8(line.first_turn);
        w.u32(static_cast<std::uint32_t>(line.plies.size()));
        for (const AnnotatedPly& p : line.plies) {
            w.move(p.move);
            write_string(w, out, p.comment);
            write_string(w, out, p.starting_comment);
            w.u32(static_cast<std::uint32_t>(p.nags.size()));
            for (std::uint64_t n : p.nags) w.u64(n);
            w.u32(static_cast<std::uint32_t>(p.variations.size()));
            for (std::uint32_t v : p.variations) w.u32(v);
        }
    }
    return out;
}

// Every reference is checked, so no bytes can make a tree whose walk leaves
// it or loops: a line hangs only from an earlier one, and a move's
// alternatives are later lines.
std::pair<BoardState, GameTree> tree_from_bytes(std::string_view bytes) {
    try {
        Reader r(bytes);
        if (r.bytes(sizeof TREE_MAGIC) != std::string_view(TREE_MAGIC, sizeof TREE_MAGIC)) not_a_tree();
        BoardState start;
        r.state(start);
        GameTree tree;
        tree.comment = r.bytes(r.u32());
        if (r.flag()) tree.result = std::string(r.bytes(r.u32()));
        const std::uint32_t count = r.u32();
        if (count == 0 || count > r.left() / 13) not_a_tree();
        tree.lines.assign(count, Line{});
        for (std::uint32_t i = 0; i < count; ++i) {
            Line& line = tree.lines[i];
            line.parent.line = r.u32();
            line.parent.ply = static_cast<std::int32_t>(r.u32());
            line.first_turn = r.flag();
            if (i > 0 && (line.parent.line >= i || line.parent.ply < -1 ||
                          line.parent.ply >= static_cast<std::int32_t>(tree.lines[line.parent.line].plies.size())))
                not_a_tree();
            const std::uint32_t plies = r.u32();
            if (plies > r.left() / 24 || (i > 0 && plies == 0)) not_a_tree();
            line.plies.resize(plies);
            for (AnnotatedPly& p : line.plies) {
                p.move = r.move();
                p.comment = r.bytes(r.u32());
                p.starting_comment = r.bytes(r.u32());
                const std::uint32_t nags = r.u32();
                if (nags > r.left() / 8) not_a_tree();
                for (std::uint32_t k = 0; k < nags; ++k) p.nags.push_back(r.u64());
                const std::uint32_t vars = r.u32();
                if (vars > r.left() / 4) not_a_tree();
                for (std::uint32_t k = 0; k < vars; ++k) {
                    const std::uint32_t v = r.u32();
                    if (v <= i || v >= count) not_a_tree();
                    p.variations.push_back(v);
                }
            }
        }
        if (r.left()) not_a_tree();
        return {start, std::move(tree)};
    } catch (const Invalid&) {
        not_a_tree();
    }
}

}  // namespace board
