#include "binding/call.h"
#include "binding/type_cache.h"

// Evaluations: `Score`, a score with the side whose view it takes, and
// `RelativeScore`, a score from one side's view. Both are immutable values,
// so they need no borrow flag.

namespace binding {

namespace {

using board::SideScore;

struct ScoreObject {
    PyObject_HEAD
    board::Score value;
};

struct RelativeScoreObject {
    PyObject_HEAD
    SideScore value;
};

extern TypeCache score_type_cache;
extern TypeCache relative_score_type_cache;

PyObject* make_relative(const SideScore& v) noexcept {
    PyTypeObject* type = require_type(relative_score_type_cache, "RelativeScore");
    if (!type) return nullptr;
    auto* obj = PyObject_New(RelativeScoreObject, type);
    if (!obj) return nullptr;
    obj->value = v;
    return reinterpret_cast<PyObject*>(obj);
}

const board::Score& score_of(PyObject* self) noexcept { return reinterpret_cast<ScoreObject*>(self)->value; }
const SideScore& relative_of(PyObject* self) noexcept { return reinterpret_cast<RelativeScoreObject*>(self)->value; }

template <typename T>
PyObject* compare(const T& a, const T& b, int op) noexcept {
    Py_RETURN_RICHCOMPARE(a, b, op);
}

Py_hash_t hash_key(const SideScore& v) noexcept {
    const auto [given, winning, cp, moves, centipawns] = v.order_key();
    std::uint64_t h = (given ? 1u : 0u) | (winning ? 2u : 0u) | (cp ? 4u : 0u);
    h = h * 0x9E3779B97F4A7C15ULL ^ static_cast<std::uint64_t>(moves);
    h = h * 0x9E3779B97F4A7C15ULL ^ static_cast<std::uint64_t>(centipawns);
    const auto r = static_cast<Py_hash_t>(h >> 1);
    return r == -1 ? -2 : r;
}

// ---------------------------------------------------------------- Score

// The Scores the table below does not keep are made and dropped by the
// thousand reading annotated games: freed objects are kept for reuse
// instead of going back to the allocator, as Move objects are.
constexpr std::size_t FREE_LIST_MAX = 1024;
ScoreObject* free_list[FREE_LIST_MAX];
std::size_t free_count = 0;

// Scores are values no caller can change (no setter, no __dict__, equality
// by value), so one object serves every equal reading: an annotated game's
// evals repeat from move to move and game to game. A table of recent
// Scores, each in the slot its key picks: centipawns by their value, near
// 0 a slot each (negative ones from the table's end), mates from its
// middle, where centipawns of ten pawns and more fall. Touched only with the
// GIL held; what it keeps is kept for the process (the table's destructor
// touches no object), as the types are.
constexpr std::size_t RECENT_SCORES = 4096;
PyObject* recent_scores[RECENT_SCORES];  // strong

// Whether `a` is `b` itself, not merely equal to it: the same side's view
// and the same turn, for a Score's repr shows both.
bool same_score(const board::Score& a, const board::Score& b) noexcept {
    return a.turn == b.turn && a.relative.kind == b.relative.kind && a.relative.value == b.relative.value;
}

// The slot for scores like `s`; nullptr for a mate given, too rare to keep.
PyObject** recent_score_slot(const board::Score& s) noexcept {
    const auto key = static_cast<std::size_t>(s.relative.value) * 2 + s.turn;
    switch (s.relative.kind) {
        case SideScore::Kind::CP: return &recent_scores[key % RECENT_SCORES];
        case SideScore::Kind::MATE: return &recent_scores[(key + RECENT_SCORES / 2) % RECENT_SCORES];
        case SideScore::Kind::MATE_GIVEN: break;
    }
    return nullptr;
}

void free_score_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (free_count < FREE_LIST_MAX)
        free_list[free_count++] = reinterpret_cast<ScoreObject*>(self);
    else
        PyObject_Free(self);
    Py_DECREF(type);
}

void score_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

// A new Score object of `s`, kept in `slot` when there is one: out of
// new_score, whose look-up is all that nearly every call does.
[[gnu::noinline]] PyObject* made_score(const board::Score& s, PyObject** slot) noexcept {
    PyTypeObject* type = require_type(score_type_cache, "Score");
    if (!type) return nullptr;
    ScoreObject* obj;
    if (free_count > 0) {
        obj = free_list[--free_count];
        PyObject_Init(reinterpret_cast<PyObject*>(obj), type);
    } else {
        obj = PyObject_New(ScoreObject, type);
        if (!obj) return nullptr;
    }
    obj->value = s;
    if (slot) Py_XSETREF(*slot, Py_NewRef(reinterpret_cast<PyObject*>(obj)));
    return reinterpret_cast<PyObject*>(obj);
}

Signature POV_SIG{"Score", "pov", {"color"}, 1, 1};

PyObject* score_pov(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(POV_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            Arg<bool> color;
            if (!color.load(argv[0])) return name_argument("color"), nullptr;
            return make_relative(score_of(self).pov(color.get()));
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* score_white(PyObject* self, PyObject*) noexcept { return make_relative(score_of(self).pov(true)); }
PyObject* score_black(PyObject* self, PyObject*) noexcept { return make_relative(score_of(self).pov(false)); }
PyObject* score_is_mate(PyObject* self, PyObject*) noexcept { return PyBool_FromLong(score_of(self).relative.is_mate()); }
PyObject* score_relative(PyObject* self, void*) noexcept { return make_relative(score_of(self).relative); }
PyObject* score_turn(PyObject* self, void*) noexcept { return PyBool_FromLong(score_of(self).turn); }

PyObject* score_repr(PyObject* self) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const board::Score& s = score_of(self);
            const std::string text = "Score(" + s.relative.repr() + (s.turn ? ", WHITE)" : ", BLACK)");
            return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        },
        static_cast<PyObject*>(nullptr));
}

