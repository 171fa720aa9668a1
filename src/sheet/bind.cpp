// Full-mode binding: the sheet parser's cells encoded into the store's records (see bind.hpp).
#include "sheet/bind.hpp"

#include "core/frame.hpp"
#include "pysource.hpp"
#include "sheet/parser.hpp"
#include "store/store.hpp"

namespace qf::sheet {

namespace {

// The parser's shared-formula masters, handed to the store at the end of a load. Only native
// masters are ever rendered from: a dependent of a Python master was stored as its text.
class SheetMasters final : public store::Masters {
public:
    explicit SheetMasters(std::vector<Shared> list) : list_(std::move(list)) {}
    bool render_into(std::uint32_t index, std::optional<formula::Cell> dest, std::string& out) const override {
        if (index >= list_.size() || !list_[index].native) return false;
        return formula::translate_into(*list_[index].native, dest, out).has_value();
    }
    int traverse(visitproc visit, void* arg) const override {
        for (const Shared& m : list_) Py_VISIT(m.py.get());
        return 0;
    }
    const formula::Translator* native(std::uint32_t index) const override {
        return index < list_.size() && list_[index].native ? &*list_[index].native : nullptr;
    }
    std::uint32_t add(formula::Translator tr) override {
        list_.push_back(Shared{std::move(tr), Ref()});
        return static_cast<std::uint32_t>(list_.size() - 1);
    }
    std::unique_ptr<store::Masters> clone() const override {
        std::vector<Shared> copy;
        copy.reserve(list_.size());
        for (const Shared& m : list_) copy.push_back(Shared{m.native, m.py.clone()});
        return std::make_unique<SheetMasters>(std::move(copy));
    }

private:
    std::vector<Shared> list_;
};

XmlResult<void> fallback(const char* message) {
    raise_fallback(message);
    return std::unexpected(source_error());
}

// The store's style id for a cell: Python's indexing rules on cell_styles, without calling
// Python for ids in range.
XmlResult<std::uint32_t> style_index(const StyleId& s, PyObject* cell_styles, Py_ssize_t n_styles) {
    if (s.obj) {
        Ref item = Ref::steal(PyObject_GetItem(cell_styles, s.obj.get()));
        if (!item) return std::unexpected(source_error());
        QF_TRY(fallback("unusual style id"));
    }
    const std::int64_t j = s.id >= 0 ? s.id : s.id + n_styles;
    if (j >= 0 && j < n_styles) return static_cast<std::uint32_t>(j);
    Ref index = Ref::steal(PyLong_FromLongLong(s.id));
    if (!index) return std::unexpected(source_error());
    Ref item = Ref::steal(PyObject_GetItem(cell_styles, index.get()));
    if (!item) return std::unexpected(source_error());
    QF_TRY(fallback("style index"));
    return 0;  // not reached: fallback always fails
}

// The `_loaded` object of a cell as the package's reader makes it: (attributes, shared string
// index, (t, text) of the cached result, runs), each None (attributes: ()) when absent.
XmlResult<Ref> loaded_tuple(const KeptRaw& k, std::optional<std::uint32_t> sst) {
    Ref attrs = k.attrs ? k.attrs.clone() : Ref::steal(PyTuple_New(0));
    Ref shared = sst ? Ref::steal(PyLong_FromUnsignedLong(*sst)) : Ref::borrow(Py_None);
    Ref cached = Ref::borrow(Py_None);
    if (k.cached) {
        Ref t = k.cached_has_t ? py_str(k.cached_t) : Ref::borrow(Py_None);
        Ref v = py_str(k.cached_v);
        if (!t || !v) return std::unexpected(source_error());
        cached = Ref::steal(PyTuple_Pack(2, t.get(), v.get()));
    }
    Ref runs = k.runs ? k.runs.clone() : Ref::borrow(Py_None);
    if (!attrs || !shared || !cached) return std::unexpected(source_error());
    Ref tuple = Ref::steal(PyTuple_Pack(4, attrs.get(), shared.get(), cached.get(), runs.get()));
    if (!tuple) return std::unexpected(source_error());
    return tuple;
}

// What the cell keeps, in the store's forms, into `kept` (left as it is when there is nothing):
// the common cached result natively, the rest as the Python object its cell will hold (a shared
// string cell stored by index needs nothing). PERF NOTE: written in place; returned inside an
// expected, it was stored in parts and read back whole, which stalled on every cell.
XmlResult<void> keep_into(store::Load& load, const KeptRaw& k, const Val& value, store::Kept& kept) {
    if (k.empty()) return {};
    const auto* shared = std::get_if<SharedStringV>(&value);
    const auto sst = shared ? std::optional(shared->index) : k.sst;
    if (!k.attrs && !k.runs) {
        if (!k.cached) {
            Ref index = Ref::steal(PyLong_FromUnsignedLong(*sst));
            if (!index) return std::unexpected(source_error());
            kept.obj = load.keep_obj(std::move(index));
            return {};
        }
        const auto type = store::cached_type_of(k.cached_has_t, k.cached_t);
        const auto text = type && !sst ? load.keep_text(k.cached_v) : std::nullopt;
        if (text) {
            kept.cached = *text;
            kept.cached_type = *type;
            return {};
        }
    }
    QF_TRY_SET(Ref tuple, loaded_tuple(k, sst));
    kept.obj = load.keep_obj(std::move(tuple));
    return {};
}

// A format the writer would name by another id (or none): the cell keeps its own, as the
// attribute ("s", id) among its kept ones, last.
XmlResult<void> keep_style(KeptRaw& kept, std::int64_t id) {
    Ref text = Ref::steal(PyUnicode_FromFormat("%lld", static_cast<long long>(id)));
    if (!text) return std::unexpected(source_error());
    Ref pair = Ref::steal(Py_BuildValue("(sO)", "s", text.get()));
    if (!pair) return std::unexpected(source_error());
    const Py_ssize_t n = kept.attrs ? PyTuple_GET_SIZE(kept.attrs.get()) : 0;
    Ref attrs = Ref::steal(PyTuple_New(n + 1));
    if (!attrs) return std::unexpected(source_error());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(attrs.get(), i, Py_NewRef(PyTuple_GET_ITEM(kept.attrs.get(), i)));
    }
    PyTuple_SET_ITEM(attrs.get(), n, pair.release());
    kept.attrs = std::move(attrs);
    return {};
}

XmlResult<void> bind_cell(store::Load& load, const SheetState& st, CellRec& cell, PyObject* cell_styles,
                          Py_ssize_t n_styles) {
    QF_TRY_SET(const std::uint32_t style, style_index(cell.style, cell_styles, n_styles));
    if (!cell.style.obj && cell.style.id > 0 && st.settings.kept_styles.contains(cell.style.id)) {
        QF_TRY(keep_style(cell.kept, cell.style.id));
    }
    if (cell.row < 0 || cell.row > 0xFFFFFFFFLL || cell.col < 0 || cell.col > 0xFFFFFFFFLL) {
        QF_TRY(fallback("coordinate out of range"));
    }
    const auto row = static_cast<std::uint32_t>(cell.row), col = static_cast<std::uint32_t>(cell.col);
    std::uint8_t dtype = cell.dtype.code;
    if (cell.dtype.py) {
        QF_TRY_SET(dtype, load.extra_dtype(cell.dtype.py.get()));
    }
    Val& v = cell.value;
    store::Kept kept;
    QF_TRY(keep_into(load, cell.kept, v, kept));
    switch (v.index()) {
        case 0:
            load.place(row, col, store::NONE, 0, style, dtype, kept);
            break;
        case 1:
            load.place(row, col, store::INT, static_cast<std::uint64_t>(std::get<1>(v)), style, dtype, kept);
            break;
        case 2:
            load.place(row, col, store::FLOAT, std::bit_cast<std::uint64_t>(std::get<2>(v)), style, dtype,
                       kept);
            break;
        case 3:
            load.place(row, col, store::BOOL, std::get<3>(v) ? 1 : 0, style, dtype, kept);
            break;
        case 4:
            load.place(row, col, store::SST, std::get<4>(v).index, style, dtype, kept);
            break;
        case 5:
            if (!cell.dtype.py && cell.dtype.code == DT_F) {
                return load.place_formula(row, col, std::get<5>(v), style, dtype, kept);
            }
            return load.place_text(row, col, std::get<5>(v), style, dtype, kept);
        case 6: {
            const SharedRefV& ref = std::get<6>(v);
            if (!ref.target) {
                load.place(row, col, store::SHARED_OWN, ref.master, style, dtype, kept);
            } else if (ref.target->row == cell.row && ref.target->col == cell.col) {
                load.place(row, col, store::SHARED, ref.master, style, dtype, kept);
            } else {
                Ref text = shared_to_py(st, ref);
                if (!text) return std::unexpected(source_error());
                load.place_obj(row, col, std::move(text), style, dtype, kept);
            }
            break;
        }
        case 7:
            load.place(row, col, store::DATE_INT, static_cast<std::uint64_t>(std::get<7>(v).serial), style, dtype,
                       kept);
            break;
        case 8:
            load.place(row, col, store::DATE_FLOAT, std::bit_cast<std::uint64_t>(std::get<8>(v).serial), style,
                       dtype, kept);
            break;
        case 9:
            load.place_obj(row, col, std::move(std::get<9>(v)), style, dtype, kept);
            break;
    }
    return {};
}

XmlResult<void> run(PyObject* source, PyObject* parser, PyObject* ws, PyObject* store, PyObject* cell_styles,
                    PyObject* cell_cls, PyObject* helpers, PyObject* actions) {
    QF_TRY_SET(Helpers h, Helpers::from_dict(helpers));
    QF_TRY_SET(Settings settings, Settings::from_parser(parser));
    Ref row_dims = Ref::steal(PyObject_GetAttrString(parser, "row_dimensions"));
    if (!row_dims) return std::unexpected(source_error());
    if (!PyDict_Check(row_dims.get())) {
        PyErr_Format(PyExc_TypeError, "parser.row_dimensions must be dict, not %T", row_dims.get());
        return std::unexpected(source_error());
    }
    Ref shared_strings = settings.shared_strings.clone();
    const std::optional<Epoch> epoch = settings.epoch;
    const bool keep_cells = settings.keep_cells;
    QF_TRY_SET(std::unique_ptr<SheetParser> p,
               SheetParser::create(source, std::move(h), std::move(settings), actions, row_dims.get()));
    QF_TRY_SET(store::Load load,
               store::Load::begin(store, ws, cell_styles, shared_strings.get(), epoch, cell_cls, keep_cells));
    const Py_ssize_t n_styles = PyObject_Size(cell_styles);
    if (n_styles < 0) return std::unexpected(source_error());
    for (;;) {
        QF_TRY_SET(Item item, p->next_item());
        if (auto* row = std::get_if<RowItem>(&item)) {
            for (CellRec& cell : row->cells) QF_TRY(bind_cell(load, p->state(), cell, cell_styles, n_styles));
            p->recycle(std::move(row->cells));
        } else if (auto* el = std::get_if<ElementItem>(&item)) {
            Ref xml = Ref::steal(PyBytes_FromStringAndSize(el->snippet.data(), static_cast<Py_ssize_t>(el->snippet.size())));
            if (!xml) return std::unexpected(source_error());
            Ref ns = Ref::steal(ns_list(el->namespaces));
            if (!ns) return std::unexpected(source_error());
            Ref action = Ref::steal(Py_BuildValue("(sOO)", "element", xml.get(), ns.get()));
            if (!action || PyList_Append(actions, action.get()) < 0) return std::unexpected(source_error());
        } else {
            load.finish(std::make_unique<SheetMasters>(std::move(p->state().masters)));
            return {};
        }
    }
}

}  // namespace

PyObject* bind_cells(PyObject* source, PyObject* parser, PyObject* ws, PyObject* store, PyObject* cell_styles,
                     PyObject* cell_cls, PyObject* helpers, PyObject* actions) noexcept {
    return guard([&]() -> PyObject* {
        auto done = run(source, parser, ws, store, cell_styles, cell_cls, helpers, actions);
        if (!done) return fallback_err(std::move(done.error()));
        Py_RETURN_NONE;
    });
}

}  // namespace qf::sheet
