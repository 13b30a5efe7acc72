// svg()'s options, read as python-chess's chess.svg.board reads them.

#include "binding/diagram.h"

#include <string_view>

#include "binding/convert.h"
#include "binding/panic.h"
#include "binding/ref.h"

namespace binding {

namespace {

using board::Paint;

bool load_square(PyObject* obj, const char* argument, board::Square& out) {
    Arg<BoardSquare> square;
    if (!square.load(obj)) return name_argument(argument), false;
    out = square.get().value;
    return true;
}

bool load_paint(PyObject* obj, const char* argument, Paint& out) {
    Arg<std::string_view> text;
    if (!text.load(obj)) return name_argument(argument), false;
    out = board::parse_paint(text.get());  // Invalid becomes ValueError in the guard
    return true;
}

// An optional bool argument: omitted or None keeps `out`.
bool load_flag(PyObject* obj, const char* argument, bool& out) {
    if (!obj || obj == Py_None) return true;
    Arg<bool> flag;
    if (!flag.load(obj)) return name_argument(argument), false;
    out = flag.get();
    return true;
}

// colors: a dict from python-chess's colour names to colours; names it
// does not know are passed over, as python-chess passes them over.
bool load_colors(PyObject* colors, board::DiagramOptions& out, Ref& arrow_colors) {
    if (!colors || colors == Py_None) return true;
    if (!PyDict_Check(colors)) return cannot_convert(colors, "dict"), name_argument("colors"), false;
    const std::pair<std::string_view, Paint*> slots[] = {
        {"square light", &out.light}, {"square dark", &out.dark},
        {"square light lastmove", &out.light_lastmove}, {"square dark lastmove", &out.dark_lastmove},
        {"margin", &out.margin}, {"coord", &out.coord},
    };
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(colors, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) continue;
        const char* name = PyUnicode_AsUTF8(key);
        if (!name) return false;
        for (const auto& [slot, paint] : slots)
            if (slot == name && !load_paint(value, "colors", *paint)) return false;
    }
    arrow_colors = Ref::borrowed(colors);
    return true;
}

// An arrow's colour: a name that colors or the defaults give as "arrow
// {name}" ("green", "red", "yellow", "blue"), else the colour itself.
bool arrow_paint(PyObject* color, PyObject* colors, Paint& out) {
    static constexpr std::pair<std::string_view, std::string_view> DEFAULTS[] = {
        {"green", "#15781B80"}, {"red", "#88202080"}, {"yellow", "#e68f00b3"}, {"blue", "#00308880"}};
    Arg<std::string_view> text;
    if (!text.load(color)) return name_argument("arrows"), false;
    if (colors) {
        Ref key(PyUnicode_FromFormat("arrow %U", color));
        if (!key) return false;
        if (PyObject* given = PyDict_GetItemWithError(colors, key.get())) return load_paint(given, "colors", out);
        if (PyErr_Occurred()) return false;
    }
    for (const auto& [name, paint] : DEFAULTS)
        if (name == text.get()) return out = board::parse_paint(paint), true;
    return load_paint(color, "arrows", out);
}

// An arrow: (tail, head) or (tail, head, colour), or an object with tail,
// head and color attributes, as python-chess's Arrow.
bool load_arrow(PyObject* item, PyObject* colors, board::Arrow& out) {
    Ref tail, head, color;
    if (PyTuple_Check(item) || PyList_Check(item)) {
        const Py_ssize_t n = PySequence_Size(item);
        if (n != 2 && n != 3) {
            PyErr_Format(PyExc_ValueError, "an arrow is (tail, head) or (tail, head, colour), not %R", item);
            return false;
        }
        tail = Ref(PySequence_GetItem(item, 0));
        head = Ref(PySequence_GetItem(item, 1));
        if (n == 3) color = Ref(PySequence_GetItem(item, 2));
        if (!tail || !head || (n == 3 && !color)) return false;
    } else if (PyObject_HasAttrString(item, "tail") && PyObject_HasAttrString(item, "head")) {
        tail = Ref(PyObject_GetAttrString(item, "tail"));
        head = Ref(PyObject_GetAttrString(item, "head"));
        if (!tail || !head) return false;
        if (PyObject_HasAttrString(item, "color") && !(color = Ref(PyObject_GetAttrString(item, "color")))) return false;
    } else {
        cannot_convert(item, "arrow");
        return name_argument("arrows"), false;
    }
    if (!load_square(tail.get(), "arrows", out.tail) || !load_square(head.get(), "arrows", out.head)) return false;
    if (!color) color = Ref(PyUnicode_FromString("green"));
    return color && arrow_paint(color.get(), colors, out.paint);
}

template <typename F>
bool for_each_item(PyObject* iterable, const char* argument, F&& each) {
    Ref iter(PyObject_GetIter(iterable));
    if (!iter) return name_argument(argument), false;
    while (Ref item{PyIter_Next(iter.get())})
        if (!each(item.get())) return false;
    return !PyErr_Occurred();
}

}  // namespace

