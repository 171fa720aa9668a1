// Cell interpretation (see cell.hpp).
#include "sheet/cell.hpp"

#include "core/frame.hpp"
#include "dates_py.hpp"
#include "formula/pyerror.hpp"
#include "utils/utils.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace qf::sheet {

Ref py_str(std::string_view s) noexcept {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

namespace {

constexpr const char* STRING_INDEX = "shared string index out of range";

XmlError raised() { return source_error(); }

template <class T>
std::unexpected<XmlError> fail() { return std::unexpected(raised()); }

// A number read from an "n" cell: native int, native float, or whatever Python made of it.
struct Number {
    enum Kind : std::uint8_t { Int, Float, Py } kind;
    std::int64_t i = 0;
    double f = 0;
    Ref py;

    Ref to_py() const noexcept {
        switch (kind) {
            case Int: return Ref::steal(PyLong_FromLongLong(i));
            case Float: return Ref::steal(PyFloat_FromDouble(f));
            case Py: return py.clone();
        }
        return Ref{};
    }
};

// A number the float helper made: a float kept natively, anything else as Python made it.
Number from_float_helper(Ref obj) {
    if (PyFloat_CheckExact(obj.get())) return Number{Number::Float, 0, PyFloat_AS_DOUBLE(obj.get()), {}};
    return Number{Number::Py, 0, 0, std::move(obj)};
}

XmlResult<Number> parse_number(const Helpers& h, std::string_view text) {
    // PERF NOTE: the common integer first, in one pass; only a text it refuses is searched.
    if (auto v = native_int(text)) return Number{Number::Int, *v, 0, {}};
    // PERF NOTE: the common float next, in one pass; only a text both refuse is searched.
    if (auto value = utils::decimal_double(text)) return Number{Number::Float, 0, *value, {}};
    // A loop of its own; find_first_of searched the set once per character.
    const bool float_like = std::ranges::any_of(text, [](char c) { return c == '.' || c == 'e' || c == 'E'; });
    if (!float_like) {
        QF_TRY_SET(Ref obj, py_call1(h.int_.get(), text));
        if (PyLong_Check(obj.get())) {
            int overflow = 0;
            (void)PyLong_AsLongLongAndOverflow(obj.get(), &overflow);
            if (overflow) {
                // gh-24: beyond 64 bits a number is what spreadsheet programs read, the nearest
                // double; an int that long could not be assigned back to a cell.
                QF_TRY_SET(Ref number, py_call1(h.float_.get(), text));
                return from_float_helper(std::move(number));
            }
        }
        return Number{Number::Py, 0, 0, std::move(obj)};
    }
    // Other forms (inf, nan, underscores, spaces), overflow and underflow are left to float(),
    // which knows what Python makes of them.
    QF_TRY_SET(Ref obj, py_call1(h.float_.get(), text));
    return from_float_helper(std::move(obj));
}

// Where a typed value goes: the record's own value and data type, or (a formula cell whose
// cached value is kept) the cached value and a data type nobody reads. PERF NOTE: written in
// place; a typed value returned by value went through memory twice more on every cell. Passed
// by reference: a copy on the stack was stored in halves and loaded whole, which stalled.
struct Typed {
    Val& value;
    DType& dtype;
    std::optional<std::uint32_t>* sst;  // null, or where a shared string looked up through Python leaves its index

    // The value assigned as its own alternative: no Val made and moved on the way.
    template <class T>
    XmlResult<void> set(T&& v, DType d) const {
        value = std::forward<T>(v);
        dtype = std::move(d);
        return {};
    }
};

DType code(std::uint8_t c) { return DType{c, {}}; }

XmlResult<DType> py_dtype(std::string_view text) {
    Ref s = py_str(text);
    if (!s) return fail<DType>();
    return DType{DT_N, std::move(s)};
}

// The package's warning for a date-styled number that is no date, unless the cell is a formula.
XmlResult<void> warn_date(SheetState& st, const CellBufs& b, const Number& n, bool is_formula, bool leap_day) {
    Ref where = b.has_r ? py_str(b.r) : Ref::borrow(Py_None);
    if (!where) return std::unexpected(source_error());
    Ref number = n.to_py();
    if (!number) return std::unexpected(source_error());
    Ref message = Ref::steal(leap_day ? PyObject_CallFunctionObjArgs(st.helpers.date_warning.get(), where.get(),
                                                                     number.get(), Py_True, nullptr)
                                      : PyObject_CallFunctionObjArgs(st.helpers.date_warning.get(), where.get(),
                                                                     number.get(), nullptr));
    if (!message) return std::unexpected(source_error());
    if (!is_formula) {
        Ref warn = Ref::steal(PyUnicode_InternFromString("warn"));
        if (!warn) return std::unexpected(source_error());
        Ref action = Ref::steal(PyTuple_Pack(2, warn.get(), message.get()));
        if (!action || PyList_Append(st.actions.get(), action.get()) < 0) return std::unexpected(source_error());
    }
    return {};
}

// "#VALUE!" for a date-styled number beyond the limits of dates, with the package's warning.
XmlResult<void> date_warning(SheetState& st, const CellBufs& b, const Number& n, bool is_formula, const Typed& out) {
    QF_TRY(warn_date(st, b, n, is_formula, false));
    return out.set(std::string("#VALUE!"), code(DT_E));
}

// 1900-02-29, which the 1900 system counts (serial 60) but which did not exist: no date holds
// it, so the cell keeps its number (as the package's from_excel gives it back), with a warning.
XmlResult<void> leap_day(SheetState& st, const CellBufs& b, Number n, bool is_formula, const Typed& out) {
    QF_TRY(warn_date(st, b, n, is_formula, true));
    switch (n.kind) {
        case Number::Int: return out.set(n.i, code(DT_N));
        case Number::Float: return out.set(n.f, code(DT_N));
        case Number::Py: break;
    }
    return out.set(std::move(n.py), code(DT_N));
}

bool is_leap_day(const Epoch& epoch, const Number& n) noexcept {
    if (!epoch.windows_1900) return false;
    return n.kind == Number::Int ? n.i == 60 : n.kind == Number::Float && n.f >= 60 && n.f < 61;
}

XmlResult<void> to_date(SheetState& st, const CellBufs& b, const StyleId& style, Number n, bool is_formula,
                        const Typed& out) {
    const Settings& s = st.settings;
    const bool td = s.timedelta_formats.contains(style.id);
    const bool shows_date = !s.time_formats.contains(style.id);
    // In an epoch whose day 0 exists (not the 1900 system), a serial below 1 in a cell that
    // shows a date is that day: from_excel decides.
    const bool day_zero = s.epoch && !s.epoch->windows_1900 && shows_date &&
                          (n.kind == Number::Int ? n.i == 0 : n.kind == Number::Float && n.f >= 0 && n.f < 1);
    if (td || !s.epoch || n.kind == Number::Py || day_zero) {
        Ref number = n.to_py();
        if (!number) return fail<void>();
        Ref args = Ref::steal(PyTuple_Pack(2, number.get(), s.epoch_obj.get()));
        if (!args) return fail<void>();
        Ref kwargs = Ref::steal(Py_BuildValue("{s:O,s:O}", "timedelta", td ? Py_True : Py_False, "shows_date",
                                              shows_date ? Py_True : Py_False));
        if (!kwargs) return fail<void>();
        Ref result = Ref::steal(PyObject_Call(st.helpers.from_excel.get(), args.get(), kwargs.get()));
        if (result) {
            if (PyLong_Check(result.get()) || PyFloat_Check(result.get()))
                return leap_day(st, b, std::move(n), is_formula, out);
            return out.set(std::move(result), code(DT_D));
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_ValueError))
            return fail<void>();
        PyErr_Clear();
        return date_warning(st, b, n, is_formula, out);
    }
    if (is_leap_day(*s.epoch, n)) return leap_day(st, b, std::move(n), is_formula, out);
    const bool in_range = n.kind == Number::Int ? excel_int_in_range(*s.epoch, n.i)
                                                : excel_float_in_range(*s.epoch, n.f);
    if (!in_range) return date_warning(st, b, n, is_formula, out);
    if (n.kind == Number::Int) return out.set(DateIntV{n.i}, code(DT_D));
    return out.set(DateFloatV{n.f}, code(DT_D));
}

XmlResult<void> typed_value(SheetState& st, CellBufs& b, std::string_view dtype, const StyleId& style,
                            std::optional<Val>& inline_val, bool is_formula, const Typed& out) {
    const Helpers& h = st.helpers;
    const bool has_text = dtype != "inlineStr" && !b.v.empty();
    if (!has_text) {
        if (dtype.size() == 1) {
            switch (dtype[0]) {
                case 'n': return out.set(std::monostate{}, code(DT_N));
                case 's': return out.set(std::monostate{}, code(DT_S));
                case 'f': return out.set(std::monostate{}, code(DT_F));
                case 'b': return out.set(std::monostate{}, code(DT_B));
                case 'e': return out.set(std::monostate{}, code(DT_E));
                case 'd': return out.set(std::monostate{}, code(DT_D));
                default: break;
            }
        }
        if (dtype == "inlineStr") {
            if (inline_val) return out.set(std::move(*inline_val), code(DT_S));
            return out.set(std::monostate{}, code(DT_INLINE));
        }
        QF_TRY_SET(DType d, py_dtype(dtype));
        return out.set(std::monostate{}, std::move(d));
    }
    // PERF NOTE: a view, so the buffer keeps its capacity for the next cell (number texts are
    // often longer than a short string holds inline).
    const std::string_view text = b.v;
    if (dtype == "n") {
        QF_TRY_SET(Number n, parse_number(h, text));
        const Settings& s = st.settings;
        if (!s.date_formats.empty() && !style.obj && s.date_formats.contains(style.id))
            return to_date(st, b, style, std::move(n), is_formula, out);
        switch (n.kind) {
            case Number::Int: return out.set(n.i, code(DT_N));
            case Number::Float: return out.set(n.f, code(DT_N));
            case Number::Py: return out.set(std::move(n.py), code(DT_N));
        }
    }
    if (dtype == "s") {
        const auto idx = native_int(text);
        if (idx && *idx >= 0 && static_cast<std::uint64_t>(*idx) < st.settings.shared_strings_len)
            return out.set(SharedStringV{static_cast<std::uint32_t>(*idx)}, code(DT_S));
        // An index out of range falls back: the pure-Python path reports it, with the cell. A
        // negative one is out of range too, not counted from the end as item access counts.
        if (idx && *idx < 0) return std::unexpected(XmlError::unsupported(STRING_INDEX));
        QF_TRY_SET(Ref index, py_int(h, text));
        if (PyLong_Check(index.get()) && PyLong_IsNegative(index.get()) == 1)
            return std::unexpected(XmlError::unsupported(STRING_INDEX));
        Ref item = Ref::steal(PyObject_GetItem(st.settings.shared_strings.get(), index.get()));
        if (!item) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) return fail<void>();
            PyErr_Clear();
            return std::unexpected(XmlError::unsupported(STRING_INDEX));
        }
        int overflow = 0;
        const long long i = PyLong_Check(index.get()) ? PyLong_AsLongLongAndOverflow(index.get(), &overflow) : -1;
        if (i == -1 && PyErr_Occurred()) return fail<void>();
        if (out.sst && !overflow && i >= 0 && i <= 0xFFFFFFFFLL) *out.sst = static_cast<std::uint32_t>(i);
        return out.set(std::move(item), code(DT_S));
    }
    if (dtype == "b") {
        if (auto v = native_int(text)) return out.set(*v != 0, code(DT_B));
        QF_TRY_SET(Ref obj, py_int(h, text));
        const int truth = PyObject_IsTrue(obj.get());
        if (truth < 0) return fail<void>();
        return out.set(truth == 1, code(DT_B));
    }
    if (dtype == "d") {
        QF_TRY_SET(Ref obj, py_call1(h.from_iso8601.get(), text));
        return out.set(std::move(obj), code(DT_D));
    }
    if (dtype == "e") return out.set(std::string(text), code(DT_E));
    if (dtype == "f") return out.set(std::string(text), code(DT_F));
    if (dtype == "str") return out.set(std::string(text), code(DT_S));
    QF_TRY_SET(DType d, py_dtype(dtype));
    return out.set(std::string(text), std::move(d));
}

