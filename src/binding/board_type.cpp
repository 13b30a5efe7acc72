#include <array>
#include <bit>
#include <chrono>
#include <utility>
#include <new>

#include "binding/arrays.h"
#include "binding/call.h"
#include "binding/diagram.h"
#include "binding/type_cache.h"

namespace binding {

namespace {

using board::Board;
using board::Move;
using board::MoveList;
using board::Bitboard;

PyObject* wrap_board(PyTypeObject* type, Board&& record) noexcept {
    auto* obj = reinterpret_cast<BoardObject*>(type->tp_alloc(type, 0));
    if (!obj) return nullptr;  // `record` is destroyed by its owner
    new (&obj->borrow) BorrowFlag(0);
    new (&obj->record) Board(std::move(record));
    new (&obj->log) std::shared_ptr<MoveLog>();
    obj->log_valid = 0;
    return reinterpret_cast<PyObject*>(obj);
}

Signature NEW_SIG{"Board", "__new__", {"starting_fen"}, 1, 0};

PyObject* board_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* argv[MAX_PARAMS];
            if (!parse_tuple(NEW_SIG, args, kwargs, argv)) return nullptr;
            Arg<std::optional<std::string_view>> fen;
            if (!fen.load(argv[0])) return name_argument("starting_fen"), nullptr;
            Board record(fen.get());
            return wrap_board(type, std::move(record));
        },
        static_cast<PyObject*>(nullptr));
}

void board_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<BoardObject*>(self)->record.~Board();
    reinterpret_cast<BoardObject*>(self)->log.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

// Engine calls, one per Python callable. The parameter types choose the
// converters, so the lambdas are the whole declaration of each method.
template <void (Board::*Gen)(MoveList&) const>
constexpr auto list_of = [](const Board& b) {
    MoveList out;
    (b.*Gen)(out);
    return new_move_list(out.begin(), out.end());
};
template <void (Board::*Gen)(MoveList&)>
constexpr auto list_of_mut = [](Board& b) {
    MoveList out;
    (b.*Gen)(out);
    return new_move_list(out.begin(), out.end());
};

constexpr auto set_board = [](Board& b) { b.set_board(); };
constexpr auto get_pieces = [](const Board& b, char32_t piece_type) {
    return b.get_pieces(piece_type);
};
constexpr auto set_pieces_or = [](Board& b, char32_t piece_type, std::uint64_t bitboard) {
    b.set_pieces_or(piece_type, bitboard);
};
constexpr auto set_pieces_xor = [](Board& b, char32_t piece_type, std::uint64_t bitboard) {
    b.set_pieces_xor(piece_type, bitboard);
};
constexpr auto is_attacked = [](Board& b, std::uint8_t square) { return b._is_attacked(square); };
constexpr auto is_check = [](Board& b) { return b.is_check(); };
constexpr auto reset_half_move_clock = [](const Board& b, std::uint64_t from_mask,
                                          std::uint64_t to_mask) {
    return b._reset_half_move_clock(from_mask, to_mask);
};
constexpr auto check_castling_rights = [](const Board& b) { return b._check_castling_rights(); };
constexpr auto remove_castling_rights = [](Board& b, char32_t id) {
    b._remove_castling_rights(id);
};
constexpr auto apply_move = [](Board& b, const Move& mov) { b.apply_move(mov); };
constexpr auto is_checkmate = [](Board& b) { return b.is_checkmate(); };
constexpr auto is_stalemate = [](Board& b) { return b.is_stalemate(); };
constexpr auto is_game_over = [](Board& b) { return b.is_game_over(); };
constexpr auto restore = [](Board& b, const board::BoardState& board_state) {
    b._restore(board_state);
};
// A count may run for minutes, so it runs without the interpreter: it reads
// and writes only the record, which the exclusive borrow keeps from every
// other thread, and touches no Python object. Its poll takes the interpreter
// back for a moment to run the signal handlers; one that raises (SIGINT's
// does) stops the count. Taking it back waits for a busy thread to yield it
// (up to the switch interval, 5 ms), so it happens a few times a second
// rather than at every poll. A thread's state is the same object every time
// it is saved, so a count started by a signal handler inside the poll leaves
// this one's as it found it.
constexpr auto SIGNAL_CHECK_PERIOD = std::chrono::milliseconds(100);
thread_local PyThreadState* counting_thread = nullptr;
thread_local std::chrono::steady_clock::time_point signals_checked;
bool signal_raised() noexcept {
    const auto now = std::chrono::steady_clock::now();
    if (now - signals_checked < SIGNAL_CHECK_PERIOD) return false;
    signals_checked = now;
    PyEval_RestoreThread(counting_thread);
    const bool raised = PyErr_CheckSignals() != 0;
    counting_thread = PyEval_SaveThread();
    return raised;
}
class WithoutInterpreter {
public:
    WithoutInterpreter() noexcept {
        signals_checked = std::chrono::steady_clock::now();
        counting_thread = PyEval_SaveThread();
    }
    WithoutInterpreter(const WithoutInterpreter&) = delete;
    WithoutInterpreter& operator=(const WithoutInterpreter&) = delete;
    // Also while a Panic unwinds: the guard raises it with the interpreter held.
    ~WithoutInterpreter() { PyEval_RestoreThread(counting_thread); }
};
constexpr auto perft = [](Board& b, std::uint32_t depth) {
    WithoutInterpreter released;
    return b.perft(depth, signal_raised);
};
// fen(en_passant=..., shredder=False): omitted or None is "fen", the text as
// it always was.
constexpr auto fen = [](const Board& b, std::optional<std::string_view> en_passant, std::optional<bool> shredder) {
    Board::EnPassantField field = Board::EnPassantField::FEN;
    if (en_passant) {
        if (*en_passant == "legal")
            field = Board::EnPassantField::LEGAL;
        else if (*en_passant == "xfen")
            field = Board::EnPassantField::XFEN;
        else if (*en_passant != "fen")
            throw board::Invalid("en_passant must be \"legal\", \"fen\" or \"xfen\", not '" +
                                     std::string(*en_passant) + "'");
    }
    return shredder.value_or(false) ? b.shredder_fen(field) : b.fen(field);
};
// Board cannot be subclassed, so a copy is always of the one Board type.
constexpr auto copy = [](const Board& b) -> PyObject* {
    Board record(b);
    return wrap_board(board_type(), std::move(record));
};
constexpr auto deepcopy = [](const Board& b, PyObject*) { return copy(b); };
constexpr auto size_of = [](const Board& b) {
    return static_cast<std::uint64_t>(sizeof(BoardObject) + b.heap_bytes());
};
constexpr auto render = [](const Board& b) { return b.render(); };

