#include "type_cache.h"

#include <string>

#include "binding/objects.h"
#include "binding/panic.h"
#include "binding/ref.h"

namespace binding {

PyTypeObject* TypeCache::create() noexcept {
    PyObject* made = PyType_FromSpec(spec_);
    if (!made) {
        Ref cause(PyErr_GetRaisedException());
        PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name_);
        Ref wrapped(PyErr_GetRaisedException());
        PyException_SetCause(wrapped.get(), cause.release());
        PyErr_SetRaisedException(wrapped.release());
        return nullptr;
    }
    PyTypeObject* expected = nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(made);
    if (!type_.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return type;
}

PyTypeObject* type_creation_failed(const char* name) noexcept {
    PyErr_Print();
    std::string message = std::string("failed to create type object for ") + name;
    raise_panic(message, std::source_location::current());
    return nullptr;
}

}  // namespace binding
