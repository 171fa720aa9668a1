// Bindings for the helper table, parser settings, style-id sets and slot classes.
#include "testing.hpp"

#include "helpers.hpp"
#include "slots.hpp"

#include <string>

namespace qf::testing {
namespace {

PyObject* ids_to_list(const IdSet& set) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (std::int64_t id : set.ids()) {
        Ref v = Ref::steal(PyLong_FromLongLong(id));
        if (!v || PyList_Append(list.get(), v.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* names_to_list(const NameSet& set) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const std::string& name : set.names()) {
        Ref v = Ref::steal(PyBytes_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!v || PyList_Append(list.get(), v.get()) < 0) return nullptr;
    }
    return list.release();
}

// helpers_from_dict(d) -> (tuple of the fifteen kept objects, text_dangerous, rich_dangerous)
PyObject* helpers_from_dict(PyObject*, PyObject* d) noexcept {
    return guard([&]() -> PyObject* {
        auto h = Helpers::from_dict(d);
        if (!h) return fallback_err(std::move(h.error()));
        Ref kept = Ref::steal(PyTuple_Pack(
            15, h->int_.get(), h->float_.get(), h->coordinate_to_tuple.get(), h->row_index.get(),
            h->from_excel.get(), h->from_iso8601.get(), h->date_warning.get(), h->array_formula.get(),
            h->data_table_formula.get(), h->translator.get(), h->tokenizer_error.get(),
            h->translator_error.get(), h->text_content.get(), h->rich_inline.get(), h->validate_rpr.get()));
        if (!kept) return nullptr;
        Ref text = Ref::steal(names_to_list(h->text_dangerous));
        if (!text) return nullptr;
        Ref rich = Ref::steal(names_to_list(h->rich_dangerous));
        if (!rich) return nullptr;
        return PyTuple_Pack(3, kept.get(), text.get(), rich.get());
    });
}

// settings_from_parser(p) -> dict of the fields
PyObject* settings_from_parser(PyObject*, PyObject* parser) noexcept {
    return guard([&]() -> PyObject* {
        auto s = Settings::from_parser(parser);
        if (!s) return fallback_err(std::move(s.error()));
        Ref epoch;
        if (s->epoch) {
            epoch = Ref::steal(Py_BuildValue("(LLO)", (long long)s->epoch->day, (long long)s->epoch->micros,
                                             s->epoch->windows_1900 ? Py_True : Py_False));
        } else {
            epoch = Ref::borrow(Py_None);
        }
        if (!epoch) return nullptr;
        Ref dates = Ref::steal(ids_to_list(s->date_formats));
        if (!dates) return nullptr;
        Ref deltas = Ref::steal(ids_to_list(s->timedelta_formats));
        if (!deltas) return nullptr;
        Ref times = Ref::steal(ids_to_list(s->time_formats));
        if (!times) return nullptr;
        return Py_BuildValue("{sOsOsOsnsOsOsOsOsOsO}", "epoch", epoch.get(), "epoch_obj", s->epoch_obj.get(),
                             "formula_and_value", s->formula_and_value ? Py_True : Py_False,
                             "shared_strings_len", static_cast<Py_ssize_t>(s->shared_strings_len),
                             "shared_strings", s->shared_strings.get(), "data_only",
                             s->data_only ? Py_True : Py_False, "rich_text", s->rich_text ? Py_True : Py_False,
                             "date_formats", dates.get(), "timedelta_formats", deltas.get(), "time_formats",
                             times.get());
    });
}

// int_set(obj) -> sorted list
PyObject* int_set_py(PyObject*, PyObject* obj) noexcept {
    return guard([&]() -> PyObject* {
        auto s = int_set(obj);
        if (!s) return fallback_err(std::move(s.error()));
        return ids_to_list(*s);
    });
}

// int_set_contains(obj, probes) -> list of bool: which probes the set made of `obj` holds
PyObject* int_set_contains(PyObject*, PyObject* args) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* obj = nullptr;
        PyObject* probes = nullptr;
        if (!PyArg_ParseTuple(args, "OO", &obj, &probes)) return nullptr;
        auto s = int_set(obj);
        if (!s) return fallback_err(std::move(s.error()));
        Ref seq = Ref::steal(PySequence_Fast(probes, "probes must be a sequence"));
        if (!seq) return nullptr;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        Ref out = Ref::steal(PyList_New(n));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const long long id = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(seq.get(), i));
            if (id == -1 && PyErr_Occurred()) return nullptr;
            PyList_SET_ITEM(out.get(), i, Py_NewRef(s->contains(id) ? Py_True : Py_False));
        }
        return out.release();
    });
}

