// CellStore as a Python mapping: key resolution, the dict-compatible operations, dict mode,
// the key iterator, row access, diagnostics and garbage-collector support.
#include "core/frame.hpp"
#include "formula/pyedit.hpp"
#include "sheet/columns.hpp"
#include "store/store.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <new>
#include <vector>

namespace qf::store {

namespace {

State& st_of(PyObject* self) noexcept { return state_of(self); }

void set_key_error(PyObject* key) noexcept {
    // KeyError(key) with the key as its single argument, tuples included.
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_KeyError, key));
    if (exc) PyErr_SetObject(PyExc_KeyError, exc.get());
}

Ref key_tuple(std::uint32_t row, std::uint32_t col) noexcept {
    Ref r = Ref::steal(PyLong_FromUnsignedLong(row));
    if (!r) return {};
    Ref c = Ref::steal(PyLong_FromUnsignedLong(col));
    if (!c) return {};
    return Ref::steal(PyTuple_Pack(2, r.get(), c.get()));
}

struct Key {
    std::uint32_t row = 0, col = 0;
};

bool in_range(long long v) { return v >= 0 && v <= 0xFFFFFFFFLL; }

// A tuple of exactly two exact ints in range; never raises and runs no Python code.
std::optional<Key> exact_key(PyObject* key) noexcept {
    if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2) return std::nullopt;
    PyObject* a = PyTuple_GET_ITEM(key, 0);
    PyObject* b = PyTuple_GET_ITEM(key, 1);
    if (!PyLong_CheckExact(a) || !PyLong_CheckExact(b)) return std::nullopt;
    int overflow = 0;
    const long long r = PyLong_AsLongLongAndOverflow(a, &overflow);
    if (overflow || !in_range(r)) return std::nullopt;
    const long long c = PyLong_AsLongLongAndOverflow(b, &overflow);
    if (overflow || !in_range(c)) return std::nullopt;
    return Key{static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(c)};
}

// A key equal to (and hashing like) a pair of ints in range: (True, 2), (1.0, 2), tuple
// subclasses. -1: an exception that must propagate; 0: not a key; 1: `out` is set.
int equivalent_key(PyObject* key, Key& out) noexcept {
    if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) return 0;
    PyObject* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
    long long v[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        Ref x = Ref::borrow(PyTuple_GetItem(key, i));
        if (!x) return -1;
        Ref iv = Ref::steal(PyObject_CallOneArg(int_type, x.get()));
        bool ok = static_cast<bool>(iv);
        if (ok) {
            Ref eq = Ref::steal(PyObject_RichCompare(x.get(), iv.get(), Py_EQ));
            const int truth = eq ? PyObject_IsTrue(eq.get()) : -1;
            ok = truth == 1;
        }
        if (ok) {
            const Py_hash_t hx = PyObject_Hash(x.get());
            const Py_hash_t hi = hx == -1 && PyErr_Occurred() ? -1 : PyObject_Hash(iv.get());
            ok = !PyErr_Occurred() && hx == hi;
        }
        if (ok) {
            v[i] = PyLong_AsLongLong(iv.get());
            ok = !(v[i] == -1 && PyErr_Occurred());
        }
        if (!ok) {
            PyErr_Clear();
            return 0;
        }
    }
    if (!in_range(v[0]) || !in_range(v[1])) return 0;
    out = Key{static_cast<std::uint32_t>(v[0]), static_cast<std::uint32_t>(v[1])};
    return 1;
}

// Read-side resolution: the exact form without hashing, then hash (its error propagates) and
// the equivalent form. -1 error, 0 not a key, 1 resolved.
int resolve_read(PyObject* key, Key& out) noexcept {
    if (auto k = exact_key(key)) { out = *k; return 1; }
    if (PyObject_Hash(key) == -1) return -1;
    return equivalent_key(key, out);
}

// Write-side resolution: hash first. 2 exact, 1 equivalent, 0 not a key, -1 error.
int resolve_write(PyObject* key, Key& out) noexcept {
    if (PyObject_Hash(key) == -1) return -1;
    if (auto k = exact_key(key)) { out = *k; return 2; }
    return equivalent_key(key, out);
}

std::optional<Loc> find(const State& st, Key k) noexcept { return st.c.find_key(k.col, k.row); }

// ---- mapping slots ----

Py_ssize_t CellStore_length(PyObject* self) noexcept {
    return guard([&]() -> Py_ssize_t {
        State& st = st_of(self);
        auto b = Borrow::shared(st.borrow);
        if (!b) return -1;
        if (st.dict_mode) return PyDict_Size(st.dict_mode.get());
        return static_cast<Py_ssize_t>(st.c.len());
    }, -1);
}

int CellStore_contains(PyObject* self, PyObject* key) noexcept {
    return guard([&]() -> int {
        State& st = st_of(self);
        auto b = Borrow::shared(st.borrow);
        if (!b) return -1;
        if (st.dict_mode) return PyDict_Contains(st.dict_mode.get(), key);
        Key k;
        const int rc = resolve_read(key, k);
        if (rc <= 0) return rc;
        return find(st, k).has_value() ? 1 : 0;
    }, -1);
}

// The cell under `key`, or null: with an exception, or without one when the key is missing.
Ref lookup_lock_held(State& st, PyObject* key) {
    if (st.dict_mode) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(st.dict_mode.get(), key, &found) < 0) return {};
        return Ref::steal(found);
    }
    Key k;
    const int rc = resolve_read(key, k);
    if (rc <= 0) return {};
    auto loc = find(st, k);
    if (!loc) return {};
    return materialize(st, *loc);
}

PyObject* CellStore_subscript(PyObject* self, PyObject* key) noexcept {
    return guard([&]() -> PyObject* {
        State& st = st_of(self);
        auto b = Borrow::exclusive(st.borrow);
        if (!b) return nullptr;
        Ref cell = lookup_lock_held(st, key);
        if (!cell && !PyErr_Occurred()) set_key_error(key);
        return cell.release();
    });
}