bool read_diagram_options(const board::Board& b, PyObject* const* argv, board::DiagramOptions& out) noexcept {
    return guarded(
        [&]() -> bool {
            enum { SIZE, ORIENTATION, ARROWS, FILL, SQUARES, FLIPPED, LASTMOVE, CHECK, COORDINATES, COLORS };
            out = b.diagram_defaults();
            if (argv[SIZE] && argv[SIZE] != Py_None) {
                Arg<PixelSize> size;
                if (!size.load(argv[SIZE])) return name_argument("size"), false;
                out.size = size.get().value;
            }
            bool flipped = false;
            if (!load_flag(argv[ORIENTATION], "orientation", out.orientation) ||
                !load_flag(argv[FLIPPED], "flipped", flipped) ||
                !load_flag(argv[COORDINATES], "coordinates", out.coordinates))
                return false;
            out.orientation ^= flipped;
            Ref colors;
            if (!load_colors(argv[COLORS], out, colors)) return false;
            if (argv[LASTMOVE]) {
                out.lastmove.reset();
                if (argv[LASTMOVE] != Py_None) {
                    Arg<board::Move> move;
                    if (!move.load(argv[LASTMOVE])) return name_argument("lastmove"), false;
                    out.lastmove = std::pair{move.get().from_square, move.get().to_square};
                }
            }
            if (argv[CHECK]) {
                out.check.reset();
                board::Square square;
                if (argv[CHECK] != Py_None) {
                    if (!load_square(argv[CHECK], "check", square)) return false;
                    out.check = square;
                }
            }
            if (argv[ARROWS] && argv[ARROWS] != Py_None &&
                !for_each_item(argv[ARROWS], "arrows", [&](PyObject* item) {
                    board::Arrow arrow{0, 0, {}};
                    if (!load_arrow(item, colors.get(), arrow)) return false;
                    out.arrows.push_back(std::move(arrow));
                    return true;
                }))
                return false;
            if (argv[FILL] && argv[FILL] != Py_None) {
                if (!PyDict_Check(argv[FILL])) return cannot_convert(argv[FILL], "dict"), name_argument("fill"), false;
                PyObject *key, *value;
                Py_ssize_t pos = 0;
                while (PyDict_Next(argv[FILL], &pos, &key, &value)) {
                    std::pair<board::Square, Paint> entry;
                    if (!load_square(key, "fill", entry.first) || !load_paint(value, "fill", entry.second))
                        return false;
                    out.fill.push_back(std::move(entry));
                }
            }
            // A set of squares, or a bitboard as python-chess's SquareSet takes one.
            if (PyObject* squares = argv[SQUARES]; squares && squares != Py_None) {
                if (PyLong_Check(squares)) {
                    const unsigned long long bits = PyLong_AsUnsignedLongLong(squares);
                    if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                        PyErr_Clear();
                        PyErr_Format(PyExc_ValueError, "squares %R is not a bitboard (0 to 2**64 - 1)", squares);
                        return false;
                    }
                    out.squares = bits;
                } else if (!for_each_item(squares, "squares", [&](PyObject* item) {
                               board::Square square;
                               if (!load_square(item, "squares", square)) return false;
                               out.squares |= board::square_bb(square);
                               return true;
                           })) {
                    return false;
                }
            }
            return true;
        },
        false);
}

}  // namespace binding
