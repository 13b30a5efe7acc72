#pragma once

// The engine: plain records and their operations. This is the one header the
// binding includes; nothing here knows about Python.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "policy.h"
#include "polyglot_random.h"
#include "tables.h"
#include "text.h"
#include "types.h"

namespace board {

struct Move {
    Square to_square = 0;
    Square from_square = 0;
    std::optional<char32_t> promotion;

    Move() = default;
    constexpr Move(Square from, Square to, std::optional<char32_t> promo = std::nullopt)
        : to_square(to), from_square(from), promotion(promo) {}

    // UCI text; squares above 63 still get a name (file of s mod 8, rank of
    // (s mod 256) / 8 + 1), and the promotion letter is printed as stored.
    std::string uci() const;
    // Parses "e2e4" / "e7e8q"; std::nullopt for anything else.
    static std::optional<Move> from_uci(std::string_view text);
};

// A list of moves that lives on the stack for every position a game can reach
// and spills to the heap only for contrived piece sets.
class MoveList {
public:
    static constexpr std::size_t INLINE_CAPACITY = 256;

    MoveList() noexcept : data_(inline_data()), size_(0), capacity_(INLINE_CAPACITY) {}
    MoveList(const MoveList&) = delete;
    MoveList& operator=(const MoveList&) = delete;

    void push_back(const Move& m) {
        if (size_ == capacity_) grow();
        data_[size_++] = m;
    }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    void clear() noexcept { size_ = 0; }
    const Move& operator[](std::size_t i) const noexcept { return data_[i]; }
    Move& operator[](std::size_t i) noexcept { return data_[i]; }
    const Move* begin() const noexcept { return data_; }
    const Move* end() const noexcept { return data_ + size_; }
    // Drops entries from `n` on.
    void truncate(std::size_t n) noexcept {
        if (n < size_) size_ = n;
    }

private:
    Move* inline_data() noexcept { return reinterpret_cast<Move*>(storage_); }
    void grow();

