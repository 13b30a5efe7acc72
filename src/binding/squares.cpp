// Squares by name: the module functions a script written for python-chess
// reaches for first. Squares are the same numbers everywhere (0 is a1, 63
// h8); a square, file or rank outside the board is a ValueError here, where
// python-chess masks or indexes out of range.

#include "binding/squares.h"

#include <array>
#include <string_view>

#include "binding/args.h"
#include "binding/convert.h"
#include "binding/panic.h"
#include "binding/ref.h"

namespace binding {

namespace {

constexpr std::array<char, 8> FILE_LETTERS{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};

// A file or rank index, 0 to 7; another integer is a ValueError naming it.
bool load_line(PyObject* obj, const char* what, int& out) noexcept {
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < 0 || v > 7) {
        PyErr_Format(PyExc_ValueError, "%s %R is out of range (0 to 7)", what, obj);
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

// Parses the one argument of a square function; nullptr with the error set.
template <const Signature* Sig>
PyObject* one_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** buffer) noexcept {
    PyObject* const* argv = parse_fastcall(*Sig, args, nargs, kwnames, buffer);
    return argv ? argv[0] : nullptr;
}

Signature SQUARE_SIG{nullptr, "square", {"file_index", "rank_index"}, 2, 2};
Signature SQUARE_FILE_SIG{nullptr, "square_file", {"square"}, 1, 1};
Signature SQUARE_RANK_SIG{nullptr, "square_rank", {"square"}, 1, 1};
Signature SQUARE_NAME_SIG{nullptr, "square_name", {"square"}, 1, 1};
Signature PARSE_SQUARE_SIG{nullptr, "parse_square", {"name"}, 1, 1};

PyObject* square(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(SQUARE_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            int file = 0, rank = 0;
            if (!load_line(argv[0], "file_index", file)) return name_argument("file_index"), nullptr;
            if (!load_line(argv[1], "rank_index", rank)) return name_argument("rank_index"), nullptr;
            return Py_XNewRef(square_object(rank * 8 + file));
        },
        static_cast<PyObject*>(nullptr));
}

// square_file / square_rank / square_name share the square's reading.
template <const Signature* Sig, PyObject* (*Body)(int)>
PyObject* of_square(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* arg = one_argument<Sig>(args, nargs, kwnames, buffer);
            if (!arg) return nullptr;
            Arg<BoardSquare> square;
            if (!square.load(arg)) return name_argument("square"), nullptr;
            return Body(square.get().value);
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* file_of(int s) { return Py_XNewRef(square_object(s % 8)); }
PyObject* rank_of(int s) { return Py_XNewRef(square_object(s / 8)); }
PyObject* name_of(int s) {
    const char name[2] = {FILE_LETTERS[s % 8], static_cast<char>('1' + s / 8)};
    return PyUnicode_FromStringAndSize(name, 2);
}

PyObject* parse_square(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* arg = one_argument<&PARSE_SQUARE_SIG>(args, nargs, kwnames, buffer);
            if (!arg) return nullptr;
            if (!PyUnicode_Check(arg)) return cannot_convert(arg, "PyString"), name_argument("name"), nullptr;
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(arg, &size);
            if (!text) return nullptr;
            // Lower case only, as python-chess's SQUARE_NAMES.index reads it.
            if (size != 2 || text[0] < 'a' || text[0] > 'h' || text[1] < '1' || text[1] > '8') {
                PyErr_Format(PyExc_ValueError, "invalid square name: %R", arg);
                return nullptr;
            }
            return Py_XNewRef(square_object((text[1] - '1') * 8 + (text[0] - 'a')));
        },
        static_cast<PyObject*>(nullptr));
}

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyCFunction fast(FastCall f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); }
constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef square_functions[] = {
    {"square", fast(square), FAST,
     "square(file_index, rank_index)\n--\n\nThe square on a file and a rank, each 0 to 7 (square(4, 3) is e4, 28)."},
    {"square_file", fast(of_square<&SQUARE_FILE_SIG, file_of>), FAST,
     "square_file(square)\n--\n\nThe file of a square, 0 (the a-file) to 7."},
    {"square_rank", fast(of_square<&SQUARE_RANK_SIG, rank_of>), FAST,
     "square_rank(square)\n--\n\nThe rank of a square, 0 (the first rank) to 7."},
    {"square_name", fast(of_square<&SQUARE_NAME_SIG, name_of>), FAST,
     "square_name(square)\n--\n\nThe name of a square, \"a1\" to \"h8\"."},
    {"parse_square", fast(parse_square), FAST,
     "parse_square(name)\n--\n\nThe square a name such as \"e4\" stands for; ValueError for anything else."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

bool add_square_names(PyObject* module) noexcept {
    return guarded(
        [&]() -> bool {
            if (PyModule_AddFunctions(module, square_functions) < 0) return false;
            Ref names(PyTuple_New(64));
            if (!names) return false;
            for (int s = 0; s < 64; ++s) {
                PyObject* name = name_of(s);
                if (!name) return false;
                PyTuple_SET_ITEM(names.get(), s, name);
            }
            return PyModule_AddObjectRef(module, "SQUARE_NAMES", names.get()) == 0;
        },
        false);
}

}  // namespace binding
