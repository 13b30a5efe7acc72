#include "binding/arrays.h"

#include <cstring>

#include "binding/ref.h"

namespace binding {

namespace {

// What making an array needs, looked up once: numpy.empty called with a
// shape tuple and a dtype object made ahead costs one C call.
struct NumpyCache {
    PyObject* empty;
    PyObject* planes_args[2];  // shape, dtype
    PyObject* policy_args[2];
};

// Made once and kept for the life of the process, as the types are. Read
// and written with the GIL held; two threads racing through the import
// both finish it, and the loser's copy is dropped.
NumpyCache* numpy_cache = nullptr;

bool raise_numpy_missing(const char* caller) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
    Ref cause(PyErr_GetRaisedException());
    Ref message(PyUnicode_FromFormat("%s needs numpy for the array it returns, and numpy cannot be imported",
                                     caller));
    Ref name(PyUnicode_FromString("numpy"));
    if (!message || !name) return false;
    PyErr_SetImportError(message.get(), name.get(), nullptr);
    Ref raised(PyErr_GetRaisedException());
    PyException_SetCause(raised.get(), cause.release());
    PyErr_SetRaisedException(raised.release());
    return false;
}

NumpyCache* load_numpy(const char* caller) noexcept {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return raise_numpy_missing(caller), nullptr;
    Ref empty(PyObject_GetAttrString(numpy.get(), "empty"));
    Ref dtype(PyObject_GetAttrString(numpy.get(), "dtype"));
    if (!empty || !dtype) return nullptr;
    Ref uint8(PyObject_CallFunction(dtype.get(), "s", "uint8"));
    Ref boolean(PyObject_CallFunction(dtype.get(), "s", "bool"));
    Ref planes_shape(Py_BuildValue("(iii)", 12, 8, 8));
    Ref policy_shape(Py_BuildValue("(n)", static_cast<Py_ssize_t>(board::POLICY_SIZE)));
    if (!uint8 || !boolean || !planes_shape || !policy_shape) return nullptr;
    if (numpy_cache) return numpy_cache;
    numpy_cache = new (std::nothrow)
        NumpyCache{empty.release(), {planes_shape.release(), uint8.release()}, {policy_shape.release(), boolean.release()}};
    if (!numpy_cache) PyErr_NoMemory();
    return numpy_cache;
}

}  // namespace

PyObject* new_array(ArrayShape shape, const char* caller, std::uint8_t** data) noexcept {
    NumpyCache* np = numpy_cache ? numpy_cache : load_numpy(caller);
    if (!np) return nullptr;
    PyObject* const* args = shape == ArrayShape::PLANES ? np->planes_args : np->policy_args;
    Ref array(PyObject_Vectorcall(np->empty, args, 2, nullptr));
    if (!array) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE) < 0) return nullptr;
    // The array owns its bytes and outlives the view.
    *data = static_cast<std::uint8_t*>(view.buf);
    PyBuffer_Release(&view);
    return array.release();
}

bool Arg<PlanesOut>::load(PyObject* obj) noexcept {
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not a buffer: a writable uint8 array of shape (12, 8, 8) "
                     "is needed", Py_TYPE(obj)->tp_name);
        return false;
    }
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0) return false;
    held = true;
    // numpy writes its uint8 as "B", the buffer protocol's native unsigned char.
    const char* format = view.format ? view.format : "B";
    if (view.itemsize != 1 || (std::strcmp(format, "B") != 0 && std::strcmp(format, "=B") != 0 &&
                               std::strcmp(format, "<B") != 0 && std::strcmp(format, "@B") != 0)) {
        PyErr_Format(PyExc_TypeError, "buffer of format '%s' (item size %zd): uint8 ('B') is needed", format,
                     view.itemsize);
        return false;
    }
    if (view.ndim != 3 || view.shape[0] != 12 || view.shape[1] != 8 || view.shape[2] != 8) {
        Ref shape(PyTuple_New(view.ndim));
        if (!shape) return false;
        for (int i = 0; i < view.ndim; ++i) {
            PyObject* n = PyLong_FromSsize_t(view.shape ? view.shape[i] : view.len);
            if (!n) return false;
            PyTuple_SET_ITEM(shape.get(), i, n);
        }
        PyErr_Format(PyExc_ValueError, "argument 'out': shape %R, not (12, 8, 8)", shape.get());
        return false;
    }
    if (!PyBuffer_IsContiguous(&view, 'C')) {
        PyErr_SetString(PyExc_ValueError, "argument 'out': the buffer is not C-contiguous");
        return false;
    }
    if (view.readonly) {
        PyErr_SetString(PyExc_ValueError, "argument 'out': the buffer is read-only");
        return false;
    }
    return true;
}

bool Arg<PolicyIndex>::load(PyObject* obj) noexcept {
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < 0 || v >= static_cast<long long>(board::POLICY_SIZE)) {
        PyErr_Format(PyExc_ValueError, "argument 'index': %R is outside 0..%zu", index.get(),
                     board::POLICY_SIZE - 1);
        return false;
    }
    value.value = static_cast<std::uint16_t>(v);
    return true;
}

}  // namespace binding