constexpr auto get_turn = [](const Board& b) { return b.turn; };
constexpr auto set_turn = [](Board& b, bool turn) {
    b.turn = turn;
    b.forget_class();
};
constexpr auto get_half_move_clock = [](const Board& b) { return b.half_move_clock; };
constexpr auto get_full_move_number = [](const Board& b) { return b.full_move_number; };
constexpr auto get_castling_rights = [](const Board& b) -> PyObject* {
    if (!b.castling_rights.present()) return Py_NewRef(Py_None);
    return to_python(b.castling_rights.view());
};
constexpr auto get_en_passant_square = [](const Board& b) -> PyObject* {
    if (!b.en_passant_square) return Py_NewRef(Py_None);
    return PyLong_FromLong(*b.en_passant_square);
};
constexpr auto get_starting_fen = [](const Board& b) { return b.starting_fen.view(); };
constexpr auto get_chess960 = [](const Board& b) { return b.chess960; };
constexpr auto pop = [](Board& b) { return b.pop(); };

PyObject* board_get_move_stack(PyObject* self, void*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            if (!PyObject_TypeCheck(self, board_type())) return cannot_convert(self, "Board"), nullptr;
            return new_move_stack(reinterpret_cast<BoardObject*>(self));
        },
        static_cast<PyObject*>(nullptr));
}

// The method descriptor passes only a Board, as for every method.
PyObject* board_pop(PyObject* self, PyObject* unused) noexcept {
    assert(PyObject_TypeCheck(self, board_type()));
    PyObject* taken = noargs<Access::Exclusive, pop>(self, unused);
    auto* obj = reinterpret_cast<BoardObject*>(self);
    if (taken) keep_views(obj, obj->record.history.size());
    return taken;
}

// ---------------------------------------------------------------- game rules
// Additions beside the specified surface: they raise ValueError naming a bad
// input and leave the board as it was.

constexpr auto piece_at = [](const Board& b, BoardSquare square) { return b.piece_at(square.value); };
// The pieces are read out whole first, so building the dict (which may run
// a collection and so any finaliser) never reads the record. Keys and
// letters are the interpreter's immortal small ints and one-letter strings,
// lent to the dict, which takes its own references.
constexpr auto piece_map = [](const Board& b) -> PyObject* {
    constexpr std::uint8_t NONE = 0xFF;
    std::array<std::uint8_t, 64> shown;
    shown.fill(NONE);
    board::for_each_piece(b, [&](board::Square s, board::Piece piece) {
        shown[s] = static_cast<std::uint8_t>(piece.color * board::KIND_NB + piece.kind);
    });
    const Bitboard occupied = b.occupied();
    std::array<PyObject*, board::COLOR_NB * board::KIND_NB> letters{};
    Ref map(PyDict_New());
    if (!map) return nullptr;
    for (Bitboard s = occupied; s; s &= s - 1) {
        const int square = std::countr_zero(s);
        if (shown[square] == NONE) continue;
        PyObject*& letter = letters[shown[square]];
        if (!letter) {
            const auto color = static_cast<board::Color>(shown[square] / board::KIND_NB);
            const auto kind = static_cast<board::PieceKind>(shown[square] % board::KIND_NB);
            if (!(letter = borrowed_piece_letter({color, kind}))) return nullptr;
        }
        PyObject* key = square_object(square);
        if (!key || PyDict_SetItem(map.get(), key, letter) < 0) return nullptr;
    }
    return map.release();
};
constexpr auto pieces = [](const Board& b, board::Piece letter) { return b.pieces(letter.color, letter.kind); };
constexpr auto king = [](const Board& b, Side color) { return b.king(color.value); };
constexpr auto checkers = [](const Board& b) { return b.checkers(); };
constexpr auto attackers = [](const Board& b, Side color, BoardSquare square) {
    return b.attackers(color.value, square.value);
};
constexpr auto is_attacked_by = [](const Board& b, Side color, BoardSquare square) {
    return b.is_attacked_by(color.value, square.value);
};
constexpr auto is_pinned = [](const Board& b, Side color, BoardSquare square) {
    return b.is_pinned(color.value, square.value);
};
constexpr auto is_legal = [](Board& b, const Move& move) { return b.is_legal(move); };
constexpr auto is_pseudo_legal = [](Board& b, const Move& move) { return b.is_pseudo_legal(move); };
constexpr auto apply_uci = [](Board& b, std::string_view text) { return b.apply_uci(text); };
constexpr auto is_capture = [](const Board& b, const Move& move) { return b.is_capture(move); };
constexpr auto is_en_passant = [](const Board& b, const Move& move) { return b.is_en_passant(move); };
constexpr auto is_castling = [](const Board& b, const Move& move) { return b.is_castling(move); };
constexpr auto is_zeroing = [](const Board& b, const Move& move) { return b.is_zeroing(move); };
constexpr auto gives_check = [](Board& b, const Move& move) { return b.gives_check(move); };
constexpr auto zobrist_hash = [](const Board& b) { return b.zobrist_hash(); };
constexpr auto is_insufficient_material = [](const Board& b) { return b.is_insufficient_material(); };
constexpr auto is_seventyfive_moves = [](Board& b) { return b.is_seventyfive_moves(); };
constexpr auto is_fivefold_repetition = [](Board& b) { return b.is_fivefold_repetition(); };
constexpr auto is_repetition = [](Board& b, std::optional<Count> count) {
    return b.is_repetition(count ? count->value : 3);
};
constexpr auto can_claim_fifty_moves = [](Board& b) { return b.can_claim_fifty_moves(); };
constexpr auto can_claim_threefold_repetition = [](Board& b) { return b.can_claim_threefold_repetition(); };
constexpr auto can_claim_draw = [](Board& b) { return b.can_claim_draw(); };
constexpr auto outcome = [](Board& b, std::optional<bool> claim_draw) {
    return new_outcome(b.outcome(claim_draw.value_or(false)));
};
constexpr auto result = [](Board& b, std::optional<bool> claim_draw) {
    return b.result(claim_draw.value_or(false));
};

