// Whole-sheet writing: the worksheet's cells read from a CellStore's records in place, from a
// dict keyed by (row, column) ints, or from the package's own row loop, in ascending row order
// merged with the row dimensions (see state.hpp).
#include "core/borrow.hpp"
#include "core/frame.hpp"
#include "store/store.hpp"
#include "utils/pyint.hpp"
#include "writer/state.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace qf::writer {

namespace {

using store::Entry;
using store::Loc;

constexpr std::string_view DTYPE_NAMES[store::FIXED_DTYPES] = {"n", "s", "f", "b", "e", "d", "inlineStr"};

std::uint32_t row_of(std::uint64_t key) noexcept { return static_cast<std::uint32_t>(key >> 32); }
std::uint32_t col_of(std::uint64_t key) noexcept { return static_cast<std::uint32_t>(key); }

// Where the cell `key` is now. Python code run since the snapshot (helpers, `write`, `get`) may
// have used the store: while its version is unchanged the location stands, otherwise the key is
// looked up again; a cell removed meanwhile is no longer written.
std::optional<Loc> locate(const store::State& st, std::uint64_t version, std::uint64_t key, Loc loc) noexcept {
    if (st.c.version == version) return loc;
    return st.c.find_key(col_of(key), row_of(key));
}

// The keys of the row dimensions, sorted, when every one is an exact int that fits 64 bits.
XmlResult<std::optional<std::vector<std::int64_t>>> dim_rows(PyObject* dims, PyObject* keys_name) {
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(dims, keys_name));
    if (!keys) return std::unexpected(source_error());
    Ref it = Ref::steal(PyObject_GetIter(keys.get()));
    if (!it) return std::unexpected(source_error());
    std::vector<std::int64_t> rows;
    while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
        auto row = utils::exact_int(key.get());
        if (!row) return std::optional<std::vector<std::int64_t>>{};
        rows.push_back(*row);
    }
    if (PyErr_Occurred()) return std::unexpected(source_error());
    std::sort(rows.begin(), rows.end());
    return std::optional<std::vector<std::int64_t>>{std::move(rows)};
}

struct Keyed {
    std::int64_t row;
    std::int64_t col;
    Ref cell;
};

// The dict's cells, when every key is a tuple of two exact ints that fit 64 bits. Runs no
// Python code: the dict cannot change while it is walked.
std::optional<std::vector<Keyed>> keyed_cells_lock_held(PyObject* dict) {
    std::vector<Keyed> cells;
    cells.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *cell = nullptr;
    while (PyDict_Next(dict, &pos, &key, &cell)) {
        if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) return std::nullopt;
        const auto row = utils::exact_int(PyTuple_GET_ITEM(key, 0));
        const auto col = utils::exact_int(PyTuple_GET_ITEM(key, 1));
        if (!row || !col) return std::nullopt;
        cells.push_back(Keyed{*row, *col, Ref::borrow(cell)});
    }
    return cells;
}

std::optional<std::vector<Keyed>> keyed_cells(PyObject* dict) {
    std::optional<std::vector<Keyed>> cells;
    bool out_of_memory = false;
    // No C++ exception may leave the critical section without ending it.
    Py_BEGIN_CRITICAL_SECTION(dict);
    try {
        cells = keyed_cells_lock_held(dict);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_CRITICAL_SECTION();
    if (out_of_memory) throw std::bad_alloc();
    return cells;
}

}  // namespace

