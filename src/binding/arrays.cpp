#include "binding/arrays.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "binding/ref.h"

namespace binding {

namespace {

// numpy's C API, as its headers declare it: a table of functions whose
// entries keep their places across releases (extensions built against an
// old numpy call into a newer one through it), taken from a capsule of the
// core module. Only the three entries used here are named.
using DescrFromType = PyObject* (*)(int type_num);
// Steals the reference to `descr`.
using NewFromDescr = PyObject* (*)(PyTypeObject* subtype, PyObject* descr, int nd, const Py_ssize_t* dims,
                                   const Py_ssize_t* strides, void* data, int flags, PyObject* obj);
using GetNDArrayCVersion = unsigned (*)();
// Steals the reference to `base`, also on failure.
using SetBaseObject = int (*)(PyObject* array, PyObject* base);
constexpr int API_GET_VERSION = 0, API_ARRAY_TYPE = 2, API_DESCR_FROM_TYPE = 45, API_NEW_FROM_DESCR = 94,
              API_SET_BASE_OBJECT = 282;
constexpr int NPY_BOOL = 0, NPY_BYTE = 1, NPY_UBYTE = 2, NPY_SHORT = 3, NPY_USHORT = 4, NPY_INT = 5, NPY_ULONG = 8,
              NPY_ULONGLONG = 10, NPY_FLOAT = 11;
constexpr int NPY_ARRAY_C_CONTIGUOUS = 0x0001, NPY_ARRAY_ALIGNED = 0x0100, NPY_ARRAY_WRITEABLE = 0x0400;

// The leading fields of an array and of its descriptor, as numpy's headers
// lay them out (PyArrayObject_fields, PyArray_Descr) for its accessor
// functions, which every compiled extension inlines: numpy 1.x and 2.x
// keep them in place.
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};
struct DescrFields {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind, type, byteorder, flags;
    int type_num;
};

// What making an array needs, looked up once. Through the C API an array
// costs one call; where the table cannot be had (another numpy layout),
// numpy.empty is called with a shape tuple and a dtype made ahead.
struct NumpyCache {
    PyObject* empty;
    PyObject* planes_args[2];  // shape, dtype
    PyObject* policy_args[2];
    PyTypeObject* array_type = nullptr;
    NewFromDescr new_from_descr = nullptr;
    DescrFromType descr_from_type = nullptr;
    SetBaseObject set_base_object = nullptr;
    PyObject* uint8 = nullptr;  // descriptors, lent to each call
    PyObject* boolean = nullptr;
    // Whether an array's data pointer is read from its object (below).
    bool direct_data = false;
    // Whether an `out` array's shape, type and flags are read from it too.
    bool direct_fields = false;
};

// An array's data pointer is the first field after the object header: the
// field numpy's own PyArray_DATA reads in every extension compiled against
// it, so numpy cannot move it without breaking them all. Reading it there
// saves the buffer export (a format string and its info, allocated and
// freed), a third of an array's making. Checked against the export once.
std::uint8_t* array_data(PyObject* array) noexcept {
    return reinterpret_cast<std::uint8_t*>(reinterpret_cast<ArrayFields*>(array)->data);
}

// Whether a plain numpy array is what `out` must be, read from its fields.
bool is_planes_array(PyObject* array) noexcept {
    const auto* a = reinterpret_cast<ArrayFields*>(array);
    constexpr int WANTED = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_WRITEABLE;
    return a->nd == 3 && a->dimensions[0] == 12 && a->dimensions[1] == 8 && a->dimensions[2] == 8 &&
           (a->flags & WANTED) == WANTED && reinterpret_cast<DescrFields*>(a->descr)->type_num == NPY_UBYTE;
}

std::uint8_t* exported_data(PyObject* array) noexcept {
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_WRITABLE) < 0) return nullptr;
    // The array owns its bytes and outlives the view.
    auto* data = static_cast<std::uint8_t*>(view.buf);
    PyBuffer_Release(&view);
    return data;
}

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

