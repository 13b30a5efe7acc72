#include <atomic>
#include <memory>
#include <new>
#include <vector>

#include "binding/call.h"
#include "binding/type_cache.h"

namespace binding {

// A board's history as a sequence: each access costs O(1) whatever the
// length, where a list would copy every move. It shows the moves as they were
// when it was made, like the list it stands for. It reads them from a log it
// shares with the board and with the board's other views, whose first
// `length` entries stay as they are while the view holds it, so no change of
// the board costs the views anything; it never reads the board itself.
struct MoveStackObject {
    PyObject_HEAD
    std::shared_ptr<const MoveLog> log;  // null once cleared
    std::size_t length;
};

namespace {

using board::Move;

void move_stack_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<MoveStackObject*>(self)->log.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t move_stack_length(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(reinterpret_cast<MoveStackObject*>(self)->length);
}

PyObject* move_stack_item(PyObject* self, Py_ssize_t i) noexcept {
    auto* v = reinterpret_cast<MoveStackObject*>(self);
    if (i < 0 || i >= move_stack_length(self)) {
        PyErr_SetString(PyExc_IndexError, "move_stack index out of range");
        return nullptr;
    }
    return new_move(v->log->moves[static_cast<std::size_t>(i)]);
}

PyObject* slice_of(PyObject* self, Py_ssize_t start, Py_ssize_t step, Py_ssize_t count) noexcept {
    Ref list(PyList_New(count));
    if (!list) return nullptr;
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* m = move_stack_item(self, start + k * step);
        if (!m) return nullptr;
        PyList_SET_ITEM(list.get(), k, m);
    }
    return list.release();
}

PyObject* as_list(PyObject* self) noexcept { return slice_of(self, 0, 1, move_stack_length(self)); }

PyObject* move_stack_subscript(PyObject* self, PyObject* key) noexcept {
    if (PySlice_Check(key)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
        const Py_ssize_t count = PySlice_AdjustIndices(move_stack_length(self), &start, &stop, step);
        return slice_of(self, start, step, count);
    }
    Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    if (i < 0) i += move_stack_length(self);
    return move_stack_item(self, i);
}

PyObject* move_stack_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    PyTypeObject* own_type = Py_TYPE(self);
    if ((op != Py_EQ && op != Py_NE) || !(PyList_Check(other) || Py_TYPE(other) == own_type))
        Py_RETURN_NOTIMPLEMENTED;
    Ref mine(as_list(self));
    if (!mine) return nullptr;
    Ref theirs(Py_TYPE(other) == own_type ? as_list(other) : Py_NewRef(other));
    if (!theirs) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
}

PyObject* move_stack_repr(PyObject* self) noexcept {
    Ref list(as_list(self));
    if (!list) return nullptr;
    return PyObject_Repr(list.get());
}

// Empties this view alone, as clearing the list it stands for would; the
// board keeps its history.
PyObject* move_stack_clear(PyObject* self, PyObject*) noexcept {
    auto* v = reinterpret_cast<MoveStackObject*>(self);
    v->log.reset();
    v->length = 0;
    Py_RETURN_NONE;
}

PyObject* move_stack_copy(PyObject* self, PyObject*) noexcept { return as_list(self); }

// The list methods that read, answered by the list the view stands for.
template <const char* Name>
PyObject* by_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Ref list(as_list(self));
    if (!list) return nullptr;
    Ref method(PyObject_GetAttrString(list.get(), Name));
    if (!method) return nullptr;
    return PyObject_Vectorcall(method.get(), args, static_cast<std::size_t>(nargs), nullptr);
}
constexpr char INDEX[] = "index";
constexpr char COUNT[] = "count";

// Pickled and copied as the list it stands for.
PyObject* move_stack_reduce(PyObject* self, PyObject*) noexcept {
    Ref list(as_list(self));
    if (!list) return nullptr;
    return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(&PyList_Type), list.get());
}

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t) noexcept;
PyCFunction fast(FastCall f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); }

