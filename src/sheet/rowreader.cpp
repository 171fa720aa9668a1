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
    Ref deferred;        // a failure met after the rows of a batch, raised by the next call
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
        Py_VISIT(s->deferred.get());
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

// Raises the failure that a batch of rows left for the call after it; false when there is none.
bool raise_deferred(State& s) {
    if (!s.deferred) return false;
    PyErr_SetRaisedException(s.deferred.release());
    return true;
}

// Runs `build(state, row)` on the next row under exclusive access; None at the end.
template <class F>
PyObject* with_next_row(PyObject* self, F&& build) {
    RowReaderObject* r = as_reader(self);
    auto borrow = Borrow::exclusive(r->borrow);
    if (!borrow) return nullptr;
    State* s = live_state(r);
    if (!s || raise_deferred(*s)) return nullptr;
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

// (row number, items): the pair next_row hands out for every row.
PyObject* numbered(std::int64_t row, PyObject* items) {
    Ref number = Ref::steal(PyLong_FromLongLong(row));
    if (!number) return nullptr;
    return PyTuple_Pack(2, number.get(), items);
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

// How next_row and next_rows shape a row: the columns kept, and cells or values.
struct RowShape {
    PyObject* ws = nullptr;
    std::int64_t min_col = 0;
    bool has_max = false;
    std::int64_t max_col = 0;
    bool values_only = false;
    PyObject* cell_cls = nullptr;
    PyObject* filler = nullptr;
    Ref extra;  // a tuple of str, or null
};

// The shape from the arguments (ws, min_col, max_col, values_only, cell_cls, filler[,
// extra_none]) of `fname`. False with TypeError set on a bad argument.
bool parse_shape(const char* fname, PyObject* const* a, PyObject* extra_none, RowShape& shape) {
    shape.ws = a[0];
    shape.cell_cls = a[4];
    shape.filler = a[5];
    if (!to_int64(a[1], "min_col", shape.min_col)) return false;
    shape.has_max = a[2] != Py_None;
    if (shape.has_max && !to_int64(a[2], "max_col", shape.max_col)) return false;
    if (!PyBool_Check(a[3])) {
        PyErr_Format(PyExc_TypeError, "%s() argument 'values_only' must be bool, not %T", fname, a[3]);
        return false;
    }
    shape.values_only = a[3] == Py_True;
    if (!PyType_Check(shape.cell_cls)) {
        PyErr_Format(PyExc_TypeError, "%s() argument 'cell_cls' must be type, not %T", fname, shape.cell_cls);
        return false;
    }
    if (extra_none && extra_none != Py_None) {
        if (PyUnicode_Check(extra_none)) {
            PyErr_Format(PyExc_TypeError, "%s() argument 'extra_none' must be a sequence of str, not str", fname);
            return false;
        }
        shape.extra = Ref::steal(PySequence_Tuple(extra_none));
        if (!shape.extra) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape.extra.get()); ++i) {
            if (!PyUnicode_Check(PyTuple_GET_ITEM(shape.extra.get(), i))) {
                PyErr_Format(PyExc_TypeError, "%s() argument 'extra_none' items must be str, not %T", fname,
                             PyTuple_GET_ITEM(shape.extra.get(), i));
                return false;
            }
        }
    }
    return true;
}

