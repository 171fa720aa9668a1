// Bindings for serial dates: the epoch as read from a datetime, and both conversions.
#include "testing.hpp"

#include "dates_py.hpp"

namespace qf::testing {
namespace {

// The native epoch of `epoch`, or raises LookupError when there is none.
XmlResult<Epoch> epoch_of(PyObject* epoch) {
    QF_TRY_SET(std::optional<Epoch> e, read_epoch(epoch));
    if (!e) {
        PyErr_SetString(PyExc_LookupError, "no native epoch");
        return std::unexpected(source_error());
    }
    return *e;
}

// Result object: datetime/time, or None for OutOfRange.
PyObject* parts_to_py(const DateParts& parts) {
    if (std::holds_alternative<OutOfRange>(parts)) Py_RETURN_NONE;
    return date_parts_to_py(parts).release();
}

// epoch_fields(epoch) -> (day, micros, windows_1900) or None
PyObject* epoch_fields(PyObject*, PyObject* epoch) noexcept {
    return guard([&]() -> PyObject* {
        auto e = read_epoch(epoch);
        if (!e) return fallback_err(std::move(e.error()));
        if (!*e) Py_RETURN_NONE;
        return Py_BuildValue("(LLO)", (long long)(*e)->day, (long long)(*e)->micros,
                             (*e)->windows_1900 ? Py_True : Py_False);
    });
}

// from_excel_int(epoch, serial) -> datetime | time | None
PyObject* from_excel_int_py(PyObject*, PyObject* args) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* epoch = nullptr;
        long long serial = 0;
        if (!PyArg_ParseTuple(args, "OL", &epoch, &serial)) return nullptr;
        auto e = epoch_of(epoch);
        if (!e) return fallback_err(std::move(e.error()));
        return parts_to_py(from_excel_int(*e, serial));
    });
}

// from_excel_float(epoch, serial) -> datetime | time | None
PyObject* from_excel_float_py(PyObject*, PyObject* args) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* epoch = nullptr;
        double serial = 0;
        if (!PyArg_ParseTuple(args, "Od", &epoch, &serial)) return nullptr;
        auto e = epoch_of(epoch);
        if (!e) return fallback_err(std::move(e.error()));
        return parts_to_py(from_excel_float(*e, serial));
    });
}

// date_finish(epoch, days, millis) -> datetime | None
PyObject* finish_py(PyObject*, PyObject* args) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* epoch = nullptr;
        long long days = 0, millis = 0;
        if (!PyArg_ParseTuple(args, "OLL", &epoch, &days, &millis)) return nullptr;
        auto e = epoch_of(epoch);
        if (!e) return fallback_err(std::move(e.error()));
        return parts_to_py(finish(*e, days, millis));
    });
}

}  // namespace

void add_dates_methods(MethodTable& table) {
    table.push_back({"epoch_fields", epoch_fields, METH_O, nullptr});
    table.push_back({"from_excel_int", from_excel_int_py, METH_VARARGS, nullptr});
    table.push_back({"from_excel_float", from_excel_float_py, METH_VARARGS, nullptr});
    table.push_back({"date_finish", finish_py, METH_VARARGS, nullptr});
}

}  // namespace qf::testing