    Move* data_;
    std::size_t size_;
    std::size_t capacity_;
    std::unique_ptr<Move[]> heap_;
    alignas(Move) unsigned char storage_[INLINE_CAPACITY * sizeof(Move)];
};

// The order the piece-letter tables list the kinds in; play looks for a
// moving or captured piece in this order, and where sets overlap the later
// kind is the one a square shows.
inline constexpr std::array<PieceKind, KIND_NB> LETTER_ORDER{PAWN, ROOK, KNIGHT, BISHOP, QUEEN, KING};

// The piece a square shows: black over white, and the later kind of
// LETTER_ORDER where sets overlap, as the text forms print it. An empty
// square, the commonest answer, is told by the colours alone.
constexpr std::optional<Piece> piece_on(const Placement& p, Square s) {
    const bool black = (p.colors[BLACK] >> s) & 1;
    const bool white = (p.colors[WHITE] >> s) & 1;
    if (!(black || white)) return std::nullopt;
    // The last kind of LETTER_ORDER to claim the square wins: a test and a
    // select per kind, cheaper than gathering the six bits into an index.
    const Bitboard bit = square_bb(s);
    unsigned kind = KIND_NB;
    for (PieceKind k : LETTER_ORDER) kind = (p.kinds[k] & bit) ? static_cast<unsigned>(k) : kind;
    if (kind == KIND_NB) return std::nullopt;
    return Piece{black ? BLACK : WHITE, static_cast<PieceKind>(kind)};
}

// Calls f(square, piece) once for each square that shows a piece, as
// piece_on shows it, in no set order. On a well-formed placement the sets
// name every piece directly, with no square-by-square reading.
template <typename F>
constexpr void for_each_piece(const Placement& p, F&& f) {
    if (!p.malformed()) {
        for (Color c : {WHITE, BLACK})
            for (unsigned k = 0; k < KIND_NB; ++k)
                for (Bitboard b = p.kinds[k] & p.colors[c]; b; b &= b - 1)
                    f(static_cast<Square>(std::countr_zero(b)), Piece{c, static_cast<PieceKind>(k)});
        return;
    }
    for (Bitboard b = p.occupied(); b; b &= b - 1) {
        const auto s = static_cast<Square>(std::countr_zero(b));
        if (const auto piece = piece_on(p, s)) f(s, *piece);
    }
}

struct BoardState;

// Where a position stands for the fast generator (fast/fast.h), which answers
// only for positions it reproduces the reference on:
//   OUTSIDE  not fast::is_normal: the reference answers everything;
//   NORMAL   normal, but the side not to move is in check (no game reaches
//            it): the entries that need only a normal position answer;
//   ANSWERS  normal, the side not to move not in check: every entry answers.
// fast::classify is the one function that decides it. BoardState::fast_class()
// calls it the first time a fast entry asks and keeps the answer in the
// record, so that a position is classified once, not at every entry.
// Every writer of a field the class reads (placement, side to move, en
// passant square, castling text, the Fischer random mode) calls
// forget_class(): the FEN reader, the set_pieces writers,
// the castling-text writers (through decode_castling), apply_move and
// apply_move960, _restore, the record bytes reader, the binding's turn
// setter. Undo copies back a snapshot with the class it had, which is right,
// as the reference's TurnGuard puts back the class of the turn it restores.
// Only apply_legal may set a class it did not classify: a legal move from
// a position that answers leads to one that answers (the placement stays
// well-formed with one king each, a promotion leaves no pawn on a last rank,
// the en passant square is set behind the pawn that stepped, castling
// letters are only ever taken away, and the side that moved is not in check),
// so a game reader classifies its start and no position after it.
// The sanitizer build (TAVRINMOSS_CHECK_CLASS) classifies again at every read
// of a kept class and panics where they differ: a writer that forgot.
//
// In this order: ANSWERS is NORMAL and more, and a kept UNKNOWN reaches
// neither, so a single comparison asks whether a kept class will do.
enum class FastClass : std::uint8_t { UNKNOWN, OUTSIDE, NORMAL, ANSWERS };
namespace fast {
FastClass classify(const BoardState& b);
}

// The position fields of a board: what a move changes and undo copies back.
struct BoardState : Placement {
    std::uint32_t half_move_clock = 0;
    std::uint32_t full_move_number = 0;
    Text castling_rights;
    std::optional<std::uint8_t> en_passant_square;
    bool turn = true;
    // Fischer random chess: castling reads the rooks that hold rights
    // (castling_files: bit f white's rook on file f of the first rank, bit
    // 8 + f black's on the eighth) and the kings where they stand, and the
    // castling text is the X-FEN field written from them. Fixed for a
    // board's life: a mode, not a property of one position.
    bool chess960 = false;
    std::uint16_t castling_files = 0;
    // The castling text as read_castling_letters reads it, kept by every
    // writer of the text (decode_castling) so that no reader loops over it.
    CastlingLetters castling_letters;
    // What FastClass says of the position, UNKNOWN until asked. Not part of
    // the position: equal positions compare equal whatever each has kept,
    // and it is never written out. Mutable because a query that reads the
    // record keeps it; a record is only ever used by one thread at a time.
    struct ClassCache {
        FastClass value = FastClass::UNKNOWN;
        friend constexpr bool operator==(ClassCache, ClassCache) noexcept { return true; }
    };
    mutable ClassCache class_cache;
    // The piece part of the Polyglot key, kept up to date by every writer of
    // the placement, so that the key costs O(1) and history needs no replay.
    std::uint64_t piece_key = 0;

    // To be called by whatever writes castling_rights.
    void decode_castling() noexcept {
        castling_letters = castling_rights.present() ? read_castling_letters(castling_rights.view()) : CastlingLetters{};
        forget_class();
    }

    // The position's FastClass, classified on the first call after a write.
    FastClass fast_class() const {
        if (class_cache.value == FastClass::UNKNOWN) {
            class_cache.value = fast::classify(*this);
        } else {
#ifdef TAVRINMOSS_CHECK_CLASS
            if (fast::classify(*this) != class_cache.value)
                throw Panic("the kept fast class " + std::to_string(static_cast<int>(class_cache.value)) +
                            " is stale: a writer of the position did not forget it");
#endif
        }
        return class_cache.value;
    }
    // Whether the class is `needed` (NORMAL or ANSWERS) or above: a single
    // test where the class is kept and suffices, as on every move of a game.
    bool fast_class_reaches(FastClass needed) const {
#ifndef TAVRINMOSS_CHECK_CLASS
        if (class_cache.value >= needed) [[likely]]
            return true;
#endif
        return fast_class() >= needed;
    }
    // To be called by whatever writes the fields the class reads.
    void forget_class() noexcept { class_cache.value = FastClass::UNKNOWN; }

    Color us() const noexcept { return color_of_turn(turn); }
    Color them() const noexcept { return opposite(us()); }