constexpr auto is_valid = [](const Board& b) { return b.is_valid(); };
constexpr auto ply = [](const Board& b) { return static_cast<std::uint64_t>(b.ply()); };
constexpr auto peek = [](const Board& b) { return b.peek(); };

Signature FROM_FEN_SIG{"Board", "from_fen", {"text", "chess960"}, 2, 1, 1};
Signature FROM_CHESS960_POS_SIG{"Board", "from_chess960_pos", {"n"}, 1, 1};
Signature SETSTATE_SIG{"Board", "__setstate__", {"state"}, 1, 1};

PyObject* board_from_fen(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(FROM_FEN_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            Arg<std::string_view> text;
            if (!text.load(argv[0])) return name_argument("text"), nullptr;
            Arg<std::optional<bool>> chess960;
            if (!chess960.load(argv[1])) return name_argument("chess960"), nullptr;
            return wrap_board(reinterpret_cast<PyTypeObject*>(cls),
                              Board::from_fen(text.get(), chess960.get().value_or(false)));
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* board_from_chess960_pos(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(FROM_CHESS960_POS_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            // Any integer: one outside 0..959 is refused by name, as a value.
            Ref index(PyNumber_Index(argv[0]));
            if (!index) return nullptr;
            int overflow = 0;
            long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (n == -1 && PyErr_Occurred()) return nullptr;
            if (overflow) n = -1;
            if (n < 0 || n > 959) {
                Ref shown(PyObject_Repr(argv[0]));
                if (!shown) return nullptr;
                PyErr_Format(PyExc_ValueError, "chess960 position number %U is not in 0..959", shown.get());
                return nullptr;
            }
            return wrap_board(reinterpret_cast<PyTypeObject*>(cls),
                              Board::from_chess960_pos(static_cast<std::uint32_t>(n)));
        },
        static_cast<PyObject*>(nullptr));
}

// Pickling: the class and the record's bytes; unpickling builds a start
// position and overwrites it whole.
PyObject* board_reduce(PyObject* self, PyObject*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            Receiver<Board, Access::Shared> recv;
            if (!recv.take(self)) return nullptr;
            const std::string bytes = recv.record().to_bytes();
            Ref state(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
            if (!state) return nullptr;
            return Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), state.get());
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* board_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(SETSTATE_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            if (!PyBytes_Check(argv[0])) return cannot_convert(argv[0], "bytes"), name_argument("state"), nullptr;
            char* data;
            Py_ssize_t size;
            if (PyBytes_AsStringAndSize(argv[0], &data, &size) < 0) return nullptr;
            Board record = Board::from_bytes(std::string_view(data, static_cast<std::size_t>(size)));
            Receiver<Board, Access::Exclusive> recv;
            if (!recv.take(self)) return nullptr;
            recv.record() = std::move(record);
            keep_views(reinterpret_cast<BoardObject*>(self), 0);
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}
// Pictures. Omitted or None arguments take python-chess's defaults.
constexpr std::string_view EMPTY_SQUARE = "\u2B58";
constexpr std::uint32_t DIAGRAM_SIZE = 400;
constexpr auto unicode = [](const Board& b, std::optional<bool> invert_color, std::optional<bool> borders,
                            std::optional<std::string_view> empty_square, std::optional<bool> orientation) {
    return b.unicode(invert_color.value_or(false), borders.value_or(false),
                     empty_square.value_or(EMPTY_SQUARE), orientation.value_or(true));
};
// Options beyond size and orientation follow python-chess's chess.svg.board;
// lastmove and check, omitted, mark what the board shows, and None nothing.
constexpr auto svg = [](const Board& b, PyObject* size, PyObject* orientation, PyObject* arrows, PyObject* fill,
                        PyObject* squares, PyObject* flipped, PyObject* lastmove, PyObject* check,
                        PyObject* coordinates, PyObject* colors) -> PyObject* {
    PyObject* const argv[] = {size, orientation, arrows, fill, squares, flipped, lastmove, check, coordinates, colors};
    board::DiagramOptions options;
    if (!read_diagram_options(b, argv, options)) return nullptr;
    return to_python(b.diagram(options));
};
constexpr auto repr_svg = [](const Board& b) { return b.svg(DIAGRAM_SIZE, true); };

// Notation.
constexpr auto san = [](Board& b, Move move) { return AsciiText{b.san(move)}; };
constexpr auto lan = [](Board& b, Move move) { return AsciiText{b.lan(move)}; };
constexpr auto parse_san = [](Board& b, std::string_view text) { return b.parse_san(text); };
constexpr auto apply_san = [](Board& b, std::string_view text) { return b.apply_san(text); };
constexpr auto variation_san = [](Board& b, const std::vector<Move>& moves) { return b.variation_san(moves); };
constexpr auto apply_movetext = [](Board& b, std::string_view text) {
    return static_cast<std::uint64_t>(b.apply_movetext(text));
};

// Game records.
constexpr auto pgn = [](Board& b, std::optional<board::Headers> headers) {
    return board::game_pgn(b, headers ? *headers : board::Headers{});
};

Signature READ_PGN_SIG{"Board", "read_pgn", {"source", "errors", "where"}, 3, 1};
Signature READ_HEADERS_SIG{"Board", "read_headers", {"source"}, 1, 1};
Signature PGN_SIG{"Board", "pgn", {"headers"}, 1, 0};

PyObject* board_read_pgn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(READ_PGN_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            Arg<std::optional<std::string_view>> errors;
            if (!errors.load(argv[1])) return name_argument("errors"), nullptr;
            const std::string_view mode = errors.get().value_or("raise");
            if (mode != "raise" && mode != "skip") {
                PyErr_Format(PyExc_ValueError, "errors must be \"raise\" or \"skip\", not %R", argv[1]);
                return nullptr;
            }
            PyObject* where = argv[2];
            if (where && where != Py_None && !PyCallable_Check(where)) {
                PyErr_Format(PyExc_TypeError, "argument 'where': expected a callable or None, not '%s'",
                             Py_TYPE(where)->tp_name);
                return nullptr;
            }
            return new_pgn_reader(argv[0], mode == "skip", false, where);
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* board_read_headers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(READ_HEADERS_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            return new_pgn_reader(argv[0], false, true, nullptr);
        },
        static_cast<PyObject*>(nullptr));
}

