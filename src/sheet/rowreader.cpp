// RowReader (see rowreader.hpp).
#include "sheet/rowreader.hpp"

#include "core/borrow.hpp"
#include "core/frame.hpp"
#include "pysource.hpp"
#include "sheet/columns.hpp"
#include "sheet/parser.hpp"
#include "slots.hpp"

#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace qf::sheet {
namespace {

// Rows are released once the reader's position has left the block they ended in.
constexpr std::uint64_t RELEASE_BLOCK = 16384;

struct Queued {
    Item item;
    std::uint64_t pos;
    Ref warnings;  // list of the ("warn", message) actions raised while parsing the item, or null
};

struct State {
    std::unique_ptr<SheetParser> parser;
    Ref source;          // also held by the parser's byte source; kept here for the collector
    Ref parse_actions;   // the list the parser appends warnings to, moved into items as they queue
    std::deque<Queued> queue;
    bool at_end = false;
    Ref pending;         // the NativeFallback raised once, raised again on later calls
    std::optional<SlotClass> cell_slots;
};

struct RowReaderObject {
    PyObject_HEAD
    BorrowFlag borrow;
    State* state;
    PyObject* actions;
};

RowReaderObject* as_reader(PyObject* self) { return reinterpret_cast<RowReaderObject*>(self); }

int visit_helpers(const Helpers& h, visitproc visit, void* arg) noexcept {
    for (const Ref* r : {&h.int_, &h.float_, &h.coordinate_to_tuple, &h.row_index, &h.from_excel, &h.from_iso8601,
                         &h.date_warning, &h.array_formula, &h.data_table_formula, &h.translator, &h.tokenizer_error,
                         &h.translator_error, &h.text_content, &h.rich_inline, &h.validate_rpr}) {
        Py_VISIT(r->get());
    }
    return 0;
}

int visit_val(const Val& v, visitproc visit, void* arg) noexcept {
    if (const Ref* obj = std::get_if<Ref>(&v)) Py_VISIT(obj->get());
    return 0;
}

// The Python objects a queued row holds: values made by helpers (dates, big ints, strings
// looked up through Python), odd style ids and data types, and the warnings raised with it.
int visit_queued(const Queued& q, visitproc visit, void* arg) noexcept {
    Py_VISIT(q.warnings.get());
    const RowItem* row = std::get_if<RowItem>(&q.item);
    if (!row) return 0;
    for (const CellRec& c : row->cells) {
        if (int rc = visit_val(c.value, visit, arg)) return rc;
        if (c.formula) {
            if (int rc = visit_val(*c.formula, visit, arg)) return rc;
        }
        if (c.cached) {
            if (int rc = visit_val(*c.cached, visit, arg)) return rc;
        }
        Py_VISIT(c.style.obj.get());
        Py_VISIT(c.dtype.py.get());
    }
    return 0;
}

int RowReader_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    RowReaderObject* r = as_reader(self);
    Py_VISIT(r->actions);
    // A method call may be changing the state right now (the collector can run inside any
    // helper it calls); an unreported reference only keeps its object alive a little longer.
    if (r->borrow.is_exclusive()) return 0;
    if (State* s = r->state) {
        Py_VISIT(s->source.get());
        Py_VISIT(s->parse_actions.get());
        Py_VISIT(s->pending.get());
        if (s->cell_slots) Py_VISIT(s->cell_slots->cls());
        for (const Queued& q : s->queue) {
            if (int rc = visit_queued(q, visit, arg)) return rc;
        }
        if (s->parser) {
            const SheetState& st = s->parser->state();
            if (int rc = visit_helpers(st.helpers, visit, arg)) return rc;
            Py_VISIT(st.settings.epoch_obj.get());
            Py_VISIT(st.settings.shared_strings.get());
            Py_VISIT(s->parser->row_dims());
            for (const Shared& m : st.masters) Py_VISIT(m.py.get());
        }
    }
    return 0;
}

int RowReader_clear(PyObject* self) noexcept {
    RowReaderObject* r = as_reader(self);
    // Only when no call is running: the collector never runs a clear on an object in use by a
    // frame, but a stray state would be freed under that call's feet.
    if (r->borrow.is_idle()) {
        delete std::exchange(r->state, nullptr);
    }
    Py_CLEAR(r->actions);
    return 0;
}