PyTypeObject* score_type() noexcept { return score_type_cache.get(); }
PyTypeObject* relative_score_type() noexcept { return relative_score_type_cache.get(); }

// Equal when white's view is equal, as for the scores Python chess programs
// know; there is no order between scores of different points of view.
PyObject* score_richcompare(PyObject* a, PyObject* b, int op) noexcept {
    PyTypeObject* t = score_type();
    if (!t || !PyObject_TypeCheck(b, t) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    const bool eq = score_of(a) == score_of(b);
    return PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

Py_hash_t score_hash(PyObject* self) noexcept { return hash_key(score_of(self).white()); }

PyMethodDef score_methods[] = {
    {"white", score_white, METH_NOARGS, "white($self, /)\n--\n\nThe score from white's point of view."},
    {"black", score_black, METH_NOARGS, "black($self, /)\n--\n\nThe score from black's point of view."},
    {"pov", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(score_pov)), METH_FASTCALL | METH_KEYWORDS,
     "pov($self, color)\n--\n\nThe score from the point of view of `color` (True for white)."},
    {"is_mate", score_is_mate, METH_NOARGS, "is_mate($self, /)\n--\n\nWhether this is a mate score."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyGetSetDef score_getset[] = {
    {"relative", score_relative, nullptr, "The score from the point of view of `turn`.", nullptr},
    {"turn", score_turn, nullptr, "The side whose point of view `relative` takes (True for white).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot score_slots[] = {
    {Py_tp_doc, const_cast<char*>("An evaluation: a score and the side whose point of view it takes.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_score_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(score_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(score_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(score_hash)},
    {Py_tp_methods, score_methods},
    {Py_tp_getset, score_getset},
    {0, nullptr},  // sentinel
};

PyType_Spec score_spec = {
    .name = "tavrinmoss.Score",
    .basicsize = sizeof(ScoreObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = score_slots,
};

TypeCache score_type_cache(&score_spec, "Score");

// ---------------------------------------------------------------- RelativeScore

Signature SCORE_SIG{"RelativeScore", "score", {"mate_score"}, 1, 0};

PyObject* relative_score(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            PyObject* buffer[MAX_PARAMS];
            PyObject* const* argv = parse_fastcall(SCORE_SIG, args, nargs, kwnames, buffer);
            if (!argv) return nullptr;
            std::optional<std::int64_t> mate_score;
            if (argv[0] && argv[0] != Py_None) {
                if (!PyLong_Check(argv[0])) {
                    PyErr_Format(PyExc_TypeError, "argument 'mate_score': expected int or None, not '%s'",
                                 Py_TYPE(argv[0])->tp_name);
                    return nullptr;
                }
                const long long v = PyLong_AsLongLong(argv[0]);
                if (v == -1 && PyErr_Occurred()) return name_argument("mate_score"), nullptr;
                mate_score = v;
            }
            const auto v = relative_of(self).score(mate_score);
            if (!v) Py_RETURN_NONE;
            return PyLong_FromLongLong(*v);
        },
        static_cast<PyObject*>(nullptr));
}

PyObject* relative_mate(PyObject* self, PyObject*) noexcept {
    const auto m = relative_of(self).moves_to_mate();
    if (!m) Py_RETURN_NONE;
    return PyLong_FromLongLong(*m);
}
PyObject* relative_is_mate(PyObject* self, PyObject*) noexcept { return PyBool_FromLong(relative_of(self).is_mate()); }
PyObject* relative_neg(PyObject* self) noexcept { return make_relative(-relative_of(self)); }
PyObject* relative_pos(PyObject* self) noexcept { return make_relative(relative_of(self)); }
PyObject* relative_abs(PyObject* self) noexcept { return make_relative(relative_of(self).absolute()); }

PyObject* text_of(const std::string& s) noexcept {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
PyObject* relative_repr(PyObject* self) noexcept {
    return guarded([&] { return text_of(relative_of(self).repr()); }, static_cast<PyObject*>(nullptr));
}
PyObject* relative_str(PyObject* self) noexcept {
    return guarded([&] { return text_of(relative_of(self).str()); }, static_cast<PyObject*>(nullptr));
}

PyObject* relative_richcompare(PyObject* a, PyObject* b, int op) noexcept {
    PyTypeObject* t = relative_score_type();
    if (!t || !PyObject_TypeCheck(b, t)) Py_RETURN_NOTIMPLEMENTED;
    return compare(relative_of(a), relative_of(b), op);
}

Py_hash_t relative_hash(PyObject* self) noexcept { return hash_key(relative_of(self)); }

PyMethodDef relative_methods[] = {
    {"score", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(relative_score)),
     METH_FASTCALL | METH_KEYWORDS,
     "score($self, mate_score=None)\n--\n\nThe score in centipawns, or None for a mate score unless "
     "`mate_score` is given: then a mate in n counts as mate_score - n, being mated in n as "
     "-mate_score + n."},
    {"mate", relative_mate, METH_NOARGS,
     "mate($self, /)\n--\n\nThe moves to mate (negative when being mated, 0 once mated), or None."},
    {"is_mate", relative_is_mate, METH_NOARGS, "is_mate($self, /)\n--\n\nWhether this is a mate score."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot relative_slots[] = {
    {Py_tp_doc, const_cast<char*>("A score from one side's point of view: centipawns or moves to mate.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(score_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(relative_repr)},
    {Py_tp_str, reinterpret_cast<void*>(relative_str)},
    {Py_tp_richcompare, reinterpret_cast<void*>(relative_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(relative_hash)},
    {Py_nb_negative, reinterpret_cast<void*>(relative_neg)},
    {Py_nb_positive, reinterpret_cast<void*>(relative_pos)},
    {Py_nb_absolute, reinterpret_cast<void*>(relative_abs)},
    {Py_tp_methods, relative_methods},
    {0, nullptr},  // sentinel
};

PyType_Spec relative_spec = {
    .name = "tavrinmoss.RelativeScore",
    .basicsize = sizeof(RelativeScoreObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = relative_slots,
};

TypeCache relative_score_type_cache(&relative_spec, "RelativeScore");

}  // namespace

PyObject* new_score(const board::Score& s) noexcept {
    PyObject** slot = recent_score_slot(s);
    if (slot && *slot && same_score(score_of(*slot), s)) return Py_NewRef(*slot);
    return made_score(s, slot);
}

PyTypeObject* score_type_object() noexcept { return score_type_cache.get(); }
PyTypeObject* relative_score_type_object() noexcept { return relative_score_type_cache.get(); }

}  // namespace binding