// Training samples: the positions of whole files as NumPy columns.
Signature READ_SAMPLES_SIG{"Board", "read_samples", {"source", "where", "threads", "batch_positions"}, 4, 1, 1};

// An int argument within [low, high]; ValueError naming it otherwise.
bool int_in_range(PyObject* arg, const char* name, long long low, long long high, long long& out) noexcept {
    Ref index(PyNumber_Index(arg));
    if (!index) return name_argument(name), false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < low || v > high) {
        PyErr_Format(PyExc_ValueError, "argument '%s': %R is outside %lld..%lld", name, index.get(), low, high);
        return false;
    }
    out = v;
    return true;
}

PyObject* board_read_samples(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(READ_SAMPLES_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            PyObject* where = argv[1];
            if (where && where != Py_None && !PyCallable_Check(where)) {
                PyErr_Format(PyExc_TypeError, "argument 'where': expected a callable or None, not '%s'",
                             Py_TYPE(where)->tp_name);
                return nullptr;
            }
            long long threads = 1, batch = 65536;
            // More threads than this would only share the same cores.
            if (argv[2] && !int_in_range(argv[2], "threads", 1, 256, threads)) return nullptr;
            if (argv[3] && !int_in_range(argv[3], "batch_positions", 1, 1LL << 40, batch)) return nullptr;
            return new_sample_reader(argv[0], where, static_cast<unsigned>(threads), static_cast<std::size_t>(batch));
        },
        static_cast<PyObject*>(nullptr));
}

Signature SAN_SIG{"Board", "san", {"move"}, 1, 1};
Signature LAN_SIG{"Board", "lan", {"move"}, 1, 1};
Signature PARSE_SAN_SIG{"Board", "parse_san", {"text"}, 1, 1};
Signature APPLY_SAN_SIG{"Board", "apply_san", {"text"}, 1, 1};
Signature VARIATION_SAN_SIG{"Board", "variation_san", {"moves"}, 1, 1};
Signature APPLY_MOVETEXT_SIG{"Board", "apply_movetext", {"text"}, 1, 1};

Signature PIECE_AT_SIG{"Board", "piece_at", {"square"}, 1, 1};
Signature PIECES_SIG{"Board", "pieces", {"letter"}, 1, 1};
Signature KING_SIG{"Board", "king", {"color"}, 1, 1};
Signature ATTACKERS_SIG{"Board", "attackers", {"color", "square"}, 2, 2};
Signature IS_ATTACKED_BY_SIG{"Board", "is_attacked_by", {"color", "square"}, 2, 2};
Signature IS_PINNED_SIG{"Board", "is_pinned", {"color", "square"}, 2, 2};
Signature IS_LEGAL_SIG{"Board", "is_legal", {"move"}, 1, 1};
Signature IS_PSEUDO_LEGAL_SIG{"Board", "is_pseudo_legal", {"move"}, 1, 1};
Signature APPLY_UCI_SIG{"Board", "apply_uci", {"text"}, 1, 1};
Signature IS_CAPTURE_SIG{"Board", "is_capture", {"move"}, 1, 1};
Signature IS_EN_PASSANT_SIG{"Board", "is_en_passant", {"move"}, 1, 1};
Signature IS_CASTLING_SIG{"Board", "is_castling", {"move"}, 1, 1};
Signature IS_ZEROING_SIG{"Board", "is_zeroing", {"move"}, 1, 1};
Signature GIVES_CHECK_SIG{"Board", "gives_check", {"move"}, 1, 1};
Signature IS_REPETITION_SIG{"Board", "is_repetition", {"count"}, 1, 0};
Signature OUTCOME_SIG{"Board", "outcome", {"claim_draw"}, 1, 0};
Signature RESULT_SIG{"Board", "result", {"claim_draw"}, 1, 0};
Signature UNICODE_SIG{"Board", "unicode", {"invert_color", "borders", "empty_square", "orientation"}, 4, 0};
Signature SVG_SIG{"Board", "svg",
                  {"size", "orientation", "arrows", "fill", "squares", "flipped", "lastmove", "check", "coordinates",
                   "colors"},
                  10, 0};

