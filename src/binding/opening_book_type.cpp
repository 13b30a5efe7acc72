// OpeningBook: a Polyglot book read in place, with python-chess's
// chess.polyglot reader's methods and meanings.

#include <cerrno>
#include <memory>
#include <new>

#include "binding/call.h"
#include "binding/type_cache.h"
#include "board/polyglot_book.h"

namespace binding {

namespace {

struct OpeningBookObject {
    PyObject_HEAD
    BorrowFlag borrow;
    std::unique_ptr<board::PolyglotBook> book;
};

// ------------------------------------------------------------ entries

PyStructSequence_Field entry_fields[] = {
    {"key", "The Polyglot key of the position."},
    {"raw_move", "The move as the book stores it."},
    {"weight", "The entry's weight: how often the book's maker chose the move."},
    {"learn", "The entry's learn field, free for other uses."},
    {"move", "The move, as the board plays it (castling as the king's two-square step)."},
    {nullptr, nullptr},  // sentinel
};

PyStructSequence_Desc entry_desc = {
    .name = "tavrinmoss.BookEntry",
    .doc = "BookEntry(key, raw_move, weight, learn, move)\n--\n\nAn entry of an opening book.",
    .fields = entry_fields,
    .n_in_sequence = 5,
};

std::atomic<PyTypeObject*> entry_type{nullptr};

PyTypeObject* get_entry_type() noexcept {
    if (PyTypeObject* t = entry_type.load(std::memory_order_acquire)) return t;
    PyTypeObject* made = PyStructSequence_NewType(&entry_desc);
    if (!made) return nullptr;
    made->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(made);
    PyTypeObject* expected = nullptr;
    if (!entry_type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

PyObject* new_entry(const board::BookMove& found) noexcept {
    PyTypeObject* type = get_entry_type();
    if (!type) return nullptr;
    Ref result(PyStructSequence_New(type));
    if (!result) return nullptr;
    PyObject* items[5] = {PyLong_FromUnsignedLongLong(found.entry.key), PyLong_FromLong(found.entry.raw_move),
                          PyLong_FromLong(found.entry.weight), PyLong_FromUnsignedLong(found.entry.learn),
                          new_move(found.move)};
    bool ok = true;
    for (int i = 0; i < 5; ++i) {
        if (!items[i]) ok = false;
        PyStructSequence_SetItem(result.get(), i, items[i]);  // steals; a null slot is dropped with the tuple
    }
    return ok ? result.release() : nullptr;
}

// ------------------------------------------------------------ the book

Signature NEW_SIG{"OpeningBook", "__new__", {"path"}, 1, 1};

PyObject* book_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* argv[MAX_PARAMS];
            if (!parse_tuple(NEW_SIG, args, kwargs, argv)) return nullptr;
            PyObject* converted = nullptr;
            if (!PyUnicode_FSConverter(argv[0], &converted)) return name_argument("path"), nullptr;
            Ref path(converted);
            std::unique_ptr<board::PolyglotBook> book;
            try {
                book = std::make_unique<board::PolyglotBook>(PyBytes_AS_STRING(path.get()));
            } catch (const board::BookFileError& e) {
                errno = e.error_number;
                return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, argv[0]);
            }
            auto* obj = reinterpret_cast<OpeningBookObject*>(type->tp_alloc(type, 0));
            if (!obj) return nullptr;
            new (&obj->borrow) BorrowFlag(0);
            new (&obj->book) std::unique_ptr<board::PolyglotBook>(std::move(book));
            return reinterpret_cast<PyObject*>(obj);
        },
        static_cast<PyObject*>(nullptr));
}

void book_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    using Owner = std::unique_ptr<board::PolyglotBook>;
    reinterpret_cast<OpeningBookObject*>(self)->book.~Owner();
    type->tp_free(self);
    Py_DECREF(type);
}

bool refuse_closed(OpeningBookObject* obj) noexcept {
    if (!obj->book->closed()) return false;
    PyErr_SetString(PyExc_ValueError, "the opening book is closed");
    return true;
}