XmlResult<Val> shared_formula(SheetState& st, const CellBufs& b, std::string text, formula::Cell pos) {
    const Helpers& h = st.helpers;
    std::optional<std::uint32_t> found;
    if (b.has_f_si) {
        auto it = st.masters_by_si.find(std::string(b.f_si));
        if (it != st.masters_by_si.end()) found = it->second;
    } else {
        found = st.anon_master;
    }
    const bool has_target = b.has_r && !b.r.empty();
    if (found) {
        const Shared& m = st.masters[*found];
        if (m.native) {
            const formula::Translator& tr = *m.native;
            const formula::Cell dest = has_target ? pos : formula::Cell{tr.origin_row(), tr.origin_col()};
            if (!tr.renders_plain() && !tr.shift_in_range(dest))
                return std::unexpected(formula_err(h, formula::FormulaError::out_of_range()));
            return SharedRefV{has_target ? std::optional<formula::Cell>(pos) : std::nullopt, *found};
        }
        // An empty r names no cell: rendered without a shift, as for a missing r.
        Ref dest = has_target ? py_str(b.r) : Ref::borrow(Py_None);
        if (!dest) return fail<Val>();
        Ref out = Ref::steal(PyObject_CallMethod(m.py.get(), "translate_formula", "O", dest.get()));
        if (!out) return fail<Val>();
        return Val{std::move(out)};
    }
    if (text == "=") return Val{std::move(text)};
    Shared master;
    bool native = false;
    if (b.has_r) {
        QF_TRY_SET(formula::Cell origin, coordinate(h, b.r));
        auto tr = formula::Translator::create(text, origin.row, origin.col);
        if (tr) {
            master.native = std::move(*tr);
            native = true;
        } else if (tr.error().kind != formula::FormulaErrorKind::NeedPython) {
            return std::unexpected(formula_err(h, tr.error()));
        }
    }
    if (!native) {
        Ref f = py_str(text);
        Ref r = b.has_r ? py_str(b.r) : Ref::borrow(Py_None);
        if (!f || !r) return fail<Val>();
        master.py = Ref::steal(PyObject_CallFunctionObjArgs(h.translator.get(), f.get(), r.get(), nullptr));
        if (!master.py) return fail<Val>();
    }
    const auto index = static_cast<std::uint32_t>(st.masters.size());
    st.masters.push_back(std::move(master));
    if (b.has_f_si) st.masters_by_si.insert_or_assign(std::string(b.f_si), index);
    else st.anon_master = index;
    return Val{std::move(text)};
}