PyObject* CellStore_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[2];
        if (!parse_args("get", args, nargs, kwnames, {"key", "default"}, a, 1)) return nullptr;
        State& st = st_of(self);
        auto b = Borrow::exclusive(st.borrow);
        if (!b) return nullptr;
        Ref cell = lookup_lock_held(st, a[0]);
        if (!cell && !PyErr_Occurred()) return Py_NewRef(a[1] ? a[1] : Py_None);
        return cell.release();
    });
}

// Every live cell into a new dict under (row, column), then the store becomes that dict.
int switch_to_dict_lock_held(State& st, PyObject* key, PyObject* value) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return -1;
    for (const Loc& loc : st.c.locs()) {
        Ref cell = materialize(st, loc);
        if (!cell) return -1;
        const Entry e = st.c.entry(loc);
        Ref k = key_tuple(e.row, e.col);
        if (!k || PyDict_SetItem(dict.get(), k.get(), cell.get()) < 0) return -1;
    }
    std::vector<Ref> dropped = st.reset();
    st.dict_mode = dict.clone();
    return PyDict_SetItem(dict.get(), key, value);
}

// In dict mode the store still counts its key changes: its iterators fail after any, as in
// compact mode, rather than go on over the dict's reused slots (a popitem then an insertion
// leave its size alone, and whether the dict's own iterator yields the new key depends on
// the dict's layout).
int dict_assign_lock_held(State& st, PyObject* key, PyObject* value) {
    Ref dict = st.dict_mode.clone();
    const Py_ssize_t before = PyDict_GET_SIZE(dict.get());
    if (PyDict_SetItem(dict.get(), key, value) < 0) return -1;
    if (PyDict_GET_SIZE(dict.get()) != before) ++st.c.version;
    return 0;
}

int assign_lock_held(State& st, PyObject* key, PyObject* value) {
    if (st.dict_mode) return dict_assign_lock_held(st, key, value);
    Key k;
    const int rc = resolve_write(key, k);
    if (rc < 0) return -1;
    if (rc > 0) {
        if (auto loc = find(st, k)) {
            // Another cell object in its place: what the loaded one kept is not the new one's.
            const Entry e = st.c.entry(*loc);
            Ref old = st.drop_payload(e.payload, e.tag);
            Ref old_kept = st.take_kept(*loc);
            st.c.set_value(*loc, CELL, st.put_obj(Ref::borrow(value)));
            return 0;
        }
        if (rc == 2) {
            st.c.append_entry(k.row, k.col, st.put_obj(Ref::borrow(value)), NO_STYLE, CELL, 0);
            ++st.c.version;
            return 0;
        }
    }
    return switch_to_dict_lock_held(st, key, value);
}

int delete_lock_held(State& st, PyObject* key) {
    if (st.dict_mode) {
        Ref dict = st.dict_mode.clone();
        if (PyDict_DelItem(dict.get(), key) < 0) return -1;
        ++st.c.version;
        return 0;
    }
    Key k;
    const int rc = resolve_write(key, k);
    if (rc < 0) return -1;
    std::optional<Loc> loc;
    if (rc > 0) loc = find(st, k);
    if (!loc) {
        set_key_error(key);
        return -1;
    }
    auto dropped = st.remove_cell(*loc);
    return 0;
}

int CellStore_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return guard([&]() -> int {
        State& st = st_of(self);
        auto b = Borrow::exclusive(st.borrow);
        if (!b) return -1;
        return value ? assign_lock_held(st, key, value) : delete_lock_held(st, key);
    }, -1);
}

// ---- methods ----

PyObject* CellStore_reversed(PyObject* self, PyObject*) noexcept {
    return guard([&]() -> PyObject* {
        State& st = st_of(self);
        auto b = Borrow::exclusive(st.borrow);
        if (!b) return nullptr;
        if (st.dict_mode) {
            Ref dict = st.dict_mode.clone();
            return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyReversed_Type), dict.get());
        }
        const std::vector<Loc> locs = st.c.locs();
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(locs.size())));
        if (!list) return nullptr;
        Py_ssize_t i = 0;
        for (auto it = locs.rbegin(); it != locs.rend(); ++it) {
            const Entry e = st.c.entry(*it);
            Ref k = key_tuple(e.row, e.col);
            if (!k) return nullptr;
            PyList_SET_ITEM(list.get(), i++, k.release());
        }
        return PyObject_GetIter(list.get());
    });
}

PyObject* CellStore_popitem(PyObject* self, PyObject*) noexcept {
    return guard([&]() -> PyObject* {
        State& st = st_of(self);
        auto b = Borrow::exclusive(st.borrow);
        if (!b) return nullptr;
        if (st.dict_mode) {
            Ref dict = st.dict_mode.clone();
            Ref item = Ref::steal(PyObject_CallMethod(dict.get(), "popitem", nullptr));
            if (item) ++st.c.version;
            return item.release();
        }
        auto loc = st.c.last_loc();
        if (!loc) {
            PyErr_SetString(PyExc_KeyError, "popitem(): dictionary is empty");
            return nullptr;
        }
        Ref cell = materialize(st, *loc);
        if (!cell) return nullptr;
        const Entry e = st.c.entry(*loc);
        Ref k = key_tuple(e.row, e.col);
        if (!k) return nullptr;
        Ref result = Ref::steal(PyTuple_Pack(2, k.get(), cell.get()));
        if (!result) return nullptr;
        auto dropped = st.remove_cell(*loc);
        return result.release();
    });
}

PyObject* CellStore_clear(PyObject* self, PyObject*) noexcept {
    return guard([&]() -> PyObject* {
        State& st = st_of(self);
        auto b = Borrow::exclusive(st.borrow);
        if (!b) return nullptr;
        Ref dict = std::move(st.dict_mode);
        std::vector<Ref> dropped = st.reset();
        b.reset();  // the dropped objects may run Python code that uses the store
        dropped.clear();
        // Emptied before it is dropped: an iterator still holding it keeps no cell alive
        // (it fails at its next step, the store's version having moved).
        if (dict) PyDict_Clear(dict.get());
        dict.reset();
        Py_RETURN_NONE;
    });
}

