// The Python side of serial dates: reading a workbook epoch from a Python object (shared by the
// parser settings and the writer) and building datetime/time objects through the datetime capsule.
#pragma once

#include "core/error.hpp"
#include "core/ref.hpp"
#include "dates.hpp"

#include <optional>

namespace qf {

// The native epoch for `epoch` (the parser's `epoch` or the workbook's `epoch` attribute):
// present only for an exact, naive datetime.datetime; `windows_1900` is `epoch == WINDOWS_EPOCH`
// of quillfen.utils.datetime. Errors are the Python exceptions raised while reading.
[[nodiscard]] XmlResult<std::optional<Epoch>> read_epoch(PyObject* epoch);

// datetime.datetime (naive) or datetime.time for DateTime/Time parts; null with an exception
// set otherwise (OutOfRange never reaches here in callers that checked at load time).
[[nodiscard]] Ref date_parts_to_py(const DateParts& parts) noexcept;

}  // namespace qf