XmlResult<Val> parse_formula(SheetState& st, CellBufs& b, PyObject* f_attrs, formula::Cell pos) {
    const Helpers& h = st.helpers;
    std::string text;
    text.reserve(b.f_text.size() + 1);
    text.push_back('=');
    text.append(b.f_text);
    if (!b.has_f_t) return Val{std::move(text)};
    if (b.f_t == "array") {
        Ref ref = b.has_f_ref ? py_str(b.f_ref) : Ref::borrow(Py_None);
        Ref t = py_str(text);
        if (!ref || !t) return fail<Val>();
        Ref kwargs = Ref::steal(Py_BuildValue("{s:O,s:O}", "ref", ref.get(), "text", t.get()));
        if (!kwargs) return fail<Val>();
        Ref args = Ref::steal(PyTuple_New(0));
        if (!args) return fail<Val>();
        Ref obj = Ref::steal(PyObject_Call(h.array_formula.get(), args.get(), kwargs.get()));
        if (!obj) return fail<Val>();
        return Val{std::move(obj)};
    }
    if (b.f_t == "dataTable") {
        Ref kwargs = f_attrs ? Ref::borrow(f_attrs) : Ref::steal(PyDict_New());
        Ref args = Ref::steal(PyTuple_New(0));
        if (!kwargs || !args) return fail<Val>();
        Ref obj = Ref::steal(PyObject_Call(h.data_table_formula.get(), args.get(), kwargs.get()));
        if (!obj) return fail<Val>();
        return Val{std::move(obj)};
    }
    if (b.f_t == "shared") return shared_formula(st, b, std::move(text), pos);
    return Val{std::move(text)};
}

}  // namespace

