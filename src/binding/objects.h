#pragma once

#include <Python.h>

#include "binding/borrow.h"
#include "board/board.h"

namespace binding {

struct BoardObject {
    PyObject_HEAD
    BorrowFlag borrow;
    board::Board record;
};

struct MoveObject {
    PyObject_HEAD
    BorrowFlag borrow;
    board::Move record;
};

struct BoardStateObject {
    PyObject_HEAD
    BorrowFlag borrow;
    board::BoardState record;
};

// The type objects, created on first need; nullptr with an exception set
// (RuntimeError "An error occurred while initializing class ...") on failure.
PyTypeObject* board_type() noexcept;
PyTypeObject* move_type() noexcept;
PyTypeObject* board_state_type() noexcept;

// A type needed after import: a failure is printed and becomes the panic
// "failed to create type object for {name}".
PyTypeObject* require_type(PyTypeObject* (*get)() noexcept, const char* name) noexcept;

// A new Move object holding a copy of `m`.
PyObject* new_move(const board::Move& m) noexcept;
// A new list of new Move objects, in order.
PyObject* new_move_list(const board::Move* begin, const board::Move* end) noexcept;

}  // namespace binding