PyObject* CellStore_bounds(PyObject* self, PyObject*) noexcept {
    return guard([&]() -> PyObject* {
        State& st = st_of(self);
        auto b = Borrow::shared(st.borrow);
        if (!b) return nullptr;
        if (st.dict_mode) Py_RETURN_NONE;
        const auto x = st.c.extent();
        if (!x) Py_RETURN_NONE;
        return Py_BuildValue("(kkkk)", static_cast<unsigned long>(x->min_row), static_cast<unsigned long>(x->max_row),
                             static_cast<unsigned long>(x->min_col), static_cast<unsigned long>(x->max_col));
    });
}

PyObject* CellStore_in_dict_mode(PyObject* self, PyObject*) noexcept {
    return guard([&]() -> PyObject* {
        State& st = st_of(self);
        auto b = Borrow::shared(st.borrow);
        if (!b) return nullptr;
        return Py_NewRef(st.dict_mode ? Py_True : Py_False);
    });
}

PyObject* CellStore_stats(PyObject* self, PyObject*) noexcept {
    return guard([&]() -> PyObject* {
        State& st = st_of(self);
        auto b = Borrow::shared(st.borrow);
        if (!b) return nullptr;
        std::size_t materialised = 0;
        for (const Loc& loc : st.c.locs()) {
            if (st.c.entry(loc).tag == CELL) ++materialised;
        }
        return Py_BuildValue("(nnnn)", static_cast<Py_ssize_t>(st.c.len()), static_cast<Py_ssize_t>(materialised),
                             static_cast<Py_ssize_t>(st.templates.size()), static_cast<Py_ssize_t>(st.c.text.size()));
    });
}

PyObject* CellStore_edit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[3];
        if (!parse_args("_edit", args, nargs, kwnames, {"spec", "host_edited", "translate"}, a, 2)) return nullptr;
        const auto edit = formula::grid_edit_from(a[0]);
        if (!edit) return nullptr;
        const int host = PyObject_IsTrue(a[1]);
        const int translate = a[2] ? PyObject_IsTrue(a[2]) : 0;
        if (host < 0 || translate < 0) return nullptr;
        State& st = st_of(self);
        std::vector<Ref> dropped;
        Ref keys;
        {
            auto b = Borrow::exclusive(st.borrow);
            if (!b) return nullptr;
            // A dict, or cells never loaded (no slot layout to move them by): the caller moves them.
            if (st.dict_mode || !st.slot_class) Py_RETURN_NOTIMPLEMENTED;
            keys = edit_cells(st, *edit, host != 0, translate != 0, dropped);
        }
        dropped.clear();  // may run Python code that uses the store
        return keys.release();
    });
}

PyObject* CellStore_formula_objects(PyObject* self, PyObject*) noexcept {
    return guard([&]() -> PyObject* {
        State& st = st_of(self);
        auto b = Borrow::exclusive(st.borrow);
        if (!b) return nullptr;
        if (st.dict_mode || !st.loaded()) Py_RETURN_NOTIMPLEMENTED;
        return formula_objects(st).release();
    });
}

PyObject* CellStore_copy(PyObject* self, PyObject* ws) noexcept {
    return guard([&]() -> PyObject* {
        State& st = st_of(self);
        auto b = Borrow::exclusive(st.borrow);
        if (!b) return nullptr;
        if (st.dict_mode || !st.loaded()) Py_RETURN_NOTIMPLEMENTED;
        return copy_cells(st, ws).release();
    });
}

// _start(ws, cell_styles, cell_cls): the store becomes the empty store of a sheet made in memory,
// as a load that found no cells leaves it, so that its cells can be set and frames appended as
// on a loaded sheet.
PyObject* CellStore_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[3];
        if (!parse_args("_start", args, nargs, kwnames, {"ws", "cell_styles", "cell_cls"}, a)) return nullptr;
        auto load = Load::begin(self, a[0], a[1], Py_None, std::nullopt, a[2], false);
        if (!load) return fallback_err(std::move(load.error()));
        load->finish(std::make_unique<TranslatorMasters>(std::vector<formula::Translator>{}));
        Py_RETURN_NONE;
    });
}

// ---- row access ----

