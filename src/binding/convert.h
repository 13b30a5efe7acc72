#pragma once

// One converter per engine type, selected by the C++ parameter type of the
// engine call, and one conversion per engine result type.

#include <Python.h>

#include <atomic>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/borrow.h"
#include "binding/objects.h"
#include "binding/ref.h"
#include "board/board.h"

namespace binding {

// Sets TypeError "'{type}' object cannot be converted to '{target}'".
void cannot_convert(PyObject* obj, const char* target) noexcept;

// When the pending exception is exactly TypeError, replaces it by
// "argument '{name}': {message}", keeping its cause.
void name_argument(const char* name) noexcept;

template <typename T>
struct Arg;

template <>
struct Arg<std::uint64_t> {
    std::uint64_t value = 0;
    bool load(PyObject* obj) noexcept;
    std::uint64_t get() const noexcept { return value; }
};

template <>
struct Arg<std::uint32_t> {
    std::uint32_t value = 0;
    bool load(PyObject* obj) noexcept;
    std::uint32_t get() const noexcept { return value; }
};

template <>
struct Arg<std::uint8_t> {
    std::uint8_t value = 0;
    bool load(PyObject* obj) noexcept;
    std::uint8_t get() const noexcept { return value; }
};

template <>
struct Arg<char32_t> {
    char32_t value = 0;
    bool load(PyObject* obj) noexcept;
    char32_t get() const noexcept { return value; }
};

template <>
struct Arg<std::string_view> {
    // Points into the str's own bytes (ASCII text) or its cached UTF-8 form,
    // either of which lives as long as the str; the argument outlives the call.
    std::string_view value;
    bool load(PyObject* obj) noexcept {
        // ASCII text, every move and FEN a program writes, is its own UTF-8
        // and is read in place.
        if (PyUnicode_Check(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) [[likely]] {
            value = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
            return true;
        }
        return load_slow(obj);
    }
    bool load_slow(PyObject* obj) noexcept;
    std::string_view get() const noexcept { return value; }
};

template <>
struct Arg<bool> {
    bool value = false;
    bool load(PyObject* obj) noexcept;
    bool get() const noexcept { return value; }
};

// A square of the board, 0 (a1) to 63 (h8): the additions' square argument.
// Another integer is a ValueError naming it.
struct BoardSquare {
    board::Square value;
};
template <>
struct Arg<BoardSquare> {
    BoardSquare value{0};
    bool load(PyObject* obj) noexcept {
        // A small int in range is the common case: read it inline.
        if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
            const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
            if (v >= 0 && v <= 63) {
                value.value = static_cast<board::Square>(v);
                return true;
            }
        }
        // Returned rather than stored through `this`, so that the argument
        // can live in a register on the common path.
        const auto slow = load_slow(obj);
        if (slow) value.value = *slow;
        return slow.has_value();
    }
    static std::optional<board::Square> load_slow(PyObject* obj) noexcept;
    BoardSquare get() const noexcept { return value; }
};

// A picture's size in pixels, 1 to 2^32 - 1; another integer is a
// ValueError naming it.
struct PixelSize {
    std::uint32_t value;
};
template <>
struct Arg<PixelSize> {
    PixelSize value{0};
    bool load(PyObject* obj) noexcept;
    PixelSize get() const noexcept { return value; }
};

// A count where any integer makes sense: below 0 reads as 0 and above
// 2**63 - 1 as that, so that huge and negative counts answer like others.
struct Count {
    std::uint64_t value;
};
template <>
struct Arg<Count> {
    Count value{0};
    bool load(PyObject* obj) noexcept;
    Count get() const noexcept { return value; }
};

// A colour given as a bool: True is white.
struct Side {
    board::Color value;
};
template <>
struct Arg<Side> {
    Side value{board::WHITE};
    bool load(PyObject* obj) noexcept;
    Side get() const noexcept { return value; }
};

// One coloured piece letter, "P" to "k": case matters.
template <>
struct Arg<board::Piece> {
    board::Piece value{board::WHITE, board::PAWN};
    bool load(PyObject* obj) noexcept;
    board::Piece get() const noexcept { return value; }
};

// Missing or None gives an absent value.
template <typename T>
struct Arg<std::optional<T>> {
    Arg<T> inner;
    bool present = false;
    bool load(PyObject* obj) noexcept {
        if (!obj || obj == Py_None) return true;
        present = true;
        return inner.load(obj);
    }
    std::optional<T> get() const noexcept {
        if (!present) return std::nullopt;
        return inner.get();
    }
};

// A Move argument, shared-borrowed for the whole call.
template <>
struct Arg<const board::Move&> {
    MoveObject* obj = nullptr;
    SharedBorrow borrow;
    bool load(PyObject* o) noexcept;
    const board::Move& get() const noexcept { return obj->record; }
};

// A Move argument copied out at once, for calls that want only its value:
// no borrow is held, as the record cannot change while the call runs no
// Python code; one that an exclusive borrow holds is still refused.
template <>
struct Arg<board::Move> {
    board::Move value;
    bool load(PyObject* o) noexcept;
    board::Move get() const noexcept { return value; }
};

// Any iterable of Move, each record copied out under a short borrow.
template <>
struct Arg<const std::vector<board::Move>&> {
    std::vector<board::Move> moves;
    bool load(PyObject* o) noexcept;
    const std::vector<board::Move>& get() const noexcept { return moves; }
};

// PGN tag pairs given as a dict of str to str, in its order.
template <>
struct Arg<board::Headers> {
    board::Headers value;
    bool load(PyObject* obj) noexcept;
    board::Headers get() const { return value; }
};

// A BoardState argument; the record is copied out under a short borrow.
template <>
struct Arg<const board::BoardState&> {
    std::optional<board::BoardState> copy;
    bool load(PyObject* o) noexcept;
    const board::BoardState& get() const noexcept { return *copy; }
};

// Any object, passed through (borrowed).
template <>
struct Arg<PyObject*> {
    PyObject* obj = nullptr;
    bool load(PyObject* o) noexcept {
        obj = o;
        return true;
    }
    PyObject* get() const noexcept { return obj; }
};

// Text known to be ASCII (move notation), made into a str without a decoder pass.
struct AsciiText {
    std::string text;
};

// Result conversions; nullptr with an exception set on failure.
PyObject* to_python(bool v) noexcept;
PyObject* to_python(std::uint64_t v) noexcept;
PyObject* to_python(std::uint32_t v) noexcept;
PyObject* to_python(const std::string& v) noexcept;
PyObject* to_python(std::string_view v) noexcept;
PyObject* to_python(const AsciiText& v) noexcept;
PyObject* to_python(std::optional<char32_t> v) noexcept;
// Text read from a file, which need not be UTF-8 (tags, comments): a byte
// the decoder cannot read stands for U+FFFD, so it never fails to read.
// Nearly all of it is ASCII, copied into the str without a decoder pass.
PyObject* file_text(std::string_view v) noexcept;
// One-letter strings are the interpreter's own immortal singletons: the
// twelve letters are looked up once and handed out without a decoder call.
// Read inline: piece queries run once per square, so a call costs as much
// as the lookup. The makers fill the cache once and lend its object.
extern std::atomic<PyObject*> piece_letter_cache[board::COLOR_NB][board::KIND_NB];
PyObject* make_piece_letter(board::Piece p) noexcept;
inline PyObject* borrowed_piece_letter(board::Piece p) noexcept {
    if (PyObject* s = piece_letter_cache[p.color][p.kind].load(std::memory_order_relaxed)) return s;
    return make_piece_letter(p);
}
inline PyObject* piece_letter_object(board::Piece p) noexcept { return Py_XNewRef(borrowed_piece_letter(p)); }
// A borrowed reference to the int of a square (0..63), made once.
PyObject* make_square_object(int square) noexcept;
extern std::atomic<PyObject*> square_object_cache[64];
inline PyObject* square_object(int square) noexcept {
    if (PyObject* s = square_object_cache[square].load(std::memory_order_relaxed)) return s;
    return make_square_object(square);
}
inline PyObject* to_python(std::optional<board::Piece> v) noexcept {
    if (!v) return Py_NewRef(Py_None);
    return piece_letter_object(*v);
}
PyObject* to_python(std::optional<board::Square> v) noexcept;
PyObject* to_python(const board::Move& v) noexcept;
PyObject* to_python(const board::MoveList& v) noexcept;
inline PyObject* to_python(PyObject* owned) noexcept { return owned; }
inline PyObject* to_python(Ref owned) noexcept { return owned.release(); }

}  // namespace binding
