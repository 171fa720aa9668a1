// SheetWriter: the Python class that writes a worksheet's `<sheetData>` as the package's
// serialisers would, straight from a CellStore's records where it can, and the rows of
// write-only worksheets. Cells it cannot write byte for byte go to the package's `write_cell`.
#pragma once

#include "core/ref.hpp"

namespace qf::writer {

// The SheetWriter type, created once per process; null with an exception set on failure.
PyObject* sheet_writer_type() noexcept;

}  // namespace qf::writer