// The row as next_row gives it: its cells (or values) from min_col to max_col, or to its last
// cell, and at least `min_width` entries; the missing ones are the filler. Null with an
// exception set on failure.
Ref build_row(State& s, const RowItem& row, const RowShape& shape, Py_ssize_t min_width) {
    const SheetState& st = s.parser->state();
    const bool fav = st.settings.formula_and_value;
    const std::int64_t min_col = shape.min_col;
    std::int64_t upper = min_col - 1;
    if (shape.has_max && shape.max_col != 0) upper = shape.max_col;
    else if (!row.cells.empty()) upper = row.cells.back().col;
    const __int128 width128 = static_cast<__int128>(upper) - min_col + 1;
    if (width128 > static_cast<__int128>(UINT32_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "row bounds too wide");
        return Ref{};
    }
    const Py_ssize_t width = std::max(width128 < 0 ? Py_ssize_t{0} : static_cast<Py_ssize_t>(width128), min_width);
    Ref tuple = Ref::steal(PyTuple_New(width));
    if (!tuple) return Ref{};
    for (Py_ssize_t i = 0; i < width; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(shape.filler));
    if (row.cells.empty()) return tuple;

    PyObject* const cell_cls = shape.cell_cls;
    if (!shape.values_only && !(s.cell_slots && s.cell_slots->describes(cell_cls))) {
        std::vector<std::string> names = {"parent", "row", "column", "_value", "data_type", "_style_id"};
        if (fav) { names.emplace_back("formula"); names.emplace_back("cached_value"); }
        if (shape.extra) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape.extra.get()); ++i) {
                const char* n = PyUnicode_AsUTF8(PyTuple_GET_ITEM(shape.extra.get(), i));
                if (!n) return Ref{};
                names.emplace_back(n);
            }
        }
        std::vector<const char*> cnames;
        for (const auto& n : names) cnames.push_back(n.c_str());
        auto sc = SlotClass::make(cell_cls, std::span<const char* const>(cnames.data(), cnames.size()));
        if (!sc) {
            fallback_err(std::move(sc.error()));
            return Ref{};
        }
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
        if (!value) return Ref{};
        Ref entry;
        if (shape.values_only) {
            entry = std::move(value);
        } else {
            const SlotClass& sc = *s.cell_slots;
            entry = Ref::steal(alloc(tp, 0));
            if (!entry) return Ref{};
            if (!row_int || row_int_value != c.row) {
                row_int = Ref::steal(PyLong_FromLongLong(c.row));
                if (!row_int) return Ref{};
                row_int_value = c.row;
            }
            Ref col = Ref::steal(PyLong_FromLongLong(c.col));
            Ref dtype = dtype_to_py(st, c.dtype);
            Ref style = style_to_py(c.style);
            if (!col || !dtype || !style) return Ref{};
            Ref vals[8];
            std::size_t n = 0;
            vals[n++] = Ref::borrow(shape.ws);
            vals[n++] = row_int.clone();
            vals[n++] = std::move(col);
            vals[n++] = value.clone();
            vals[n++] = std::move(dtype);
            vals[n++] = std::move(style);
            if (fav) {
                Ref formula = c.is_formula ? value.clone()
                              : c.formula  ? val_to_py(st, *c.formula)
                                           : Ref::borrow(Py_None);
                if (!formula) return Ref{};
                Ref cached = c.cached ? val_to_py(st, *c.cached) : value.clone();
                if (!cached) return Ref{};
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
    return tuple;
}

PyObject* RowReader_next_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[7];
        if (!parse_args("next_row", args, nargs, kwnames,
                        {"ws", "min_col", "max_col", "values_only", "cell_cls", "filler", "extra_none"}, a, 6))
            return nullptr;
        RowShape shape;
        if (!parse_shape("next_row", a, a[6], shape)) return nullptr;
        return with_next_row(self, [&](State& s, const RowItem& row) -> PyObject* {
            Ref tuple = build_row(s, row, shape, 0);
            if (!tuple) return nullptr;
            return numbered(row.row, tuple.get());
        });
    });
}

// The positive int argument `name` of `fname`.
bool batch_limit(const char* fname, PyObject* obj, const char* name, std::int64_t& out) {
    if (!require_type(fname, name, obj, &PyLong_Type) || !arg_int64(fname, name, obj, out)) return false;
    if (out < 1) {
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be positive", fname, name);
        return false;
    }
    return true;
}

// What next_rows reads, besides the shape.
struct RowsLimits {
    std::int64_t min_row = 0;
    bool has_max_row = false;
    std::int64_t max_row = 0;
    std::int64_t expected = 0;
    PyObject* blank = nullptr;
    std::int64_t limit = 0;
};

// The result of next_rows: (rows, gap, last, read, expected, done).
struct RowsBatch {
    Ref rows;
    std::int64_t gap = 0;
    Ref last;
    std::int64_t read = 0;
    std::int64_t expected = 0;
    bool done = false;

    PyObject* to_py() const {
        return Py_BuildValue("(OLOLLO)", rows.get(), static_cast<long long>(gap), last ? last.get() : Py_None,
                             static_cast<long long>(read), static_cast<long long>(expected),
                             done ? Py_True : Py_False);
    }
};

