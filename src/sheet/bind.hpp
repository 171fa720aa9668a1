// Full-mode binding: reads a whole worksheet part into a CellStore in compact form, handing
// captured top-level elements and warnings back to the caller as actions to replay.
#pragma once

#include "core/ref.hpp"

namespace qf::sheet {

// bind_cells(source, parser, ws, store, cell_styles, cell_cls, helpers, actions) with the
// arguments already type-checked (store a CellStore, cell_cls a type, helpers a dict, actions
// a list). Returns None, or null with an exception set.
PyObject* bind_cells(PyObject* source, PyObject* parser, PyObject* ws, PyObject* store, PyObject* cell_styles,
                     PyObject* cell_cls, PyObject* helpers, PyObject* actions) noexcept;

}  // namespace qf::sheet
