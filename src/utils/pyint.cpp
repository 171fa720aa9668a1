// exact_int (see pyint.hpp).
#include "utils/pyint.hpp"

namespace qf::utils {

std::optional<std::int64_t> exact_int(PyObject* obj) noexcept {
    if (!PyLong_CheckExact(obj)) return std::nullopt;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) return std::nullopt;
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::int64_t>(v);
}

}  // namespace qf::utils
