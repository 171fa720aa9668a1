// The shared string table: reads a shared-string part into the Python list that cells index.
// Plain items become str natively; every item whose value needs the package's own classes is
// handed, as its exact XML, to the package's si_content helper.
#pragma once

#include "core/error.hpp"
#include "core/ref.hpp"

namespace qf {

// read_string_table(source, helpers) -> list. `helpers` must be a dict (the reading helper table
// plus si_content). Python errors of helpers, of the source and of building the helper table
// are Source errors holding the very exception; no partial list is returned.
[[nodiscard]] XmlResult<Ref> read_string_table(PyObject* source, PyObject* helpers);

}  // namespace qf