// Fills the C API entries of `cache`, or leaves them empty (no exception)
// where numpy has no table this code knows: releases 1.x and 2.x have it.
void load_c_api(NumpyCache& cache) noexcept {
    for (const char* where : {"numpy._core._multiarray_umath", "numpy.core.multiarray"}) {
        Ref module(PyImport_ImportModule(where));
        Ref capsule(module ? PyObject_GetAttrString(module.get(), "_ARRAY_API") : nullptr);
        void** api = capsule && PyCapsule_CheckExact(capsule.get())
                         ? static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr))
                         : nullptr;
        PyErr_Clear();
        if (!api) continue;
        const unsigned abi = reinterpret_cast<GetNDArrayCVersion>(api[API_GET_VERSION])();
        if (abi != 0x01000009 && abi != 0x02000000) return;
        const auto descr_from_type = reinterpret_cast<DescrFromType>(api[API_DESCR_FROM_TYPE]);
        Ref uint8(descr_from_type(NPY_UBYTE));
        Ref boolean(descr_from_type(NPY_BOOL));
        if (!uint8 || !boolean) return PyErr_Clear();
        cache.array_type = static_cast<PyTypeObject*>(api[API_ARRAY_TYPE]);
        cache.new_from_descr = reinterpret_cast<NewFromDescr>(api[API_NEW_FROM_DESCR]);
        cache.descr_from_type = descr_from_type;
        cache.set_base_object = reinterpret_cast<SetBaseObject>(api[API_SET_BASE_OBJECT]);
        cache.uint8 = uint8.release();
        cache.boolean = boolean.release();
        return;
    }
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
    PyObject* planes_args[2] = {planes_shape.get(), uint8.get()};
    Ref probe(PyObject_Vectorcall(empty.get(), planes_args, 2, nullptr));
    if (!probe) return nullptr;
    std::uint8_t* exported = exported_data(probe.get());
    if (!exported) return nullptr;
    if (numpy_cache) return numpy_cache;
    auto* cache = new (std::nothrow) NumpyCache{empty.release(), {planes_shape.release(), uint8.release()},
                                                {policy_shape.release(), boolean.release()}};
    if (!cache) return PyErr_NoMemory(), nullptr;
    cache->direct_data = array_data(probe.get()) == exported;
    // An array made through the table has its data pointer read, not
    // exported, so the table is used only where that reading holds.
    if (cache->direct_data) load_c_api(*cache);
    // The fields are trusted once they read right on a made array, and on
    // two views of it that are no `out`: one strided, one of another type.
    if (cache->new_from_descr && Py_TYPE(probe.get()) == cache->array_type && is_planes_array(probe.get())) {
        Ref strided(PyObject_CallMethod(probe.get(), "transpose", "(iii)", 0, 2, 1));
        Ref signed_bytes(PyObject_CallMethod(probe.get(), "view", "(s)", "i1"));
        if (strided && signed_bytes && Py_TYPE(strided.get()) == cache->array_type &&
            Py_TYPE(signed_bytes.get()) == cache->array_type)
            cache->direct_fields = !is_planes_array(strided.get()) && !is_planes_array(signed_bytes.get());
        PyErr_Clear();
    }
    return numpy_cache = cache;
}

}  // namespace

PyObject* new_array(ArrayShape shape, const char* caller, std::uint8_t** data) noexcept {
    NumpyCache* np = numpy_cache ? numpy_cache : load_numpy(caller);
    if (!np) return nullptr;
    Ref array;
    if (np->new_from_descr) {
        static constexpr Py_ssize_t PLANES_DIMS[3] = {12, 8, 8};
        static constexpr Py_ssize_t POLICY_DIMS[1] = {static_cast<Py_ssize_t>(board::POLICY_SIZE)};
        const bool planes = shape == ArrayShape::PLANES;
        array = Ref(np->new_from_descr(np->array_type, Py_NewRef(planes ? np->uint8 : np->boolean), planes ? 3 : 1,
                                       planes ? PLANES_DIMS : POLICY_DIMS, nullptr, nullptr, 0, nullptr));
    } else {
        PyObject* const* args = shape == ArrayShape::PLANES ? np->planes_args : np->policy_args;
        array = Ref(PyObject_Vectorcall(np->empty, args, 2, nullptr));
    }
    if (!array) return nullptr;
    *data = np->direct_data ? array_data(array.get()) : exported_data(array.get());
    if (!*data) return nullptr;
    return array.release();
}

ColumnPool::~ColumnPool() {
    for (const Block& b : waiting_) std::free(b.data);
}

void* ColumnPool::take(std::size_t bytes, std::size_t room, std::size_t* size) noexcept {
    // A block more than twice what a new one would get is left waiting: a
    // reader's last, short batch would otherwise pin blocks made for full
    // ones for as long as any view of it lives.
    const std::size_t wanted = bytes < room ? room : bytes;
    const std::size_t most = wanted > SIZE_MAX / 2 ? SIZE_MAX : 2 * wanted;
    std::size_t best = waiting_.size();
    for (std::size_t i = 0; i < waiting_.size(); ++i)
        if (waiting_[i].size >= bytes && waiting_[i].size <= most &&
            (best == waiting_.size() || waiting_[i].size < waiting_[best].size))
            best = i;
    if (best < waiting_.size()) {
        const Block b = waiting_[best];
        waiting_[best] = waiting_.back();
        waiting_.pop_back();
        waiting_bytes_ -= b.size;
        *size = b.size;
        return b.data;
    }
    *size = wanted;
    // One byte at least: malloc(0) may answer nullptr.
    return std::malloc(*size ? *size : 1);
}

void ColumnPool::give_back(void* block, std::size_t size) noexcept {
    if (waiting_.size() >= keep_ || waiting_bytes_ + size > keep_bytes_) return std::free(block);
    try {
        waiting_.push_back(Block{block, size});
        waiting_bytes_ += size;
    } catch (const std::bad_alloc&) {
        std::free(block);
    }
}