    friend bool operator==(const BoardState&, const BoardState&) = default;
};

constexpr std::uint64_t polyglot_piece(Piece p, Square s) {
    return POLYGLOT_RANDOM[64 * (2 * p.kind + (p.color == WHITE ? 1 : 0)) + s];
}
std::uint64_t piece_key_of(const Placement& p);
// The rights of the text whose king and rook stand at home, as castling_bit
// sets: the rights that can still ever castle. In Fischer random chess the
// king side is the rook east of its king.
std::uint8_t clean_castling_bits(const BoardState& s);

// ------------------------------------------------ Fischer random castling
// (chess960.cpp). Castling is king takes own rook; the king ends on the g or
// c file, the rook on the f or d file.

// The rooks that may still castle: in Fischer random chess, of
// castling_files, those standing on their colour's first rank beside a king
// of that rank, the outermost one on each side of it; in standard chess the
// corner rooks of the rights clean_castling_bits keeps.
Bitboard castling_rooks(const BoardState& s);
// The rooks castling_files names, as the text read them or the last move
// left them, whatever stands there now.
constexpr Bitboard held_castling_rooks(const BoardState& s) {
    return Bitboard{s.castling_files & 0xFFu} | Bitboard{static_cast<std::uint16_t>(s.castling_files >> 8)} << 56;
}
// The geometry of castling with the rook on `rook`, the king on `king`
// (both on one first rank).
Castling castling_plan(Square king, Square rook);
// The plan of each right that can still castle, by colour and side, and
// the rights as castling_bit sets.
struct CastlingPlans {
    std::array<std::array<Castling, 2>, 2> plan{};
    std::uint8_t bits = 0;
};
CastlingPlans castling_plans(const BoardState& s);
// Whether castling by `plan` (Fischer random or standard) is legal for `us`
// now: the squares between king, rook and their destinations empty but for
// the two of them, no square the king stands on or crosses attacked, nor its
// destination once the rook has moved.
bool castling_legal_now(const Placement& p, Color us, const Castling& plan);
// The rooks a castling field names (X-FEN or Shredder-FEN), read against
// the placement; std::nullopt for a field of another form.
std::optional<Bitboard> read_castling_field(const Placement& p, std::string_view field);
// The castling field of the rights that can still castle, in X-FEN (a file
// letter only for a rook with another rook further out on its side) or in
// Shredder-FEN (file letters), "-" for none.
std::string castling_field(const BoardState& s, bool shredder);
// Gives the position the rooks `rooks` as its rights, and the text to match.
void set_castling_rooks(BoardState& s, Bitboard rooks);
// The Polyglot key of a position.
std::uint64_t zobrist_hash(const BoardState& s);
// Whether the side to move has a legal en passant capture; the board is
// never touched.
bool has_legal_en_passant(const BoardState& s);

// How a game ended; a draw has no winner.
enum class Termination : std::uint8_t {
    CHECKMATE, STALEMATE, INSUFFICIENT_MATERIAL, SEVENTYFIVE_MOVES, FIVEFOLD_REPETITION,
    FIFTY_MOVES, THREEFOLD_REPETITION,
};
struct Outcome {
    Termination termination;
    std::optional<Color> winner;
};
std::string_view termination_name(Termination t);

// What a move leaves the opponent in: the suffix SAN gives it.
enum class Check : std::uint8_t { NONE, CHECK, MATE };

// One applied move and the position it was played from. Keeping both in one
// entry makes the move list and the snapshot list the same length by
// construction.
struct HistoryEntry {
    Move move;
    BoardState state;
};

// Deeper perft trees recurse further than a thread's stack is sure to
// hold; only positions with a single line of play ever finish near it.
inline constexpr unsigned MAX_PERFT_DEPTH = 256;

inline constexpr std::string_view STARTING_FEN =
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

struct DiagramOptions;
struct MainlineNotes;
namespace fast {
struct Walk;
}

class Board : public BoardState {
public:
    // Reads `fen` (the standard start when absent); throws Panic on the
    // reader's failures.
    explicit Board(std::optional<std::string_view> fen = std::nullopt);
    // A scratch board on a position, with no starting text or history.
    explicit Board(const BoardState& position) : BoardState(position) {}

    Text starting_fen;
    std::vector<HistoryEntry> history;

    // Position model.
    void set_board();
    void set_pieces_or(char32_t letter, Bitboard mask);
    void set_pieces_xor(char32_t letter, Bitboard mask);
    Bitboard get_pieces(char32_t letter) const;
    std::string render() const;
    std::string fen() const;
    // When the en passant field names its square: python-chess's "legal"
    // (a legal capture there), "fen" (after every double step, as fen())
    // and "xfen" (a pawn of the side to move beside the pawn that stepped).
    enum class EnPassantField { LEGAL, FEN, XFEN };
    std::string fen(EnPassantField field) const;
    bool has_pseudo_legal_en_passant() const;
    std::size_t heap_bytes() const noexcept;

