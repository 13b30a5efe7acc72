#include <new>

#include "binding/call.h"
#include "binding/type_cache.h"

namespace binding {

namespace {

// The file is read in blocks this large; the engine splits them into games.
constexpr Py_ssize_t BLOCK = 1 << 20;

struct PgnReaderObject {
    PyObject_HEAD
    BorrowFlag borrow;
    board::PgnReader reader;
    PyObject* file;  // strong reference
    bool owns_file;  // opened here from a path, so closed here
    bool done;
};

// Closes a file opened from a path; the first close wins.
bool close_file(PgnReaderObject* obj) noexcept {
    obj->done = true;
    if (!obj->owns_file) return true;
    obj->owns_file = false;
    Ref closed(PyObject_CallMethod(obj->file, "close", nullptr));
    return static_cast<bool>(closed);
}

// A file object of the caller's may refer back to the iterator, so the
// collector is told about the one reference held.
int pgn_reader_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(reinterpret_cast<PgnReaderObject*>(self)->file);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int pgn_reader_clear(PyObject* self) noexcept {
    auto* obj = reinterpret_cast<PgnReaderObject*>(self);
    obj->done = true;
    obj->owns_file = false;
    Py_CLEAR(obj->file);
    return 0;
}

void pgn_reader_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* obj = reinterpret_cast<PgnReaderObject*>(self);
    PyObject_GC_UnTrack(self);
    if (obj->owns_file) {
        PyObject* pending = PyErr_GetRaisedException();
        if (!close_file(obj)) PyErr_WriteUnraisable(self);
        PyErr_SetRaisedException(pending);
    }
    Py_XDECREF(obj->file);
    obj->reader.~PgnReader();
    type->tp_free(self);
    Py_DECREF(type);
}

// The next block of the file as UTF-8 bytes: a text file's str is encoded,
// a binary file's bytes are taken as they are. False with an exception set.
bool feed_block(PgnReaderObject* obj) {
    Ref block(PyObject_CallMethod(obj->file, "read", "n", BLOCK));
    if (!block) return false;
    const char* data;
    Py_ssize_t size;
    if (PyUnicode_Check(block.get())) {
        data = PyUnicode_AsUTF8AndSize(block.get(), &size);
        if (!data) return false;
    } else if (PyBytes_Check(block.get())) {
        data = PyBytes_AS_STRING(block.get());
        size = PyBytes_GET_SIZE(block.get());
    } else {
        PyErr_Format(PyExc_TypeError, "read() of a PGN source returned '%s', not str or bytes",
                     Py_TYPE(block.get())->tp_name);
        return false;
    }
    if (size == 0)
        obj->reader.finish();
    else
        obj->reader.feed(std::string_view(data, static_cast<std::size_t>(size)));
    return true;
}

// (headers, board): a dict of the tag pairs in file order and a new Board.
PyObject* game_tuple(board::PgnGame& game) noexcept {
    Ref headers(PyDict_New());
    if (!headers) return nullptr;
    for (const auto& [name, value] : game.headers) {
        // The file's bytes need not be UTF-8; a tag never fails to read.
        Ref key(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
        Ref text(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
        if (!key || !text || PyDict_SetItem(headers.get(), key.get(), text.get()) < 0) return nullptr;
    }
    Ref board(new_board(std::move(game.board)));
    if (!board) return nullptr;
    return PyTuple_Pack(2, headers.get(), board.get());
}

PyObject* pgn_reader_next(PyObject* self) noexcept {
    return guarded(
        [&]() -> PyObject* {
            auto* obj = reinterpret_cast<PgnReaderObject*>(self);
            ExclusiveBorrow borrow;
            if (!borrow.take(obj->borrow) || obj->done || !obj->file) return nullptr;
            board::PgnGame game;
            for (;;) {
                switch (obj->reader.next(game)) {
                    case board::PgnReader::Status::GAME: return game_tuple(game);
                    case board::PgnReader::Status::END: close_file(obj); return nullptr;
                    case board::PgnReader::Status::NEED_INPUT:
                        if (!feed_block(obj)) return nullptr;
                        break;
                }
            }
        },
        static_cast<PyObject*>(nullptr));
}

PyType_Slot pgn_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("The games of a PGN source, as (headers, board) pairs.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(pgn_reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pgn_reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pgn_reader_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(pgn_reader_next)},
    {0, nullptr},  // sentinel
};

PyType_Spec pgn_reader_spec = {
    .name = "tavrinmoss.PgnReader",
    .basicsize = sizeof(PgnReaderObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = pgn_reader_slots,
};

TypeCache pgn_reader_type_cache(&pgn_reader_spec, "PgnReader");

}  // namespace

PyObject* new_pgn_reader(PyObject* source, bool skip_errors) noexcept {
    PyTypeObject* type = require_type(pgn_reader_type_cache, "PgnReader");
    if (!type) return nullptr;
    Ref file;
    bool owns = false;
    if (PyUnicode_Check(source) || PyBytes_Check(source) || PyObject_HasAttrString(source, "__fspath__")) {
        Ref io(PyImport_ImportModule("io"));
        if (!io) return nullptr;
        file = Ref(PyObject_CallMethod(io.get(), "open", "Os", source, "rb"));
        if (!file) return nullptr;
        owns = true;
    } else if (PyObject_HasAttrString(source, "read")) {
        file = Ref::borrowed(source);
    } else {
        PyErr_Format(PyExc_TypeError, "argument 'source': expected a path or a file object, not '%s'",
                     Py_TYPE(source)->tp_name);
        return nullptr;
    }
    auto* obj = reinterpret_cast<PgnReaderObject*>(type->tp_alloc(type, 0));
    if (!obj) return nullptr;  // `file` closes itself when dropped
    new (&obj->borrow) BorrowFlag(0);
    new (&obj->reader) board::PgnReader(skip_errors);
    obj->file = file.release();
    obj->owns_file = owns;
    obj->done = false;
    return reinterpret_cast<PyObject*>(obj);
}

}  // namespace binding