namespace {

// What an array made from a pool holds as its base: the block, and the pool
// it goes back to when numpy drops the array.
struct PooledBytes {
    std::shared_ptr<ColumnPool> pool;
    std::size_t size;
};
constexpr const char* POOLED_BYTES = "tavrinmoss.column_bytes";

void release_pooled(PyObject* capsule) noexcept {
    void* block = PyCapsule_GetPointer(capsule, POOLED_BYTES);
    auto* held = static_cast<PooledBytes*>(PyCapsule_GetContext(capsule));
    if (!block || !held) return PyErr_Clear();
    held->pool->give_back(block, held->size);
    delete held;
}

// An array over a block of `pool`, or nullptr with an exception set.
PyObject* pooled_array(NumpyCache* np, PyObject* descr, int nd, const Py_ssize_t* dims, std::size_t bytes,
                       std::size_t room, const std::shared_ptr<ColumnPool>& pool, void** data) noexcept {
    Ref owned_descr(descr);
    std::size_t size = 0;
    void* block = pool->take(bytes, room, &size);
    auto* held = block ? new (std::nothrow) PooledBytes{pool, size} : nullptr;
    if (!held) {
        if (block) pool->give_back(block, size);
        return PyErr_NoMemory();
    }
    Ref base(PyCapsule_New(block, POOLED_BYTES, release_pooled));
    if (!base || PyCapsule_SetContext(base.get(), held) < 0) {
        pool->give_back(block, size);
        delete held;
        return nullptr;
    }
    // From here the capsule gives the block back whatever happens.
    Ref array(np->new_from_descr(np->array_type, owned_descr.release(), nd, dims, nullptr, block,
                                 NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE, nullptr));
    if (!array || np->set_base_object(array.get(), base.release()) < 0) return nullptr;
    *data = block;
    return array.release();
}

}  // namespace

PyObject* new_column(ColumnType type, Py_ssize_t rows, Py_ssize_t width, const char* caller, void** data,
                     const std::shared_ptr<ColumnPool>& pool, Py_ssize_t room_rows) noexcept {
    NumpyCache* np = numpy_cache ? numpy_cache : load_numpy(caller);
    if (!np) return nullptr;
    struct Kind {
        int type_num;
        const char* name;
        std::size_t size;
    };
    // numpy's uint64 is C's unsigned long where that has 64 bits.
    constexpr int NPY_UINT64 = sizeof(unsigned long) == 8 ? NPY_ULONG : NPY_ULONGLONG;
    static_assert(sizeof(int) == 4 && sizeof(short) == 2 && sizeof(float) == 4);
    static constexpr Kind KINDS[] = {{NPY_BOOL, "bool", 1},     {NPY_BYTE, "int8", 1},  {NPY_UBYTE, "uint8", 1},
                                     {NPY_SHORT, "int16", 2},   {NPY_USHORT, "uint16", 2}, {NPY_INT, "int32", 4},
                                     {NPY_UINT64, "uint64", 8}, {NPY_FLOAT, "float32", 4}};
    const Kind& kind = KINDS[static_cast<int>(type)];
    const Py_ssize_t dims[2] = {rows, width};
    const int nd = width > 0 ? 2 : 1;
    Ref array;
    if (np->new_from_descr && np->descr_from_type) {
        PyObject* descr = np->descr_from_type(kind.type_num);
        if (!descr) return nullptr;
        if (pool && np->set_base_object) {
            const std::size_t row_bytes = static_cast<std::size_t>(width > 0 ? width : 1) * kind.size;
            return pooled_array(np, descr, nd, dims, static_cast<std::size_t>(rows) * row_bytes,
                                static_cast<std::size_t>(room_rows) * row_bytes, pool, data);
        }
        array = Ref(np->new_from_descr(np->array_type, descr, nd, dims, nullptr, nullptr, 0, nullptr));
    } else {
        Ref shape(nd == 2 ? Py_BuildValue("(nn)", rows, width) : Py_BuildValue("(n)", rows));
        if (!shape) return nullptr;
        array = Ref(PyObject_CallFunction(np->empty, "Os", shape.get(), kind.name));
    }
    if (!array) return nullptr;
    *data = np->direct_data ? array_data(array.get()) : exported_data(array.get());
    if (!*data) return nullptr;
    return array.release();
}

bool Arg<PlanesOut>::load(PyObject* obj) noexcept {
    // numpy's own buffer export builds and compares a format string each
    // time: half the cost of the call. A plain array read where it stands
    // is filled at once; anything else takes the export and its checks.
    // An array given before any was made here loads what reading one needs
    // (numpy is imported already), or, should that fail, never tries again.
    static bool tried = false;
    if (!numpy_cache && !tried && std::strcmp(Py_TYPE(obj)->tp_name, "numpy.ndarray") == 0) {
        tried = true;
        if (!load_numpy("Board.planes()")) PyErr_Clear();
    }
    if (numpy_cache && numpy_cache->direct_fields && Py_TYPE(obj) == numpy_cache->array_type &&
        is_planes_array(obj)) {
        value = {obj, array_data(obj)};
        return true;
    }
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
    value = {obj, static_cast<std::uint8_t*>(view.buf)};
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