class GcPause {
public:
    explicit GcPause(bool pause) noexcept : was_on_(pause && PyGC_Disable()) {}
    ~GcPause() {
        if (was_on_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_on_;
};

// Row access in dict mode: the dict's own cells, missing ones made like Worksheet.cell makes them.
Ref cell_in_dict_lock_held(State& st, std::uint32_t row, std::uint32_t col, bool& created) {
    Ref key = key_tuple(row, col);
    if (!key) return {};
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(st.dict_mode.get(), key.get(), &found) < 0) return {};
    if (found) return Ref::steal(found);
    Ref row_int = Ref::steal(PyLong_FromUnsignedLong(row));
    if (!row_int) return {};
    Ref cell = new_cell(st, std::move(row_int), col, Ref::borrow(Py_None), Ref::borrow(Py_None), st.dtypes[0].clone());
    if (!cell) return {};
    if (dict_assign_lock_held(st, key.get(), cell.get()) < 0) return {};
    created = true;
    return cell;
}

Ref row_item_lock_held(State& st, std::uint32_t row, std::uint32_t col, bool values_only, std::uint32_t& ri,
                       std::uint32_t end, bool look_in_entries, bool& created) {
    if (st.dict_mode) {
        Ref cell = cell_in_dict_lock_held(st, row, col, created);
        if (!cell || !values_only) return cell;
        return Ref::steal(PyObject_GetAttrString(cell.get(), "value"));
    }
    const Base& base = st.c.base;
    while (ri < end && base.recs[ri].col < col) ++ri;
    std::optional<Loc> loc;
    if (ri < end && base.recs[ri].col == col && base.recs[ri].tag != DEAD) loc = Loc{Loc::RECORD, ri, row};
    if (!loc && look_in_entries && !st.c.entry_index.empty()) {
        if (auto idx = st.c.entry_index.find(make_key(row, col))) loc = Loc{Loc::ENTRY, static_cast<std::uint32_t>(*idx), 0};
    }
    if (!loc) {
        loc = st.c.append_entry(row, col, 0, NO_STYLE, NONE, 0);
        ++st.c.version;
        created = true;
    }
    return values_only ? value_obj(st, *loc) : materialize(st, *loc);
}

// The position of `row` among the loaded rows, if it has records. Rows are mostly read in
// order, so the row after the last one found is tried before a binary search.
std::optional<std::size_t> loaded_row_index(State& st, std::uint32_t row) noexcept {
    const auto& rows = st.c.base.row_numbers;
    std::size_t k = st.row_index_hint;
    if (k >= rows.size() || rows[k] != row) {
        ++k;
        if (k >= rows.size() || rows[k] != row) {
            auto it = std::lower_bound(rows.begin(), rows.end(), row);
            if (it == rows.end() || *it != row) return std::nullopt;
            k = static_cast<std::size_t>(it - rows.begin());
        }
    }
    st.row_index_hint = k;
    return k;
}

// The values of columns min_col.. (n of them) of row `r` in compact mode, the row's records
// being ri..end. PERF NOTE: the records are walked in place, in column order, a pointer step a
// cell; cells without one are found among the entries, or created, by row_item_lock_held.
Ref row_values(State& st, std::uint32_t r, std::int64_t min_col, std::uint64_t n, std::uint32_t ri,
               std::uint32_t end, bool look_in_entries, bool& created) {
    Ref items = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!items) return {};
    const Rec* rec = nullptr;
    std::uint32_t left = 0;  // records from `rec` on in its chunk
    std::string scratch;
    bool holds_tracked = false;  // an item that may be in a cycle
    for (std::uint64_t i = 0; i < n; ++i) {
        const auto col = static_cast<std::uint32_t>(min_col + static_cast<std::int64_t>(i));
        for (; ri < end; ++ri, ++rec, --left) {
            if (left == 0) rec = st.c.base.recs.run(ri, left);
            if (rec->col >= col) break;
        }
        Ref item;
        if (ri < end && rec->col == col && rec->tag != DEAD) {
            item = record_value(st, *rec, ri, r, scratch);
        } else {
            std::uint32_t past = end;
            item = row_item_lock_held(st, r, col, true, past, end, look_in_entries, created);
        }
        if (!item) return {};
        holds_tracked = holds_tracked || PyType_HasFeature(Py_TYPE(item.get()), Py_TPFLAGS_HAVE_GC);
        PyTuple_SET_ITEM(items.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    // PERF NOTE: a row of plain values can be in no cycle. Left tracked, every row of a sheet
    // read into a list was traversed by each young collection until the collector untracked it
    // itself, a fifth of the time of `ws.values`.
    if (!holds_tracked) PyObject_GC_UnTrack(items.get());
    return items;
}

// One row of `Worksheet._cells_by_row`, its missing cells created as `Worksheet.cell` creates
// them; the caller holds the sheet's guard.
Ref row_tuple(State& st, std::int64_t row, std::int64_t min_col, std::int64_t max_col, bool values_only,
              bool& created) {
    auto b = Borrow::exclusive(st.borrow);
    if (!b) return {};
    if (max_col < min_col) return Ref::steal(PyTuple_New(0));
    if (!in_range(row) || !in_range(min_col) || !in_range(max_col)) {
        PyErr_SetString(PyExc_ValueError, "_row(): row and columns must lie in 0..4294967295");
        return {};
    }
    const auto r = static_cast<std::uint32_t>(row);
    const std::uint64_t n = static_cast<std::uint64_t>(max_col - min_col) + 1;
    std::uint32_t ri = 0, end = 0;
    const Base& base = st.c.base;
    if (auto k = loaded_row_index(st, r)) {
        ri = base.row_starts[*k];
        end = base.row_starts[*k + 1];
    }
    const bool look_in_entries = st.c.live_entries > 0;
    if (values_only && !st.dict_mode) return row_values(st, r, min_col, n, ri, end, look_in_entries, created);
    GcPause pause(!values_only);
    Ref items = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!items) return {};
    for (std::uint64_t i = 0; i < n; ++i) {
        const auto col = static_cast<std::uint32_t>(min_col + static_cast<std::int64_t>(i));
        Ref item = row_item_lock_held(st, r, col, values_only, ri, end, look_in_entries, created);
        if (!item) return {};
        PyTuple_SET_ITEM(items.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return items;
}

PyObject* CellStore_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[4];
        if (!parse_args("_row", args, nargs, kwnames, {"row", "min_col", "max_col", "values_only"}, a)) return nullptr;
        std::int64_t row = 0, min_col = 0, max_col = 0;
        if (!arg_int64("_row", "row", a[0], row) || !arg_int64("_row", "min_col", a[1], min_col) ||
            !arg_int64("_row", "max_col", a[2], max_col)) {
            return nullptr;
        }
        const int values_only = PyObject_IsTrue(a[3]);
        if (values_only < 0) return nullptr;
        bool created = false;
        Ref items = row_tuple(st_of(self), row, min_col, max_col, values_only, created);
        if (!items) return nullptr;
        return PyTuple_Pack(2, items.get(), created ? Py_True : Py_False);
    });
}

using sheet::ColumnBatch;

constexpr std::uint8_t FORMULA_DTYPE = 2;  // "f", the third of the fixed data types
constexpr std::size_t DTYPE_SLOT = 6;

// What a frame of formula results needs from the package: the ids of the styles whose numbers
// are dates (sorted), and its typing of the results the store does not type itself.
struct Results {
    std::vector<std::uint32_t> date_styles;
    PyObject* of_kept = nullptr;  // of_kept(loaded, style id or None) -> value; borrowed
    PyObject* of_cell = nullptr;  // of_cell(cell) -> value, for a cell object; borrowed

    bool is_date(std::uint32_t style) const noexcept {
        return style != NO_STYLE && std::binary_search(date_styles.begin(), date_styles.end(), style);
    }
};