XmlResult<void> Writer::write_sheet_data(PyObject* rows_fallback) {
    Ref cells = Ref::steal(PyObject_GetAttr(ws_.get(), names_.cells.get()));
    if (!cells) return std::unexpected(source_error());
    Ref dims = Ref::steal(PyObject_GetAttr(ws_.get(), names_.row_dimensions.get()));
    if (!dims) return std::unexpected(source_error());
    buf_.append("<sheetData>");
    PyTypeObject* store_type = store::cell_store_type();
    if (!store_type) return std::unexpected(source_error());
    bool done = false;
    if (PyObject_TypeCheck(cells.get(), store_type)) {
        bool dict_mode = false;
        {
            store::State& st = store::state_of(cells.get());
            auto borrow = Borrow::shared(st.borrow);
            if (!borrow) return std::unexpected(source_error());
            dict_mode = static_cast<bool>(st.dict_mode);
        }
        if (!dict_mode) {
            QF_TRY(store_path(cells.get(), dims.get()));
            done = true;
        }
    } else if (PyDict_Check(cells.get())) {
        QF_TRY(dict_path(cells.get(), dims.get(), done));
    }
    if (!done) QF_TRY(fallback_path(rows_fallback, dims.get()));
    buf_.append("</sheetData>");
    return flush_buf();
}

XmlResult<void> Writer::dict_path(PyObject* cells, PyObject* dims, bool& done) {
    auto keyed = keyed_cells(cells);
    if (!keyed) return {};
    QF_TRY_SET(auto dim_keys, dim_rows(dims, names_.keys.get()));
    if (!dim_keys) return {};
    done = true;
    const auto by_place = [](const Keyed& a, const Keyed& b) { return a.row != b.row ? a.row < b.row : a.col < b.col; };
    // PERF NOTE: cells are mostly added row by row, so the dict is often in order already.
    if (!std::is_sorted(keyed->begin(), keyed->end(), by_place)) std::sort(keyed->begin(), keyed->end(), by_place);
    const std::vector<std::int64_t>& dim_list = *dim_keys;
    std::size_t i = 0, k = 0;
    while (i < keyed->size() || k < dim_list.size()) {
        std::int64_t row = INT64_MAX;
        if (i < keyed->size()) row = (*keyed)[i].row;
        if (k < dim_list.size()) row = std::min(row, dim_list[k]);
        while (k < dim_list.size() && dim_list[k] == row) ++k;
        QF_TRY_SET(Ref row_dims, dims_get(dims, row));
        QF_TRY(write_row_start(row, row_dims.get()));
        for (; i < keyed->size() && (*keyed)[i].row == row; ++i) QF_TRY(write_one((*keyed)[i].cell.get()));
        QF_TRY(end_row());
    }
    return {};
}

XmlResult<void> Writer::fallback_path(PyObject* rows_fallback, PyObject* dims) {
    Ref rows = Ref::steal(PyObject_CallNoArgs(rows_fallback));
    if (!rows) return std::unexpected(source_error());
    Ref it = Ref::steal(PyObject_GetIter(rows.get()));
    if (!it) return std::unexpected(source_error());
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) {
            PyErr_Format(PyExc_TypeError, "rows_fallback() must give (row index, cells) pairs, not %T", item.get());
            return std::unexpected(source_error());
        }
        PyObject* row = PyTuple_GET_ITEM(item.get(), 0);
        QF_TRY_SET(Ref row_dims, dims_get(dims, row));
        Ref text = Ref::steal(PyObject_Str(row));
        if (!text) return std::unexpected(source_error());
        QF_TRY(write_row_start(text.get(), row_dims.get()));
        Ref cells = Ref::steal(PyObject_GetIter(PyTuple_GET_ITEM(item.get(), 1)));
        if (!cells) return std::unexpected(source_error());
        while (Ref cell = Ref::steal(PyIter_Next(cells.get()))) QF_TRY(write_one(cell.get()));
        if (PyErr_Occurred()) return std::unexpected(source_error());
        QF_TRY(end_row());
    }
    if (PyErr_Occurred()) return std::unexpected(source_error());
    return {};
}