    // Move generation; every list is in the order Python sees.
    void pawn_moves(MoveList& out) const;
    void knight_moves(MoveList& out) const;
    void king_moves(MoveList& out) const;
    void bishop_moves(MoveList& out) const;
    void rook_moves(MoveList& out) const;
    void queen_moves(MoveList& out) const;
    void pseudo_legal_moves(MoveList& out) const;
    bool _is_attacked(std::uint8_t square);
    bool is_check();
    void _castling_moves(MoveList& out);
    void legal_moves(MoveList& out);

    // Game progression.
    bool _reset_half_move_clock(Bitboard from_mask, Bitboard to_mask) const;
    bool _check_castling_rights() const;
    void _remove_castling_rights(char32_t id);
    void apply_move(const Move& mov);
    // apply_move for a move the caller knows to be legal here (a reader
    // found it among the legal moves): a position that answers leads to one
    // that answers, so that class is kept (see FastClass).
    void apply_legal(const Move& m) {
        const bool answers = class_cache.value == FastClass::ANSWERS;
        apply_move(m);
        if (answers) class_cache.value = FastClass::ANSWERS;
    }
    Move pop();
    void _restore(const BoardState& state);
    bool is_checkmate();
    bool is_stalemate();
    bool is_game_over();
    // Invalid above MAX_PERFT_DEPTH; Interrupted when `stop` asks.
    std::uint64_t perft(unsigned depth, StopPoll stop = nullptr);

    // Rules and queries beside the specified surface (rules.cpp). They never
    // panic: a position whose legal moves are undefined (the reference would
    // panic on it) gives Invalid, and a failure changes nothing.
    // Square arguments are 0..63 (the binding checks them).
    std::optional<Piece> piece_at(Square s) const { return piece_on(*this, s); }
    std::optional<Square> king(Color c) const;
    Bitboard attackers(Color c, Square s) const;
    Bitboard checkers() const;
    bool is_attacked_by(Color c, Square s) const { return attackers(c, s) != 0; }
    bool is_pinned(Color c, Square s) const;
    // The legal list, or Invalid naming the position where it is undefined.
    void checked_legal_moves(MoveList& out);
    bool is_pseudo_legal(const Move& m);
    bool is_legal(const Move& m);
    bool is_capture(const Move& m) const;
    bool is_en_passant(const Move& m) const;
    bool is_castling(const Move& m) const;
    bool is_zeroing(const Move& m) const;
    bool gives_check(const Move& m);
    // Plays a legal move given as UCI text; Invalid ("invalid" / "illegal")
    // otherwise, with the board as before.
    Move apply_uci(std::string_view text);

    // Notation (san.cpp): SAN and long algebraic text of a legal move, SAN
    // read back in this position, a numbered line, and a whole PGN movetext
    // played at once. Every failure is Invalid naming the move or text and
    // the reason ("invalid", "illegal", "ambiguous"), with the board as before.
    std::string san(const Move& m) { return algebraic(m, false); }
    std::string lan(const Move& m) { return algebraic(m, true); }
    Move parse_san(std::string_view text);
    Move apply_san(std::string_view text);
    std::string variation_san(const std::vector<Move>& moves);
    // Plays the mainline of a movetext and returns the number of moves played.
    std::size_t apply_movetext(std::string_view text);
    // The same, noting where the mainline's comments stand as it reads them.
    std::size_t apply_movetext(std::string_view text, MainlineNotes& notes);

    std::uint64_t zobrist_hash() const { return board::zobrist_hash(*this); }
    bool has_insufficient_material(Color c) const;
    bool is_insufficient_material() const;
    bool is_seventyfive_moves();
    bool is_fifty_moves();
    bool can_claim_fifty_moves();
    bool is_repetition(std::uint64_t count);
    bool is_fivefold_repetition() { return is_repetition(5); }
    bool can_claim_threefold_repetition();
    bool can_claim_draw() { return can_claim_fifty_moves() || can_claim_threefold_repetition(); }
    std::optional<Outcome> outcome(bool claim_draw);
    // "1-0", "0-1", "1/2-1/2" or "*".
    std::string_view result(bool claim_draw);
    bool has_legal_en_passant();

