#pragma once

#include <Python.h>

namespace binding {

// Binds square(), square_file(), square_rank(), square_name(),
// parse_square() and SQUARE_NAMES on the module, outside its __all__.
bool add_square_names(PyObject* module) noexcept;

}  // namespace binding
