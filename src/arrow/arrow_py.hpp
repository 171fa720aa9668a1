// The Python face of arrow/table: `arrow_table(...)`, which makes a table from the package's
// typed columns (quillfen.frames), and the `ArrowTable` type, which hands it to any consumer of
// the `__arrow_c_stream__` / `__arrow_c_schema__` capsule protocol.
#pragma once

#include "arrow/reader.hpp"
#include "core/ref.hpp"

#include <optional>

namespace qf::arrow {

// arrow_table(names, columns, rows, batch_rows, dictionary, text_of=None) -> ArrowTable
PyObject* arrow_table(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The ArrowTable type, created once per process; null with an exception set on failure.
PyObject* arrow_table_type() noexcept;

// The stream of a PyCapsule "arrow_array_stream" taken over for reading (released on every path
// from here on), for `fname`; nothing with an exception set: NativeFallback for a column type
// the reader does not take.
[[nodiscard]] std::optional<StreamReader> read_capsule(PyObject* capsule, const char* fname) noexcept;

}  // namespace qf::arrow
