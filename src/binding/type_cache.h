#pragma once

#include <Python.h>

#include <atomic>

namespace binding {

// A type object created on first need and kept for the process.
// A failed creation is wrapped in RuntimeError "An error occurred while
// initializing class {name}" and not remembered, so the next need retries.
class TypeCache {
public:
    TypeCache(PyType_Spec* spec, const char* name) noexcept : spec_(spec), name_(name) {}
    PyTypeObject* get() noexcept {
        if (PyTypeObject* t = type_.load(std::memory_order_acquire)) return t;
        return create();
    }

private:
    PyTypeObject* create() noexcept;

    PyType_Spec* spec_;
    const char* name_;
    std::atomic<PyTypeObject*> type_{nullptr};
};

}  // namespace binding