// `results` as _columns takes it: None (formulas give their text) or (date style ids, of_kept,
// of_cell); false with an exception set.
bool results_arg(PyObject* arg, std::optional<Results>& out) {
    if (!arg || arg == Py_None) return true;
    if (!PyTuple_Check(arg) || PyTuple_GET_SIZE(arg) != 3 || !PyCallable_Check(PyTuple_GET_ITEM(arg, 1)) ||
        !PyCallable_Check(PyTuple_GET_ITEM(arg, 2))) {
        PyErr_SetString(PyExc_TypeError, "_columns(): results must be None or (date style ids, of_kept, of_cell)");
        return false;
    }
    Results r;
    Ref it = Ref::steal(PyObject_GetIter(PyTuple_GET_ITEM(arg, 0)));
    if (!it) return false;
    while (Ref id = Ref::steal(PyIter_Next(it.get()))) {
        const long long v = PyLong_AsLongLong(id.get());
        if (v == -1 && PyErr_Occurred()) return false;
        if (in_range(v)) r.date_styles.push_back(static_cast<std::uint32_t>(v));
    }
    if (PyErr_Occurred()) return false;
    std::ranges::sort(r.date_styles);
    r.of_kept = PyTuple_GET_ITEM(arg, 1);
    r.of_cell = PyTuple_GET_ITEM(arg, 2);
    out = std::move(r);
    return true;
}

// A kept number as a reader takes it: a double when its text has a point or an exponent, else
// an int; nothing when the text is not exactly that (the package reads it then).
std::optional<ColumnBatch::Value> kept_number(std::string_view text) noexcept {
    const char* first = text.data();
    const char* last = first + text.size();
    if (text.find_first_of(".eE") != std::string_view::npos) {
        double d = 0;
        const auto [end, ec] = std::from_chars(first, last, d);
        if (ec != std::errc{} || end != last || text.empty()) return std::nullopt;
        return ColumnBatch::of_float(d);
    }
    std::int64_t i = 0;
    const auto [end, ec] = std::from_chars(first, last, i);
    if (ec != std::errc{} || end != last || text.empty()) return std::nullopt;
    return ColumnBatch::of_int(i);
}

// Whether the record or entry `e` holds a formula.
bool holds_formula(const State& st, const Entry& e) {
    if (e.tag != CELL) return e.dtype == FORMULA_DTYPE && e.tag != NONE;
    PyObject* dtype = st.slot_class->get(st.objs[e.payload].get(), DTYPE_SLOT);
    return dtype && PyUnicode_Check(dtype) && PyUnicode_CompareWithASCIIString(dtype, "f") == 0;
}

// The cached result of the formula cell `e` at `loc` as a column keeps it (missing when it kept
// none): the common kinds typed here, the rest by the package; false with an exception set.
bool result_value(State& st, Loc loc, const Entry& e, const Results& results, ColumnBatch::Value& out) {
    Ref value;
    if (e.tag == CELL) {
        value = Ref::steal(PyObject_CallOneArg(results.of_cell, st.objs[e.payload].get()));
    } else {
        const Kept* kept = st.c.kept.find(loc);
        if (!kept) return true;
        if (kept->obj == NO_OBJ) {
            const std::string_view text = st.c.text_of(kept->cached);
            if (text.empty()) return true;  // an empty result reads as none
            switch (kept->cached_type) {
                case CACHED_STR:
                case CACHED_E: {
                    Ref str = Ref::steal(
                        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
                    if (!str) return false;
                    out = ColumnBatch::of_object(std::move(str));
                    return true;
                }
                case CACHED_B:
                    if (text != "0" && text != "1") break;
                    out = ColumnBatch::of_bool(text == "1");
                    return true;
                case CACHED_NO_T:
                case CACHED_N:
                    if (results.is_date(e.style)) break;
                    if (auto number = kept_number(text)) {
                        out = std::move(*number);
                        return true;
                    }
                    break;
                default: break;
            }
        }
        Ref loaded = loaded_obj(st, loc, e);
        if (!loaded) return false;
        Ref style = e.style == NO_STYLE ? Ref::borrow(Py_None) : Ref::steal(PyLong_FromUnsignedLong(e.style));
        if (!style) return false;
        value = Ref::steal(PyObject_CallFunctionObjArgs(results.of_kept, loaded.get(), style.get(), nullptr));
    }
    if (!value) return false;
    out = ColumnBatch::of_object(std::move(value));
    return true;
}

// The value of the cell at `loc` as a DataFrame column keeps it (a formula's cached result with
// `results`); false with an exception set.
bool column_value(State& st, Loc loc, const std::optional<Results>& results, ColumnBatch::Value& out) {
    const Entry e = st.c.entry(loc);
    if (results && holds_formula(st, e)) return result_value(st, loc, e, *results, out);
    switch (e.tag) {
        case NONE: return true;
        case INT: out = ColumnBatch::of_int(static_cast<std::int64_t>(e.payload)); return true;
        case FLOAT: out = ColumnBatch::of_float(std::bit_cast<double>(e.payload)); return true;
        case BOOL: out = ColumnBatch::of_bool(e.payload != 0); return true;
        case DATE_INT:
        case DATE_FLOAT: {
            if (!st.epoch) break;
            auto date = e.tag == DATE_INT ? ColumnBatch::of_date(*st.epoch, static_cast<std::int64_t>(e.payload))
                                          : ColumnBatch::of_date(*st.epoch, std::bit_cast<double>(e.payload));
            if (!date) break;  // a time of day
            out = std::move(*date);
            return true;
        }
        default: break;
    }
    Ref obj = value_obj(st, loc);
    if (!obj) return false;
    out = ColumnBatch::of_object(std::move(obj));
    return true;
}

PyObject* CellStore_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[5] = {};
        if (!parse_args("_columns", args, nargs, kwnames, {"min_row", "cells", "blank_rows", "mixed", "results"}, a,
                        2))
            return nullptr;
        std::int64_t min_row = 0, max_cells = 0;
        ColumnBatch::Rows keep;
        std::optional<Results> results;
        if (!arg_int64("_columns", "min_row", a[0], min_row) || !arg_int64("_columns", "cells", a[1], max_cells) ||
            !sheet::rows_args("_columns", nullptr, a[2], a[3], keep) || !results_arg(a[4], results))
            return nullptr;
        if (!in_range(min_row) || max_cells < 1) {
            PyErr_SetString(PyExc_ValueError, "_columns(): min_row must lie in 0..4294967295 and cells be positive");
            return nullptr;
        }
        State& st = st_of(self);
        auto b = Borrow::exclusive(st.borrow);
        if (!b) return nullptr;
        // Cells set since loading live apart from the rows of records: the caller reads those
        // stores through their cells.
        if (st.dict_mode || st.c.live_entries > 0) Py_RETURN_NOTIMPLEMENTED;
        const Base& base = st.c.base;
        const auto& rows = base.row_numbers;
        std::size_t k = static_cast<std::size_t>(
            std::lower_bound(rows.begin(), rows.end(), static_cast<std::uint32_t>(min_row)) - rows.begin());
        ColumnBatch batch(keep);
        std::vector<ColumnBatch::Value> values;
        std::int64_t cells = 0;
        for (; k < rows.size() && cells < max_cells; ++k) {
            values.clear();
            for (std::uint32_t ri = base.row_starts[k]; ri < base.row_starts[k + 1]; ++ri) {
                if (base.recs[ri].tag == DEAD || base.recs[ri].col < 1) continue;
                ColumnBatch::Value value;
                if (!column_value(st, Loc{Loc::RECORD, ri, rows[k]}, results, value)) return nullptr;
                value.col = base.recs[ri].col;
                values.push_back(std::move(value));
            }
            cells += std::max<std::int64_t>(1, static_cast<std::int64_t>(values.size()));
            if (!values.empty()) batch.add_values(values, values.back().col, rows[k]);
        }
        const Py_ssize_t height = batch.height();
        const long long first = batch.first_row(), last = batch.last_row();
        Ref columns = batch.take();
        if (!columns) return nullptr;
        // The row to go on from, 0 after the last.
        const unsigned long next = k < rows.size() ? rows[k] : 0;
        return Py_BuildValue("(knOLL)", next, height, columns.get(), first, last);
    });
}