Signature GET_PIECES_SIG{"Board", "get_pieces", {"piece_type"}, 1, 1};
Signature SET_PIECES_OR_SIG{"Board", "set_pieces_or", {"piece_type", "bitboard"}, 2, 2};
Signature SET_PIECES_XOR_SIG{"Board", "set_pieces_xor", {"piece_type", "bitboard"}, 2, 2};
Signature IS_ATTACKED_SIG{"Board", "_is_attacked", {"square"}, 1, 1};
Signature RESET_CLOCK_SIG{"Board", "_reset_half_move_clock", {"from_mask", "to_mask"}, 2, 2};
Signature REMOVE_RIGHTS_SIG{"Board", "_remove_castling_rights", {"id"}, 1, 1};
Signature APPLY_MOVE_SIG{"Board", "apply_move", {"mov"}, 1, 1};
Signature RESTORE_SIG{"Board", "_restore", {"board_state"}, 1, 1};
Signature PERFT_SIG{"Board", "perft", {"depth"}, 1, 1};
Signature FEN_SIG{"Board", "fen", {"en_passant", "shredder"}, 2, 0, 1};
Signature DEEPCOPY_SIG{"Board", "__deepcopy__", {"memo"}, 1, 1};

// ---------------------------------------------------------------- arrays
// Positions and moves for learning: piece planes and the policy encoding.
// Only the calls that return a new array import numpy.

constexpr auto bitboards = [](const Board& b) -> PyObject* {
    const auto sets = b.bitboards();
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(sets.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < sets.size(); ++i) {
        PyObject* n = PyLong_FromUnsignedLongLong(sets[i]);
        if (!n) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), n);
    }
    return tuple.release();
};
// The shared borrow keeps the record as it is while numpy makes the array.
constexpr auto planes = [](const Board& b, std::optional<bool> perspective,
                           std::optional<PlanesOut> out) -> PyObject* {
    if (out) {
        b.planes(perspective.value_or(false), out->data);
        return Py_NewRef(out->obj);
    }
    std::uint8_t* data;
    PyObject* array = new_array(ArrayShape::PLANES, "Board.planes()", &data);
    if (array) b.planes(perspective.value_or(false), data);
    return array;
};
constexpr auto move_index = [](Board& b, Move move) { return static_cast<std::uint32_t>(b.move_index(move)); };
constexpr auto move_from_index = [](Board& b, PolicyIndex index) { return b.move_from_index(index.value); };
// An invalid position raises after the array is made; the Ref drops it.
constexpr auto legal_move_mask = [](Board& b) -> PyObject* {
    std::uint8_t* data;
    Ref array(new_array(ArrayShape::POLICY, "Board.legal_move_mask()", &data));
    if (!array) return nullptr;
    b.legal_move_mask(data);
    return array.release();
};

Signature PLANES_SIG{"Board", "planes", {"perspective", "out"}, 2, 0};
Signature MOVE_INDEX_SIG{"Board", "move_index", {"move"}, 1, 1};
Signature MOVE_FROM_INDEX_SIG{"Board", "move_from_index", {"index"}, 1, 1};

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyCFunction fast(FastCall f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); }

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;
constexpr auto PK = Access::Peek;
constexpr auto SH = Access::Shared;
constexpr auto EX = Access::Exclusive;

