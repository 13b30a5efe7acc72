#pragma once

// NumPy arrays for the board's array methods. NumPy is imported on the first
// call that makes an array, not with the module, so the module and every
// other call work without it; no NumPy header is needed to build.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "binding/convert.h"

namespace binding {

enum class ArrayShape {
    PLANES,  // uint8 (12, 8, 8)
    POLICY,  // bool (4672,)
};

// A new C-contiguous array of that shape, its bytes not yet set, with
// `*data` pointing at them. nullptr with an exception set on failure:
// ImportError naming numpy, and `caller`, when numpy cannot be imported.
PyObject* new_array(ArrayShape shape, const char* caller, std::uint8_t** data) noexcept;

// The element types of the sample columns.
enum class ColumnType { BOOL, INT8, UINT8, INT16, UINT16, INT32, UINT64, FLOAT32 };

// Memory for a reader's columns, recycled from batch to batch: the arrays
// of a batch give their bytes back here when they die, and the next batch's
// arrays take them. Fresh memory for every batch made the kernel fault in
// and zero each page again (a tenth of a whole read). Shared by the reader
// and its arrays, so either may go first; used with the GIL held only.
class ColumnPool {
public:
    // At most `keep` blocks of `keep_bytes` in all wait for reuse.
    ColumnPool(std::size_t keep, std::size_t keep_bytes) : keep_(keep), keep_bytes_(keep_bytes) {}
    ColumnPool(const ColumnPool&) = delete;
    ColumnPool& operator=(const ColumnPool&) = delete;
    ~ColumnPool();
    // The smallest waiting block of at least `bytes` and at most twice
    // what a new one would get, or a new one of `room` bytes if that is
    // more than `bytes` (so that batches of about one size can share
    // blocks); nullptr when memory runs out. `*size` is the block's.
    void* take(std::size_t bytes, std::size_t room, std::size_t* size) noexcept;
    void give_back(void* block, std::size_t size) noexcept;

private:
    struct Block {
        void* data;
        std::size_t size;
    };
    std::vector<Block> waiting_;
    std::size_t keep_, keep_bytes_;
    std::size_t waiting_bytes_ = 0;
};

// A new C-contiguous array of `rows` entries, or of shape (rows, width)
// when `width` is given, its bytes not yet set; as new_array otherwise.
// With a pool, its bytes come from the pool and go back to it, in a block
// with room for `room_rows` rows where that is more than `rows`.
PyObject* new_column(ColumnType type, Py_ssize_t rows, Py_ssize_t width, const char* caller, void** data,
                     const std::shared_ptr<ColumnPool>& pool = nullptr, Py_ssize_t room_rows = 0) noexcept;

// An `out` argument: any writable, C-contiguous buffer of unsigned bytes
// with the planes' shape (12, 8, 8). An exported buffer is held, and so
// kept alive and its size fixed, for the call; a plain numpy array that
// qualifies is read without an export, as no Python code runs before it is
// filled.
struct PlanesOut {
    PyObject* obj;
    std::uint8_t* data;
};
template <>
struct Arg<PlanesOut> {
    Py_buffer view{};
    bool held = false;
    PlanesOut value{nullptr, nullptr};
    Arg() = default;
    Arg(const Arg&) = delete;
    Arg& operator=(const Arg&) = delete;
    ~Arg() {
        if (held) PyBuffer_Release(&view);
    }
    bool load(PyObject* obj) noexcept;
    PlanesOut get() const noexcept { return value; }
};

// An index into the policy vector, 0 to 4671; any int (numpy's too) outside
// that is a ValueError naming it.
struct PolicyIndex {
    std::uint16_t value;
};
template <>
struct Arg<PolicyIndex> {
    PolicyIndex value{0};
    bool load(PyObject* obj) noexcept;
    PolicyIndex get() const noexcept { return value; }
};

}  // namespace binding
