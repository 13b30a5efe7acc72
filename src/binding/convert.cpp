#include "convert.h"

#include <climits>

#include <atomic>
#include <cstring>
#include <new>

#include "binding/panic.h"

namespace binding {

void cannot_convert(PyObject* obj, const char* target) noexcept {
    PyObject* name = PyType_GetQualName(Py_TYPE(obj));
    if (!name) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be converted to '%s'",
                     target);
        return;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, target);
    Py_DECREF(name);
}

void name_argument(const char* name) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    Ref caught(exc);
    Ref text(PyObject_Str(exc));
    if (!text) return;
    Ref named(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!named) return;
    Ref replacement(PyObject_CallOneArg(PyExc_TypeError, named.get()));
    if (!replacement) return;
    PyException_SetCause(replacement.get(), PyException_GetCause(exc));
    PyErr_SetRaisedException(replacement.release());
}

namespace {

void out_of_range() noexcept {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

bool load_u64(PyObject* obj, std::uint64_t& value) noexcept {
    if (PyLong_Check(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        Ref index(PyNumber_Index(obj));
        if (!index) return false;
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    return !(value == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

}  // namespace

bool Arg<std::uint64_t>::load(PyObject* obj) noexcept { return load_u64(obj, value); }

bool Arg<std::uint32_t>::load(PyObject* obj) noexcept {
    std::uint64_t wide;
    if (!load_u64(obj, wide)) return false;
    if (wide > 0xFFFFFFFFu) {
        out_of_range();
        return false;
    }
    value = static_cast<std::uint32_t>(wide);
    return true;
}

// The interpreter's own C long conversion is 32-bit on some targets, so its
// range and its message would differ between them: read 64 bits everywhere
// and word the overflow as the 64-bit interpreters do.
bool Arg<std::uint8_t>::load(PyObject* obj) noexcept {
    int overflow = 0;
    const long long wide = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (wide == -1 && PyErr_Occurred()) return false;
    if (overflow) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        return false;
    }
    if (wide < 0 || wide > 255) {
        out_of_range();
        return false;
    }
    value = static_cast<std::uint8_t>(wide);
    return true;
}

namespace {

// The integer value of `obj` (or of its __index__), with `in_range` false
// for one beyond a long long; false with TypeError set for a non-integer.
bool load_index(PyObject* obj, long long& v, bool& in_range) noexcept {
    Ref index;
    if (!PyLong_CheckExact(obj)) {
        index = Ref(PyNumber_Index(obj));
        if (!index) return false;
    }
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(index ? index.get() : obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    in_range = overflow == 0;
    return true;
}

}  // namespace

std::optional<board::Square> Arg<BoardSquare>::load_slow(PyObject* obj) noexcept {
    long long v;
    bool in_range;
    if (!load_index(obj, v, in_range)) return std::nullopt;
    if (!in_range || v < 0 || v > 63) {
        PyErr_Format(PyExc_ValueError, "square %R is out of range (0 to 63)", obj);
        return std::nullopt;
    }
    return static_cast<board::Square>(v);
}

bool Arg<PixelSize>::load(PyObject* obj) noexcept {
    long long v;
    bool in_range;
    if (!load_index(obj, v, in_range)) return false;
    if (!in_range || v < 1 || v > 0xFFFFFFFF) {
        PyErr_Format(PyExc_ValueError, "size %R is out of range (1 to 4294967295 pixels)", obj);
        return false;
    }
    value.value = static_cast<std::uint32_t>(v);
    return true;
}

bool Arg<Count>::load(PyObject* obj) noexcept {
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    value.value = overflow > 0 ? static_cast<std::uint64_t>(LLONG_MAX)
                  : overflow < 0 || v < 0 ? 0
                                          : static_cast<std::uint64_t>(v);
    return true;
}

bool Arg<Side>::load(PyObject* obj) noexcept {
    Arg<bool> flag;
    if (!flag.load(obj)) return false;
    value.value = flag.get() ? board::WHITE : board::BLACK;
    return true;
}

bool Arg<board::Piece>::load(PyObject* obj) noexcept {
    if (!PyUnicode_Check(obj)) {
        cannot_convert(obj, "PyString");
        return false;
    }
    const auto piece = PyUnicode_GET_LENGTH(obj) == 1 ? board::piece_of_letter(PyUnicode_READ_CHAR(obj, 0))
                                                       : std::nullopt;
    if (!piece) {
        PyErr_Format(PyExc_ValueError, "invalid piece letter %R (one of PNBRQK for white, pnbrqk for black)", obj);
        return false;
    }
    value = *piece;
    return true;
}

bool Arg<char32_t>::load(PyObject* obj) noexcept {
    if (!PyUnicode_Check(obj)) {
        cannot_convert(obj, "PyString");
        return false;
    }
    if (PyUnicode_GET_LENGTH(obj) != 1) {
        PyErr_SetString(PyExc_ValueError, "expected a string of length 1");
        return false;
    }
    value = PyUnicode_READ_CHAR(obj, 0);
    // A lone surrogate has no UTF-8 form, so no message or UCI text could
    // carry it: refuse it as the text conversion does.
    if (Py_UNICODE_IS_SURROGATE(value)) {
        PyUnicode_AsUTF8AndSize(obj, nullptr);
        return false;
    }
    return true;
}

bool Arg<std::string_view>::load_slow(PyObject* obj) noexcept {
    if (!PyUnicode_Check(obj)) {
        cannot_convert(obj, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) return false;
    value = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool Arg<bool>::load(PyObject* obj) noexcept {
    if (obj == Py_True || obj == Py_False) {
        value = obj == Py_True;
        return true;
    }
    // numpy's booleans are accepted through their truth slot.
    PyTypeObject* type = Py_TYPE(obj);
    Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) PyErr_Clear();
    bool numpy_bool = false;
    if (module && PyUnicode_Check(module.get()) &&
        PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
        const char* name = type->tp_name;
        const char* dot = std::strrchr(name, '.');
        if (dot) name = dot + 1;
        numpy_bool = std::strcmp(name, "bool_") == 0 || std::strcmp(name, "bool") == 0;
    }
    if (!numpy_bool) {
        cannot_convert(obj, "PyBool");
        return false;
    }
    if (!type->tp_as_number || !type->tp_as_number->nb_bool) {
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     reinterpret_cast<PyObject*>(type));
        return false;
    }
    int truth = type->tp_as_number->nb_bool(obj);
    if (truth < 0) return false;
    value = truth != 0;
    return true;
}

bool Arg<const board::Move&>::load(PyObject* o) noexcept {
    PyTypeObject* type = require_type(move_type_cache, "Move");
    if (!type) return false;
    if (!PyObject_TypeCheck(o, type)) {
        cannot_convert(o, "Move");
        return false;
    }
    obj = reinterpret_cast<MoveObject*>(o);
    return borrow.take(obj->borrow);
}

bool Arg<board::Move>::load(PyObject* o) noexcept {
    PyTypeObject* type = require_type(move_type_cache, "Move");
    if (!type) return false;
    if (!PyObject_TypeCheck(o, type)) {
        cannot_convert(o, "Move");
        return false;
    }
    auto* obj = reinterpret_cast<MoveObject*>(o);
    if (!Peek().take(obj->borrow)) return false;
    value = obj->record;
    return true;
}

bool Arg<const std::vector<board::Move>&>::load(PyObject* o) noexcept {
    Ref iter(PyObject_GetIter(o));
    if (!iter) return false;
    try {
        while (Ref item{PyIter_Next(iter.get())}) {
            Arg<const board::Move&> move;
            if (!move.load(item.get())) return false;
            moves.push_back(move.get());
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return !PyErr_Occurred();
}

bool Arg<board::Headers>::load(PyObject* obj) noexcept {
    if (!PyDict_Check(obj)) {
        cannot_convert(obj, "dict");
        return false;
    }
    try {
        PyObject *key, *val;
        Py_ssize_t pos = 0;
        while (PyDict_Next(obj, &pos, &key, &val)) {
            Arg<std::string_view> name, text;
            if (!name.load(key) || !text.load(val)) return false;
            value.emplace_back(name.get(), text.get());
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool Arg<const board::BoardState&>::load(PyObject* o) noexcept {
    PyTypeObject* type = require_type(board_state_type_cache, "BoardState");
    if (!type) return false;
    if (!PyObject_TypeCheck(o, type)) {
        cannot_convert(o, "BoardState");
        return false;
    }
    auto* state = reinterpret_cast<BoardStateObject*>(o);
    SharedBorrow b;
    if (!b.take(state->borrow)) return false;
    return guarded(
        [&] {
            copy.emplace(state->record);
            return true;
        },
        false);
}

PyObject* to_python(bool v) noexcept { return Py_NewRef(v ? Py_True : Py_False); }
PyObject* to_python(std::uint64_t v) noexcept { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_python(std::uint32_t v) noexcept { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_python(std::string_view v) noexcept {
    return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
}
PyObject* to_python(const std::string& v) noexcept { return to_python(std::string_view(v)); }
PyObject* to_python(const AsciiText& v) noexcept {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(v.text.size()), 127);
    if (s) std::memcpy(PyUnicode_1BYTE_DATA(s), v.text.data(), v.text.size());
    return s;
}
PyObject* file_text(std::string_view v) noexcept {
    // Eight bytes at a time: one of them with its high bit set is not ASCII.
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= v.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, v.data() + i, 8);
        high |= word;
    }
    for (; i < v.size(); ++i) high |= static_cast<unsigned char>(v[i]);
    const auto size = static_cast<Py_ssize_t>(v.size());
    if (high & 0x8080808080808080ULL) return PyUnicode_DecodeUTF8(v.data(), size, "replace");
    PyObject* s = PyUnicode_New(size, 127);
    if (s) std::memcpy(PyUnicode_1BYTE_DATA(s), v.data(), v.size());
    return s;
}
PyObject* to_python(std::optional<char32_t> v) noexcept {
    if (!v) return Py_NewRef(Py_None);
    return PyUnicode_FromOrdinal(static_cast<int>(*v));
}
namespace {

// Keeps `made` (a new reference, or null on failure) in `slot` for good,
// unless another thread filled it first; answers the slot's object, lent.
PyObject* keep_once(std::atomic<PyObject*>& slot, PyObject* made) noexcept {
    if (!made) return nullptr;
    PyObject* expected = nullptr;
    if (slot.compare_exchange_strong(expected, made)) return made;
    Py_DECREF(made);
    return expected;
}

}  // namespace

std::atomic<PyObject*> piece_letter_cache[board::COLOR_NB][board::KIND_NB]{};
PyObject* make_piece_letter(board::Piece p) noexcept {
    const char letter = board::piece_letter(p);
    return keep_once(piece_letter_cache[p.color][p.kind], PyUnicode_FromStringAndSize(&letter, 1));
}
std::atomic<PyObject*> square_object_cache[64]{};
PyObject* make_square_object(int square) noexcept {
    return keep_once(square_object_cache[square], PyLong_FromLong(square));
}
PyObject* to_python(std::optional<board::Square> v) noexcept {
    if (!v) return Py_NewRef(Py_None);
    return PyLong_FromUnsignedLongLong(*v);
}
PyObject* to_python(const board::Move& v) noexcept { return new_move(v); }
PyObject* to_python(const board::MoveList& v) noexcept {
    return new_move_list(v.begin(), v.end());
}

}  // namespace binding
