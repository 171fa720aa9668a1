// The store's object table, value access, materialisation of cell objects and loading.
#include "store/store.hpp"

#include "core/frame.hpp"
#include "dates_py.hpp"

#include <algorithm>
#include <cstring>

namespace qf::store {

namespace {

// PERF NOTE: formula texts are rendered here and turned into a str, so no allocation per read.
thread_local std::string SCRATCH = [] {
    std::string s;
    s.reserve(256);
    return s;
}();

Ref str_of(std::string_view bytes) noexcept {
    // PERF NOTE: a formula's text is ASCII as a rule, copied into its str without the decoder
    // (one-character texts are left to it, which gives its shared single characters).
    if (bytes.size() > 1 && bytes.size() <= 256 &&
        std::ranges::all_of(bytes, [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 127);
        if (!str) return {};
        std::memcpy(PyUnicode_1BYTE_DATA(str), bytes.data(), bytes.size());
        return Ref::steal(str);
    }
    return Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr));
}

constexpr const char* NOT_LOADED = "cannot materialise a cell of a CellStore that was never loaded";

}  // namespace

bool TranslatorMasters::render_into(std::uint32_t index, std::optional<formula::Cell> dest, std::string& out) const {
    if (index >= list_.size()) return false;
    return formula::translate_into(list_[index], dest, out).has_value();
}

std::uint32_t State::put_obj(Ref obj) {
    if (!free_objs.empty()) {
        const std::uint32_t idx = free_objs.back();
        free_objs.pop_back();
        objs[idx] = std::move(obj);
        return idx;
    }
    objs.push_back(std::move(obj));
    return static_cast<std::uint32_t>(objs.size() - 1);
}

Ref State::drop_payload(std::uint64_t payload, std::uint8_t tag) {
    if (tag != CELL && tag != OBJ) return {};
    Ref old = std::move(objs[payload]);
    free_objs.push_back(static_cast<std::uint32_t>(payload));
    return old;
}

Ref State::take_kept(Loc loc) {
    const Kept kept = c.kept.take(loc);
    return kept.obj != NO_OBJ ? drop_payload(kept.obj, OBJ) : Ref{};
}

std::pair<Ref, Ref> State::remove_cell(Loc loc) {
    const Entry e = c.entry(loc);
    Ref value = drop_payload(e.payload, e.tag);
    Ref kept = take_kept(loc);
    c.remove(loc);
    return {std::move(value), std::move(kept)};
}

std::vector<Ref> State::reset() {
    std::vector<Ref> dropped = std::move(objs);
    objs.clear();
    free_objs.clear();
    c.reset();
    return dropped;
}

namespace {

// The date of a date cell's serial (tags 10 and 11), from the store's recent dates when there.
Ref date_value(State& st, std::uint8_t tag, std::uint64_t payload) {
#ifdef Py_GIL_DISABLED
    // Readers under a shared borrow (the sheet writer) may meet here. With the GIL they take
    // turns already: the table is never held across Python code.
    PyMutex_Lock(&st.dates_lock);
    struct Unlock {
        PyMutex* lock;
        ~Unlock() { PyMutex_Unlock(lock); }
    } unlock{&st.dates_lock};
#endif
    auto make = [&]() -> Ref {
        std::optional<DateParts> parts;
        if (st.epoch && tag == DATE_INT) {
            parts = payload == 0 ? DateParts{Time{0, 0, 0, 0}}
                                 : from_excel_int(*st.epoch, static_cast<std::int64_t>(payload));
        } else if (st.epoch) {
            parts = from_excel_float(*st.epoch, std::bit_cast<double>(payload));
        }
        if (!parts || std::holds_alternative<OutOfRange>(*parts)) {
            PyErr_SetString(PyExc_SystemError, "CellStore: date cell out of range");
            return {};
        }
        return date_parts_to_py(*parts);
    };
    return tag == DATE_INT ? st.dates.get(payload, false, make) : st.moments.get(payload, true, make);
}

// Shared string `index`.
Ref shared_string(State& st, std::uint64_t index) {
    Ref strings = st.shared_strings.clone();
    if (PyList_CheckExact(strings.get())) {
        // PERF NOTE: a list answers as list[i] would, without an int object per cell.
        if (index < static_cast<std::uint64_t>(PyList_GET_SIZE(strings.get())))
            return Ref::steal(PyList_GetItemRef(strings.get(), static_cast<Py_ssize_t>(index)));
    }
    Ref key = Ref::steal(PyLong_FromUnsignedLongLong(index));
    if (!key) return {};
    return Ref::steal(PyObject_GetItem(strings.get(), key.get()));
}

// The formula text of template `index` at (row, col), rendered in `scratch`.
Ref template_text(State& st, std::uint64_t index, std::uint32_t row, std::uint32_t col, std::string& scratch) {
    scratch.clear();
    if (index >= st.templates.size() || !st.templates[static_cast<std::uint32_t>(index)].render_into(row, col, scratch)) {
        PyErr_SetString(PyExc_SystemError, "CellStore: formula template cannot be rendered");
        return {};
    }
    return str_of(scratch);
}

}  // namespace

