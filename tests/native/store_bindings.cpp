// Bindings for the cell store: loading a store from a list of already-interpreted cells (the
// part of full-mode binding after parsing), and formula templates on their own.
#include "testing.hpp"

#include "dates_py.hpp"
#include "ftemplate/ftemplate.hpp"
#include "store/store.hpp"

#include <string>
#include <string_view>

namespace qf::testing {
namespace {

std::string_view utf8_of(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    return p ? std::string_view(p, static_cast<std::size_t>(n)) : std::string_view();
}

// What a cell keeps: None, ("cached", t or None, text) kept natively, or any other object
// kept as the cell's `_loaded`.
XmlResult<store::Kept> kept_of(store::Load& load, PyObject* kept_obj) {
    store::Kept kept;
    if (!kept_obj || kept_obj == Py_None) return kept;
    const char* tag = nullptr;
    PyObject *t = nullptr, *v = nullptr;
    if (PyTuple_Check(kept_obj) && PyArg_ParseTuple(kept_obj, "sOU", &tag, &t, &v) && std::string_view(tag) == "cached") {
        const auto type = store::cached_type_of(t != Py_None, t != Py_None ? utf8_of(t) : std::string_view());
        const auto text = load.keep_text(utf8_of(v));
        if (!type || !text) {
            PyErr_SetString(PyExc_ValueError, "cached result not kept natively");
            return std::unexpected(source_error());
        }
        kept.cached = *text;
        kept.cached_type = *type;
        return kept;
    }
    PyErr_Clear();
    kept.obj = load.keep_obj(Ref::borrow(kept_obj));
    return kept;
}

XmlResult<void> load_one(store::Load& load, PyObject* item) {
    unsigned long row = 0, col = 0;
    const char* kind = nullptr;
    PyObject *value = nullptr, *style_obj = nullptr, *dtype_obj = nullptr, *kept_obj = nullptr;
    if (!PyArg_ParseTuple(item, "kksOOO|O", &row, &col, &kind, &value, &style_obj, &dtype_obj, &kept_obj)) {
        return std::unexpected(source_error());
    }
    QF_TRY_SET(const store::Kept kept, kept_of(load, kept_obj));
    const std::uint32_t style = style_obj == Py_None ? store::NO_STYLE : static_cast<std::uint32_t>(PyLong_AsUnsignedLong(style_obj));
    std::uint8_t dtype = 0;
    if (PyUnicode_Check(dtype_obj)) {
        QF_TRY_SET(dtype, load.extra_dtype(dtype_obj));
    } else {
        dtype = static_cast<std::uint8_t>(PyLong_AsLong(dtype_obj));
    }
    if (PyErr_Occurred()) return std::unexpected(source_error());
    const std::string_view k(kind);
    const auto r = static_cast<std::uint32_t>(row), c = static_cast<std::uint32_t>(col);
    if (k == "empty") { load.place(r, c, store::NONE, 0, style, dtype, kept); return {}; }
    if (k == "int") { load.place(r, c, store::INT, static_cast<std::uint64_t>(PyLong_AsLongLong(value)), style, dtype, kept); }
    else if (k == "float") { load.place(r, c, store::FLOAT, std::bit_cast<std::uint64_t>(PyFloat_AsDouble(value)), style, dtype, kept); }
    else if (k == "bool") { load.place(r, c, store::BOOL, PyObject_IsTrue(value) ? 1 : 0, style, dtype, kept); }
    else if (k == "sst") { load.place(r, c, store::SST, PyLong_AsUnsignedLongLong(value), style, dtype, kept); }
    else if (k == "dateint") { load.place(r, c, store::DATE_INT, static_cast<std::uint64_t>(PyLong_AsLongLong(value)), style, dtype, kept); }
    else if (k == "datefloat") { load.place(r, c, store::DATE_FLOAT, std::bit_cast<std::uint64_t>(PyFloat_AsDouble(value)), style, dtype, kept); }
    else if (k == "shared") { load.place(r, c, store::SHARED, PyLong_AsUnsignedLong(value), style, dtype, kept); }
    else if (k == "shared_own") { load.place(r, c, store::SHARED_OWN, PyLong_AsUnsignedLong(value), style, dtype, kept); }
    else if (k == "py") { load.place_obj(r, c, Ref::borrow(value), style, dtype, kept); }
    else if (k == "str") { return load.place_text(r, c, utf8_of(value), style, dtype, kept); }
    else if (k == "formula") { return load.place_formula(r, c, utf8_of(value), style, dtype, kept); }
    else {
        PyErr_Format(PyExc_ValueError, "unknown kind %s", kind);
    }
    if (PyErr_Occurred()) return std::unexpected(source_error());
    return {};
}

// store_load(store, ws, cell_styles, cell_cls, shared_strings, epoch, cells, masters)
// cells: (row, col, kind, value, style id or None, dtype index or str[, kept]); masters: (text,
// row, col).
PyObject* store_load(PyObject*, PyObject* args) noexcept {
    return guard([&]() -> PyObject* {
        PyObject *store, *ws, *cell_styles, *cell_cls, *shared_strings, *epoch_obj, *cells, *masters_obj;
        if (!PyArg_ParseTuple(args, "OOOOOOO!O!", &store, &ws, &cell_styles, &cell_cls, &shared_strings, &epoch_obj,
                              &PyList_Type, &cells, &PyList_Type, &masters_obj)) {
            return nullptr;
        }
        Ref engine = Ref::steal(PyImport_ImportModule("quillfen._quillfen"));
        if (!engine) return nullptr;
        Ref type = Ref::steal(PyObject_GetAttrString(engine.get(), "CellStore"));
        if (!type) return nullptr;
        if (!require_type("store_load", "store", store, reinterpret_cast<PyTypeObject*>(type.get()))) return nullptr;
        std::optional<Epoch> epoch;
        if (epoch_obj != Py_None) {
            auto e = read_epoch(epoch_obj);
            if (!e) return fallback_err(std::move(e.error()));
            epoch = *e;
        }
        std::vector<formula::Translator> masters;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(masters_obj); ++i) {
            const char* text = nullptr;
            long long row = 0, col = 0;
            if (!PyArg_ParseTuple(PyList_GET_ITEM(masters_obj, i), "sLL", &text, &row, &col)) return nullptr;
            auto tr = formula::Translator::create(text, row, col);
            if (!tr) {
                PyErr_SetString(PyExc_ValueError, "master formula not native");
                return nullptr;
            }
            masters.push_back(std::move(*tr));
        }
        auto load = store::Load::begin(store, ws, cell_styles, shared_strings, epoch, cell_cls, false);
        if (!load) return fallback_err(std::move(load.error()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(cells, i));
            auto done = load_one(*load, item.get());
            if (!done) return fallback_err(std::move(done.error()));
        }
        load->finish(std::make_unique<store::TranslatorMasters>(std::move(masters)));
        Py_RETURN_NONE;
    });
}

// template_run(items) -> [rendered formula or None]: feeds (text, row, col) through one
// template set as a load would; an item gets the template's rendering when one was used.
PyObject* template_run(PyObject*, PyObject* items) noexcept {
    return guard([&]() -> PyObject* {
        if (!PyList_Check(items)) {
            PyErr_SetString(PyExc_TypeError, "list expected");
            return nullptr;
        }
        ftemplate::Templates set;
        Ref out = Ref::steal(PyList_New(0));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
            const char* text = nullptr;
            Py_ssize_t len = 0;
            long long row = 0, col = 0;
            if (!PyArg_ParseTuple(PyList_GET_ITEM(items, i), "s#LL", &text, &len, &row, &col)) return nullptr;
            auto t = set.template_for(std::string_view(text, static_cast<std::size_t>(len)), row, col);
            Ref res;
            if (!t) {
                res = Ref::borrow(Py_None);
            } else {
                std::string buf;
                if (!set[*t].render_into(row, col, buf)) {
                    PyErr_SetString(PyExc_AssertionError, "template does not render");
                    return nullptr;
                }
                res = Ref::steal(Py_BuildValue("(Is#)", *t, buf.data(), static_cast<Py_ssize_t>(buf.size())));
            }
            if (!res || PyList_Append(out.get(), res.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

// template_scan(text) -> [str | (col, row, col_abs, row_abs)]
PyObject* template_scan(PyObject*, PyObject* arg) noexcept {
    return guard([&]() -> PyObject* {
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(arg, &len);
        if (!text) return nullptr;
        Ref out = Ref::steal(PyList_New(0));
        if (!out) return nullptr;
        for (const auto& p : ftemplate::scan(std::string_view(text, static_cast<std::size_t>(len)))) {
            Ref item = p.is_ref ? Ref::steal(Py_BuildValue("(LLOO)", (long long)p.col, (long long)p.row,
                                                           p.col_abs ? Py_True : Py_False, p.row_abs ? Py_True : Py_False))
                                : Ref::steal(PyUnicode_FromStringAndSize(p.text.data(), static_cast<Py_ssize_t>(p.text.size())));
            if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

// store_kept(store) -> how many cells hold kept data in the store (not yet materialised).
PyObject* store_kept(PyObject*, PyObject* store) noexcept {
    return guard([&]() -> PyObject* { return PyLong_FromSize_t(store::state_of(store).c.kept.size()); });
}

}  // namespace

void add_store_methods(MethodTable& table) {
    table.push_back({"store_load", store_load, METH_VARARGS, nullptr});
    table.push_back({"store_kept", store_kept, METH_O, nullptr});
    table.push_back({"template_run", template_run, METH_O, nullptr});
    table.push_back({"template_scan", template_scan, METH_O, nullptr});
}

}  // namespace qf::testing