// ---- KeyIter ----

struct IterState {
    Ref store;
    Ref dict_iter;  // in dict mode: the dict's own iterator, behind the store's version check
    std::uint64_t version = 0;
    std::uint32_t cursor = 0;
    std::uint32_t length = 0;
    std::size_t row_k = 0;  // row index of the last record returned: rows only move forward
    BorrowFlag borrow;
};

struct KeyIterObject {
    PyObject_HEAD
    IterState s;
};

PyTypeObject* key_iter_type_ = nullptr;
PyTypeObject* cell_store_type_ = nullptr;
PyMutex types_mutex;

PyObject* KeyIter_next(PyObject* self) noexcept {
    return guard([&]() -> PyObject* {
        IterState* it = &reinterpret_cast<KeyIterObject*>(self)->s;
        auto own = Borrow::exclusive(it->borrow);
        if (!own) return nullptr;
        if (!it->store) return nullptr;
        State& st = st_of(it->store.get());
        auto b = Borrow::shared(st.borrow);
        if (!b) return nullptr;
        if (st.c.version != it->version) {
            const std::size_t now = it->dict_iter && st.dict_mode
                                        ? static_cast<std::size_t>(PyDict_GET_SIZE(st.dict_mode.get())) : st.c.len();
            PyErr_SetString(PyExc_RuntimeError, now == it->length ? "dictionary keys changed during iteration"
                                                                  : "dictionary changed size during iteration");
            return nullptr;
        }
        if (it->dict_iter) return PyIter_Next(it->dict_iter.get());
        const Base& base = st.c.base;
        const std::uint32_t nrecs = base.recs.size();
        while (it->cursor < nrecs) {
            const std::uint32_t loc = it->cursor++;
            const Rec rec = base.recs[loc];
            if (rec.tag == DEAD) continue;
            while (base.row_starts[it->row_k + 1] <= loc) ++it->row_k;
            return key_tuple(base.row_numbers[it->row_k], rec.col).release();
        }
        while (it->cursor - nrecs < st.c.entries.size()) {
            const Entry& e = st.c.entries[it->cursor - nrecs];
            ++it->cursor;
            if (e.tag == DEAD) continue;
            return key_tuple(e.row, e.col).release();
        }
        return nullptr;
    });
}

int KeyIter_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<KeyIterObject*>(self)->s.store.get());
    Py_VISIT(reinterpret_cast<KeyIterObject*>(self)->s.dict_iter.get());
    return 0;
}

int KeyIter_clear(PyObject* self) noexcept {
    IterState& it = reinterpret_cast<KeyIterObject*>(self)->s;
    Ref store = std::move(it.store);
    Ref dict_iter = std::move(it.dict_iter);
    return 0;
}