XmlResult<void> Writer::store_path(PyObject* store_obj, PyObject* dims) {
    QF_TRY_SET(auto dim_keys, dim_rows(dims, names_.keys.get()));
    if (!dim_keys) {
        raise_fallback("row dimension keys");
        return std::unexpected(source_error());
    }
    store::State& st = store::state_of(store_obj);
    // Snapshots of the row index and of the live entries; the records themselves are read in
    // place, row by row, each time under a shared borrow of the store.
    std::vector<std::uint32_t> rec_rows, rec_starts;
    std::vector<std::pair<std::uint64_t, Loc>> entry_keys;
    std::uint64_t version = 0;
    {
        auto borrow = Borrow::shared(st.borrow);
        if (!borrow) return std::unexpected(source_error());
        rec_rows = st.c.base.row_numbers;
        rec_starts = st.c.base.row_starts;
        version = st.c.version;
        for (std::uint32_t i = 0; i < st.c.entries.size(); ++i) {
            const Entry& e = st.c.entries[i];
            if (e.tag != store::DEAD) entry_keys.emplace_back(store::make_key(e.row, e.col), Loc{Loc::ENTRY, i, 0});
        }
    }
    std::stable_sort(entry_keys.begin(), entry_keys.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    const std::vector<std::int64_t>& dim_list = *dim_keys;
    StyleTexts styles;
    kept_hint_ = 0;
    std::vector<std::pair<std::uint64_t, Loc>> row_cells;
    std::size_t i = 0, j = 0, k = 0;
    while (i < rec_rows.size() || j < entry_keys.size() || k < dim_list.size()) {
        std::int64_t row = INT64_MAX;
        if (i < rec_rows.size()) row = rec_rows[i];
        if (j < entry_keys.size()) row = std::min<std::int64_t>(row, row_of(entry_keys[j].first));
        if (k < dim_list.size()) row = std::min(row, dim_list[k]);
        row_cells.clear();
        if (i < rec_rows.size() && rec_rows[i] == row) {
            auto borrow = Borrow::shared(st.borrow);
            if (!borrow) return std::unexpected(source_error());
            const auto& recs = st.c.base.recs;
            // Bounded by the live record count: a store emptied meanwhile has none to read.
            const std::uint32_t end = std::min(rec_starts[i + 1], recs.size());
            for (std::uint32_t loc = rec_starts[i]; loc < end; ++loc) {
                const store::Rec rec = recs[loc];
                if (rec.tag != store::DEAD) {
                    const auto r = static_cast<std::uint32_t>(row);
                    row_cells.emplace_back(store::make_key(r, rec.col), Loc{Loc::RECORD, loc, r});
                }
            }
            ++i;
        }
        bool entries_added = false;
        for (; j < entry_keys.size() && row_of(entry_keys[j].first) == row; ++j) {
            row_cells.push_back(entry_keys[j]);
            entries_added = true;
        }
        if (entries_added) {
            std::stable_sort(row_cells.begin(), row_cells.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
        }
        bool dim_row = false;
        for (; k < dim_list.size() && dim_list[k] == row; ++k) dim_row = true;
        if (row_cells.empty() && !dim_row) continue;
        Ref row_dims;
        if (dim_row) {
            QF_TRY_SET(row_dims, dims_get(dims, row));
        }
        QF_TRY(write_row_start(row, row_dims.get()));
        for (const auto& [key, loc] : row_cells) QF_TRY(stored_cell(store_obj, version, key, loc, styles));
        QF_TRY(end_row());
    }
    return {};
}

XmlResult<void> Writer::stored_style(PyObject* cell_styles, std::uint32_t id, StyleTexts& styles) {
    Ref index = Ref::steal(PyLong_FromUnsignedLong(id));
    if (!index) return std::unexpected(source_error());
    Ref style = Ref::steal(PyObject_GetItem(cell_styles, index.get()));
    if (!style) return std::unexpected(source_error());
    StyleText text;
    QF_TRY_SET(text.styled, has_style(style.get()));
    if (text.styled) {
        // Styled like a loaded cell: a copy of the array, then its id in the workbook's list.
        Ref copy = Ref::steal(PyObject_CallOneArg(style_array_cls_.get(), style.get()));
        if (!copy) return std::unexpected(source_error());
        QF_TRY_SET(Ref style_id_obj, style_id(copy.get()));
        Ref str = Ref::steal(PyObject_Str(style_id_obj.get()));
        if (!str) return std::unexpected(source_error());
        const auto utf8 = utf8_of(str.get());
        text.writable = utf8 && forbidden_char(*utf8) == std::string_view::npos;
        if (utf8) text.text = *utf8;
    }
    styles.emplace(id, std::move(text));
    return {};
}

XmlResult<void> Writer::materialize_and_write(PyObject* store_obj, std::uint64_t version, std::uint64_t key,
                                              Loc loc) {
    store::State& st = store::state_of(store_obj);
    Ref cell;
    {
        auto borrow = Borrow::exclusive(st.borrow);
        if (!borrow) return std::unexpected(source_error());
        const auto here = locate(st, version, key, loc);
        if (!here) return {};
        cell = store::materialize(st, *here);
        if (!cell) return std::unexpected(source_error());
    }
    return write_one(cell.get());
}

XmlResult<void> Writer::stored_cell(PyObject* store_obj, std::uint64_t version, std::uint64_t key, Loc loc,
                                    StyleTexts& styles) {
    store::State& st = store::state_of(store_obj);
    for (;;) {
        auto borrow = Borrow::shared(st.borrow);
        if (!borrow) return std::unexpected(source_error());
        const auto here = locate(st, version, key, loc);
        if (!here) return {};
        const Entry e = st.c.entry(*here);
        if (e.tag == store::CELL) {
            Ref cell = st.objs[e.payload].clone();
            borrow.reset();
            return write_one(cell.get());
        }
        const StyleText* style = nullptr;
        if (e.style != store::NO_STYLE) {
            auto found = styles.find(e.style);
            if (found == styles.end()) {
                // Python code: outside the borrow, and the cell is read again afterwards.
                Ref cell_styles = st.cell_styles.clone();
                borrow.reset();
                QF_TRY(stored_style(cell_styles.get(), e.style, styles));
                continue;
            }
            style = &found->second;
        }
        const store::Kept* kept = st.c.kept.find(*here, kept_hint_);
        if (kept && kept->obj != store::NO_OBJ) {
            // Kept attributes, runs or an unusual result: the cell object's to write.
            borrow.reset();
            return materialize_and_write(store_obj, version, key, *here);
        }
        const bool styled = style && style->styled;
        // A loaded cell without a value is written even in the default format, so that it does
        // not take its row's or column's.
        if (!style && (e.tag == store::NONE || (e.tag == store::OBJ && st.objs[e.payload].get() == Py_None))) {
            return {};
        }
        const bool other_type = e.dtype >= store::FIXED_DTYPES;
        Ref extra = other_type ? st.extra_dtypes[e.dtype - store::FIXED_DTYPES].clone() : Ref{};
        std::optional<std::string_view> dtype;
        if (!other_type) {
            dtype = DTYPE_NAMES[e.dtype];
        } else if (PyUnicode_Check(extra.get())) {
            dtype = utf8_of(extra.get());
        }
        if (e.col < 1 || e.col > MAX_COLUMN || (styled && !style->writable) || !dtype ||
            forbidden_char(*dtype) != std::string_view::npos) {
            borrow.reset();
            return materialize_and_write(store_obj, version, key, *here);
        }
        CellXml xml{e.row, e.col, std::nullopt, t_of(*dtype), Body::EMPTY, {}, {}};
        if (styled) xml.s = style->text;
        std::optional<CachedResult> cached;
        if (kept && *dtype == "f") {
            cached = CachedResult{store::cached_t_text(kept->cached_type), st.c.text_of(kept->cached)};
        }
        if (e.tag == store::SST && *dtype == "s" && st.keep_cells) {
            // Unchanged since loading: its item of the shared string table, which the saved
            // workbook keeps as it was (emit without a hyperlink runs no Python code).
            char digits[utils::NUM_MAX];
            xml.t = "s";
            xml.body = Body::VALUE;
            xml.text = std::string_view(digits, utils::write_num_int(digits, static_cast<std::int64_t>(e.payload)));
            return emit_xml(xml, nullptr);
        }

        // Values that need no Python object, written under the borrow (emit without a
        // hyperlink runs no Python code).
        Value value;
        char number[utils::NUM_MAX];
        bool native = true;
        if (*dtype == "d") {
            native = false;
            if ((e.tag == store::DATE_INT || e.tag == store::DATE_FLOAT) && epoch_ && !iso_dates_) {
                const auto parts = store::excel_date(st, *here);
                const auto serial = parts ? to_serial(*epoch_, *parts) : std::nullopt;
                if (serial) {
                    value = Value{Value::NUMBER, std::string_view(number, utils::write_num_float(number, *serial))};
                    xml.t = "n";
                    native = true;
                }
            }
        } else {
            switch (e.tag) {
                case store::NONE:
                    break;
                case store::INT:
                    value = Value{Value::NUMBER, std::string_view(number, utils::write_num_int(
                                                                              number, static_cast<std::int64_t>(e.payload)))};
                    break;
                case store::FLOAT: {
                    const double x = std::bit_cast<double>(e.payload);
                    const char* end = std::isfinite(x) ? utils::write_num_float(number, x) : number;
                    value = Value{Value::NUMBER, std::string_view(number, end)};
                    break;
                }
                case store::BOOL:
                    value = Value{Value::NUMBER, e.payload ? "1" : "0"};
                    break;
                case store::TEXT:
                    value = Value{Value::TEXT, st.c.text_of(e.payload)};
                    break;
                case store::SHARED:
                case store::SHARED_OWN: {
                    scratch_.clear();
                    std::optional<formula::Cell> dest;
                    if (e.tag == store::SHARED) dest = formula::Cell{e.row, e.col};
                    native = st.shared && st.shared->render_into(static_cast<std::uint32_t>(e.payload), dest, scratch_);
                    value = Value{Value::TEXT, scratch_};
                    break;
                }
                case store::TEMPLATE:
                    scratch_.clear();
                    native = e.payload < st.templates.size() &&
                             st.templates[static_cast<std::uint32_t>(e.payload)].render_into(e.row, e.col, scratch_);
                    value = Value{Value::TEXT, scratch_};
                    break;
                default:
                    native = false;  // shared strings, dates and objects: their Python value decides
            }
        }
        if (native) {
            QF_TRY_SET(const bool written, emit(xml, *dtype, value, nullptr, cached ? &*cached : nullptr));
            if (written) return {};
            borrow.reset();
            return materialize_and_write(store_obj, version, key, *here);
        }

        Ref obj = store::value_obj(st, *here);
        if (!obj) return std::unexpected(source_error());
        // The kept result's text lives in the store: copied before Python code may change it.
        std::string cached_text;
        if (cached) {
            cached_text.assign(cached->v);
            cached->v = cached_text;
        }
        borrow.reset();
        Ref pair;
        PyObject* to_write = obj.get();
        if (*dtype == "d") {
            QF_TRY_SET(pair, call(date_value_raw_.get(), {ws_.get(), obj.get()}));
            QF_TRY_SET(const bool iso, date_pair(pair.get(), "date_value_raw"));
            if (!iso) xml.t = "n";
            to_write = PyTuple_GET_ITEM(pair.get(), 1);
        }
        Classified c;
        classify(to_write, c);
        if (!c.other) {
            QF_TRY_SET(const bool written, emit(xml, *dtype, c.value, nullptr, cached ? &*cached : nullptr));
            if (written) return {};
        }
        return materialize_and_write(store_obj, version, key, *here);
    }
}

}  // namespace qf::writer