    // Strict reading of FEN or 4-field EPD text (clocks default to "0 1"):
    // Invalid naming the faulty field. The lenient constructor stays as it is.
    // In Fischer random mode the castling field may be X-FEN or Shredder-FEN.
    static Board from_fen(std::string_view text, bool chess960 = false);
    // The Fischer random start numbered n (0..959, 518 the standard one).
    static Board from_chess960_pos(std::uint32_t n);
    // The FEN with the castling field as Shredder-FEN.
    std::string shredder_fen(EnPassantField field) const;
    // Whether the position could stand in a game: one king each, no pawn on
    // the first or last rank, the side not to move not in check, castling
    // rights and the en passant square consistent with the pieces.
    bool is_valid() const;
    // Moves played since the starting text, and the last of them (Invalid of
    // the Index kind when there is none).
    std::size_t ply() const noexcept { return history.size(); }
    const Move& peek() const;
    // The whole record (position, starting text, history) as portable bytes,
    // and back; `from_bytes` throws Invalid on anything it did not write.
    std::string to_bytes() const;
    static Board from_bytes(std::string_view bytes);
    // Pictures (picture.cpp). The grid of chess symbols, laid out as
    // python-chess lays it out; and an SVG diagram `size` pixels square
    // (1 or more: the binding checks it) with the last move and a checked
    // king marked.
    std::string unicode(bool invert_color, bool borders, std::string_view empty_square,
                        bool orientation) const;
    std::string svg(std::uint32_t size, bool orientation) const;
    // Options drawing what svg() draws: the last move played, a king in check.
    DiagramOptions diagram_defaults() const;
    std::string diagram(const DiagramOptions& options) const;

    // Arrays for learning (policy.cpp). The twelve piece sets (piece_sets'
    // order), and their planes into PLANES_BYTES bytes, from black's view
    // when `perspective` is set and black is to move.
    std::array<Bitboard, PLANE_COUNT> bitboards() const { return piece_sets(*this); }
    void planes(bool perspective, std::uint8_t* out) const noexcept;
    // The policy index (policy_index, from the side to move) of a legal move,
    // castling given as king takes rook included; Invalid for another move.
    std::uint16_t move_index(const Move& m);
    // The legal move with that index; Invalid where none has it, or for an
    // index outside 0..POLICY_SIZE - 1.
    Move move_from_index(std::uint64_t index);
    // Writes POLICY_SIZE bytes: 1 at the index of every legal move, 0
    // elsewhere. Invalid, with `out` untouched, where the position has no
    // legal moves defined.
    void legal_move_mask(std::uint8_t* out);

