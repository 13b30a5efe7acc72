#include <bit>
#include <memory>
#include <new>

#include "binding/call.h"
#include "binding/type_cache.h"

// Games read from PGN with their annotations: `Game`, which unpacks as the
// (headers, board) pair the reader used to give, and `Variation`, a line of
// play that stands beside one of the mainline's moves (or a variation's).
// Both are read-only; what they show is made on demand, from the notes the
// mainline's pass took when the game has no variation, else from the game
// tree, so reading a file that never asks for annotations pays only for the
// notes.

namespace binding {

namespace {

// What a game's objects share: the position before the first move, the
// movetext and its mainline, the notes on the mainline's comments and NAGs,
// and the tree, read from the movetext the first time something the notes
// cannot answer asks for it. Only ever touched with the GIL held.
struct GameData {
    board::BoardState start;
    // The start's FEN text, which the board built from the mainline on
    // demand takes.
    board::Text starting_fen;
    // Told when the board is asked for; null for a game not from a reader.
    std::shared_ptr<BoardDemand> demand;
    std::string movetext;
    std::vector<board::Move> mainline;
    // Where the mainline's comments stand, noted while it was played; a game
    // unpickled has none.
    board::MainlineNotes notes;
    bool noted = false;
    mutable std::optional<board::GameTree> tree_;