Ref value_obj(State& st, Loc loc) {
    const Entry e = st.c.entry(loc);
    switch (e.tag) {
        case CELL: {
            Ref cell = st.objs[e.payload].clone();
            return Ref::steal(PyObject_GetAttrString(cell.get(), "value"));
        }
        case NONE:
            return Ref::borrow(Py_None);
        case INT:
            return Ref::steal(PyLong_FromLongLong(static_cast<std::int64_t>(e.payload)));
        case FLOAT:
            return Ref::steal(PyFloat_FromDouble(std::bit_cast<double>(e.payload)));
        case BOOL:
            return Ref::borrow(e.payload ? Py_True : Py_False);
        case SST:
            return shared_string(st, e.payload);
        case TEXT:
            return str_of(st.c.text_of(e.payload));
        case SHARED:
        case SHARED_OWN: {
            SCRATCH.clear();
            std::optional<formula::Cell> dest;
            if (e.tag == SHARED) dest = formula::Cell{e.row, e.col};
            if (!st.shared || !st.shared->render_into(static_cast<std::uint32_t>(e.payload), dest, SCRATCH)) {
                PyErr_SetString(PyExc_SystemError, "CellStore: shared formula cannot be rendered");
                return {};
            }
            return str_of(SCRATCH);
        }
        case DATE_INT:
        case DATE_FLOAT:
            return date_value(st, e.tag, e.payload);
        case OBJ:
            return st.objs[e.payload].clone();
        case TEMPLATE:
            return template_text(st, e.payload, e.row, e.col, SCRATCH);
        default:
            PyErr_SetString(PyExc_SystemError, "CellStore: cell of unknown kind");
            return {};
    }
}

Ref record_value(State& st, const Rec& rec, std::uint32_t index, std::uint32_t row, std::string& scratch) {
    // PERF NOTE: the common kinds are read from the record in place, with no Entry made (nor the
    // style looked up) for them.
    switch (rec.tag) {
        case INT32:
            return Ref::steal(PyLong_FromLong(static_cast<std::int32_t>(rec.payload)));
        case DATE_INT32:
            return date_value(st, DATE_INT, widen_int32(rec.payload));
        case NONE:
            return Ref::borrow(Py_None);
        case BOOL:
            return Ref::borrow(rec.payload ? Py_True : Py_False);
        case SST:
            return shared_string(st, rec.payload);
        case INT:
            return Ref::steal(PyLong_FromLongLong(static_cast<std::int64_t>(st.c.base.vals[rec.payload])));
        case FLOAT:
            return Ref::steal(PyFloat_FromDouble(std::bit_cast<double>(st.c.base.vals[rec.payload])));
        case TEMPLATE:
            return template_text(st, rec.payload, row, rec.col, scratch);
        case DATE_INT:
        case DATE_FLOAT:
            return date_value(st, rec.tag, st.c.base.vals[rec.payload]);
        default:
            return value_obj(st, Loc{Loc::RECORD, index, row});
    }
}