void RowReader_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    RowReader_clear(self);
    delete std::exchange(as_reader(self)->state, nullptr);
    as_reader(self)->borrow.~BorrowFlag();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* RowReader_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    return guard([&]() -> PyObject* {
        static const char* kwlist[] = {"source", "parser", "helpers", nullptr};
        PyObject *source, *parser, *helpers;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:RowReader", const_cast<char**>(kwlist), &source, &parser,
                                         &helpers))
            return nullptr;
        if (!require_dict("RowReader", "helpers", helpers)) return nullptr;
        auto h = Helpers::from_dict(helpers);
        if (!h) return fallback_err(std::move(h.error()));
        auto settings = Settings::from_parser(parser);
        if (!settings) return fallback_err(std::move(settings.error()));
        Ref actions = Ref::steal(PyList_New(0));
        if (!actions) return nullptr;
        Ref row_dims = Ref::steal(PyObject_GetAttrString(parser, "row_dimensions"));
        if (!row_dims) return nullptr;
        if (!PyDict_Check(row_dims.get())) {
            PyErr_Format(PyExc_TypeError, "parser.row_dimensions must be dict, not %T", row_dims.get());
            return nullptr;
        }
        auto state = std::make_unique<State>();
        state->source = Ref::borrow(source);
        state->parse_actions = Ref::steal(PyList_New(0));
        if (!state->parse_actions) return nullptr;
        auto p = SheetParser::create(source, std::move(*h), std::move(*settings), state->parse_actions.get(),
                                     row_dims.get());
        if (!p) return fallback_err(std::move(p.error()));
        state->parser = std::move(*p);

        Ref self = Ref::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        RowReaderObject* r = as_reader(self.get());
        new (&r->borrow) BorrowFlag();
        r->state = state.release();
        r->actions = actions.release();
        return self.release();
    });
}

// Raises the pending fallback again (it stays pending).
PyObject* raise_pending(State& s) {
    s.queue.clear();
    PyErr_SetRaisedException(Py_NewRef(s.pending.get()));
    return nullptr;
}

// The next item whose block the reader has left (or End). False with an exception set on failure.
bool next_ready(State& s, Queued& out) {
    if (s.pending) { raise_pending(s); return false; }
    SheetParser& p = *s.parser;
    for (;;) {
        if (!s.queue.empty()) {
            const std::uint64_t front = s.queue.front().pos;
            if (s.at_end || p.offset() >= front / RELEASE_BLOCK * RELEASE_BLOCK + RELEASE_BLOCK) {
                out = std::move(s.queue.front());
                s.queue.pop_front();
                return true;
            }
        } else if (s.at_end) {
            out = Queued{Item{EndItem{}}, 0, {}};
            return true;
        }
        // Running out of memory part-way is a failure like any other: the sheet falls back.
        auto item = guard([&]() -> std::optional<XmlResult<Item>> { return p.next_item(); }, std::nullopt);
        if (!item || !*item) {
            if (item) fallback_err(std::move(item->error()));
            wrap_as_fallback();
            s.pending = Ref::steal(PyErr_GetRaisedException());
            if (!s.pending) return false;
            raise_pending(s);
            return false;
        }
        if (std::holds_alternative<EndItem>(**item)) {
            s.at_end = true;
            continue;
        }
        Ref warnings;
        if (PyList_GET_SIZE(s.parse_actions.get()) > 0) {
            warnings = std::move(s.parse_actions);
            s.parse_actions = Ref::steal(PyList_New(0));
            if (!s.parse_actions) return false;
            p.state().actions = Ref::borrow(s.parse_actions.get());
        }
        s.queue.push_back(Queued{std::move(**item), p.offset(), std::move(warnings)});
    }
}

// The next row, with elements and warnings met before it appended to `actions` in document
// order; null `row` at the end. False with an exception set on failure.
bool next_row_item(RowReaderObject* self, State& s, std::optional<RowItem>& row) {
    for (;;) {
        Queued q;
        if (!next_ready(s, q)) return false;
        if (std::holds_alternative<EndItem>(q.item)) { row.reset(); return true; }
        if (auto* el = std::get_if<ElementItem>(&q.item)) {
            Ref bytes = Ref::steal(PyBytes_FromStringAndSize(el->snippet.data(), static_cast<Py_ssize_t>(el->snippet.size())));
            if (!bytes) return false;
            Ref ns = Ref::steal(ns_list(el->namespaces));
            if (!ns) return false;
            Ref action = Ref::steal(Py_BuildValue("(sOO)", "element", bytes.get(), ns.get()));
            if (!action || PyList_Append(self->actions, action.get()) < 0) return false;
            continue;
        }
        if (q.warnings &&
            PyList_SetSlice(self->actions, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, q.warnings.get()) < 0)
            return false;
        row = std::move(std::get<RowItem>(q.item));
        return true;
    }
}

