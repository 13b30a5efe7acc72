#pragma once

#include <Python.h>

#include "board/board.h"

namespace binding {

// svg()'s arguments in order (size, orientation, arrows, fill, squares,
// flipped, lastmove, check, coordinates, colors; nullptr when omitted),
// read into the options of a diagram of `board`: omitted lastmove and check
// mark the last move played and a king in check, None marks nothing. False
// with ValueError or TypeError naming the faulty argument.
bool read_diagram_options(const board::Board& board, PyObject* const* argv, board::DiagramOptions& out) noexcept;

}  // namespace binding