// The entries for a board, found as python-chess's find_all finds them. The
// arguments are converted (which may run Python code, even code that closes
// this book) before the book and the board are borrowed; the engine then
// runs no Python code until the entries are copied out.
bool find_entries(PyObject* self, PyObject* board_arg, PyObject* minimum_weight, PyObject* exclude_moves,
                  std::vector<board::BookMove>& out) {
    auto* obj = reinterpret_cast<OpeningBookObject*>(self);
    Arg<std::optional<Count>> weight;
    if (!weight.load(minimum_weight)) return name_argument("minimum_weight"), false;
    Arg<const std::vector<board::Move>&> exclude;
    if (exclude_moves && !exclude.load(exclude_moves)) return name_argument("exclude_moves"), false;
    const auto w = weight.get();
    const std::uint64_t minimum = w ? w->value : 1;
    // A key instead of a board, as python-chess takes one: moves as stored.
    if (PyLong_Check(board_arg) && !PyBool_Check(board_arg)) {
        const unsigned long long key = PyLong_AsUnsignedLongLong(board_arg);
        if (key == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "key %R is out of range (0 to 2**64 - 1)", board_arg);
            return false;
        }
        SharedBorrow book_borrow;
        if (!book_borrow.take(obj->borrow) || refuse_closed(obj)) return false;
        out = obj->book->find_all(static_cast<std::uint64_t>(key), minimum, exclude.get());
        return true;
    }
    if (!PyObject_TypeCheck(board_arg, board_type())) return cannot_convert(board_arg, "Board"), name_argument("board"), false;
    SharedBorrow book_borrow;
    if (!book_borrow.take(obj->borrow) || refuse_closed(obj)) return false;
    // is_legal plays trial moves, so the board is held whole.
    ExclusiveBorrow board_borrow;
    auto* board = reinterpret_cast<BoardObject*>(board_arg);
    if (!board_borrow.take(board->borrow)) return false;
    out = obj->book->find_all(board->record, minimum, exclude.get());
    return true;
}

Signature FIND_ALL_SIG{"OpeningBook", "find_all", {"board", "minimum_weight", "exclude_moves"}, 3, 1};
Signature FIND_SIG{"OpeningBook", "find", {"board", "minimum_weight", "exclude_moves"}, 3, 1};
Signature GET_SIG{"OpeningBook", "get", {"board", "default", "minimum_weight", "exclude_moves"}, 4, 1};
Signature CHOICE_SIG{"OpeningBook", "choice", {"board", "minimum_weight", "exclude_moves", "random"}, 4, 1};
Signature WEIGHTED_SIG{"OpeningBook", "weighted_choice", {"board", "exclude_moves", "random"}, 3, 1};
Signature EXIT_SIG{"OpeningBook", "__exit__", {"exc_type", "exc_value", "traceback"}, 3, 3};

PyObject* book_find_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(FIND_ALL_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            std::vector<board::BookMove> found;
            if (!find_entries(self, argv[0], argv[1], argv[2], found)) return nullptr;
            Ref list(PyList_New(static_cast<Py_ssize_t>(found.size())));
            if (!list) return nullptr;
            for (std::size_t i = 0; i < found.size(); ++i) {
                PyObject* entry = new_entry(found[i]);
                if (!entry) return nullptr;
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
            }
            return PyObject_GetIter(list.get());
        },
        static_cast<PyObject*>(nullptr));
}

// The first entry of the highest weight, as max() picks it.
const board::BookMove* heaviest(const std::vector<board::BookMove>& found) noexcept {
    const board::BookMove* best = nullptr;
    for (const auto& e : found)
        if (!best || e.entry.weight > best->entry.weight) best = &e;
    return best;
}

PyObject* no_entry() noexcept {
    PyErr_SetString(PyExc_IndexError, "no entry for this position in the opening book");
    return nullptr;
}

PyObject* book_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(FIND_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            std::vector<board::BookMove> found;
            if (!find_entries(self, argv[0], argv[1], argv[2], found)) return nullptr;
            const board::BookMove* best = heaviest(found);
            return best ? new_entry(*best) : no_entry();
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* book_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(GET_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            std::vector<board::BookMove> found;
            if (!find_entries(self, argv[0], argv[2], argv[3], found)) return nullptr;
            const board::BookMove* best = heaviest(found);
            return best ? new_entry(*best) : Py_NewRef(argv[1] ? argv[1] : Py_None);
        },
        static_cast<PyObject*>(nullptr));
}