    BoardState& state() noexcept { return *this; }
    const BoardState& state() const noexcept { return *this; }

private:
    std::string fen_text(bool show_en_passant, bool shredder = false) const;
    // apply_move on a Fischer random board: king takes own rook castles.
    void apply_move960(const Move& mov);
    void read_fen();
    void reset_position() noexcept;
    bool any_legal_move();
    // The checks behind is_legal / is_pseudo_legal, for a move whose castling
    // is already written as the king's two-square step.
    bool is_legal_as_written(const Move& m);
    // What is_legal_as_written knows before the move is played: std::nullopt
    // when legality rests on the mover's king being safe after it. This and
    // mover_in_check are inline, defined in rules.cpp beside their callers:
    // every checked move passes through them.
    inline std::optional<bool> legality_before_play(const Move& m);
    // Plays `m` (castling as written) when it is legal; false, with the board
    // as before, when it is not.
    bool play_if_legal(const Move& m);
    // Whether the side that just moved left its king attacked.
    inline bool mover_in_check() const;
    bool is_pseudo_legal_as_written(const Move& m);
    // Whether playing the pseudo-legal `m` leaves the mover's king attacked.
    bool leaves_king_attacked(const Move& m);
    std::string algebraic(const Move& m, bool long_form);
    // The text of `m` (castling as the king's two-square step), or
    // std::nullopt when it is not legal.
    std::optional<std::string> notation(const Move& m, bool long_form);
    // The legal moves, castling excluded, of the side to move's `kind`
    // pieces standing on `from_mask` onto `to`; `out` is cleared first.
    void legal_moves_to(PieceKind kind, Bitboard from_mask, Square to, MoveList& out);
    // What the legal `m` (castling as the king's two-square step) does to the opponent's king.
    Check check_after(const Move& m);
};

// A colour of a diagram: SVG paint text and an opacity. Written "#rgba" or
// "#rrggbbaa", the alpha digits become the opacity, as SVG 1.1 has no
// colours with alpha.
struct Paint {
    std::string color;
    double opacity = 1.0;
};
// Reads a colour; Invalid for text that could break out of an attribute or
// refer to something outside the picture (url(...)).
Paint parse_paint(std::string_view text);

struct Arrow {
    Square tail;
    Square head;
    Paint paint;
};

// What a diagram shows beside the pieces, as python-chess's chess.svg.board
// takes it. The defaults draw the diagram svg(size, orientation) draws.
struct DiagramOptions {
    std::uint32_t size = 400;
    bool orientation = true;
    // Both squares tinted, where on the board; none when absent.
    std::optional<std::pair<Square, Square>> lastmove;
    std::optional<Square> check;
    std::vector<Arrow> arrows;
    std::vector<std::pair<Square, Paint>> fill;
    Bitboard squares = 0;
    bool coordinates = true;
    Paint light{"#efe3c8"}, dark{"#b38b66"}, light_lastmove{"#e3e48c"}, dark_lastmove{"#b9ae4f"};
    Paint margin{"#3d2e22"}, coord{"#efe3c8"};
};

// The move a king's step onto its own corner rook stands for: UCI writes
// castling as the king's two-square move, and some programs as king takes rook.
Move castling_alias(const BoardState& s, const Move& m);

// The move a SAN text names in a walk's position (fast.h) when it names one
// legal move there; std::nullopt for anything else, which Board::parse_san
// then answers or refuses with its reasons.
std::optional<Move> walk_san(const fast::Walk& w, std::string_view text);

// Takes back every move played since construction, however the scope is
// left, unless keep() is called first.
class Rewind {
public:
    explicit Rewind(Board& b) noexcept : board_(b), depth_(b.history.size()) {}
    Rewind(const Rewind&) = delete;
    Rewind& operator=(const Rewind&) = delete;
    ~Rewind() {
        while (board_.history.size() > depth_) board_.pop();
    }
    void keep() noexcept { depth_ = board_.history.size(); }

private:
    Board& board_;
    std::size_t depth_;
};

namespace reference {
// The straightforward algorithms: play each move and ask whether the king can
// be taken. They define the results; the fast generator must agree with them.
void castling_moves(Board& b, MoveList& out);
void legal_moves(Board& b, MoveList& out);
bool is_check(Board& b);
bool is_attacked(Board& b, std::uint8_t square);
std::uint64_t perft(Board& b, unsigned depth, StopCheck& check);
inline std::uint64_t perft(Board& b, unsigned depth) {
    StopCheck check;
    return perft(b, depth, check);
}
}  // namespace reference

// PGN files in and out: a reader that splits a stream of text into games,
// plays each one's mainline and keeps its annotations (pgn.cpp), and the
// export of a game.

using Headers = std::vector<std::pair<std::string, std::string>>;

// A game's annotations and variations, shaped as the game trees Python chess
// programs build: lines of play, each a run of moves; lines[0] is the
// mainline, every other line an alternative to one move of another line.
struct NodeRef {
    std::uint32_t line = 0;
    std::int32_t ply = -1;  // -1: the game's start, before the mainline's first move
};

struct AnnotatedPly {
    Move move;
    std::string comment;           // after the move
    std::string starting_comment;  // before it (in practice, only a variation's first move has one)
    std::vector<std::uint64_t> nags;         // ascending, each once
    std::vector<std::uint32_t> variations;   // the lines that are alternatives to this move
};

struct Line {
    std::vector<AnnotatedPly> plies;
    NodeRef parent;          // the node its first move is played from
    bool first_turn = true;  // the side that plays plies[0] (true for white)
};

struct GameTree {
    std::vector<Line> lines = std::vector<Line>(1);
    std::string comment;  // before the first move
    // The movetext's result token, when it gives one the Result tag lacks
    // ("*" or no tag): it then stands for the game's result.
    std::optional<std::string> result;
};

// Where a movetext's mainline comments stand, noted in the pass that plays
// the mainline, so that the comments, NAGs, evaluations and clocks of a game
// without variations are read without a second tokenization or a tree.
struct MainlineNotes {
    // Comment k's text is at spans[k] (offset, size) of the movetext, the
    // spaces inside its braces that the tree builder drops left out.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
    // The comments after ply p (1-based; 0: before the first move) are
    // spans[first[p]] up to spans[first[p + 1]].
    std::vector<std::uint32_t> first;
    // The NAGs of the mainline's moves (a glyph on a move's text included),
    // as (ply, value) in text order; those before the first move belong to
    // no move and are left out.
    std::vector<std::pair<std::uint32_t, std::uint64_t>> nags;
    // No parentheses: every comment belongs to the move before it. Otherwise
    // a comment's node is the tree builder's decision, and the notes are not
    // used.
    bool plain = true;
    // The movetext holds a carriage return: a comment's "\r\n" is read as
    // "\n", so its text is no longer a view of the movetext.
    bool has_cr = false;