// Converts a list of str into UTF-8 names kept alive by `storage`.
bool slot_names(PyObject* names, std::vector<std::string>& storage, std::vector<const char*>& out) {
    Ref seq = Ref::steal(PySequence_Fast(names, "names must be a sequence"));
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char* utf8 = PyUnicode_AsUTF8(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (!utf8) return false;
        storage.emplace_back(utf8);
    }
    for (const std::string& s : storage) out.push_back(s.c_str());
    return true;
}

// slot_offsets(cls, names) -> list of offsets
PyObject* slot_offsets(PyObject*, PyObject* args) noexcept {
    return guard([&]() -> PyObject* {
        PyObject *cls = nullptr, *names = nullptr;
        if (!PyArg_ParseTuple(args, "OO", &cls, &names)) return nullptr;
        std::vector<std::string> storage;
        std::vector<const char*> ptrs;
        if (!slot_names(names, storage, ptrs)) return nullptr;
        auto sc = SlotClass::make(cls, ptrs);
        if (!sc) return fallback_err(std::move(sc.error()));
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (std::int32_t off : sc->offsets()) {
            Ref v = Ref::steal(PyLong_FromLong(off));
            if (!v || PyList_Append(list.get(), v.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

// slot_fill(cls, names, values) -> a new instance made without its constructor, slot i set to
// values[i] (None in values leaves the slot unset).
PyObject* slot_fill(PyObject*, PyObject* args) noexcept {
    return guard([&]() -> PyObject* {
        PyObject *cls = nullptr, *names = nullptr, *values = nullptr;
        if (!PyArg_ParseTuple(args, "O!OO", &PyType_Type, &cls, &names, &values)) return nullptr;
        std::vector<std::string> storage;
        std::vector<const char*> ptrs;
        if (!slot_names(names, storage, ptrs)) return nullptr;
        auto sc = SlotClass::make(cls, ptrs);
        if (!sc) return fallback_err(std::move(sc.error()));
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        Ref obj = Ref::steal(type->tp_alloc(type, 0));
        if (!obj) return nullptr;
        for (std::size_t i = 0; i < ptrs.size(); ++i) {
            PyObject* v = PySequence_GetItem(values, static_cast<Py_ssize_t>(i));
            if (!v) return nullptr;
            Ref value = Ref::steal(v);
            if (value.get() != Py_None) sc->set(obj.get(), i, std::move(value));
        }
        // Set twice to show the old reference is released (refcount tests watch the values).
        for (std::size_t i = 0; i < ptrs.size(); ++i) {
            if (PyObject* cur = sc->get(obj.get(), i)) sc->set(obj.get(), i, Ref::borrow(cur));
        }
        return obj.release();
    });
}

}  // namespace

void add_helpers_methods(MethodTable& table) {
    table.push_back({"helpers_from_dict", helpers_from_dict, METH_O, nullptr});
    table.push_back({"settings_from_parser", settings_from_parser, METH_O, nullptr});
    table.push_back({"int_set", int_set_py, METH_O, nullptr});
    table.push_back({"int_set_contains", int_set_contains, METH_VARARGS, nullptr});
    table.push_back({"slot_offsets", slot_offsets, METH_VARARGS, nullptr});
    table.push_back({"slot_fill", slot_fill, METH_VARARGS, nullptr});
}

}  // namespace qf::testing
