#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace binding {

inline constexpr std::size_t MAX_PARAMS = 3;

// What a callable accepts: every parameter by position or by keyword, the
// first `required` of them mandatory.
struct Signature {
    const char* class_name;
    const char* function;
    std::array<const char*, MAX_PARAMS> params;
    std::size_t count;
    std::size_t required;
    // Interned parameter names, made on first use; keywords match by identity
    // first, then by value.
    mutable std::array<PyObject*, MAX_PARAMS> interned{};
};

// Fills out[0..count) with borrowed references (nullptr for an omitted
// optional parameter); on failure sets TypeError and returns false.
bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) noexcept;
bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) noexcept;

}  // namespace binding