XmlResult<void> SheetState::init_dt() {
    static constexpr const char* NAMES[DT_COUNT] = {"n", "s", "f", "b", "e", "d", "inlineStr"};
    for (int i = 0; i < DT_COUNT; ++i) {
        dt[i] = Ref::steal(PyUnicode_InternFromString(NAMES[i]));
        if (!dt[i]) return std::unexpected(raised());
    }
    return {};
}

XmlResult<formula::Cell> coordinate(const Helpers& h, std::string_view text) {
    if (auto c = fast_coordinate(text)) return formula::Cell{c->row, c->col};
    QF_TRY_SET(Ref result, py_call1(h.coordinate_to_tuple.get(), text));
    Ref seq = Ref::steal(PySequence_Tuple(result.get()));
    if (!seq) return fail<formula::Cell>();
    if (PyTuple_GET_SIZE(seq.get()) != 2) {
        PyErr_SetString(PyExc_ValueError, "coordinate_to_tuple must return a 2-tuple");
        return fail<formula::Cell>();
    }
    const long long row = PyLong_AsLongLong(PyTuple_GET_ITEM(seq.get(), 0));
    if (row == -1 && PyErr_Occurred()) return fail<formula::Cell>();
    const long long col = PyLong_AsLongLong(PyTuple_GET_ITEM(seq.get(), 1));
    if (col == -1 && PyErr_Occurred()) return fail<formula::Cell>();
    return formula::Cell{row, col};
}

