// The rich-text context as the reading entry points build it from the package's helper table:
// its two name sets and its validate_rpr callable. The Python-aware half of the text unit.
#pragma once

#include "helpers.hpp"
#include "text/text.hpp"

namespace qf::text {

// A context over `helpers` (name sets copied; validate_rpr kept as a new reference, called with
// the rPr bytes and the list of (prefix, URI) namespaces in scope, its truth value the verdict).
// `forbid`: forbid_item for the string table, forbid_sheet for inline strings of a worksheet.
RichContext make_rich_context(const Helpers& helpers, Forbid forbid);

}  // namespace qf::text
