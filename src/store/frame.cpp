// Frames appended to a loaded sheet's store (`Worksheet.append_frame`): each value of another
// library's record batches is read in place and placed as the cell that appending a row of the
// same Python values makes (ints, floats and booleans as numbers, text as text even when it
// starts with "=", date-times and dates as such with a date format, missing values as empty
// cells), without a Python object per number or text.
#include "arrow/arrow_py.hpp"
#include "core/borrow.hpp"
#include "core/frame.hpp"
#include "dates_py.hpp"
#include "formula/formula.hpp"
#include "store/store.hpp"
#include "utils/utils.hpp"
#include "xml/refs.hpp"

#include <datetime.h>

#include <bit>
#include <cmath>

namespace qf::store {
namespace {

// Indices of the fixed data types ("n", "s", "f", "b", "e", "d", "inlineStr").
constexpr std::uint8_t DT_N = 0, DT_S = 1, DT_B = 3, DT_D = 5;
constexpr std::size_t MAX_TEXT = 32767;  // characters a cell holds
// 9999-01-01, as microseconds since 1970: later moments may round past what a serial reads back
// as, which the package checks.
constexpr std::int64_t YEAR_9999 = 253370764800000000;

// Whether a cell takes `text` as it stands: UTF-8 of at most MAX_TEXT characters, none of which
// XML cannot carry. The package says why not for the rest.
bool plain_text(std::string_view text) {
    return xml::validate_chars(text).has_value() && utils::count_code_points(text) <= MAX_TEXT;
}

// What the package supplies: `check(row, column, value)` raises what appending `value` there
// raises (and returns when it is stored after all), `style_of(kind)` the style id of the date
// format of "datetime" or "date" cells; the first moment the workbook's dates hold.
struct Inputs {
    PyObject* check;
    PyObject* style_of;
    std::int64_t first_micros;
};

class Appender {
public:
    Appender(State& st, const Inputs& in) : st_(st), in_(in) {}

    // Places `value` at (row, col); false with an exception set.
    bool place(std::int64_t row, std::int64_t col, const arrow::InValue& value) {
        using arrow::InValue;
        switch (value.kind) {
            case InValue::EMPTY: put(row, col, NONE, 0, NO_STYLE, DT_N); return true;
            case InValue::INT: put(row, col, INT, static_cast<std::uint64_t>(value.i), NO_STYLE, DT_N); return true;
            case InValue::FLOAT:
                // NaN and infinities are missing values in a frame's row, as in the package's reader.
                if (!std::isfinite(value.d)) put(row, col, NONE, 0, NO_STYLE, DT_N);
                else put(row, col, FLOAT, std::bit_cast<std::uint64_t>(value.d), NO_STYLE, DT_N);
                return true;
            case InValue::BOOL: put(row, col, BOOL, value.i ? 1 : 0, NO_STYLE, DT_B); return true;
            case InValue::TEXT: return place_text(row, col, value.text);
            case InValue::DATETIME:
            case InValue::DATE: return place_date(row, col, value);
            default:
                // The stream is taken and partly read: nothing can go back to the package to
                // read it again, so this is the frame's error, as the write-only sheets' writer says.
                PyErr_Format(PyExc_ValueError, "row %lld, column %lld: a number beyond what a cell holds",
                             static_cast<long long>(row), static_cast<long long>(col));
                return false;
        }
    }

    void put(std::int64_t row, std::int64_t col, std::uint8_t tag, std::uint64_t payload, std::uint32_t style,
             std::uint8_t dtype) {
        const auto r = static_cast<std::uint32_t>(row), c = static_cast<std::uint32_t>(col);
        if (auto loc = st_.c.find_key(c, r)) {
            auto [old_value, old_kept] = st_.remove_cell(*loc);
            dropped_.push_back(std::move(old_value));
            dropped_.push_back(std::move(old_kept));
        }
        st_.c.append_entry(r, c, payload, style, tag, dtype);
    }

    // The objects the cells replaced held, dropped by the caller once the store is free again.
    std::vector<Ref>& dropped() noexcept { return dropped_; }

    // Raises what the package raises for a cell past the sheet's last row.
    void beyond(std::int64_t row) {
        if (check(row, 1, Py_None)) PyErr_SetString(PyExc_ValueError, "a row beyond the last of a sheet");
    }

private:
    bool place_text(std::int64_t row, std::int64_t col, std::string_view text) {
        if (auto ref = plain_text(text) ? st_.c.store_text(text) : std::nullopt) {
            put(row, col, TEXT, *ref, NO_STYLE, DT_S);
            return true;
        }
        // Not UTF-8 (the decoding error), or what the package checks: text that starts with "="
        // stays text, as the package keeps it, unchecked.
        Ref str = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
        if (!str) return false;
        const bool formula_like = text.size() > 1 && text[0] == '=';
        if (!formula_like && !check(row, col, str.get())) return false;
        put(row, col, OBJ, st_.put_obj(std::move(str)), NO_STYLE, DT_S);
        return true;
    }

