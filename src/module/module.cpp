#include <Python.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "binding/convert.h"
#include "binding/objects.h"
#include "binding/panic.h"
#include "binding/ref.h"
#include "binding/squares.h"

namespace {

using binding::Ref;

std::atomic<std::int64_t> first_interpreter{-1};
PyObject* cached_module = nullptr;

// Our own writer on file descriptor 1: the line goes out whole, whatever
// Python has done to sys.stdout.
PyObject* hello_world(PyObject*, PyObject*) noexcept {
    return binding::guarded(
        []() -> PyObject* {
            static constexpr char line[] = "Hello World!\n";
            std::size_t done = 0;
            while (done < sizeof line - 1) {
                ssize_t n = ::write(1, line + done, sizeof line - 1 - done);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    char reason[256];
                    throw board::Panic(std::string("failed printing to stdout: ") +
                                       strerror_r(errno, reason, sizeof reason));
                }
                done += static_cast<std::size_t>(n);
            }
            return Py_NewRef(Py_None);
        },
        static_cast<PyObject*>(nullptr));
}

PyMethodDef hello_world_def = {"hello_world", hello_world, METH_NOARGS, "hello_world()\n--\n\n"};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tavrinmoss",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// Appends `name` to the module's __all__ (made on first use) and binds it.
bool add_name(PyObject* module, PyObject* name, PyObject* value) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        binding::cannot_convert(all.get(), "PyList");
        return false;
    }
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        binding::raise_panic("could not append __name__ to __all__", std::source_location::current());
        return false;
    }
    return PyObject_SetAttr(module, name, value) == 0;
}

bool add_type(PyObject* module, PyTypeObject* (*get)() noexcept, const char* name) {
    PyTypeObject* type = get();
    if (!type) return false;
    Ref key(PyUnicode_FromString(name));
    return key && add_name(module, key.get(), reinterpret_cast<PyObject*>(type));
}

bool module_body(PyObject* module) {
    if (!add_type(module, binding::board_type, "Board")) return false;
    if (!add_type(module, binding::move_type, "Move")) return false;
    // Reachable by name but kept out of __all__: pickle finds values of
    // these types by their qualified names.
    using Getter = PyTypeObject* (*)() noexcept;
    for (auto [get, name] : {std::pair<Getter, const char*>{binding::outcome_type_object, "Outcome"},
                             {binding::score_type_object, "Score"},
                             {binding::relative_score_type_object, "RelativeScore"},
                             {binding::game_type_object, "Game"},
                             {binding::variation_type_object, "Variation"}}) {
        PyTypeObject* type = get();
        if (!type || PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) return false;
    }
    // The engine client, also outside __all__.
    PyTypeObject* engine = binding::engine_type_object();
    if (!engine || PyModule_AddObjectRef(module, "Engine", reinterpret_cast<PyObject*>(engine)) < 0) return false;
    PyObject* engine_error = binding::engine_error_type();
    if (!engine_error || PyModule_AddObjectRef(module, "EngineError", engine_error) < 0) return false;
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref fn(PyCMethod_New(&hello_world_def, module, module_name.get(), nullptr));
    if (!fn) return false;
    Ref name(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        binding::cannot_convert(name.get(), "PyString");
        return false;
    }
    if (!add_name(module, name.get(), fn.get())) return false;
    // Beside __all__, which names only the specified surface.
    PyTypeObject* book = binding::opening_book_type_cache.get();
    if (!book || PyModule_AddObjectRef(module, "OpeningBook", reinterpret_cast<PyObject*>(book)) < 0) return false;
    return binding::add_square_names(module);
}

PyObject* init() {
#ifdef Py_GIL_DISABLED
    // The threading model (binding/objects.h) rests on the interpreter lock.
    PyErr_SetString(PyExc_ImportError,
                    "tavrinmoss does not support free-threaded CPython: it relies on the global "
                    "interpreter lock; use a build with the lock (python3.13, not python3.13t)");
    return nullptr;
#endif
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "tavrinmoss does not support subinterpreters: it can be imported only "
                        "once per process, in the interpreter that imported it first");
        return nullptr;
    }
    if (cached_module) return Py_NewRef(cached_module);
    Ref module(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    if (!module) return nullptr;
    if (!module_body(module.get())) return nullptr;
    cached_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tavrinmoss() noexcept {
    return binding::guarded(init, static_cast<PyObject*>(nullptr));
}