PyMethodDef move_stack_methods[] = {
    {"clear", no_params<"MoveStack.clear", move_stack_clear>(), NO_PARAMS,
     "clear($self)\n--\n\nEmpty this view; the board keeps its history."},
    {"copy", no_params<"MoveStack.copy", move_stack_copy>(), NO_PARAMS,
     "copy($self)\n--\n\nThe moves as a new list of new Move objects."},
    {"index", fast(by_list<INDEX>), METH_FASTCALL, "index($self, value, start=0, stop=sys.maxsize)\n--\n\n"
     "The first index of value, as list.index (moves compare by identity)."},
    {"count", fast(by_list<COUNT>), METH_FASTCALL,
     "count($self, value)\n--\n\nHow many times value occurs, as list.count (moves compare by identity)."},
    {"__reduce__", no_params<"MoveStack.__reduce__", move_stack_reduce>(), NO_PARAMS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot move_stack_slots[] = {
    {Py_tp_doc, const_cast<char*>("The moves a board has played, oldest first: a read-only view.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(move_stack_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(move_stack_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(move_stack_richcompare)},
    {Py_tp_methods, move_stack_methods},
    {Py_sq_length, reinterpret_cast<void*>(move_stack_length)},
    {Py_sq_item, reinterpret_cast<void*>(move_stack_item)},
    {Py_mp_length, reinterpret_cast<void*>(move_stack_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(move_stack_subscript)},
    {0, nullptr},  // sentinel
};

PyType_Spec move_stack_spec = {
    .name = "tavrinmoss.MoveStack",
    .basicsize = sizeof(MoveStackObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_SEQUENCE | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = move_stack_slots,
};

TypeCache move_stack_type_cache(&move_stack_spec, "MoveStack");

// The view is a Sequence for isinstance(), as the list it stands for was.
bool register_sequence(PyTypeObject* type) noexcept {
    static std::atomic<bool> done{false};
    if (done.load(std::memory_order_acquire)) return true;
    Ref abc(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    Ref sequence(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!sequence) return false;
    Ref registered(PyObject_CallMethod(sequence.get(), "register", "O", reinterpret_cast<PyObject*>(type)));
    if (!registered) return false;
    done.store(true, std::memory_order_release);
    return true;
}

}  // namespace

namespace {

// Brings the board's log up to its history and returns it. A log no view
// holds is cut back in place; a held one whose tail the history no longer
// agrees with is left to its views, and the board starts a new one. Each
// history entry is appended once per log, and a new log is started at most
// once per view made, so a view costs O(history) once at most, and a change
// of the board costs it nothing.
const std::shared_ptr<MoveLog>& synced_log(BoardObject* board) {
    const auto& history = board->record.history;
    if (!board->log) {
        board->log = std::make_shared<MoveLog>();
        board->log_valid = 0;
    }
    std::vector<Move>& moves = board->log->moves;
    if (moves.size() > board->log_valid) {
        if (board->log.use_count() == 1) {
            moves.resize(board->log_valid);
        } else {
            auto fresh = std::make_shared<MoveLog>();
            fresh->moves.reserve(history.size());
            fresh->moves.assign(moves.begin(), moves.begin() + static_cast<std::ptrdiff_t>(board->log_valid));
            board->log = std::move(fresh);
        }
    }
    std::vector<Move>& out = board->log->moves;
    out.reserve(history.size());
    for (std::size_t i = out.size(); i < history.size(); ++i) out.push_back(history[i].move);
    board->log_valid = history.size();
    return board->log;
}

}  // namespace

PyObject* new_move_stack(BoardObject* board) noexcept {
    PyTypeObject* type = require_type(move_stack_type_cache, "MoveStack");
    if (!type || !register_sequence(type)) return nullptr;
    Peek peek;
    if (!peek.take(board->borrow)) return nullptr;
    std::shared_ptr<MoveLog> log;
    try {
        log = synced_log(board);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    auto* v = reinterpret_cast<MoveStackObject*>(type->tp_alloc(type, 0));
    if (!v) return nullptr;
    new (&v->log) std::shared_ptr<const MoveLog>(std::move(log));
    v->length = board->record.history.size();
    return reinterpret_cast<PyObject*>(v);
}

void keep_views(BoardObject* board, std::size_t keep) noexcept {
    if (keep < board->log_valid) board->log_valid = keep;
}

}  // namespace binding
