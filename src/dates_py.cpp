// Epoch reading and datetime construction (see dates_py.hpp).
#include "dates_py.hpp"

#include "core/frame.hpp"

#include <datetime.h>

#include <atomic>

namespace qf {
namespace {

// The capsule's table lives as long as the datetime module, which is never unloaded; racing
// first imports store the same pointer.
std::atomic<PyDateTime_CAPI*> datetime_capi{nullptr};

PyDateTime_CAPI* datetime_api() noexcept {
    PyDateTime_CAPI* api = datetime_capi.load(std::memory_order_acquire);
    if (!api) {
        api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
        if (api) datetime_capi.store(api, std::memory_order_release);
    }
    return api;
}

XmlResult<std::int64_t> long_long_attr(PyObject* obj, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
    if (!value) return std::unexpected(source_error());
    const long long v = PyLong_AsLongLong(value.get());
    if (v == -1 && PyErr_Occurred()) return std::unexpected(source_error());
    return static_cast<std::int64_t>(v);
}

}  // namespace

XmlResult<std::optional<Epoch>> read_epoch(PyObject* epoch) {
    Ref datetime_mod = Ref::steal(PyImport_ImportModule("datetime"));
    if (!datetime_mod) return std::unexpected(source_error());
    Ref host_mod = Ref::steal(PyImport_ImportModule("quillfen.utils.datetime"));
    if (!host_mod) return std::unexpected(source_error());
    Ref windows = Ref::steal(PyObject_GetAttrString(host_mod.get(), "WINDOWS_EPOCH"));
    if (!windows) return std::unexpected(source_error());
    Ref datetime_cls = Ref::steal(PyObject_GetAttrString(datetime_mod.get(), "datetime"));
    if (!datetime_cls) return std::unexpected(source_error());

    // Subclasses may override arithmetic or fields, and aware epochs shift with their zone:
    // both go through the package's own from_excel.
    if (reinterpret_cast<PyObject*>(Py_TYPE(epoch)) != datetime_cls.get()) return std::optional<Epoch>{};
    Ref tz = Ref::steal(PyObject_GetAttrString(epoch, "tzinfo"));
    if (!tz) return std::unexpected(source_error());
    if (tz.get() != Py_None) return std::optional<Epoch>{};

    std::int64_t fields[7];
    const char* names[7] = {"year", "month", "day", "hour", "minute", "second", "microsecond"};
    for (int i = 0; i < 7; ++i) {
        QF_TRY_SET(fields[i], long_long_attr(epoch, names[i]));
    }
    const int windows_1900 = PyObject_RichCompareBool(epoch, windows.get(), Py_EQ);
    if (windows_1900 < 0) return std::unexpected(source_error());
    return std::optional<Epoch>{Epoch::make(fields[0], fields[1], fields[2], fields[3], fields[4],
                                            fields[5], fields[6], windows_1900 == 1)};
}

Ref date_parts_to_py(const DateParts& parts) noexcept {
    PyDateTime_CAPI* api = datetime_api();
    if (!api) return Ref{};
    if (const auto* dt = std::get_if<DateTime>(&parts)) {
        return Ref::steal(api->DateTime_FromDateAndTime(dt->year, dt->month, dt->day, dt->hour, dt->minute,
                                                        dt->second, static_cast<int>(dt->microsecond),
                                                        Py_None, api->DateTimeType));
    }
    if (const auto* t = std::get_if<Time>(&parts)) {
        return Ref::steal(api->Time_FromTime(t->hour, t->minute, t->second, static_cast<int>(t->microsecond),
                                             Py_None, api->TimeType));
    }
    PyErr_SetString(PyExc_OverflowError, "date value out of range");
    return Ref{};
}

}  // namespace qf