State* live_state(RowReaderObject* r) {
    if (!r->state) PyErr_SetString(PyExc_RuntimeError, "RowReader was cleared");
    return r->state;
}

// Runs `build(state, row)` on the next row under exclusive access; None at the end.
template <class F>
PyObject* with_next_row(PyObject* self, F&& build) {
    RowReaderObject* r = as_reader(self);
    auto borrow = Borrow::exclusive(r->borrow);
    if (!borrow) return nullptr;
    State* s = live_state(r);
    if (!s) return nullptr;
    std::optional<RowItem> row;
    if (!next_row_item(r, *s, row)) return nullptr;
    if (!row) Py_RETURN_NONE;
    PyObject* out = build(*s, *row);
    s->parser->recycle(std::move(row->cells));
    return out;
}

PyObject* RowReader_next_raw(PyObject* self, PyObject*) noexcept {
    return guard([&]() -> PyObject* {
        return with_next_row(self, [&](State& s, const RowItem& row) -> PyObject* {
            const SheetState& st = s.parser->state();
            Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(row.cells.size())));
            if (!list) return nullptr;
            Py_ssize_t i = 0;
            for (const CellRec& c : row.cells) {
                Ref value = val_to_py(st, c.value);
                if (!value) return nullptr;
                Ref dtype = dtype_to_py(st, c.dtype);
                Ref style = style_to_py(c.style);
                if (!dtype || !style) return nullptr;
                PyObject* t = Py_BuildValue("(LLOOO)", static_cast<long long>(c.row), static_cast<long long>(c.col),
                                            value.get(), dtype.get(), style.get());
                if (!t) return nullptr;
                PyList_SET_ITEM(list.get(), i++, t);
            }
            return Py_BuildValue("(LO)", static_cast<long long>(row.row), list.get());
        });
    });
}

bool to_int64(PyObject* obj, const char* name, std::int64_t& out) {
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "next_row() argument '%s' must be int, not %T", name, obj);
        return false;
    }
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