    const board::GameTree& tree() const {
        if (!tree_) tree_ = board::annotate(start, movetext, mainline);
        return *tree_;
    }
    // Whether the mainline's annotations can be read from the notes: the
    // game has no variation, so no tree is needed for them.
    bool plain() const { return noted && notes.plain; }
    std::string_view comment(std::size_t ply, std::string& buffer) const {
        return board::mainline_comment(movetext, notes, ply, buffer);
    }
};

enum Cached { COMMENTS, NAGS, EVALS, CLOCKS, VARIATIONS, CACHED_NB };

struct GameObject {
    PyObject_HEAD
    PyObject* headers;  // dict, strong
    // Board, strong; null until asked for when the game's mainline was read
    // without one (board_of builds it).
    PyObject* board;
    std::shared_ptr<const GameData> data;
    PyObject* cache[CACHED_NB];  // tuples made on first access, strong
};

struct VariationObject {
    PyObject_HEAD
    std::shared_ptr<const GameData> data;
    std::uint32_t line;
};

extern TypeCache game_type_cache;
extern TypeCache variation_type_cache;

PyObject* text(std::string_view s) noexcept { return file_text(s); }

// A tuple of `n` items made by `item(index)`.
template <typename F>
PyObject* per_ply_items(std::size_t n, F&& item) {
    Ref out(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    for (std::size_t k = 0; k < n; ++k) {
        PyObject* v = item(k);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), v);
    }
    return out.release();
}

// A tuple of one item per ply of `line`.
template <typename F>
PyObject* per_ply(const board::Line& line, F&& item) {
    return per_ply_items(line.plies.size(), std::forward<F>(item));
}

PyObject* new_variation(const std::shared_ptr<const GameData>& data, std::uint32_t line) noexcept {
    PyTypeObject* type = require_type(variation_type_cache, "Variation");
    if (!type) return nullptr;
    auto* obj = reinterpret_cast<VariationObject*>(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    new (&obj->data) std::shared_ptr<const GameData>(data);
    obj->line = line;
    return reinterpret_cast<PyObject*>(obj);
}

// A frozenset of NAG values.
PyObject* nag_set(const std::vector<std::uint64_t>& nags) noexcept {
    // Most moves have none: they share one empty set.
    // Made once, with the GIL held; kept for the process.
    if (nags.empty()) {
        static PyObject* empty = nullptr;
        if (!empty) empty = PyFrozenSet_New(nullptr);
        return empty ? Py_NewRef(empty) : nullptr;
    }
    Ref set(PyFrozenSet_New(nullptr));
    if (!set) return nullptr;
    for (std::uint64_t n : nags) {
        Ref v(PyLong_FromUnsignedLongLong(n));
        if (!v || PySet_Add(set.get(), v.get()) < 0) return nullptr;
    }
    return set.release();
}

// Clocks repeat as scores do (binding/score_type.cpp): whole seconds
// counting down in every game. A table of recent clock floats, each in the
// slot of its whole seconds; floats are values no caller can change. Touched
// only with the GIL held; what it keeps is kept for the process.
constexpr std::size_t RECENT_CLOCKS = 1024;
PyObject* recent_clocks[RECENT_CLOCKS];  // strong

PyObject* clock_value(double seconds) noexcept {
    // A clock read is never negative; one beyond 2^62 seconds shares slot 0.
    const std::int64_t whole = seconds < 0x1p62 ? static_cast<std::int64_t>(seconds) : 0;
    const std::size_t at = static_cast<std::size_t>(whole) % RECENT_CLOCKS;
    PyObject*& slot = recent_clocks[at];
    // Compared as bits: equal and the same float.
    if (slot && std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(slot)) == std::bit_cast<std::uint64_t>(seconds))
        return Py_NewRef(slot);
    PyObject* made = PyFloat_FromDouble(seconds);
    if (made) Py_XSETREF(slot, Py_NewRef(made));
    return made;
}

// The evals and the clocks of a game without variations, from its notes,
// both read from each comment at once; false with an exception set.
bool make_commands(const GameData& data, Ref& evals, Ref& clocks) {
    const std::size_t n = data.mainline.size();
    evals = Ref(PyTuple_New(static_cast<Py_ssize_t>(n)));
    clocks = Ref(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!evals || !clocks) return false;
    std::string buffer;
    // The side to move after each ply: the first mover's opponent, then
    // alternating.
    bool turn = !data.start.turn;
    for (std::size_t k = 0; k < n; ++k, turn = !turn) {
        const board::CommentCommands c = board::parse_commands(data.comment(k + 1, buffer), turn);
        PyObject* score = c.eval ? new_score(*c.eval) : Py_NewRef(Py_None);
        if (!score) return false;
        PyTuple_SET_ITEM(evals.get(), static_cast<Py_ssize_t>(k), score);
        PyObject* clock = c.clock ? clock_value(*c.clock) : Py_NewRef(Py_None);
        if (!clock) return false;
        PyTuple_SET_ITEM(clocks.get(), static_cast<Py_ssize_t>(k), clock);
    }
    return true;
}

// The same tuples for the mainline of a game without variations, read
// from its notes: no tree is built.
PyObject* make_plain(const GameData& data, Cached what) {
    const std::size_t n = data.mainline.size();
    std::string buffer;
    switch (what) {
        case COMMENTS: return per_ply_items(n, [&](std::size_t k) { return text(data.comment(k + 1, buffer)); });
        case EVALS:
        case CLOCKS: {
            Ref made[2];
            if (!make_commands(data, made[0], made[1])) return nullptr;
            return made[what == EVALS ? 0 : 1].release();
        }
        case VARIATIONS: return per_ply_items(n, [](std::size_t) { return PyTuple_New(0); });
        case NAGS: {
            std::size_t next = 0;
            return per_ply_items(n, [&](std::size_t k) -> PyObject* {
                std::vector<std::uint64_t> values;
                for (; next < data.notes.nags.size() && data.notes.nags[next].first == k + 1; ++next)
                    values.push_back(data.notes.nags[next].second);
                return nag_set(values);
            });
        }
        case CACHED_NB: break;
    }
    return nullptr;
}

PyObject* make(const std::shared_ptr<const GameData>& data, std::uint32_t index, Cached what) {
    if (index == 0 && data->plain()) return make_plain(*data, what);
    const board::Line& line = data->tree().lines[index];
    switch (what) {
        case COMMENTS: return per_ply(line, [&](std::size_t k) { return text(line.plies[k].comment); });
        case NAGS: return per_ply(line, [&](std::size_t k) { return nag_set(line.plies[k].nags); });
        case EVALS:
            return per_ply(line, [&](std::size_t k) -> PyObject* {
                // The side to move after the move: plies alternate from the
                // line's first mover.
                const bool turn_after = line.first_turn == (k % 2 == 1);
                const auto score = board::parse_eval(line.plies[k].comment, turn_after);
                if (!score) return Py_NewRef(Py_None);
                return new_score(*score);
            });
        case CLOCKS:
            return per_ply(line, [&](std::size_t k) -> PyObject* {
                const auto clock = board::parse_clock(line.plies[k].comment);
                if (!clock) return Py_NewRef(Py_None);
                return clock_value(*clock);
            });
        case VARIATIONS:
            return per_ply(line, [&](std::size_t k) -> PyObject* {
                const auto& vars = line.plies[k].variations;
                return per_ply_items(vars.size(), [&](std::size_t i) { return new_variation(data, vars[i]); });
            });
        case CACHED_NB: break;
    }
    return nullptr;
}

// ---------------------------------------------------------------- Game

GameObject* as_game(PyObject* self) noexcept { return reinterpret_cast<GameObject*>(self); }

int game_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    GameObject* g = as_game(self);
    Py_VISIT(g->headers);
    Py_VISIT(g->board);
    for (PyObject* c : g->cache) Py_VISIT(c);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int game_clear(PyObject* self) noexcept {
    GameObject* g = as_game(self);
    Py_CLEAR(g->headers);
    Py_CLEAR(g->board);
    for (PyObject*& c : g->cache) Py_CLEAR(c);
    return 0;
}

void game_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    game_clear(self);
    as_game(self)->data.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* cached(PyObject* self, Cached what) noexcept {
    GameObject* g = as_game(self);
    if (!g->cache[what]) {
        // Both from one pass over the comments, for readers mostly ask for
        // both and the other costs a tuple more.
        if ((what == EVALS || what == CLOCKS) && g->data->plain()) {
            Ref evals, clocks;
            if (!guarded([&] { return make_commands(*g->data, evals, clocks); }, false)) return nullptr;
            g->cache[EVALS] = evals.release();
            g->cache[CLOCKS] = clocks.release();
            return Py_NewRef(g->cache[what]);
        }
        g->cache[what] = guarded([&] { return make(g->data, 0, what); }, static_cast<PyObject*>(nullptr));
        if (!g->cache[what]) return nullptr;
    }
    return Py_NewRef(g->cache[what]);
}

// The board after the mainline, played from the start when first asked for
// if the walk read the game; borrowed.
PyObject* board_of(PyObject* self) noexcept {
    GameObject* g = as_game(self);
    if (g->data->demand) g->data->demand->asked = true;
    if (!g->board) {
        PyObject* made = guarded(
            [&] {
                const GameData& data = *g->data;
                board::Board start(data.start);
                start.starting_fen = data.starting_fen;
                return new_board(board::replay(std::move(start), data.mainline));
            },
            static_cast<PyObject*>(nullptr));
        // Should anything the build ran have asked for the board meanwhile,
        // the first one made stays.
        if (g->board)
            Py_XDECREF(made);
        else
            g->board = made;
    }
    return g->board;
}

PyObject* game_headers(PyObject* self, void*) noexcept { return Py_NewRef(as_game(self)->headers); }
PyObject* game_board(PyObject* self, void*) noexcept { return Py_XNewRef(board_of(self)); }
PyObject* game_comment(PyObject* self, void*) noexcept {
    return guarded(
        [&] {
            const GameData& data = *as_game(self)->data;
            std::string buffer;
            return text(data.plain() ? data.comment(0, buffer) : std::string_view(data.tree().comment));
        },
        static_cast<PyObject*>(nullptr));
}
PyObject* game_comments(PyObject* self, void*) noexcept { return cached(self, COMMENTS); }
PyObject* game_nags(PyObject* self, void*) noexcept { return cached(self, NAGS); }
PyObject* game_evals(PyObject* self, void*) noexcept { return cached(self, EVALS); }
PyObject* game_clocks(PyObject* self, void*) noexcept { return cached(self, CLOCKS); }
PyObject* game_variations(PyObject* self, void*) noexcept { return cached(self, VARIATIONS); }

PyObject* game_pgn(PyObject* self, PyObject*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            GameObject* g = as_game(self);
            // The headers as they stand now: a caller may have edited them.
            Arg<board::Headers> headers;
            if (!headers.load(g->headers)) return nullptr;
            for (const auto& [name, value] : headers.get()) {
                if (!board::is_tag_name(name)) {
                    PyErr_Format(PyExc_ValueError, "invalid pgn header tag: %R", Ref(text(name)).get());
                    return nullptr;
                }
                if (value.find_first_of("\r\n") != std::string::npos) {
                    PyErr_Format(PyExc_ValueError, "line break in pgn header %s: %R", name.c_str(),
                                 Ref(text(value)).get());
                    return nullptr;
                }
            }
            return to_python(board::annotated_pgn(headers.get(), g->data->start, g->data->tree()));
        },
        static_cast<PyObject*>(nullptr));
}

