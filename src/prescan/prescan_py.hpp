// The Python side of the sheet prescan: arguments in, the result dict out.
#pragma once

#include "core/ref.hpp"

namespace qf::prescan {

// prescan_sheet(source, want_rows, corners, helpers) -> {"head", "tail", "rows", "corners"}.
// Raises TypeError for a bad argument, NativeFallback for input the scan does not take, and
// whatever the source, the corner conversion or the row_index helper raised. Null on error.
PyObject* prescan_sheet(PyObject* source, PyObject* want_rows, PyObject* corners, PyObject* helpers);

}  // namespace qf::prescan