std::optional<DateParts> excel_date(const State& st, Loc loc) noexcept {
    if (!st.epoch) return std::nullopt;
    const Entry e = st.c.entry(loc);
    if (e.tag == DATE_INT) {
        if (e.payload == 0) return DateParts{Time{0, 0, 0, 0}};
        return from_excel_int(*st.epoch, static_cast<std::int64_t>(e.payload));
    }
    if (e.tag == DATE_FLOAT) return from_excel_float(*st.epoch, std::bit_cast<double>(e.payload));
    return std::nullopt;
}

namespace {

// Style ids beyond this are not cached (a cell_styles object may claim any length).
constexpr std::uint32_t STYLE_CACHE_LIMIT = 1u << 20;

// A new copy of the style array of `style`, of its own class, with typecode "i".
Ref copy_style(State& st, std::uint32_t style) {
    const bool cached = style < STYLE_CACHE_LIMIT;
    if (cached && st.style_cache.size() <= style) st.style_cache.resize(std::size_t{style} + 1);
    if (!cached || !st.style_cache[style]) {
        Ref styles = st.cell_styles.clone();
        Ref arr;
        if (PyList_CheckExact(styles.get()) && style < static_cast<std::size_t>(PyList_GET_SIZE(styles.get()))) {
            arr = Ref::steal(PyList_GetItemRef(styles.get(), style));
        } else {
            Ref index = Ref::steal(PyLong_FromUnsignedLong(style));
            if (!index) return {};
            arr = Ref::steal(PyObject_GetItem(styles.get(), index.get()));
        }
        if (!arr) return {};
        // array's constructor lays out an array object in whatever type it is given, so a
        // style that is not an array would be corrupted: refuse it.
        if (!PyObject_TypeCheck(arr.get(), reinterpret_cast<PyTypeObject*>(st.array_type.get()))) {
            PyErr_Format(PyExc_TypeError, "style array must be an array.array, not %T", arr.get());
            return {};
        }
        Ref args = Ref::steal(PyTuple_Pack(2, st.typecode.get(), arr.get()));
        if (!args) return {};
        if (!cached) {
            PyObject* fresh = PyTuple_GET_ITEM(args.get(), 1);
            return Ref::steal(st.array_new(Py_TYPE(fresh), args.get(), nullptr));
        }
        st.style_cache[style] = std::move(args);
    }
    Ref args = st.style_cache[style].clone();
    PyObject* arr = PyTuple_GET_ITEM(args.get(), 1);
    return Ref::steal(st.array_new(Py_TYPE(arr), args.get(), nullptr));
}

}  // namespace

Ref new_cell(State& st, Ref row, std::uint32_t col, Ref value, Ref style, Ref dtype, Ref loaded) {
    if (!st.loaded()) {
        PyErr_SetString(PyExc_RuntimeError, NOT_LOADED);
        return {};
    }
    Ref column = Ref::steal(PyLong_FromUnsignedLong(col));
    if (!column) return {};
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(st.slot_class->cls());
    allocfunc alloc = cls->tp_alloc ? cls->tp_alloc : PyType_GenericAlloc;
    Ref cell = Ref::steal(alloc(cls, 0));
    if (!cell) return {};
    Ref contents[CELL_SLOT_COUNT] = {st.ws.clone(), std::move(style), std::move(row), std::move(column),
                                     std::move(value), Ref::borrow(Py_None), std::move(dtype), Ref::borrow(Py_None),
                                     std::move(loaded)};
    const std::size_t n = std::min<std::size_t>(st.slot_class->offsets().size(), CELL_SLOT_COUNT);
    for (std::size_t i = 0; i < n; ++i) st.slot_class->set(cell.get(), i, std::move(contents[i]));
    return cell;
}