PyObject* RowReader_next_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[7];
        if (!parse_args("next_row", args, nargs, kwnames,
                        {"ws", "min_col", "max_col", "values_only", "cell_cls", "filler", "extra_none"}, a, 6))
            return nullptr;
        PyObject *ws = a[0], *cell_cls = a[4], *filler = a[5], *extra_none = a[6];
        std::int64_t min_col = 0, max_col = 0;
        if (!to_int64(a[1], "min_col", min_col)) return nullptr;
        const bool has_max = a[2] != Py_None;
        if (has_max && !to_int64(a[2], "max_col", max_col)) return nullptr;
        if (!PyBool_Check(a[3])) {
            PyErr_Format(PyExc_TypeError, "next_row() argument 'values_only' must be bool, not %T", a[3]);
            return nullptr;
        }
        const bool values_only = a[3] == Py_True;
        if (!PyType_Check(cell_cls)) {
            PyErr_Format(PyExc_TypeError, "next_row() argument 'cell_cls' must be type, not %T", cell_cls);
            return nullptr;
        }
        Ref extra;  // a tuple of str, or null
        if (extra_none && extra_none != Py_None) {
            if (PyUnicode_Check(extra_none)) {
                PyErr_SetString(PyExc_TypeError, "next_row() argument 'extra_none' must be a sequence of str, not str");
                return nullptr;
            }
            extra = Ref::steal(PySequence_Tuple(extra_none));
            if (!extra) return nullptr;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(extra.get()); ++i) {
                if (!PyUnicode_Check(PyTuple_GET_ITEM(extra.get(), i))) {
                    PyErr_Format(PyExc_TypeError, "next_row() argument 'extra_none' items must be str, not %T",
                                 PyTuple_GET_ITEM(extra.get(), i));
                    return nullptr;
                }
            }
        }

        return with_next_row(self, [&](State& s, const RowItem& row) -> PyObject* {
            const SheetState& st = s.parser->state();
            const bool fav = st.settings.formula_and_value;

            if (row.cells.empty() && (!has_max || max_col == 0))
                return Py_BuildValue("(L())", static_cast<long long>(row.row));
            const std::int64_t upper = (has_max && max_col != 0) ? max_col : row.cells.back().col;
            const __int128 width128 = static_cast<__int128>(upper) - min_col + 1;
            if (width128 > static_cast<__int128>(UINT32_MAX)) {
                PyErr_SetString(PyExc_OverflowError, "row bounds too wide");
                return nullptr;
            }
            const Py_ssize_t width = width128 < 0 ? 0 : static_cast<Py_ssize_t>(width128);
            Ref tuple = Ref::steal(PyTuple_New(width));
            if (!tuple) return nullptr;
            for (Py_ssize_t i = 0; i < width; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(filler));

            if (!values_only && !(s.cell_slots && s.cell_slots->describes(cell_cls))) {
                std::vector<std::string> names = {"parent", "row", "column", "_value", "data_type", "_style_id"};
                if (fav) { names.emplace_back("formula"); names.emplace_back("cached_value"); }
                if (extra) {
                    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(extra.get()); ++i) {
                        const char* n = PyUnicode_AsUTF8(PyTuple_GET_ITEM(extra.get(), i));
                        if (!n) return nullptr;
                        names.emplace_back(n);
                    }
                }
                std::vector<const char*> cnames;
                for (const auto& n : names) cnames.push_back(n.c_str());
                auto sc = SlotClass::make(cell_cls, std::span<const char* const>(cnames.data(), cnames.size()));
                if (!sc) return fallback_err(std::move(sc.error()));
                s.cell_slots = std::move(*sc);
            }

            Ref row_int;
            std::int64_t row_int_value = 0;
            auto* tp = reinterpret_cast<PyTypeObject*>(cell_cls);
            const allocfunc alloc = tp->tp_alloc ? tp->tp_alloc : PyType_GenericAlloc;
            for (const CellRec& c : row.cells) {
                if (c.col < min_col || c.col > upper) continue;
                const Py_ssize_t at = static_cast<Py_ssize_t>(c.col - min_col);
                Ref value = val_to_py(st, c.value);
                if (!value) return nullptr;
                Ref entry;
                if (values_only) {
                    entry = std::move(value);
                } else {
                    const SlotClass& sc = *s.cell_slots;
                    entry = Ref::steal(alloc(tp, 0));
                    if (!entry) return nullptr;
                    if (!row_int || row_int_value != c.row) {
                        row_int = Ref::steal(PyLong_FromLongLong(c.row));
                        if (!row_int) return nullptr;
                        row_int_value = c.row;
                    }
                    Ref col = Ref::steal(PyLong_FromLongLong(c.col));
                    Ref dtype = dtype_to_py(st, c.dtype);
                    Ref style = style_to_py(c.style);
                    if (!col || !dtype || !style) return nullptr;
                    Ref vals[8];
                    std::size_t n = 0;
                    vals[n++] = Ref::borrow(ws);
                    vals[n++] = row_int.clone();
                    vals[n++] = std::move(col);
                    vals[n++] = value.clone();
                    vals[n++] = std::move(dtype);
                    vals[n++] = std::move(style);
                    if (fav) {
                        Ref formula = c.is_formula ? value.clone()
                                      : c.formula  ? val_to_py(st, *c.formula)
                                                   : Ref::borrow(Py_None);
                        if (!formula) return nullptr;
                        Ref cached = c.cached ? val_to_py(st, *c.cached) : value.clone();
                        if (!cached) return nullptr;
                        vals[n++] = std::move(formula);
                        vals[n++] = std::move(cached);
                    }
                    const std::size_t total = sc.offsets().size();
                    for (std::size_t k = 0; k < total; ++k)
                        sc.set(entry.get(), k, k < n ? std::move(vals[k]) : Ref::borrow(Py_None));
                }
                PyObject* old = PyTuple_GET_ITEM(tuple.get(), at);
                PyTuple_SET_ITEM(tuple.get(), at, entry.release());
                Py_DECREF(old);
            }
            return Py_BuildValue("(LO)", static_cast<long long>(row.row), tuple.get());
        });
    });
}

// The positive int argument of next_columns.
bool batch_limit(PyObject* obj, const char* name, std::int64_t& out) {
    if (!require_type("next_columns", name, obj, &PyLong_Type) || !arg_int64("next_columns", name, obj, out))
        return false;
    if (out < 1) {
        PyErr_Format(PyExc_ValueError, "next_columns() argument '%s' must be positive", name);
        return false;
    }
    return true;
}