XmlResult<StyleId> style_of_text(const Helpers& h, std::string_view text) {
    if (text.empty()) {
        Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
        if (!empty) return fail<StyleId>();
        return StyleId{0, std::move(empty)};
    }
    QF_TRY_SET(Ref obj, py_call1(h.int_.get(), text));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return fail<StyleId>();
    if (overflow) return StyleId{0, std::move(obj)};
    return StyleId{v, {}};
}

XmlResult<Ref> py_int(const Helpers& h, std::string_view text) {
    if (auto v = native_int(text)) {
        Ref obj = Ref::steal(PyLong_FromLongLong(*v));
        if (!obj) return fail<Ref>();
        return obj;
    }
    return py_call1(h.int_.get(), text);
}

XmlResult<Ref> py_call1(PyObject* fn, std::string_view text) {
    Ref arg = py_str(text);
    if (!arg) return fail<Ref>();
    Ref out = Ref::steal(PyObject_CallOneArg(fn, arg.get()));
    if (!out) return fail<Ref>();
    return out;
}

XmlError formula_err(const Helpers& h, const formula::FormulaError& e) {
    formula::raise_formula_error(e, h.tokenizer_error.get(), h.translator_error.get());
    return raised();
}

namespace {

// The plain text of a parsed inline string, if it is one.
std::optional<std::string_view> plain_inline(const std::optional<Val>& inline_val) {
    if (!inline_val) return std::nullopt;
    if (const auto* text = std::get_if<std::string>(&*inline_val)) return std::string_view(*text);
    if (const auto* obj = std::get_if<Ref>(&*inline_val); obj && *obj && PyUnicode_CheckExact(obj->get())) {
        Py_ssize_t n = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(obj->get(), &n);
        if (utf8) return std::string_view(utf8, static_cast<std::size_t>(n));
        PyErr_Clear();  // no UTF-8 form: the cell keeps no result (the package's writer refuses it)
    }
    return std::nullopt;
}

// What the cell keeps for being saved unchanged, as the package's reader keeps it.
// (The inline string is read before the typed value takes it.)
void keep_raw(const Settings& s, CellBufs& b, const std::optional<Val>& inline_val, KeptRaw& kept) {
    if (!(b.has_f && s.data_only)) kept.attrs = std::move(b.attrs);  // a dropped formula takes its own along
    // Only a formula cell's inline string is its result, not its value (taken by then).
    const bool result = b.has_f && !s.data_only;
    const auto inline_text = result && b.has_t && b.t == "inlineStr" ? plain_inline(inline_val) : std::nullopt;
    if (inline_text) {
        // An inline result is the string result it is.
        kept.cached = kept.cached_has_t = true;
        kept.cached_t.assign("str");
        kept.cached_v.assign(*inline_text);
    } else if (result && (!b.v.empty() || b.has_t)) {
        kept.cached = true;
        kept.cached_has_t = b.has_t;
        kept.cached_t.assign(b.t);
        kept.cached_v.assign(b.v);
    }
    kept.runs = std::move(b.runs);
}

XmlResult<void> interpret_into(SheetState& st, CellBufs& b, StyleId& style, std::optional<Val>& inline_val,
                               PyObject* f_attrs, CellRec& rec) {
    const Settings& s = st.settings;
    const std::string_view dtype = b.has_t ? b.t : std::string_view("n");
    if (b.has_r && !b.r.empty()) {
        // PERF NOTE: a coordinate that repeats its row's digits is read by comparing them.
        if (const auto c = fast_coordinate_in_row(b.r, st.row_digits.view(), st.row_counter)) {
            rec.row = c->row;
            rec.col = c->col;
        } else {
            QF_TRY_SET(formula::Cell pos, coordinate(st.helpers, b.r));
            rec.row = pos.row;
            rec.col = pos.col;
        }
        st.col_counter = rec.col;
    } else {
        if (st.col_counter == std::numeric_limits<std::int64_t>::max())
            return std::unexpected(XmlError::unsupported("column index"));
        rec.row = st.row_counter;
        rec.col = ++st.col_counter;
    }
    rec.is_formula = b.has_f && !s.data_only;
    std::optional<Val> formula;
    if (b.has_f && (!s.data_only || s.formula_and_value)) {
        QF_TRY_SET(formula, parse_formula(st, b, f_attrs, formula::Cell{rec.row, rec.col}));
    }
    if (s.keep_cells) keep_raw(s, b, inline_val, rec.kept);
    std::optional<std::uint32_t>* sst = s.keep_cells ? &rec.kept.sst : nullptr;
    if (rec.is_formula) {
        if (s.formula_and_value) {
            DType unused;
            QF_TRY(typed_value(st, b, dtype, style, inline_val, true, Typed{rec.cached.emplace(), unused, sst}));
        }
        rec.value = std::move(*formula);
        rec.dtype = code(DT_F);
    } else {
        QF_TRY(typed_value(st, b, dtype, style, inline_val, false, Typed{rec.value, rec.dtype, sst}));
        rec.formula = std::move(formula);
    }
    rec.style = std::move(style);
    return {};
}

}  // namespace

