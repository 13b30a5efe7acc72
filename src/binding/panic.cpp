#include "panic.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "binding/ref.h"

namespace binding {

namespace {
std::atomic<PyObject*> panic_type{nullptr};

constexpr const char* PANIC_DOC =
    "\nThe exception raised when the module's native code panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
}  // namespace

void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

PyObject* panic_exception_type() noexcept {
    if (PyObject* t = panic_type.load(std::memory_order_acquire)) return t;
    PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", PANIC_DOC,
                                                  PyExc_BaseException, nullptr);
    if (!created) {
        PyErr_Print();
        std::fputs("Failed to initialize new exception type.\n", stderr);
        abort_at_boundary();
    }
    PyObject* expected = nullptr;
    if (!panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;
}

void raise_panic(std::string_view message, const std::source_location& where) noexcept {
    char thread[32] = "<unnamed>";
    if (pthread_getname_np(pthread_self(), thread, sizeof thread) != 0 || thread[0] == '\0')
        std::snprintf(thread, sizeof thread, "<unnamed>");
    std::fprintf(stderr, "\nthread '%s' panicked at %s:%u:%u:\n%.*s\n", thread, where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void raise_invalid(const board::Invalid& e) noexcept {
    const std::string_view text = e.what();
    Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(e.kind() == board::Invalid::Index ? PyExc_IndexError : PyExc_ValueError, message.get());
}

}  // namespace binding
