#include <new>

#include "binding/call.h"
#include "binding/type_cache.h"

namespace binding {

namespace {

using board::Move;

// Moves are made by the thousand per second (every generated list), so freed
// objects are kept for reuse instead of going back to the allocator.
constexpr std::size_t FREE_LIST_MAX = 4096;
MoveObject* free_list[FREE_LIST_MAX];
std::size_t free_count = 0;

MoveObject* alloc_move(PyTypeObject* type) noexcept {
    if (free_count > 0) {
        MoveObject* obj = free_list[--free_count];
        PyObject_Init(reinterpret_cast<PyObject*>(obj), type);
        new (&obj->borrow) BorrowFlag(0);
        return obj;
    }
    auto* obj = reinterpret_cast<MoveObject*>(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    new (&obj->borrow) BorrowFlag(0);
    return obj;
}

PyObject* make_move(PyTypeObject* type, const Move& m) noexcept {
    MoveObject* obj = alloc_move(type);
    if (!obj) return nullptr;
    new (&obj->record) Move(m);
    return reinterpret_cast<PyObject*>(obj);
}

void move_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* obj = reinterpret_cast<MoveObject*>(self);
    obj->record.~Move();
    if (free_count < FREE_LIST_MAX)
        free_list[free_count++] = obj;
    else
        type->tp_free(self);
    Py_DECREF(type);
}

Signature NEW_SIG{"Move", "__new__", {"from_square", "to_square", "promotion"}, 3, 2};
Signature FROM_UCI_SIG{"Move", "from_uci", {"text"}, 1, 1};

PyObject* move_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* argv[MAX_PARAMS];
            if (!parse_tuple(NEW_SIG, args, kwargs, argv)) return nullptr;
            Arg<std::uint32_t> from, to;
            Arg<std::optional<char32_t>> promotion;
            if (!from.load(argv[0])) return name_argument("from_square"), nullptr;
            if (!to.load(argv[1])) return name_argument("to_square"), nullptr;
            if (!promotion.load(argv[2])) return name_argument("promotion"), nullptr;
            return make_move(type, Move(from.get(), to.get(), promotion.get()));
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* move_from_uci(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(FROM_UCI_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            Arg<std::string_view> text;
            if (!text.load(argv[0])) return name_argument("text"), nullptr;
            auto move = Move::from_uci(text.get());
            if (!move) {
                PyErr_Format(PyExc_ValueError, "invalid UCI move: %R", argv[0]);
                return nullptr;
            }
            return make_move(reinterpret_cast<PyTypeObject*>(cls), *move);
        },
        static_cast<PyObject*>(nullptr));
}

constexpr auto get_from = [](const Move& m) { return m.from_square; };
constexpr auto get_to = [](const Move& m) { return m.to_square; };
constexpr auto get_promotion = [](const Move& m) { return m.promotion; };
constexpr auto set_from = [](Move& m, std::uint32_t v) { m.from_square = v; };
constexpr auto set_to = [](Move& m, std::uint32_t v) { m.to_square = v; };
constexpr auto set_promotion = [](Move& m, std::optional<char32_t> v) { m.promotion = v; };
constexpr auto uci = [](const Move& m) { return m.uci(); };
// Pickled as the constructor call that makes it again.
constexpr auto reduce = [](const Move& m) -> PyObject* {
    PyTypeObject* type = move_type();
    if (!type) return nullptr;
    Ref promotion(to_python(m.promotion));
    if (!promotion) return nullptr;
    return Py_BuildValue("(O(kkO))", reinterpret_cast<PyObject*>(type), static_cast<unsigned long>(m.from_square),
                         static_cast<unsigned long>(m.to_square), promotion.get());
};

PyMethodDef move_methods[] = {
    {"uci", no_params<"Move.uci", noargs<Access::Shared, uci>>(), NO_PARAMS, "uci($self)\n--\n\n"},
    {"__reduce__", no_params<"Move.__reduce__", noargs<Access::Shared, reduce>>(), NO_PARAMS,
     "__reduce__($self)\n--\n\n"},
    {"from_uci", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(move_from_uci)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_uci($type, text)\n--\n\nParse UCI text such as \"e2e4\" or \"e7e8q\"; raise ValueError "
     "for anything else."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyGetSetDef move_getset[] = {
    {"to_square", getter<get_to>, setter<set_to>, nullptr, const_cast<char*>("to_square")},
    {"from_square", getter<get_from>, setter<set_from>, nullptr,
     const_cast<char*>("from_square")},
    {"promotion", getter<get_promotion>, setter<set_promotion>, nullptr,
     const_cast<char*>("promotion")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot move_slots[] = {
    {Py_tp_doc, const_cast<char*>("Move(from_square, to_square, promotion=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(move_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(move_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(unary<Access::Shared, uci>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary<Access::Shared, uci>)},
    {Py_tp_methods, move_methods},
    {Py_tp_getset, move_getset},
    {0, nullptr},  // sentinel
};

PyType_Spec move_spec = {
    .name = "tavrinmoss.Move",
    .basicsize = sizeof(MoveObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = move_slots,
};

}  // namespace

TypeCache move_type_cache(&move_spec, "Move");

PyObject* new_move(const Move& m) noexcept {
    PyTypeObject* type = require_type(move_type_cache, "Move");
    if (!type) return nullptr;
    return make_move(type, m);
}

PyObject* new_move_list(const Move* begin, const Move* end) noexcept {
    PyTypeObject* type = require_type(move_type_cache, "Move");
    if (!type) return nullptr;
    Ref list(PyList_New(end - begin));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const Move* m = begin; m != end; ++m, ++i) {
        PyObject* obj = make_move(type, *m);
        if (!obj) return nullptr;
        PyList_SET_ITEM(list.get(), i, obj);
    }
    return list.release();
}

}  // namespace binding