XmlResult<void> interpret(SheetState& st, CellBufs& b, StyleId style, std::optional<Val> inline_val,
                          PyObject* f_attrs, std::vector<CellRec>& out) {
    // PERF NOTE: built in place; a finished record is large and costly to move.
    CellRec& rec = out.emplace_back();
    auto done = interpret_into(st, b, style, inline_val, f_attrs, rec);
    if (!done) out.pop_back();
    b.v = {};
    return done;
}

Ref shared_to_py(const SheetState& st, const SharedRefV& ref) {
    const Shared& m = st.masters[ref.master];
    std::string out;
    auto ok = formula::translate_into(*m.native, ref.target, out);
    if (!ok) {
        // Raised straight into the thread state: going through formula_err would take the
        // exception out into an XmlError and drop it, leaving a SystemError in its place.
        formula::raise_formula_error(ok.error(), st.helpers.tokenizer_error.get(),
                                     st.helpers.translator_error.get());
        return Ref{};
    }
    return py_str(out);
}

Ref val_to_py(const SheetState& st, const Val& v) {
    switch (v.index()) {
        case 0: return Ref::borrow(Py_None);
        case 1: return Ref::steal(PyLong_FromLongLong(std::get<1>(v)));
        case 2: return Ref::steal(PyFloat_FromDouble(std::get<2>(v)));
        case 3: return Ref::borrow(std::get<3>(v) ? Py_True : Py_False);
        case 4: return Ref::steal(PySequence_GetItem(st.settings.shared_strings.get(),
                                                     static_cast<Py_ssize_t>(std::get<4>(v).index)));
        case 5: return py_str(std::get<5>(v));
        case 6: return shared_to_py(st, std::get<6>(v));
        case 7: {
            const std::int64_t serial = std::get<7>(v).serial;
            return st.dates.get(static_cast<std::uint64_t>(serial), false, [&] {
                return date_parts_to_py(from_excel_int(*st.settings.epoch, serial));
            });
        }
        case 8: {
            const double serial = std::get<8>(v).serial;
            return st.dates.get(std::bit_cast<std::uint64_t>(serial), true, [&] {
                return date_parts_to_py(from_excel_float(*st.settings.epoch, serial));
            });
        }
        case 9: return std::get<9>(v).clone();
    }
    return Ref{};
}

Ref dtype_to_py(const SheetState& st, const DType& d) noexcept {
    return d.py ? d.py.clone() : st.dt[d.code].clone();
}

Ref style_to_py(const StyleId& s) noexcept {
    return s.obj ? s.obj.clone() : Ref::steal(PyLong_FromLongLong(s.id));
}

}  // namespace qf::sheet
