#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace binding {

inline constexpr std::size_t MAX_PARAMS = 12;

// What a callable accepts: every parameter by position or by keyword, the
// first `required` of them mandatory.
struct Signature {
    const char* class_name;
    const char* function;
    std::array<const char*, MAX_PARAMS> params;
    std::size_t count;
    std::size_t required;
    // How many may come by position; the rest are keyword-only.
    std::size_t positional = MAX_PARAMS;
    // Interned parameter names, made on first use; keywords match by identity
    // first, then by value.
    mutable std::array<PyObject*, MAX_PARAMS> interned{};
};

// Fills out[0..count) with borrowed references (nullptr for an omitted
// optional parameter); on failure sets TypeError and returns false.
bool parse_fastcall_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, PyObject** out) noexcept;
// The arguments in parameter order: `args` itself when every parameter came
// by position (the common call, with nothing to check or copy), else `buffer`
// filled by the slow path; nullptr with TypeError set on failure.
inline PyObject* const* parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames, PyObject** buffer) noexcept {
    if (!kwnames && static_cast<std::size_t>(PyVectorcall_NARGS(nargs)) == sig.count && sig.count <= sig.positional)
        return args;
    return parse_fastcall_slow(sig, args, nargs, kwnames, buffer) ? buffer : nullptr;
}
bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) noexcept;

}  // namespace binding