Ref loaded_obj(const State& st, Loc loc, const Entry& e) {
    const Kept* kept = st.c.kept.find(loc);
    if (!kept) {
        if (e.tag == SST && st.keep_cells) return Ref::steal(PyLong_FromUnsignedLongLong(e.payload));
        return Ref::borrow(Py_None);
    }
    if (kept->obj != NO_OBJ) return st.objs[kept->obj].clone();
    // A cached result kept natively: (attributes, shared string index, (t, text), runs).
    const auto t_text = cached_t_text(kept->cached_type);
    Ref t = t_text ? str_of(*t_text) : Ref::borrow(Py_None);
    Ref v = str_of(st.c.text_of(kept->cached));
    if (!t || !v) return {};
    Ref cached = Ref::steal(PyTuple_Pack(2, t.get(), v.get()));
    Ref attrs = Ref::steal(PyTuple_New(0));
    if (!cached || !attrs) return {};
    return Ref::steal(PyTuple_Pack(4, attrs.get(), Py_None, cached.get(), Py_None));
}

Ref materialize(State& st, Loc loc) {
    const Entry e = st.c.entry(loc);
    if (e.tag == CELL) return st.objs[e.payload].clone();
    if (!st.loaded()) {
        PyErr_SetString(PyExc_RuntimeError, NOT_LOADED);
        return {};
    }
    Ref value = value_obj(st, loc);
    if (!value) return {};
    Ref loaded = loaded_obj(st, loc, e);
    if (!loaded) return {};
    Ref style;
    if (e.style == NO_STYLE) {
        style = Ref::borrow(Py_None);
    } else {
        style = copy_style(st, e.style);
        if (!style) return {};
    }
    Ref dtype = e.dtype < FIXED_DTYPES ? st.dtypes[e.dtype].clone() : st.extra_dtypes[e.dtype - FIXED_DTYPES].clone();
    if (!st.row_cache_int || st.row_cache_row != e.row) {
        Ref row = Ref::steal(PyLong_FromUnsignedLong(e.row));
        if (!row) return {};
        st.row_cache_int = std::move(row);
        st.row_cache_row = e.row;
    }
    Ref cell = new_cell(st, st.row_cache_int.clone(), e.col, std::move(value), std::move(style), std::move(dtype),
                        std::move(loaded));
    if (!cell) return {};
    // A tag-12 value now lives in the cell's _value and the kept data in its _loaded; their
    // table slots are freed.
    Ref old = st.drop_payload(e.payload, e.tag);
    Ref old_kept = st.take_kept(loc);
    const std::uint32_t idx = st.put_obj(cell.clone());
    st.c.set_value(loc, CELL, idx);
    return cell;
}

XmlResult<Load> Load::begin(PyObject* store, PyObject* ws, PyObject* cell_styles, PyObject* shared_strings,
                            std::optional<Epoch> epoch, PyObject* cell_cls, bool keep_cells) {
    State& st = state_of(store);
    auto borrow = Borrow::exclusive(st.borrow);
    if (!borrow) return std::unexpected(source_error());
    Load load(&st, std::move(*borrow));
    std::vector<Ref> dropped = st.reset();
    Ref old_dict = std::move(st.dict_mode);
    // A failed earlier load may have left texts indexed in the arena just emptied, and cached
    // style copies belong to the previous cell_styles.
    st.c.text_index.clear();
    std::vector<Ref> old_styles = std::move(st.style_cache);
    st.style_cache.clear();
    st.ws = Ref::borrow(ws);
    st.cell_styles = Ref::borrow(cell_styles);
    st.shared_strings = Ref::borrow(shared_strings);
    st.epoch = epoch;
    st.keep_cells = keep_cells;
    st.dates.clear();
    st.moments.clear();
    st.slot_class.reset();
    // The ninth slot, _loaded, is optional: a class without it gets its cells without what
    // they were read with.
    QF_TRY_SET(SlotClass slots, SlotClass::make(cell_cls, {"parent", "_style", "row", "column", "_value", "_hyperlink",
                                                           "data_type", "_comment", "_loaded"},
                                                CELL_SLOT_COUNT - 1));
    st.slot_class = std::move(slots);
    Ref array_mod = Ref::steal(PyImport_ImportModule("array"));
    if (!array_mod) return std::unexpected(source_error());
    Ref array_type = Ref::steal(PyObject_GetAttrString(array_mod.get(), "array"));
    if (!array_type) return std::unexpected(source_error());
    if (!PyType_Check(array_type.get()) || !reinterpret_cast<PyTypeObject*>(array_type.get())->tp_new) {
        PyErr_SetString(PyExc_TypeError, "array.array is not a type");
        return std::unexpected(source_error());
    }
    st.array_new = reinterpret_cast<PyTypeObject*>(array_type.get())->tp_new;
    st.array_type = std::move(array_type);
    st.typecode = Ref::steal(PyUnicode_FromString("i"));
    if (!st.typecode) return std::unexpected(source_error());
    static constexpr const char* NAMES[FIXED_DTYPES] = {"n", "s", "f", "b", "e", "d", "inlineStr"};
    for (std::size_t i = 0; i < FIXED_DTYPES; ++i) {
        st.dtypes[i] = Ref::steal(PyUnicode_InternFromString(NAMES[i]));
        if (!st.dtypes[i]) return std::unexpected(source_error());
    }
    return load;
}