    void clear() {
        spans.clear();
        first.clear();
        nags.clear();
        plain = true;
        has_cr = false;
    }
};

// The comment after mainline ply `ply` (0: the game's comment) as the tree
// builder gives it, from a game whose notes are plain: a view into
// `movetext` when one comment stands there as written, else joined into
// `buffer` and a view of that. Inline: nearly every ply has one comment,
// read where it stands; the others are joined out of line.
std::string_view joined_mainline_comment(std::string_view movetext, const MainlineNotes& notes, std::size_t ply,
                                         std::string& buffer);
inline std::string_view mainline_comment(std::string_view movetext, const MainlineNotes& notes, std::size_t ply,
                                         std::string& buffer) {
    const std::uint32_t from = notes.first[ply];
    if (notes.first[ply + 1] - from == 1 && !notes.has_cr)
        return movetext.substr(notes.spans[from].first, notes.spans[from].second);
    return joined_mainline_comment(movetext, notes, ply, buffer);
}

// One game of a file, played: the board after its mainline with the
// mainline as its history, or, when the fast generator's walk read it
// (`walked`), the board before its first move and the mainline in `moves`,
// for replay() to play onto it if the board is asked for. The walk reads
// moves for less than the board does; the replay costs about what it saved.
struct PgnGame {
    MainlineNotes notes;
    // Filled by the reader: an empty record until then, not a start position
    // read from FEN text for every game.
    Board board{BoardState{}};
    std::vector<Move> moves;
    bool walked = false;
};

// Reads the mainline of `text` from `start` on the fast generator's walk,
// noting comments as apply_movetext does. False when the walk cannot: a
// position outside its domain, or a move it does not read as the one legal
// move named (the board then plays the text, and reads it or says why not).
bool walk_movetext(const Board& start, std::string_view text, MainlineNotes& notes, std::vector<Move>& moves);

// `start` with `moves`, known legal there, played as its history.
Board replay(Board start, const std::vector<Move>& moves);

// The tree of a game whose mainline has been played: `start` is the position
// before its first move, `mainline` the moves read from `movetext`. Comments,
// NAGs and variations are read as the chess library Python users know reads
// them; a move that cannot be played in a variation ends that variation, and
// a variation opened before any move is passed over, as the mainline reader
// passes over it.
GameTree annotate(const BoardState& start, std::string_view movetext, const std::vector<Move>& mainline);

// A tag pair as it stands in the text.
using TagView = std::pair<std::string_view, std::string_view>;

// A game's text, split from the stream but not yet played. The views point
// into the reader's buffer: they are valid until the next feed() or
// reserve().
struct RawGame {
    std::vector<TagView> tags;  // in file order
    // The tags as strings: filled by next_raw, left as they were by next_split.
    Headers headers;
    std::string_view movetext;
    std::size_t number = 0;  // from 1, counting every game of the stream
    std::string_view first_line;
};

// Reads games from text that arrives in blocks of any size, in time linear in
// the text whatever its shape and with memory bounded by the largest game.
// Games end where the reader of the chess library Python users know ends
// them: at a blank line outside a comment, or at the end of the text; a tag
// line at the start of a movetext line ends one too.
class PgnReader {
public:
    enum class Status { GAME, NEED_INPUT, END };

    explicit PgnReader(bool skip_errors) noexcept : skip_errors_(skip_errors) {}

    void feed(std::string_view block);
    // Room for `size` bytes after the text fed so far, for a caller that
    // reads the next block straight into it instead of feeding a copy;
    // commit() then keeps the first `written` of them. The room is valid
    // until the next call on the reader.
    char* reserve(std::size_t size);
    void commit(std::size_t written) noexcept;
    // No more text will come.
    void finish() noexcept { eof_ = true; }
    // Whether readers sweep movetext with AVX2 where the processor has it
    // (the default) or with the narrower compares every x86-64 has: a switch
    // for tests, which check both. Not to be flipped while a reader splits.
    static void use_wide_sweep(bool wide) noexcept;
    bool skip_errors() const noexcept { return skip_errors_; }