PyObject* RowReader_next_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[4] = {};
        if (!parse_args("next_columns", args, nargs, kwnames, {"cells", "min_row", "blank_rows", "mixed"}, a, 1))
            return nullptr;
        std::int64_t max_cells = 0;
        ColumnBatch::Rows keep;
        if (!batch_limit(a[0], "cells", max_cells) || !rows_args("next_columns", a[1], a[2], a[3], keep))
            return nullptr;
        RowReaderObject* r = as_reader(self);
        auto borrow = Borrow::exclusive(r->borrow);
        if (!borrow) return nullptr;
        State* s = live_state(r);
        if (!s) return nullptr;
        // Rows are taken until the batch holds `cells` cells (an empty row counts as one); the
        // rows without a value are counted too, for the caller's account of what it was given.
        ColumnBatch batch(keep);
        std::int64_t cells = 0;
        Py_ssize_t rows = 0;
        while (cells < max_cells) {
            std::optional<RowItem> row;
            if (!next_row_item(r, *s, row)) return nullptr;
            if (!row) break;
            ++rows;
            cells += std::max<std::int64_t>(1, static_cast<std::int64_t>(row->cells.size()));
            const bool added = batch.add_row(s->parser->state(), *row);
            s->parser->recycle(std::move(row->cells));
            if (!added) return nullptr;
        }
        if (rows == 0) Py_RETURN_NONE;
        const Py_ssize_t height = batch.height();
        const long long first = batch.first_row(), last = batch.last_row();
        Ref columns = batch.take();
        if (!columns) return nullptr;
        return Py_BuildValue("(nnOLL)", rows, height, columns.get(), first, last);
    });
}

PyObject* RowReader_get_actions(PyObject* self, void*) noexcept {
    RowReaderObject* r = as_reader(self);
    auto borrow = Borrow::shared(r->borrow);
    if (!borrow) return nullptr;
    return Py_NewRef(r->actions ? r->actions : Py_None);
}

PyMethodDef RowReader_methods[] = {
    {"next_raw", RowReader_next_raw, METH_NOARGS,
     "next_raw($self)\n--\n\nNext raw row: (idx, [(row, column, value, data_type, style_id), ...])\n"
     "or None at the end of the document."},
    {"next_row", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(RowReader_next_row)),
     METH_FASTCALL | METH_KEYWORDS,
     "next_row($self, ws, min_col, max_col, values_only, cell_cls, filler, extra_none=None)\n--\n\n"
     "Mirrors ReadOnlyWorksheet._get_row for the next row in the source.\n"
     "Returns None at the end, else (idx, tuple_of_cells_or_values)."},
    {"next_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(RowReader_next_columns)),
     METH_FASTCALL | METH_KEYWORDS,
     "next_columns($self, cells, min_row=1, blank_rows=False, mixed=False)\n--\n\n"
     "The next rows as columns, for DataFrames: (rows read, rows kept, columns, first and last\n"
     "row kept or 0), or None at the end. Rows are read until the batch holds `cells` cells; those\n"
     "numbered below `min_row` are passed over; with `blank_rows`, the rows without values between\n"
     "two with values of the batch are kept as rows of missing values; with `mixed`, a column of\n"
     "several types comes as (\"mixed\", (bits, classes, objects), None, None)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef RowReader_getset[] = {
    {"actions", RowReader_get_actions, nullptr, "Deferred actions: (\"element\", bytes, namespaces) and (\"warn\", message).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot RowReader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(RowReader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(RowReader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(RowReader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(RowReader_clear)},
    {Py_tp_methods, RowReader_methods},
    {Py_tp_getset, RowReader_getset},
    {Py_tp_doc, const_cast<char*>("RowReader(source, parser, helpers)\n--\n\nStreaming row reader used by ReadOnlyWorksheet.")},
    {0, nullptr},
};

PyType_Spec RowReader_spec = {
    .name = "_quillfen.RowReader",
    .basicsize = sizeof(RowReaderObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = RowReader_slots,
};

PyMutex type_mutex;
PyObject* type_obj = nullptr;

}  // namespace

PyObject* row_reader_type() noexcept { return type_once(type_mutex, type_obj, RowReader_spec); }

}  // namespace qf::sheet
