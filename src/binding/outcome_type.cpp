#include <array>
#include <atomic>

#include "binding/objects.h"
#include "binding/ref.h"

namespace binding {

namespace {

PyStructSequence_Field outcome_fields[] = {
    {"termination", "How the game ended: \"checkmate\", \"stalemate\", \"insufficient_material\", ..."},
    {"winner", "True for white, False for black, None for a draw."},
    {nullptr, nullptr},  // sentinel
};

PyStructSequence_Desc outcome_desc = {
    .name = "tavrinmoss.Outcome",
    .doc = "Outcome(termination, winner)\n--\n\nHow a game ended and who won it.",
    .fields = outcome_fields,
    .n_in_sequence = 2,
};

std::atomic<PyTypeObject*> outcome_type{nullptr};
// The termination names, made once: an outcome is asked for after every move.
std::array<std::atomic<PyObject*>, 7> names{};

PyTypeObject* get_outcome_type() noexcept {
    if (PyTypeObject* t = outcome_type.load(std::memory_order_acquire)) return t;
    PyTypeObject* made = PyStructSequence_NewType(&outcome_desc);
    if (!made) return nullptr;
    // Immutable like the module's other types; the C API has no flag for
    // it, and the type is not yet visible to anyone.
    made->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(made);
    PyTypeObject* expected = nullptr;
    if (!outcome_type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

PyObject* termination_text(board::Termination t) noexcept {
    auto& slot = names[static_cast<std::size_t>(t)];
    if (PyObject* s = slot.load(std::memory_order_acquire)) return Py_NewRef(s);
    const std::string_view name = board::termination_name(t);
    PyObject* made = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (!made) return nullptr;
    PyUnicode_InternInPlace(&made);
    PyObject* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return Py_NewRef(expected);
    }
    return Py_NewRef(made);  // one reference stays with the cache
}

}  // namespace

PyTypeObject* outcome_type_object() noexcept { return get_outcome_type(); }

PyObject* new_outcome(const std::optional<board::Outcome>& o) noexcept {
    if (!o) return Py_NewRef(Py_None);
    PyTypeObject* type = get_outcome_type();
    if (!type) return nullptr;
    Ref result(PyStructSequence_New(type));
    if (!result) return nullptr;
    PyObject* termination = termination_text(o->termination);
    if (!termination) return nullptr;
    PyStructSequence_SetItem(result.get(), 0, termination);
    PyObject* winner = !o->winner ? Py_None : *o->winner == board::WHITE ? Py_True : Py_False;
    PyStructSequence_SetItem(result.get(), 1, Py_NewRef(winner));
    return result.release();
}

}  // namespace binding