void KeyIter_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    IterState& it = reinterpret_cast<KeyIterObject*>(self)->s;
    Ref store = std::move(it.store);
    Ref dict_iter = std::move(it.dict_iter);
    it.~IterState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot key_iter_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(KeyIter_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(KeyIter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(KeyIter_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(KeyIter_dealloc)},
    {0, nullptr},
};

PyType_Spec key_iter_spec = {
    .name = "_quillfen.KeyIter",
    .basicsize = sizeof(KeyIterObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = key_iter_slots,
};

PyObject* CellStore_iter(PyObject* self) noexcept {
    return guard([&]() -> PyObject* {
        State& st = st_of(self);
        auto b = Borrow::shared(st.borrow);
        if (!b) return nullptr;
        Ref dict_iter;
        if (st.dict_mode) {
            dict_iter = Ref::steal(PyObject_GetIter(st.dict_mode.get()));
            if (!dict_iter) return nullptr;
        }
        PyObject* obj = key_iter_type_->tp_alloc(key_iter_type_, 0);
        if (!obj) return nullptr;
        IterState* it = new (&reinterpret_cast<KeyIterObject*>(obj)->s) IterState();
        it->store = Ref::borrow(self);
        it->version = st.c.version;
        it->length = st.dict_mode ? static_cast<std::uint32_t>(PyDict_GET_SIZE(st.dict_mode.get())) : st.c.len();
        it->dict_iter = std::move(dict_iter);
        return obj;
    });
}

// ---- RowIter ----

// The rows of `Worksheet._cells_by_row`, each read under the sheet's guard when asked for and
// none ahead: the caller may change the sheet between two rows, and sees its changes.
struct RowIterState {
    Ref store;
    Ref acquire;  // the guard's acquire and release
    Ref release;
    std::int64_t row = 0;  // the next row; read and moved on under the guard
    std::int64_t max_row = 0;
    std::int64_t min_col = 0;
    std::int64_t max_col = 0;
    bool values_only = false;
};

struct RowIterObject {
    PyObject_HEAD
    RowIterState s;
};

PyTypeObject* row_iter_type_ = nullptr;

PyObject* RowIter_next(PyObject* self) noexcept {
    return guard([&]() -> PyObject* {
        RowIterState& it = reinterpret_cast<RowIterObject*>(self)->s;
        if (!it.store) return nullptr;
        Ref acquire = it.acquire.clone(), release = it.release.clone(), store = it.store.clone();
        if (!Ref::steal(PyObject_CallNoArgs(acquire.get()))) return nullptr;
        Ref row;
        if (it.row <= it.max_row) {
            bool created = false;
            row = row_tuple(st_of(store.get()), it.row, it.min_col, it.max_col, it.values_only, created);
            if (row) ++it.row;
        }
        // The guard is let go on every path; an error of the row outlives the release.
        Ref raised = Ref::steal(PyErr_GetRaisedException());
        if (!Ref::steal(PyObject_CallNoArgs(release.get()))) return nullptr;
        if (raised) {
            PyErr_SetRaisedException(raised.release());
            return nullptr;
        }
        return row.release();  // none without an error: past the last row
    });
}

int RowIter_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    const RowIterState& it = reinterpret_cast<RowIterObject*>(self)->s;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it.store.get());
    Py_VISIT(it.acquire.get());
    Py_VISIT(it.release.get());
    return 0;
}

int RowIter_clear(PyObject* self) noexcept {
    RowIterState& it = reinterpret_cast<RowIterObject*>(self)->s;
    Ref store = std::move(it.store), acquire = std::move(it.acquire), release = std::move(it.release);
    return 0;
}

void RowIter_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    RowIter_clear(self);
    reinterpret_cast<RowIterObject*>(self)->s.~RowIterState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot row_iter_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(RowIter_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(RowIter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(RowIter_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(RowIter_dealloc)},
    {0, nullptr},
};

PyType_Spec row_iter_spec = {
    .name = "_quillfen.RowIter",
    .basicsize = sizeof(RowIterObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = row_iter_slots,
};

PyObject* CellStore_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[6];
        if (!parse_args("_rows", args, nargs, kwnames,
                        {"min_row", "max_row", "min_col", "max_col", "values_only", "guard"}, a)) {
            return nullptr;
        }
        RowIterState s;
        if (!arg_int64("_rows", "min_row", a[0], s.row) || !arg_int64("_rows", "max_row", a[1], s.max_row) ||
            !arg_int64("_rows", "min_col", a[2], s.min_col) || !arg_int64("_rows", "max_col", a[3], s.max_col)) {
            return nullptr;
        }
        const int values_only = PyObject_IsTrue(a[4]);
        if (values_only < 0) return nullptr;
        s.values_only = values_only;
        s.acquire = Ref::steal(PyObject_GetAttrString(a[5], "acquire"));
        if (!s.acquire) return nullptr;
        s.release = Ref::steal(PyObject_GetAttrString(a[5], "release"));
        if (!s.release) return nullptr;
        s.store = Ref::borrow(self);
        PyObject* obj = row_iter_type_->tp_alloc(row_iter_type_, 0);
        if (!obj) return nullptr;
        new (&reinterpret_cast<RowIterObject*>(obj)->s) RowIterState(std::move(s));
        return obj;
    });
}

// ---- lifetime ----

PyObject* CellStore_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        new (&reinterpret_cast<CellStoreObject*>(self)->state) State();
        return self;
    });
}

int CellStore_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    State& st = st_of(self);
    // An exclusive user may be rebuilding the object table right now.
    if (st.borrow.is_exclusive()) return 0;
    Py_VISIT(st.ws.get());
    Py_VISIT(st.cell_styles.get());
    Py_VISIT(st.shared_strings.get());
    for (const Ref& obj : st.objs) Py_VISIT(obj.get());
    Py_VISIT(st.dict_mode.get());
    if (st.shared) {
        if (int rc = st.shared->traverse(visit, arg)) return rc;
    }
    for (const Ref& d : st.extra_dtypes) Py_VISIT(d.get());
    for (const Ref& t : st.style_cache) Py_VISIT(t.get());
    if (st.slot_class) Py_VISIT(st.slot_class->cls());
    return 0;
}

int CellStore_clear_refs(PyObject* self) noexcept {
    return guard([&]() -> int {
        State& st = st_of(self);
        // Everything is moved out first and dropped last: dropping runs arbitrary code.
        std::vector<Ref> dropped = st.reset();
        dropped.push_back(std::move(st.ws));
        dropped.push_back(std::move(st.cell_styles));
        dropped.push_back(std::move(st.shared_strings));
        dropped.push_back(std::move(st.dict_mode));
        for (Ref& d : st.extra_dtypes) dropped.push_back(std::move(d));
        st.extra_dtypes.clear();
        for (Ref& t : st.style_cache) dropped.push_back(std::move(t));
        st.style_cache.clear();
        std::unique_ptr<Masters> masters = std::move(st.shared);
        std::optional<SlotClass> slots = std::move(st.slot_class);
        st.slot_class.reset();
        return 0;
    }, -1);
}