// Fills `batch` from the rows that come next; false with an exception set on failure (what
// the batch holds by then is the caller's to hand out).
bool fill_batch(RowReaderObject* r, State& s, const RowShape& shape, const RowsLimits& lim, RowsBatch& batch) {
    const Py_ssize_t width = PyTuple_GET_SIZE(lim.blank);
    Py_ssize_t actions_before = 0;
    // What a failing row brought stays unseen, as when next_row fails on it.
    auto fail_row = [&] {
        Ref error = Ref::steal(PyErr_GetRaisedException());
        if (PyList_SetSlice(r->actions, actions_before, PY_SSIZE_T_MAX, nullptr) == 0)
            PyErr_SetRaisedException(error.release());
        return false;
    };
    while (PyList_GET_SIZE(batch.rows.get()) < lim.limit) {
        actions_before = PyList_GET_SIZE(r->actions);
        std::optional<RowItem> row;
        if (!next_row_item(r, s, row)) return fail_row();
        if (!row || (lim.has_max_row && row->row > lim.max_row)) {
            if (row) s.parser->recycle(std::move(row->cells));
            batch.done = true;
            return true;
        }
        ++batch.read;
        const bool brought_actions = PyList_GET_SIZE(r->actions) > actions_before;
        if (row->row < lim.min_row) {
            s.parser->recycle(std::move(row->cells));
            if (brought_actions) return true;
            continue;
        }
        Ref tuple = build_row(s, *row, shape, width);
        const std::int64_t idx = row->row;
        s.parser->recycle(std::move(row->cells));
        if (!tuple) {
            --batch.read;  // not given: a reader taking over after a fallback reads it again
            return fail_row();
        }
        std::int64_t gap = 0;
        if (idx >= batch.expected) {
            gap = idx - batch.expected;
            batch.expected = idx + 1;
        }
        if (gap > 0 || brought_actions) {
            batch.gap = gap;
            batch.last = std::move(tuple);
            return true;
        }
        if (PyList_Append(batch.rows.get(), tuple.get()) < 0) return false;
    }
    return true;
}

PyObject* RowReader_next_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[11];
        if (!parse_args("next_rows", args, nargs, kwnames,
                        {"ws", "min_col", "max_col", "values_only", "cell_cls", "filler", "min_row", "max_row",
                         "expected", "blank", "limit"},
                        a))
            return nullptr;
        RowShape shape;
        if (!parse_shape("next_rows", a, nullptr, shape)) return nullptr;
        RowsLimits lim;
        if (!to_int64(a[6], "min_row", lim.min_row) || !to_int64(a[8], "expected", lim.expected)) return nullptr;
        lim.has_max_row = a[7] != Py_None;
        if (lim.has_max_row && !to_int64(a[7], "max_row", lim.max_row)) return nullptr;
        if (!require_type("next_rows", "blank", a[9], &PyTuple_Type) || !batch_limit("next_rows", a[10], "limit", lim.limit))
            return nullptr;
        lim.blank = a[9];
        RowReaderObject* r = as_reader(self);
        auto borrow = Borrow::exclusive(r->borrow);
        if (!borrow) return nullptr;
        State* s = live_state(r);
        if (!s || raise_deferred(*s)) return nullptr;
        RowsBatch batch;
        batch.expected = lim.expected;
        batch.rows = Ref::steal(PyList_New(0));
        if (!batch.rows) return nullptr;
        if (!fill_batch(r, *s, shape, lim, batch)) {
            // The rows before a failure are handed out first; the failure comes with the next
            // call, in the place it had among the rows.
            if (PyList_GET_SIZE(batch.rows.get()) == 0 && batch.read == 0) return nullptr;
            s->deferred = Ref::steal(PyErr_GetRaisedException());
        }
        return batch.to_py();
    });
}

PyObject* RowReader_next_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[4] = {};
        if (!parse_args("next_columns", args, nargs, kwnames, {"cells", "min_row", "blank_rows", "mixed"}, a, 1))
            return nullptr;
        std::int64_t max_cells = 0;
        ColumnBatch::Rows keep;
        if (!batch_limit("next_columns", a[0], "cells", max_cells) || !rows_args("next_columns", a[1], a[2], a[3], keep))
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
    {"next_rows", as_cfunc(RowReader_next_rows), METH_FASTCALL | METH_KEYWORDS,
     "next_rows($self, ws, min_col, max_col, values_only, cell_cls, filler, min_row, max_row, expected,\n"
     "          blank, limit)\n--\n\n"
     "The next rows as iter_rows gives them, shaped as next_row shapes them and at least as wide as\n"
     "`blank`: (rows, gap, last, read, expected, done). `rows` holds up to `limit` rows from `min_row`\n"
     "on; the batch ends early at a row that `blank` rows must come before (`gap` of them, then\n"
     "`last`), at a row that brought actions (`last`, after the actions), and at the end of the part\n"
     "or the first row past `max_row` (`done`). `read`: the rows of the part taken; `expected`: the\n"
     "row number after the last one given, as the next call takes it."},
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
