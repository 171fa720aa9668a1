// A grid edit as the host describes it (quillfen.formula.shift's `spec()`), read into a
// GridEdit. Kept apart from the byte-level formula unit, like pyerror.hpp.
#pragma once

#include "core/ref.hpp"
#include "formula/formula.hpp"

#include <optional>

namespace qf::formula {

// ("insert" | "delete", rows, start, count, *titles), ("move", min_row, min_col, max_row,
// max_col, drow, dcol, *titles) or ("offset", drow, dcol), where titles are the edited
// sheet's title, its case-folded title and a tuple of the other sheets' titles. Anything else
// raises TypeError or ValueError and gives nothing.
std::optional<GridEdit> grid_edit_from(PyObject* spec);

}  // namespace qf::formula