    // The next game's text into `out`, its tags as views only, or
    // NEED_INPUT until feed() or finish(), or END. Nothing is played; `out`
    // keeps the room its tag list had, so a caller that keeps it allocates
    // nothing per game.
    Status next_split(RawGame& out);
    // next_split with the tags copied into out.headers as well.
    Status next_raw(RawGame& out);
    // Plays a game split by next_split: the board from its FEN tag, then the
    // mainline. A game that cannot be played (a bad FEN tag, an unreadable or
    // illegal mainline move) is Invalid naming its number, its first line and
    // the reason.
    // `walk`: the mainline is read on the fast walk where it can be (see
    // PgnGame), for a caller that may never ask for the board.
    static void play(const RawGame& raw, PgnGame& out, bool walk = false);
    // next_split and play in one, passing over games that cannot be played
    // when the reader skips errors.
    Status next(PgnGame& out);

private:
    // The line starting at `at` with its line end, or std::nullopt when it
    // is not complete yet.
    std::optional<std::string_view> line_at(std::size_t at) noexcept;

    enum class Phase : std::uint8_t { BEFORE, TAGS, MOVES };

    // The text held: bytes that grow without being zeroed first, since a
    // block is read straight into the room reserve() gives.
    class Bytes {
    public:
        std::string_view view() const noexcept { return {data_.get(), size_}; }
        std::size_t size() const noexcept { return size_; }
        char* data() noexcept { return data_.get(); }
        void drop_front(std::size_t n) noexcept;
        // Room for `extra` more bytes after the text, the text kept.
        void make_room(std::size_t extra);
        void resize_within(std::size_t n) noexcept { size_ = std::min(n, capacity_); }

    private:
        std::unique_ptr<char[]> data_;
        std::size_t size_ = 0, capacity_ = 0;
    };

    Bytes buffer_;
    std::size_t pos_ = 0;  // where the unread text starts
    std::size_t reserved_at_ = 0, reserved_ = 0;  // the room reserve() gave
    bool eof_ = false;
    bool skip_errors_;
    std::size_t games_ = 0;
    // Where a game that spans several blocks was left, so that no text is
    // read twice: offsets are from pos_, which stays at the game's start.
    Phase phase_ = Phase::BEFORE;
    std::size_t scan_ = 0;
    std::size_t moves_start_ = 0;
    std::size_t newline_from_ = 0;  // no line end lies between scan_ and this
    bool blank_seen_ = false;
    bool in_comment_ = false;
    // Within the movetext: the last line start whose comment state
    // (in_comment_) is known, and whether a "%" line start came after it.
    std::size_t checked_ = 0;
    bool escape_seen_ = false;
    // The game's first line and tags, as views of the buffer where the
    // game starts at `game_start_`; follow_buffer() moves them with the
    // game's bytes when a block moves the buffer.
    void follow_buffer() noexcept;
    std::uintptr_t game_start_ = 0;
    std::string_view first_line_;
    std::vector<TagView> tags_;
};

// The PGN text of a board's game: the seven roster tags (from `headers`,
// unknown ones "?" and the date "????.??.??"), FEN and SetUp when the game
// starts elsewhere than the standard position, the other tags, then the
// movetext in SAN wrapped at 80 columns and the result (`headers`' Result,
// else the board's). Invalid when the history holds an illegal move, or when
// a tag's name or value would not read back as that one tag.
std::string game_pgn(Board& b, const Headers& headers);

// The PGN text of a game read from a file, annotations and variations
// included, as the exporter of the chess library Python users know writes the
// same game at 80 columns: the roster tags first ("?" where missing), the
// others in file order, the Result tag standing for the movetext's result.
std::string annotated_pgn(const Headers& headers, const BoardState& start, const GameTree& tree);

// The Result a read game stands for: its tag, or the movetext's result when
// the tag is missing or "*".
std::string game_result(const Headers& headers, const GameTree& tree);

// A read game's start and tree as portable bytes, for pickling, and back;
// `tree_from_bytes` throws Invalid on anything it did not write.
std::string tree_to_bytes(const BoardState& start, const GameTree& tree);
std::pair<BoardState, GameTree> tree_from_bytes(std::string_view bytes);

// Whether a Variant tag's value names Fischer random chess.
bool is_chess960_variant(std::string_view name) noexcept;
// The last value of a tag, as a dict of the tags keeps it.
std::optional<std::string_view> last_tag(const std::vector<TagView>& tags, std::string_view name) noexcept;
// The board a game starts from, as its tags give it: the FEN tag's
// position (the standard start without one), as a Fischer random board
// where the Variant tag names that. Invalid naming the tag when the
// position cannot be read.
Board game_start(std::optional<std::string_view> fen, bool chess960);

// Whether `name` can stand as a tag's name: a letter or digit, then letters,
// digits and "_+#=:-".
bool is_tag_name(std::string_view name) noexcept;

// UTF-8 text with Python's white space (str.isspace) taken off its ends.
std::string_view strip_py_space(std::string_view s, bool front = true, bool back = true) noexcept;

}  // namespace board
