// Reading a Python int as a native integer, for the writer's number classification.
#pragma once

#include "core/ref.hpp"

#include <cstdint>
#include <optional>

namespace qf::utils {

// The value of `obj` when its type is exactly `int` (not bool, not a subclass) and it fits in
// a signed 64-bit integer; otherwise nothing. An overflow error is cleared, never propagated.
std::optional<std::int64_t> exact_int(PyObject* obj) noexcept;

}  // namespace qf::utils
