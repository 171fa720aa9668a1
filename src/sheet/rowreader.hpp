// RowReader: the Python class that streams the rows of a read-only worksheet from the sheet
// parser. Rows are held back until the parser has left the 16384-byte block they ended in, so
// that damage found a little later still sends the whole sheet to the pure-Python reader.
#pragma once

#include "core/ref.hpp"

namespace qf::sheet {

// The RowReader type, created once per process; null with an exception set on failure.
PyObject* row_reader_type() noexcept;

}  // namespace qf::sheet