XmlResult<std::uint8_t> Load::extra_dtype(PyObject* name) {
    for (std::size_t k = 0; k < st_->extra_dtypes.size(); ++k) {
        Ref known = st_->extra_dtypes[k].clone();
        const int eq = PyObject_RichCompareBool(name, known.get(), Py_EQ);
        if (eq < 0) return std::unexpected(source_error());
        if (eq) return static_cast<std::uint8_t>(FIXED_DTYPES + k);
    }
    if (st_->extra_dtypes.size() >= MAX_EXTRA_DTYPES) {
        raise_fallback("too many data types");
        return std::unexpected(source_error());
    }
    st_->extra_dtypes.push_back(Ref::borrow(name));
    return static_cast<std::uint8_t>(FIXED_DTYPES + st_->extra_dtypes.size() - 1);
}

void Load::place(std::uint32_t row, std::uint32_t col, std::uint8_t tag, std::uint64_t payload,
                 std::uint32_t style, std::uint8_t dtype, const Kept& kept) {
    Loc loc;
    if (auto old = st_->c.load_cell(row, col, tag, payload, style, dtype, &loc)) {
        // The same cell again: the later one stands, with what it keeps (and only that).
        Ref dropped = st_->drop_payload(old->payload, old->tag);
        Ref dropped_kept = st_->take_kept(loc);
    }
    if (!kept.empty()) st_->c.kept.put(loc, kept);
}

void Load::place_obj(std::uint32_t row, std::uint32_t col, Ref obj, std::uint32_t style, std::uint8_t dtype,
                     const Kept& kept) {
    const std::uint32_t idx = st_->put_obj(std::move(obj));
    place(row, col, OBJ, idx, style, dtype, kept);
}

XmlResult<void> Load::place_text(std::uint32_t row, std::uint32_t col, std::string_view text,
                                 std::uint32_t style, std::uint8_t dtype, const Kept& kept) {
    if (auto ref = st_->c.store_text(text)) {
        place(row, col, TEXT, *ref, style, dtype, kept);
        return {};
    }
    Ref obj = str_of(text);
    if (!obj) return std::unexpected(source_error());
    place_obj(row, col, std::move(obj), style, dtype, kept);
    return {};
}

XmlResult<void> Load::place_formula(std::uint32_t row, std::uint32_t col, std::string_view text,
                                    std::uint32_t style, std::uint8_t dtype, const Kept& kept) {
    if (auto t = st_->templates.template_for(text, row, col)) {
        place(row, col, TEMPLATE, *t, style, dtype, kept);
        return {};
    }
    return place_text(row, col, text, style, dtype, kept);
}

void Load::finish(std::unique_ptr<Masters> masters) {
    st_->shared = std::move(masters);
    st_->c.finish_loading();
    st_->templates.finish_loading();
}

}  // namespace qf::store
