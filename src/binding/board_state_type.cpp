#include <new>

#include "binding/objects.h"
#include "binding/type_cache.h"

namespace binding {

namespace {

// The snapshot type exists so that `_restore` has a declared argument type;
// no operation hands one to Python.
PyObject* board_state_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* name = PyType_GetName(type);
    if (!name) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
    Py_DECREF(name);
    return nullptr;
}

void board_state_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<BoardStateObject*>(self)->record.~BoardState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot board_state_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(board_state_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(board_state_dealloc)},
    {0, nullptr},  // sentinel
};

PyType_Spec board_state_spec = {
    .name = "tavrinmoss.BoardState",
    .basicsize = sizeof(BoardStateObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = board_state_slots,
};

}  // namespace

TypeCache board_state_type_cache(&board_state_spec, "BoardState");

}  // namespace binding
