#include "args.h"

#include <algorithm>
#include <string>

namespace binding {

namespace {

std::string full_name(const Signature& sig) {
    // A module function has no class to name.
    if (!sig.class_name) return std::string(sig.function) + "()";
    return std::string(sig.class_name) + "." + sig.function + "()";
}

// All names or none are stored, so a failure part way leaves no empty slot.
bool intern_names(const Signature& sig) noexcept {
    if (sig.count == 0 || sig.interned[0]) return true;
    std::array<PyObject*, MAX_PARAMS> names{};
    for (std::size_t i = 0; i < sig.count; ++i) {
        names[i] = PyUnicode_InternFromString(sig.params[i]);
        if (!names[i]) {
            for (std::size_t j = 0; j < i; ++j) Py_DECREF(names[j]);
            return false;
        }
    }
    sig.interned = names;  // kept for the process, like the signature
    return true;
}

void too_many_positional(const Signature& sig, Py_ssize_t given) {
    const char* was = given == 1 ? "was" : "were";
    std::string f = full_name(sig);
    if (sig.positional < sig.count) {
        // Keyword-only parameters follow: worded as Python words it.
        const std::size_t most = sig.positional;
        if (sig.required < most)
            PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given", f.c_str(),
                         sig.required, most, given, was);
        else
            PyErr_Format(PyExc_TypeError, "%s takes %zu positional argument%s but %zd %s given", f.c_str(), most,
                         most == 1 ? "" : "s", given, was);
        return;
    }
    if (sig.required == sig.count)
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     f.c_str(), sig.count, given, was);
    else
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd %s given", f.c_str(),
                     sig.required, sig.count, given, was);
}

// Fills the parameter named `key` with `value`; false with TypeError set.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    std::size_t index = sig.count;
    for (std::size_t i = 0; i < sig.count; ++i)
        if (key == sig.interned[i]) {
            index = i;
            break;
        }
    if (index == sig.count && PyUnicode_Check(key))
        for (std::size_t i = 0; i < sig.count; ++i)
            if (PyUnicode_Compare(key, sig.interned[i]) == 0) {
                index = i;
                break;
            }
    if (PyErr_Occurred()) return false;
    std::string f = full_name(sig);
    if (index == sig.count) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", f.c_str(), key);
        return false;
    }
    if (out[index]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", f.c_str(),
                     sig.params[index]);
        return false;
    }
    out[index] = value;
    return true;
}

bool check_required(const Signature& sig, PyObject** out) {
    std::size_t missing[MAX_PARAMS];
    std::size_t k = 0;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) missing[k++] = i;
    if (k == 0) return true;
    std::string list;
    for (std::size_t j = 0; j < k; ++j) {
        if (j > 0) list += k == 2 ? " and " : (j + 1 == k ? ", and " : ", ");
        list += "'";
        list += sig.params[missing[j]];
        list += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                 full_name(sig).c_str(), k, k == 1 ? "argument" : "arguments", list.c_str());
    return false;
}

}  // namespace

bool parse_fastcall_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) noexcept {
    try {
        nargs = PyVectorcall_NARGS(nargs);
        for (std::size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
        if (static_cast<std::size_t>(nargs) > std::min(sig.count, sig.positional)) {
            too_many_positional(sig, nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        if (kwnames) {
            if (!intern_names(sig)) return false;
            Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t i = 0; i < nkw; ++i)
                if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out))
                    return false;
        }
        return check_required(sig, out);
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
}

bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) noexcept {
    try {
        for (std::size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
        Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
        if (static_cast<std::size_t>(nargs) > std::min(sig.count, sig.positional)) {
            too_many_positional(sig, nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
        if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
            if (!intern_names(sig)) return false;
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value))
                if (!place_keyword(sig, key, value, out)) return false;
        }
        return check_required(sig, out);
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
}

}  // namespace binding