// rng.randint(a, b), or the random module's when rng is None or omitted:
// the same calls python-chess makes, so a seeded generator picks the same.
bool randint(PyObject* rng, unsigned long long a, unsigned long long b, unsigned long long& out) {
    Ref owner;
    if (!rng || rng == Py_None) {
        owner = Ref(PyImport_ImportModule("random"));
        if (!owner) return false;
        rng = owner.get();
    }
    Ref value(PyObject_CallMethod(rng, "randint", "KK", a, b));
    if (!value) return false;
    out = PyLong_AsUnsignedLongLong(value.get());
    return !(out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

PyObject* book_choice(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(CHOICE_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            std::vector<board::BookMove> found;
            if (!find_entries(self, argv[0], argv[1], argv[2], found)) return nullptr;
            if (found.empty()) return no_entry();
            // Reservoir sampling, one draw per entry after the first, as
            // python-chess draws.
            std::size_t chosen = 0;
            for (std::size_t i = 1; i < found.size(); ++i) {
                unsigned long long draw;
                if (!randint(argv[3], 0, i, draw)) return nullptr;
                if (draw == i) chosen = i;
            }
            return new_entry(found[chosen]);
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* book_weighted_choice(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(WEIGHTED_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            std::vector<board::BookMove> found;
            if (!find_entries(self, argv[0], nullptr, argv[1], found)) return nullptr;
            unsigned long long total = 0;
            for (const auto& e : found) total += e.entry.weight;
            if (!total) return no_entry();
            unsigned long long draw;
            if (!randint(argv[2], 0, total - 1, draw)) return nullptr;
            unsigned long long sum = 0;
            for (const auto& e : found)
                if ((sum += e.entry.weight) > draw) return new_entry(e);
            return no_entry();  // a generator that draws outside its range
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* book_close(PyObject* self, PyObject*) noexcept {
    return guarded(
        [&]() -> PyObject* {
            auto* obj = reinterpret_cast<OpeningBookObject*>(self);
            ExclusiveBorrow borrow;
            if (!borrow.take(obj->borrow)) return nullptr;
            obj->book->close();
            Py_RETURN_NONE;
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* book_enter(PyObject* self, PyObject*) noexcept {
    auto* obj = reinterpret_cast<OpeningBookObject*>(self);
    if (refuse_closed(obj)) return nullptr;
    return Py_NewRef(self);
}

PyObject* book_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* buffer[MAX_PARAMS];
    if (!parse_fastcall(EXIT_SIG, args, nargs, kwnames, buffer)) return nullptr;
    Ref closed(book_close(self, nullptr));
    if (!closed) return nullptr;
    Py_RETURN_FALSE;
}

Py_ssize_t book_len(PyObject* self) noexcept {
    auto* obj = reinterpret_cast<OpeningBookObject*>(self);
    if (refuse_closed(obj)) return -1;
    return static_cast<Py_ssize_t>(obj->book->size());
}

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyCFunction fast(FastCall f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); }
constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef book_methods[] = {
    {"find_all", fast(book_find_all), FAST,
     "find_all($self, board, minimum_weight=1, exclude_moves=())\n--\n\n"
     "Iterate over the book's entries for the board's position, in the book's order, leaving out those "
     "lighter than minimum_weight, those in exclude_moves and moves not legal on the board. board may be "
     "a Polyglot key instead: the moves then come as stored."},
    {"find", fast(book_find), FAST,
     "find($self, board, minimum_weight=1, exclude_moves=())\n--\n\n"
     "The first entry of the highest weight for the position; IndexError when there is none."},
    {"get", fast(book_get), FAST,
     "get($self, board, default=None, minimum_weight=1, exclude_moves=())\n--\n\n"
     "As find(), but default when there is no entry."},
    {"choice", fast(book_choice), FAST,
     "choice($self, board, minimum_weight=1, exclude_moves=(), random=None)\n--\n\n"
     "An entry for the position picked uniformly with random.randint (of random, a random.Random, or "
     "the random module's); IndexError when there is none."},
    {"weighted_choice", fast(book_weighted_choice), FAST,
     "weighted_choice($self, board, exclude_moves=(), random=None)\n--\n\n"
     "An entry for the position picked at random in proportion to its weight; IndexError when there "
     "is none."},
    {"close", book_close, METH_NOARGS, "close($self)\n--\n\nUnmap the file; later lookups raise ValueError."},
    {"__enter__", book_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", fast(book_exit), FAST, "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot book_slots[] = {
    {Py_tp_doc, const_cast<char*>("OpeningBook(path)\n--\n\n"
                                  "A Polyglot opening book (.bin), read in place: the file is mapped, not loaded.")},
    {Py_tp_new, reinterpret_cast<void*>(book_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(book_dealloc)},
    {Py_tp_methods, book_methods},
    {Py_sq_length, reinterpret_cast<void*>(book_len)},
    {0, nullptr},  // sentinel
};

PyType_Spec book_spec = {
    .name = "tavrinmoss.OpeningBook",
    .basicsize = sizeof(OpeningBookObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = book_slots,
};

}  // namespace

TypeCache opening_book_type_cache(&book_spec, "OpeningBook");

}  // namespace binding