// A game pickles whole: its headers, its board (which pickles itself) and
// its tree as bytes, so that process pools can take games as they took the
// (headers, board) pairs.
PyObject* game_reduce(PyObject* self, PyObject*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            GameObject* g = as_game(self);
            PyObject* board = board_of(self);
            if (!board) return nullptr;
            const std::string bytes = board::tree_to_bytes(g->data->start, g->data->tree());
            Ref state(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
            Ref restore(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state"));
            if (!state || !restore) return nullptr;
            return Py_BuildValue("O(OOO)", restore.get(), g->headers, board, state.get());
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* new_game_object(PyObject* headers, PyObject* board, std::shared_ptr<const GameData> data) noexcept;

Signature FROM_STATE_SIG{"Game", "_from_state", {"headers", "board", "state"}, 3, 3};

PyObject* game_from_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(FROM_STATE_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            if (!PyDict_Check(argv[0])) return cannot_convert(argv[0], "dict"), name_argument("headers"), nullptr;
            if (!PyObject_TypeCheck(argv[1], board_type()))
                return cannot_convert(argv[1], "Board"), name_argument("board"), nullptr;
            if (!PyBytes_Check(argv[2])) return cannot_convert(argv[2], "bytes"), name_argument("state"), nullptr;
            auto [start, tree] = board::tree_from_bytes(std::string_view(
                PyBytes_AS_STRING(argv[2]), static_cast<std::size_t>(PyBytes_GET_SIZE(argv[2]))));
            auto data = std::make_shared<GameData>();
            data->start = start;
            data->tree_ = std::move(tree);
            return new_game_object(argv[0], argv[1], std::move(data));
        },
        static_cast<PyObject*>(nullptr));
}

Py_ssize_t game_length(PyObject*) noexcept { return 2; }

PyObject* game_iter(PyObject* self) noexcept {
    PyObject* board = board_of(self);
    if (!board) return nullptr;
    Ref pair(PyTuple_Pack(2, as_game(self)->headers, board));
    return pair ? PyObject_GetIter(pair.get()) : nullptr;
}

PyObject* game_item(PyObject* self, Py_ssize_t i) noexcept {
    if (i == 0) return Py_NewRef(as_game(self)->headers);
    if (i == 1) return Py_XNewRef(board_of(self));
    PyErr_SetString(PyExc_IndexError, "Game index out of range: a game unpacks as (headers, board)");
    return nullptr;
}

PyObject* game_repr(PyObject* self) noexcept {
    GameObject* g = as_game(self);
    auto tag = [&](const char* name) -> PyObject* {
        PyObject* v = PyDict_GetItemString(g->headers, name);  // borrowed
        return v ? v : Py_None;
    };
    return PyUnicode_FromFormat("<Game %R vs. %R, %zd plies>", tag("White"), tag("Black"),
                                static_cast<Py_ssize_t>(g->data->tree_ ? g->data->tree_->lines[0].plies.size()
                                                                       : g->data->mainline.size()));
}

PyGetSetDef game_getset[] = {
    {"headers", game_headers, nullptr, "The tag pairs in file order, as a dict (the same as game[0]).", nullptr},
    {"board", game_board, nullptr, "The board after the mainline, with the mainline as its history (game[1]).",
     nullptr},
    {"comment", game_comment, nullptr, "The comment before the first move; \"\" when none.", nullptr},
    {"comments", game_comments, nullptr, "The comment after each mainline move, one str per ply.", nullptr},
    {"nags", game_nags, nullptr, "The NAGs of each mainline move, one frozenset of int per ply.", nullptr},
    {"evals", game_evals, nullptr,
     "The [%eval] of each mainline move's comment, one Score or None per ply, for the side to move after it.",
     nullptr},
    {"clocks", game_clocks, nullptr, "The [%clk] of each mainline move's comment in seconds, one float or None per ply.",
     nullptr},
    {"variations", game_variations, nullptr,
     "The alternatives to each mainline move, one tuple of Variation per ply.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyMethodDef game_methods[] = {
    {"pgn", game_pgn, METH_NOARGS,
     "pgn($self, /)\n--\n\nThe game written back as PGN text: tags, comments, NAGs, variations and the result."},
    {"__reduce__", game_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\nPickles the whole game."},
    {"_from_state", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(game_from_state)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "_from_state($type, headers, board, state)\n--\n\nA game from what its __reduce__ gave."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot game_slots[] = {
    {Py_tp_doc, const_cast<char*>("A game read from PGN: headers, the board after the mainline, and annotations.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(game_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(game_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(game_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(game_repr)},
    {Py_sq_length, reinterpret_cast<void*>(game_length)},
    {Py_sq_item, reinterpret_cast<void*>(game_item)},
    {Py_tp_iter, reinterpret_cast<void*>(game_iter)},
    {Py_tp_getset, game_getset},
    {Py_tp_methods, game_methods},
    {0, nullptr},  // sentinel
};

PyType_Spec game_spec = {
    .name = "tavrinmoss.Game",
    .basicsize = sizeof(GameObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = game_slots,
};

TypeCache game_type_cache(&game_spec, "Game");

// ---------------------------------------------------------------- Variation

VariationObject* as_variation(PyObject* self) noexcept { return reinterpret_cast<VariationObject*>(self); }

void variation_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    as_variation(self)->data.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* of_variation(PyObject* self, Cached what) noexcept {
    VariationObject* v = as_variation(self);
    return guarded([&] { return make(v->data, v->line, what); }, static_cast<PyObject*>(nullptr));
}

const board::Line& line_of(PyObject* self) noexcept {
    VariationObject* v = as_variation(self);
    return v->data->tree().lines[v->line];
}

PyObject* variation_moves(PyObject* self, void*) noexcept {
    const board::Line& line = line_of(self);
    return per_ply(line, [&](std::size_t k) { return new_move(line.plies[k].move); });
}
PyObject* variation_starting_comment(PyObject* self, void*) noexcept {
    return text(line_of(self).plies.front().starting_comment);
}
PyObject* variation_turn(PyObject* self, void*) noexcept { return PyBool_FromLong(line_of(self).first_turn); }
PyObject* variation_comments(PyObject* self, void*) noexcept { return of_variation(self, COMMENTS); }
PyObject* variation_nags(PyObject* self, void*) noexcept { return of_variation(self, NAGS); }
PyObject* variation_evals(PyObject* self, void*) noexcept { return of_variation(self, EVALS); }
PyObject* variation_clocks(PyObject* self, void*) noexcept { return of_variation(self, CLOCKS); }
PyObject* variation_variations(PyObject* self, void*) noexcept { return of_variation(self, VARIATIONS); }

Py_ssize_t variation_length(PyObject* self) noexcept { return static_cast<Py_ssize_t>(line_of(self).plies.size()); }

PyObject* variation_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<Variation of %zd plies>", variation_length(self));
}

PyGetSetDef variation_getset[] = {
    {"moves", variation_moves, nullptr, "The moves of the line, as a tuple of Move.", nullptr},
    {"turn", variation_turn, nullptr, "The side that plays the first move (True for white).", nullptr},
    {"starting_comment", variation_starting_comment, nullptr, "The comment before the first move; \"\" when none.",
     nullptr},
    {"comments", variation_comments, nullptr, "The comment after each move, one str per ply.", nullptr},
    {"nags", variation_nags, nullptr, "The NAGs of each move, one frozenset of int per ply.", nullptr},
    {"evals", variation_evals, nullptr, "The [%eval] of each move's comment, one Score or None per ply.", nullptr},
    {"clocks", variation_clocks, nullptr, "The [%clk] of each move's comment in seconds, one float or None per ply.",
     nullptr},
    {"variations", variation_variations, nullptr, "The alternatives to each move, one tuple of Variation per ply.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot variation_slots[] = {
    {Py_tp_doc, const_cast<char*>("A line of play standing beside one move of a game: an alternative to it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(variation_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(variation_repr)},
    {Py_sq_length, reinterpret_cast<void*>(variation_length)},
    {Py_tp_getset, variation_getset},
    {0, nullptr},  // sentinel
};

PyType_Spec variation_spec = {
    .name = "tavrinmoss.Variation",
    .basicsize = sizeof(VariationObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = variation_slots,
};

TypeCache variation_type_cache(&variation_spec, "Variation");

PyObject* new_game_object(PyObject* headers, PyObject* board, std::shared_ptr<const GameData> data) noexcept {
    PyTypeObject* type = require_type(game_type_cache, "Game");
    if (!type) return nullptr;
    auto* obj = reinterpret_cast<GameObject*>(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    obj->headers = Py_NewRef(headers);
    obj->board = Py_XNewRef(board);
    new (&obj->data) std::shared_ptr<const GameData>(std::move(data));
    for (PyObject*& c : obj->cache) c = nullptr;
    return reinterpret_cast<PyObject*>(obj);
}

}  // namespace

PyTypeObject* game_type_object() noexcept { return game_type_cache.get(); }
PyTypeObject* variation_type_object() noexcept { return variation_type_cache.get(); }

PyObject* new_game(PyObject* headers, board::PgnGame&& game, std::string_view movetext,
                   std::shared_ptr<BoardDemand> demand) noexcept {
    return guarded(
        [&]() -> PyObject* {
            auto data = std::make_shared<GameData>();
            data->demand = std::move(demand);
            data->movetext = movetext;
            data->notes = std::move(game.notes);
            data->noted = true;
            if (game.walked) {
                data->start = game.board.state();
                data->starting_fen = std::move(game.board.starting_fen);
                data->mainline = std::move(game.moves);
                return new_game_object(headers, nullptr, std::move(data));
            }
            const auto& history = game.board.history;
            data->start = history.empty() ? game.board.state() : history.front().state;
            data->mainline.reserve(history.size());
            for (const auto& e : history) data->mainline.push_back(e.move);
            Ref board(new_board(std::move(game.board)));
            if (!board) return nullptr;
            return new_game_object(headers, board.get(), std::move(data));
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace binding