void CellStore_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    CellStore_clear_refs(self);
    reinterpret_cast<CellStoreObject*>(self)->state.~State();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef cell_store_methods[] = {
    {"get", as_cfunc(CellStore_get), METH_FASTCALL | METH_KEYWORDS, "get($self, key, default=None)\n--\n\n"},
    {"__reversed__", as_cfunc(CellStore_reversed), METH_NOARGS, "__reversed__($self)\n--\n\n"},
    {"clear", as_cfunc(CellStore_clear), METH_NOARGS, "clear($self)\n--\n\n"},
    {"popitem", as_cfunc(CellStore_popitem), METH_NOARGS,
     "popitem($self)\n--\n\ndict.popitem(): remove and return the last inserted (key, value)"},
    {"_bounds", as_cfunc(CellStore_bounds), METH_NOARGS,
     "_bounds($self)\n--\n\n(min_row, max_row, min_col, max_col) of the keys, or None if empty or\nin dict mode."},
    {"_in_dict_mode", as_cfunc(CellStore_in_dict_mode), METH_NOARGS, "_in_dict_mode($self)\n--\n\n"},
    {"_stats", as_cfunc(CellStore_stats), METH_NOARGS,
     "_stats($self)\n--\n\nDiagnostics: (cells, materialised cells, formula templates, text bytes)"},
    {"_row", as_cfunc(CellStore_row), METH_FASTCALL | METH_KEYWORDS,
     "_row($self, row, min_col, max_col, values_only)\n--\n\nOne row of `Worksheet._cells_by_row`: creates "
     "missing cells exactly\nlike `Worksheet.cell(row, column)` and returns a tuple of cells (or of\nvalues when "
     "values_only), plus whether cells were created."},
    {"_rows", as_cfunc(CellStore_rows), METH_FASTCALL | METH_KEYWORDS,
     "_rows($self, min_row, max_row, min_col, max_col, values_only, guard)\n--\n\nThe rows `_row` gives, "
     "from min_row to max_row, as an iterator that\nreads each row under `guard` (a lock) when it is asked for."},
    {"_columns", as_cfunc(CellStore_columns), METH_FASTCALL | METH_KEYWORDS,
     "_columns($self, min_row, cells, blank_rows=False, mixed=False, results=None)\n--\n\nThe values of the rows from `min_row` on, about "
     "`cells` cells, as DataFrame\ncolumns: (next row or 0 at the end, rows kept, columns, first and last row kept) as\n"
     "RowReader.next_columns gives them; NotImplemented when cells were set\nsince loading (read those through the cells). Unlike _row, no cell "
     "is created.\nFormula cells give their text, or with `results` = (date style ids, of_kept,\nof_cell) their cached results: "
     "of_kept(loaded, style id or None) types those\nkept in other forms than the common ones, of_cell(cell) those of cell objects."},
    {"_append_frame", as_cfunc(CellStore_append_frame), METH_FASTCALL | METH_KEYWORDS,
     "_append_frame($self, stream, first_row, header, check, style_of, first_micros)\n--\n\nAppends a frame's "
     "rows (its names first with `header`) from `first_row` on, from\na PyCapsule \"arrow_array_stream\": the cells "
     "an appended row of the same values\nmakes. check(row, column, value) raises what appending an odd value "
     "raises,\nstyle_of(\"datetime\" or \"date\") gives the style id of dates, first_micros is the\nfirst moment "
     "(microseconds since 1970) the workbook's dates hold. The rows\ntaken; NativeFallback for what only Python reads; "
     "after an error the cells\nplaced stay for the caller to remove."},
    {"_formula_objects", as_cfunc(CellStore_formula_objects), METH_NOARGS,
     "_formula_objects($self)\n--\n\nThe keys of the cells whose formula is a Python object (an array or a\n"
     "data-table formula), found without making cell objects of the others;\nNotImplemented in dict mode."},
    {"_copy", as_cfunc(CellStore_copy), METH_O,
     "_copy($self, ws, /)\n--\n\nA new store with copies of these cells, for the worksheet `ws` (a copied\nsheet); "
     "NotImplemented in dict mode."},
    {"_start", as_cfunc(CellStore_start), METH_FASTCALL | METH_KEYWORDS,
     "_start($self, ws, cell_styles, cell_cls)\n--\n\nEmpties the store and makes it that of the worksheet `ws`, "
     "made in memory:\nits cells are objects of `cell_cls`, styled from `cell_styles` (style id ->\nstyle array), "
     "as those of a loaded sheet."},
    {"_edit", as_cfunc(CellStore_edit), METH_FASTCALL | METH_KEYWORDS,
     "_edit($self, spec, host_edited, translate=False)\n--\n\nA structural edit of the sheet (see "
     "quillfen.formula.shift): every formula's\nreferences rewritten for it, and with `host_edited` the cells moved; "
     "with\n`translate`, formulas moved along shift their relative references instead.\nReturns (keys, changed): "
     "the keys, after the edit, of the cells whose\nformula Python must rewrite itself, and whether a formula changed "
     "here;\nNotImplemented in dict mode."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot cell_store_slots[] = {
    {Py_tp_doc, const_cast<char*>("CellStore(*_args, **_kwargs)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(CellStore_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(CellStore_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(CellStore_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(CellStore_clear_refs)},
    {Py_tp_iter, reinterpret_cast<void*>(CellStore_iter)},
    {Py_tp_methods, cell_store_methods},
    {Py_mp_length, reinterpret_cast<void*>(CellStore_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(CellStore_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(CellStore_ass_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(CellStore_contains)},
    {0, nullptr},
};

PyType_Spec cell_store_spec = {
    .name = "_quillfen.CellStore",
    .basicsize = sizeof(CellStoreObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = cell_store_slots,
};

}  // namespace

PyTypeObject* cell_store_type() noexcept {
    // Created once per process, like NativeFallback, and never freed.
    PyMutex_Lock(&types_mutex);
    if (!cell_store_type_) {
        Ref iter = Ref::steal(PyType_FromSpec(&key_iter_spec));
        Ref rows = iter ? Ref::steal(PyType_FromSpec(&row_iter_spec)) : Ref{};
        Ref store = rows ? Ref::steal(PyType_FromSpec(&cell_store_spec)) : Ref{};
        if (store) {
            key_iter_type_ = reinterpret_cast<PyTypeObject*>(iter.release());
            row_iter_type_ = reinterpret_cast<PyTypeObject*>(rows.release());
            cell_store_type_ = reinterpret_cast<PyTypeObject*>(store.release());
        }
    }
    PyTypeObject* type = cell_store_type_;
    PyMutex_Unlock(&types_mutex);
    return type;
}

}  // namespace qf::store