PyMethodDef board_methods[] = {
    {"set_board", no_params<"Board.set_board", noargs<EX, set_board>>(), NO_PARAMS, "set_board($self)\n--\n\n"},
    {"get_pieces", fast(method<&GET_PIECES_SIG, SH, get_pieces>), FAST,
     "get_pieces($self, piece_type)\n--\n\n"},
    {"set_pieces_or", fast(method<&SET_PIECES_OR_SIG, EX, set_pieces_or>), FAST,
     "set_pieces_or($self, piece_type, bitboard)\n--\n\n"},
    {"set_pieces_xor", fast(method<&SET_PIECES_XOR_SIG, EX, set_pieces_xor>), FAST,
     "set_pieces_xor($self, piece_type, bitboard)\n--\n\n"},
    {"pawn_moves", no_params<"Board.pawn_moves", noargs<EX, list_of<&Board::pawn_moves>>>(), NO_PARAMS,
     "pawn_moves($self)\n--\n\n"},
    {"knight_moves", no_params<"Board.knight_moves", noargs<SH, list_of<&Board::knight_moves>>>(), NO_PARAMS,
     "knight_moves($self)\n--\n\n"},
    {"king_moves", no_params<"Board.king_moves", noargs<SH, list_of<&Board::king_moves>>>(), NO_PARAMS,
     "king_moves($self)\n--\n\n"},
    {"bishop_moves", no_params<"Board.bishop_moves", noargs<SH, list_of<&Board::bishop_moves>>>(), NO_PARAMS,
     "bishop_moves($self)\n--\n\n"},
    {"rook_moves", no_params<"Board.rook_moves", noargs<SH, list_of<&Board::rook_moves>>>(), NO_PARAMS,
     "rook_moves($self)\n--\n\n"},
    {"queen_moves", no_params<"Board.queen_moves", noargs<SH, list_of<&Board::queen_moves>>>(), NO_PARAMS,
     "queen_moves($self)\n--\n\n"},
    {"pseudo_legal_moves",
     no_params<"Board.pseudo_legal_moves", noargs<EX, list_of<&Board::pseudo_legal_moves>>>(), NO_PARAMS,
     "pseudo_legal_moves($self)\n--\n\n"},
    {"_is_attacked", fast(method<&IS_ATTACKED_SIG, EX, is_attacked>), FAST,
     "_is_attacked($self, square)\n--\n\n"},
    {"is_check", no_params<"Board.is_check", noargs<EX, is_check>>(), NO_PARAMS, "is_check($self)\n--\n\n"},
    {"_castling_moves",
     no_params<"Board._castling_moves", noargs<EX, list_of_mut<&Board::_castling_moves>>>(), NO_PARAMS,
     "_castling_moves($self)\n--\n\n"},
    {"legal_moves", no_params<"Board.legal_moves", noargs<EX, list_of_mut<&Board::legal_moves>>>(), NO_PARAMS,
     "legal_moves($self)\n--\n\n"},
    {"_reset_half_move_clock", fast(method<&RESET_CLOCK_SIG, SH, reset_half_move_clock>), FAST,
     "_reset_half_move_clock($self, from_mask, to_mask)\n--\n\n"},
    {"_check_castling_rights",
     no_params<"Board._check_castling_rights", noargs<SH, check_castling_rights>>(), NO_PARAMS,
     "_check_castling_rights($self)\n--\n\n"},
    {"_remove_castling_rights", fast(method<&REMOVE_RIGHTS_SIG, EX, remove_castling_rights>),
     FAST, "_remove_castling_rights($self, id)\n--\n\n"},
    {"apply_move", fast(method<&APPLY_MOVE_SIG, EX, apply_move>), FAST,
     "apply_move($self, mov)\n--\n\n"},
    {"is_checkmate", no_params<"Board.is_checkmate", noargs<EX, is_checkmate>>(), NO_PARAMS,
     "is_checkmate($self)\n--\n\n"},
    {"is_stalemate", no_params<"Board.is_stalemate", noargs<EX, is_stalemate>>(), NO_PARAMS,
     "is_stalemate($self)\n--\n\n"},
    {"is_game_over", no_params<"Board.is_game_over", noargs<EX, is_game_over>>(), NO_PARAMS,
     "is_game_over($self)\n--\n\n"},
    {"_restore", fast(method<&RESTORE_SIG, EX, restore>), FAST,
     "_restore($self, board_state)\n--\n\n"},
    {"pop", no_params<"Board.pop", board_pop>(), NO_PARAMS, "pop($self)\n--\n\n"},
    {"perft", fast(method<&PERFT_SIG, EX, perft>), FAST,
     "perft($self, depth)\n--\n\nCount the leaf nodes of the legal move tree to the given depth (at most 256)."},
    {"fen", fast(method<&FEN_SIG, SH, fen>), FAST,
     "fen($self, en_passant='fen', *, shredder=False)\n--\n\nThe FEN text of the current position. en_passant chooses when the "
     "square is written: \"fen\" after every double step, \"legal\" when a capture there is legal, \"xfen\" "
     "when a pawn of the side to move stands beside."},
    {"copy", no_params<"Board.copy", noargs<SH, copy>>(), NO_PARAMS,
     "copy($self)\n--\n\nAn independent board with the same position, starting text and history."},
    {"__copy__", no_params<"Board.__copy__", noargs<SH, copy>>(), NO_PARAMS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", fast(method<&DEEPCOPY_SIG, SH, deepcopy>), FAST,
     "__deepcopy__($self, memo)\n--\n\n"},
    {"__sizeof__", no_params<"Board.__sizeof__", noargs<SH, size_of>>(), NO_PARAMS, "__sizeof__($self)\n--\n\n"},

    {"piece_at", fast(method<&PIECE_AT_SIG, PK, piece_at>), FAST,
     "piece_at($self, square)\n--\n\nThe letter of the piece on a square (0 to 63), or None."},
    {"piece_map", no_params<"Board.piece_map", noargs<PK, piece_map>>(), NO_PARAMS,
     "piece_map($self)\n--\n\nA dict from each occupied square to its piece letter."},
    {"pieces", fast(method<&PIECES_SIG, PK, pieces>), FAST,
     "pieces($self, letter)\n--\n\nThe bitboard of one coloured kind of piece, named by its FEN letter."},
    {"king", fast(method<&KING_SIG, PK, king>), FAST,
     "king($self, color)\n--\n\nThe square of the king of a colour (True is white), or None."},
    {"checkers", no_params<"Board.checkers", noargs<PK, checkers>>(), NO_PARAMS,
     "checkers($self)\n--\n\nThe bitboard of the pieces giving check to the side to move."},
    {"attackers", fast(method<&ATTACKERS_SIG, PK, attackers>), FAST,
     "attackers($self, color, square)\n--\n\nThe bitboard of the pieces of a colour that attack a square."},
    {"is_attacked_by", fast(method<&IS_ATTACKED_BY_SIG, PK, is_attacked_by>), FAST,
     "is_attacked_by($self, color, square)\n--\n\nWhether a piece of the colour attacks the square."},
    {"is_pinned", fast(method<&IS_PINNED_SIG, PK, is_pinned>), FAST,
     "is_pinned($self, color, square)\n--\n\nWhether the square is pinned to the king of the colour."},
    {"is_legal", fast(method<&IS_LEGAL_SIG, EX, is_legal>), FAST,
     "is_legal($self, move)\n--\n\nWhether the move is legal in this position."},
    {"is_pseudo_legal", fast(method<&IS_PSEUDO_LEGAL_SIG, EX, is_pseudo_legal>), FAST,
     "is_pseudo_legal($self, move)\n--\n\nWhether the move is pseudo-legal (may leave its own king in check)."},
    {"apply_uci", fast(method<&APPLY_UCI_SIG, EX, apply_uci>), FAST,
     "apply_uci($self, text)\n--\n\nPlay a legal move given in UCI; raise ValueError if invalid or illegal."},
    {"is_capture", fast(method<&IS_CAPTURE_SIG, SH, is_capture>), FAST,
     "is_capture($self, move)\n--\n\nWhether the move captures (en passant included)."},
    {"is_en_passant", fast(method<&IS_EN_PASSANT_SIG, SH, is_en_passant>), FAST,
     "is_en_passant($self, move)\n--\n\nWhether the move is an en passant capture."},
    {"is_castling", fast(method<&IS_CASTLING_SIG, SH, is_castling>), FAST,
     "is_castling($self, move)\n--\n\nWhether the move is a castling move."},
    {"is_zeroing", fast(method<&IS_ZEROING_SIG, SH, is_zeroing>), FAST,
     "is_zeroing($self, move)\n--\n\nWhether the move is a capture or a pawn move."},
    {"gives_check", fast(method<&GIVES_CHECK_SIG, EX, gives_check>), FAST,
     "gives_check($self, move)\n--\n\nWhether the pseudo-legal move gives check."},
    {"zobrist_hash", no_params<"Board.zobrist_hash", noargs<PK, zobrist_hash>>(), NO_PARAMS,
     "zobrist_hash($self)\n--\n\nThe Polyglot opening-book key of the position."},
    {"is_insufficient_material",
     no_params<"Board.is_insufficient_material", noargs<PK, is_insufficient_material>>(), NO_PARAMS,
     "is_insufficient_material($self)\n--\n\nWhether neither side has material enough to mate."},
    {"is_seventyfive_moves", no_params<"Board.is_seventyfive_moves", noargs<EX, is_seventyfive_moves>>(), NO_PARAMS,
     "is_seventyfive_moves($self)\n--\n\nWhether 75 moves passed without a capture or pawn move."},
    {"is_fivefold_repetition",
     no_params<"Board.is_fivefold_repetition", noargs<EX, is_fivefold_repetition>>(), NO_PARAMS,
     "is_fivefold_repetition($self)\n--\n\nWhether the position has occurred five times."},
    {"is_repetition", fast(method<&IS_REPETITION_SIG, EX, is_repetition>), FAST,
     "is_repetition($self, count=3)\n--\n\nWhether the position has occurred count times in this game."},
    {"can_claim_fifty_moves", no_params<"Board.can_claim_fifty_moves", noargs<EX, can_claim_fifty_moves>>(), NO_PARAMS,
     "can_claim_fifty_moves($self)\n--\n\nWhether the side to move can claim a draw by the fifty-move rule."},
    {"can_claim_threefold_repetition",
     no_params<"Board.can_claim_threefold_repetition", noargs<EX, can_claim_threefold_repetition>>(), NO_PARAMS,
     "can_claim_threefold_repetition($self)\n--\n\nWhether the side to move can claim a threefold repetition."},
    {"can_claim_draw", no_params<"Board.can_claim_draw", noargs<EX, can_claim_draw>>(), NO_PARAMS,
     "can_claim_draw($self)\n--\n\nWhether the side to move can claim a draw."},
    {"outcome", fast(method<&OUTCOME_SIG, EX, outcome>), FAST,
     "outcome($self, claim_draw=False)\n--\n\nHow the game ended (termination, winner), or None while it goes on."},
    {"result", fast(method<&RESULT_SIG, EX, result>), FAST,
     "result($self, claim_draw=False)\n--\n\nThe result: \"1-0\", \"0-1\", \"1/2-1/2\" or \"*\"."},
    {"from_fen", fast(board_from_fen), FAST | METH_CLASS,
     "from_fen($type, text, *, chess960=False)\n--\n\nRead FEN or 4-field EPD text strictly; ValueError names the "
     "faulty field. chess960=True makes a Fischer random board, whose castling field may be X-FEN or Shredder-FEN."},
    {"from_chess960_pos", fast(board_from_chess960_pos), FAST | METH_CLASS,
     "from_chess960_pos($type, n)\n--\n\nThe Fischer random starting position numbered n (0 to 959 in the Scharnagl "
     "numbering; 518 is the standard start), as a Fischer random board."},
    {"is_valid", no_params<"Board.is_valid", noargs<PK, is_valid>>(), NO_PARAMS,
     "is_valid($self)\n--\n\nWhether the position could stand in a game of chess."},
    {"ply", no_params<"Board.ply", noargs<PK, ply>>(), NO_PARAMS,
     "ply($self)\n--\n\nThe number of moves played since the starting FEN."},
    {"peek", no_params<"Board.peek", noargs<PK, peek>>(), NO_PARAMS,
     "peek($self)\n--\n\nThe last move played; IndexError when there is none."},
    {"__reduce__", no_params<"Board.__reduce__", board_reduce>(), NO_PARAMS, "__reduce__($self)\n--\n\n"},
    {"__setstate__", fast(board_setstate), FAST, "__setstate__($self, state)\n--\n\n"},

    {"unicode", fast(method<&UNICODE_SIG, SH, unicode>), FAST,
     "unicode($self, invert_color=False, borders=False, empty_square='\\u2b58', orientation=True)\n--\n\n"
     "The board as a grid of chess symbols, rank 8 first (orientation=False: rank 1 first)."},
    {"svg", fast(method<&SVG_SIG, SH, svg>), FAST,
     "svg($self, size=400, orientation=True, arrows=(), fill=None, squares=None, flipped=False, lastmove=..., "
     "check=..., coordinates=True, colors=None)\n--\n\n"
     "An SVG diagram of the board, size pixels square, with the last move and a checked king marked. "
     "The other options are python-chess's chess.svg.board's: arrows ((tail, head) or (tail, head, colour)), "
     "fill (square to colour), squares (marked with a cross), flipped, lastmove and check (None for none), "
     "coordinates and colors."},
    {"_repr_svg_", no_params<"Board._repr_svg_", noargs<SH, repr_svg>>(), NO_PARAMS,
     "_repr_svg_($self)\n--\n\nThe SVG diagram notebooks show for a board: svg() at 400 pixels."},
    {"san", fast(method<&SAN_SIG, EX, san>), FAST,
     "san($self, move)\n--\n\nThe standard algebraic notation of a legal move (\"Nf3\", \"exd8=Q+\", \"O-O\")."},
    {"lan", fast(method<&LAN_SIG, EX, lan>), FAST,
     "lan($self, move)\n--\n\nThe long algebraic notation of a legal move (\"Ng1-f3\", \"e7xd8=Q+\", \"O-O\")."},
    {"parse_san", fast(method<&PARSE_SAN_SIG, EX, parse_san>), FAST,
     "parse_san($self, text)\n--\n\nThe legal move a SAN text names here; ValueError if invalid, illegal or ambiguous."},
    {"apply_san", fast(method<&APPLY_SAN_SIG, EX, apply_san>), FAST,
     "apply_san($self, text)\n--\n\nPlay the move a SAN text names and return it; ValueError leaves the board as it was."},
    {"variation_san", fast(method<&VARIATION_SAN_SIG, EX, variation_san>), FAST,
     "variation_san($self, moves)\n--\n\nThe numbered SAN line of moves played from here (\"1. e4 e5 2. Nf3\")."},
    {"apply_movetext", fast(method<&APPLY_MOVETEXT_SIG, EX, apply_movetext>), FAST,
     "apply_movetext($self, text)\n--\n\nPlay the mainline of a PGN movetext and return the number of moves played."},
    {"read_pgn", fast(board_read_pgn), FAST | METH_CLASS,
     "read_pgn($type, source, errors=\"raise\", where=None)\n--\n\nIterate over the games of a PGN file (a path, "
     "plain or compressed, or a file object) as Game values, which unpack as (headers, board) pairs; `where` "
     "is called with each game's headers and a falsy answer skips the game unplayed."},
    {"read_headers", fast(board_read_headers), FAST | METH_CLASS,
     "read_headers($type, source)\n--\n\nIterate over the header dicts of the games of a PGN file, playing no "
     "move."},
    {"read_samples", fast(board_read_samples), FAST | METH_CLASS,
     "read_samples($type, source, *, where=None, threads=1, batch_positions=65536)\n--\n\nIterate over the "
     "positions of a PGN file's games (a path, plain or compressed, or a file object) as batches: dicts of NumPy "
     "arrays of one length, one row per position before a mainline move, covering whole games in file order, "
     "at most batch_positions rows unless one game is longer. `where` filters games by their headers as "
     "read_pgn's does; threads=k plays k parts of the file at once with the GIL released, giving the same "
     "batches. Games whose moves cannot be played are passed over and listed in the iterator's `skipped`."},
    {"pgn", fast(method<&PGN_SIG, EX, pgn>), FAST,
     "pgn($self, headers=None)\n--\n\nThe PGN text of this board's game: tags, the moves in SAN, the result."},

    {"bitboards", no_params<"Board.bitboards", noargs<PK, bitboards>>(), NO_PARAMS,
     "bitboards($self)\n--\n\nThe twelve piece sets as ints: white P, N, B, R, Q, K, then black p, n, b, r, q, k."},
    {"planes", fast(method<&PLANES_SIG, SH, planes>), FAST,
     "planes($self, perspective=False, out=None)\n--\n\n"
     "The pieces as a numpy uint8 array [plane, rank, file] of shape (12, 8, 8), planes in bitboards() order; "
     "perspective=True with black to move mirrors the ranks and puts black's planes first. out: a writable "
     "C-contiguous uint8 buffer of that shape to fill and return instead of a new array."},
    {"move_index", fast(method<&MOVE_INDEX_SIG, EX, move_index>), FAST,
     "move_index($self, move)\n--\n\n"
     "The index (0 to 4671) of a legal move in the 8x8x73 policy encoding, from the side to move's view; "
     "ValueError for a move that is not legal here."},
    {"move_from_index", fast(method<&MOVE_FROM_INDEX_SIG, EX, move_from_index>), FAST,
     "move_from_index($self, index)\n--\n\n"
     "The legal move with that policy index; ValueError where none has it or outside 0..4671."},
    {"legal_move_mask", no_params<"Board.legal_move_mask", noargs<EX, legal_move_mask>>(), NO_PARAMS,
     "legal_move_mask($self)\n--\n\nA numpy bool array of 4672 entries, true at every legal move's policy index."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyGetSetDef board_getset[] = {
    {"turn", getter<get_turn>, setter<set_turn>, nullptr, const_cast<char*>("turn")},
    {"half_move_clock", getter<get_half_move_clock>, nullptr, nullptr, nullptr},
    {"full_move_number", getter<get_full_move_number>, nullptr, nullptr, nullptr},
    {"castling_rights", getter<get_castling_rights>, nullptr, nullptr, nullptr},
    {"en_passant_square", getter<get_en_passant_square>, nullptr, nullptr, nullptr},
    {"starting_fen", getter<get_starting_fen>, nullptr, nullptr, nullptr},
    {"chess960", getter<get_chess960>, nullptr, const_cast<char*>("Whether this is a Fischer random board."), nullptr},
    {"move_stack", board_get_move_stack, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot board_slots[] = {
    {Py_tp_doc, const_cast<char*>("Board(starting_fen=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(board_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(board_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(unary<SH, render>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary<SH, render>)},
    {Py_tp_methods, board_methods},
    {Py_tp_getset, board_getset},
    {0, nullptr},  // sentinel
};

// A dotted name gives the type a __module__: without one, CPython 3.13 warns
// at creation, and `python -W error` could not import the module at all.
PyType_Spec board_spec = {
    .name = "tavrinmoss.Board",
    .basicsize = sizeof(BoardObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = board_slots,
};

}  // namespace

TypeCache board_type_cache(&board_spec, "Board");

PyObject* new_board(Board&& record) noexcept {
    PyTypeObject* type = require_type(board_type_cache, "Board");
    if (!type) return nullptr;
    return wrap_board(type, std::move(record));
}

}  // namespace binding
