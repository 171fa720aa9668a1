// The test-only module `_quillfen_testing` exposes internal engine routines to pytest so that
// property tests can hold them against Python oracles. Each unit's bindings live in a file of
// their own here and add their functions to the table; they convert arguments and call, nothing more.
#pragma once

#include "core/frame.hpp"

#include <vector>

namespace qf::testing {

using MethodTable = std::vector<PyMethodDef>;

void add_frame_methods(MethodTable& table);
void add_dates_methods(MethodTable& table);
void add_helpers_methods(MethodTable& table);
void add_utils_methods(MethodTable& table);
void add_formula_methods(MethodTable& table);
void add_sheet_methods(MethodTable& table);
void add_store_methods(MethodTable& table);

}  // namespace qf::testing