    bool place_date(std::int64_t row, std::int64_t col, const arrow::InValue& value) {
        const bool whole = value.kind == arrow::InValue::DATE;
        Ref obj = date_obj(value.i, whole);
        if (!obj) return false;
        if ((value.i < in_.first_micros || value.i >= YEAR_9999) && !check(row, col, obj.get())) return false;
        std::optional<std::uint32_t>& style = whole ? date_style_ : datetime_style_;
        if (!style) {
            Ref kind = Ref::steal(PyUnicode_FromString(whole ? "date" : "datetime"));
            if (!kind) return false;
            Ref id = Ref::steal(PyObject_CallOneArg(in_.style_of, kind.get()));
            if (!id) return false;
            const unsigned long v = PyLong_AsUnsignedLong(id.get());
            if (PyErr_Occurred()) return false;
            if (v >= NO_STYLE) {
                PyErr_SetString(PyExc_ValueError, "_append_frame(): style_of() gave a style id out of range");
                return false;
            }
            style = static_cast<std::uint32_t>(v);
        }
        put(row, col, OBJ, st_.put_obj(std::move(obj)), *style, DT_D);
        return true;
    }

    // A naive datetime.datetime, or a datetime.date for a whole-day date value.
    static Ref date_obj(std::int64_t micros, bool whole) {
        const DateTime dt = unix_micros_date_time(micros);
        if (!whole) return date_parts_to_py(DateParts{dt});
        if (!PyDateTimeAPI) {
            PyDateTime_IMPORT;
            if (!PyDateTimeAPI) return {};
        }
        return Ref::steal(PyDate_FromDate(dt.year, dt.month, dt.day));
    }

    bool check(std::int64_t row, std::int64_t col, PyObject* value) {
        Ref r = Ref::steal(PyLong_FromLongLong(row));
        Ref c = Ref::steal(PyLong_FromLongLong(col));
        if (!r || !c) return false;
        Ref done = Ref::steal(PyObject_CallFunctionObjArgs(in_.check, r.get(), c.get(), value, nullptr));
        return static_cast<bool>(done);
    }

    State& st_;
    const Inputs& in_;
    std::optional<std::uint32_t> date_style_, datetime_style_;
    std::vector<Ref> dropped_;
};

// Appends the frame's names (with `header`) and rows from `first_row` on; the rows taken, or an
// error (the exception set). Cells placed before an error stay for the caller to remove.
std::optional<std::int64_t> append_rows(Appender& out, arrow::StreamReader& frame, std::int64_t first_row,
                                        bool header) {
    const auto& names = frame.names();
    const auto width = static_cast<std::int64_t>(names.size());
    std::int64_t row = first_row;
    if (header) {
        if (row > formula::MAX_SHEET_ROW) {
            out.beyond(row);
            return std::nullopt;
        }
        for (std::int64_t c = 0; c < width; ++c) {
            arrow::InValue name;
            name.kind = arrow::InValue::TEXT;
            name.text = names[static_cast<std::size_t>(c)];
            if (!out.place(row, c + 1, name)) return std::nullopt;
        }
        ++row;
    }
    while (true) {
        auto more = frame.next();
        if (!more) {
            PyErr_Format(PyExc_RuntimeError, "the frame's stream failed: %s", more.error().message.c_str());
            return std::nullopt;
        }
        if (!*more) break;
        for (std::int64_t r = 0; r < frame.rows(); ++r, ++row) {
            if (row > formula::MAX_SHEET_ROW) {
                out.beyond(row);
                return std::nullopt;
            }
            for (std::int64_t c = 0; c < width; ++c) {
                if (!out.place(row, c + 1, frame.value(static_cast<std::size_t>(c), r))) return std::nullopt;
            }
        }
    }
    return row - first_row;
}

}  // namespace

// _append_frame(stream, first_row, header, check, style_of, first_micros) -> rows
PyObject* CellStore_append_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[6];
        if (!parse_args("_append_frame", args, nargs, kwnames,
                        {"stream", "first_row", "header", "check", "style_of", "first_micros"}, a))
            return nullptr;
        std::int64_t first_row = 0, first_micros = 0;
        if (!arg_int64("_append_frame", "first_row", a[1], first_row) ||
            !arg_int64("_append_frame", "first_micros", a[5], first_micros))
            return nullptr;
        const int header = PyObject_IsTrue(a[2]);
        if (header < 0) return nullptr;
        if (first_row < 1) {
            PyErr_SetString(PyExc_ValueError, "_append_frame(): first_row must be at least 1");
            return nullptr;
        }
        State& st = state_of(self);
        auto b = Borrow::exclusive(st.borrow);
        if (!b) return nullptr;
        if (st.dict_mode || !st.loaded()) return raise_fallback("a store that holds no compact cells");
        auto frame = arrow::read_capsule(a[0], "_append_frame");
        if (!frame) return nullptr;
        const auto width = static_cast<std::int64_t>(frame->names().size());
        if (width > formula::MAX_SHEET_COLUMN) {
            PyErr_Format(PyExc_ValueError, "a frame of %lld columns: a sheet has at most %lld",
                         static_cast<long long>(width), static_cast<long long>(formula::MAX_SHEET_COLUMN));
            return nullptr;
        }
        const Inputs in{a[3], a[4], first_micros};
        Appender out(st, in);
        const auto rows = append_rows(out, *frame, first_row, header != 0);
        ++st.c.version;
        b.reset();  // the replaced cells' objects are dropped with the store free again
        out.dropped().clear();
        if (!rows) return nullptr;
        return PyLong_FromLongLong(*rows);
    });
}

}  // namespace qf::store
