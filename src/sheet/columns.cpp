// Columns of a batch of rows (see columns.hpp).
#include "sheet/columns.hpp"

#include "core/frame.hpp"
#include "dates_py.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qf::sheet {
namespace {

using enum ColumnBatch::Class;
using Value = ColumnBatch::Value;

enum class Kind { Empty, Int, Float, Bool, DateTime, Text, Object };

// The kind of a column from the classes of its values, as the package types a batch of values.
Kind kind_of(std::uint8_t classes) {
    switch (classes & ~NONE) {
        case 0: return Kind::Empty;
        case INT: return Kind::Int;
        case FLOAT:
        case INT | FLOAT: return Kind::Float;
        case BOOL: return Kind::Bool;
        case DATETIME: return Kind::DateTime;
        case TEXT: return Kind::Text;
        default: return Kind::Object;
    }
}

// Whether values of these classes are of several Python types, as the package types a batch (a
// wide int is an int there, and what only Python can say may be of one type throughout).
bool of_several_types(std::uint8_t classes) {
    if (classes & OTHER) return false;
    const int numbers = (classes & (INT | FLOAT | WIDE_INT)) != 0;
    return numbers + ((classes & BOOL) != 0) + ((classes & DATETIME) != 0) + ((classes & TEXT) != 0) > 1;
}

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::Int: return "int";
        case Kind::Float: return "float";
        case Kind::Bool: return "bool";
        case Kind::DateTime: return "datetime";
        case Kind::Text: return "text";
        default: return "object";
    }
}

// A parsed cell's value; false with an exception set when its object cannot be made.
bool value_of(const SheetState& st, const Val& v, Value& out) {
    switch (v.index()) {
        case 0: return true;
        case 1: out = ColumnBatch::of_int(std::get<1>(v)); return true;
        case 2: out = ColumnBatch::of_float(std::get<2>(v)); return true;
        case 3: out = ColumnBatch::of_bool(std::get<3>(v)); return true;
        case 7:
        case 8: {
            const Epoch& epoch = *st.settings.epoch;
            auto date = v.index() == 7 ? ColumnBatch::of_date(epoch, std::get<7>(v).serial)
                                       : ColumnBatch::of_date(epoch, std::get<8>(v).serial);
            if (!date) break;  // a time of day
            out = std::move(*date);
            return true;
        }
        case 9: out = ColumnBatch::of_object(std::get<9>(v).clone()); return true;
        default: break;
    }
    // Text, and what only Python can say (rich text, shared formulas, times): the object itself.
    Ref obj = val_to_py(st, v);
    if (!obj) return false;
    out = ColumnBatch::of_object(std::move(obj));
    return true;
}

bool has_value(const Val& v) {
    const Ref* obj = std::get_if<Ref>(&v);
    return v.index() != 0 && !(obj && obj->get() == Py_None);
}

// The Python object of a typed value (`bits` of class `cls`), for a column of objects.
Ref object_of(std::uint8_t cls, std::int64_t bits) {
    switch (cls) {
        case FLOAT: return Ref::steal(PyFloat_FromDouble(std::bit_cast<double>(bits)));
        case BOOL: return Ref::borrow(bits ? Py_True : Py_False);
        case DATETIME: return date_parts_to_py(DateParts{unix_micros_date_time(bits)});
        default: return Ref::steal(PyLong_FromLongLong(bits));
    }
}

// The cells of a row that its value tuple shows, in column order: up to the row's last cell in
// the document, the later of two cells in one column.
void winning_cells(const RowItem& row, std::vector<const CellRec*>& out) {
    out.clear();
    if (row.cells.empty()) return;
    const std::int64_t upper = row.cells.back().col;
    bool ordered = true;
    std::int64_t last = 0;
    for (const CellRec& c : row.cells) {
        if (c.col <= last) ordered = false;
        last = c.col;
        if (c.col >= 1 && c.col <= upper) out.push_back(&c);
    }
    if (ordered) return;
    std::stable_sort(out.begin(), out.end(), [](const CellRec* a, const CellRec* b) { return a->col < b->col; });
    // Of equal columns the one later in the document wins: keep the last of each run.
    auto kept = out.begin();
    for (auto it = out.begin(); it != out.end(); ++it) {
        if (std::next(it) != out.end() && (*std::next(it))->col == (*it)->col) continue;
        *kept++ = *it;
    }
    out.erase(kept, out.end());
}

// A list of `height` Nones.
Ref none_list(Py_ssize_t height) {
    Ref list = Ref::steal(PyList_New(height));
    if (!list) return {};
    for (Py_ssize_t i = 0; i < height; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(Py_None));
    return list;
}

void set_item(PyObject* list, Py_ssize_t at, Ref obj) {
    PyObject* old = PyList_GET_ITEM(list, at);
    PyList_SET_ITEM(list, at, obj.release());
    Py_DECREF(old);
}

// A bytearray with a byte per value, 1 where `marked` holds.
template <class Marked>
Ref marks(const std::vector<std::uint8_t>& cls, Marked&& marked) {
    Ref out = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(cls.size())));
    if (!out) return {};
    char* at = PyByteArray_AS_STRING(out.get());
    for (std::uint8_t c : cls) *at++ = marked(c) ? 1 : 0;
    return out;
}

}  // namespace

void ColumnBatch::Column::pad(std::size_t rows) {
    bits.resize(rows);
    cls.resize(rows, NONE);
}

ColumnBatch::Value ColumnBatch::of_int(std::int64_t i) noexcept {
    constexpr std::int64_t EXACT = std::int64_t{1} << 53;  // every int up to this is a double
    return Value{0, i >= -EXACT && i <= EXACT ? INT : WIDE_INT, i, {}};
}

ColumnBatch::Value ColumnBatch::of_float(double d) noexcept {
    return Value{0, FLOAT, std::bit_cast<std::int64_t>(d), {}};
}

ColumnBatch::Value ColumnBatch::of_bool(bool b) noexcept { return Value{0, BOOL, b, {}}; }

std::optional<ColumnBatch::Value> ColumnBatch::of_date(const Epoch& epoch, std::int64_t serial) noexcept {
    const auto micros = excel_int_unix_micros(epoch, serial);
    if (!micros) return std::nullopt;
    return Value{0, DATETIME, *micros, {}};
}

std::optional<ColumnBatch::Value> ColumnBatch::of_date(const Epoch& epoch, double serial) noexcept {
    const auto micros = excel_float_unix_micros(epoch, serial);
    if (!micros) return std::nullopt;
    return Value{0, DATETIME, *micros, {}};
}

ColumnBatch::Value ColumnBatch::of_object(Ref obj) noexcept {
    PyObject* o = obj.get();
    if (o == Py_None) return Value{};
    if (PyFloat_CheckExact(o)) return Value{0, FLOAT, std::bit_cast<std::int64_t>(PyFloat_AS_DOUBLE(o)), std::move(obj)};
    return Value{0, PyUnicode_CheckExact(o) ? TEXT : OTHER, 0, std::move(obj)};
}

void ColumnBatch::start_row(std::int64_t row) {
    // Rows missing from the part or without values lie between this row and the last one kept;
    // a row number that goes back, or past the last row of a sheet (a damaged part), opens no
    // gap: a hostile number must not make billions of rows.
    constexpr std::int64_t LAST_ROW = 1048576;
    if (rows_.blank && last_row_ > 0 && row > last_row_ + 1 && row <= LAST_ROW) height_ += row - last_row_ - 1;
    if (!first_row_) first_row_ = row;
    last_row_ = row;
}

bool ColumnBatch::add_row(const SheetState& st, const RowItem& row) {
    if (!keeps(row.row)) return true;
    winning_cells(row, cells_);
    if (std::none_of(cells_.begin(), cells_.end(), [](const CellRec* c) { return has_value(c->value); }))
        return true;
    start_row(row.row);
    widen(cells_.back()->col);
    for (const CellRec* c : cells_) {
        Value value;
        if (!value_of(st, c->value, value)) return false;  // the batch is given up
        value.col = c->col;
        put(std::move(value));
    }
    ++height_;
    return true;
}

void ColumnBatch::add_values(std::vector<Value>& values, std::int64_t width, std::int64_t row) {
    if (!keeps(row) || std::all_of(values.begin(), values.end(), [](const Value& v) { return v.cls == NONE; }))
        return;
    start_row(row);
    widen(width);
    for (Value& value : values) put(std::move(value));
    ++height_;
}

void ColumnBatch::widen(std::int64_t width) {
    if (static_cast<std::size_t>(width) > columns_.size()) columns_.resize(static_cast<std::size_t>(width));
}

void ColumnBatch::put(Value&& value) {
    if (value.cls == NONE) return;
    Column& column = columns_[static_cast<std::size_t>(value.col - 1)];
    column.pad(static_cast<std::size_t>(height_));
    column.bits.push_back(value.bits);
    column.cls.push_back(value.cls);
    column.classes |= value.cls;
    ++column.present;
    if (value.obj) column.objects.emplace_back(static_cast<std::uint32_t>(height_), std::move(value.obj));
}

Ref ColumnBatch::mixed_chunk(Column& column) {
    const auto rows = static_cast<Py_ssize_t>(column.cls.size());
    Ref bits = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(column.bits.data()), rows * 8));
    Ref classes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(column.cls.data()), rows));
    Ref objects = none_list(rows);
    if (!bits || !classes || !objects) return {};
    for (auto& [row, obj] : column.objects) set_item(objects.get(), static_cast<Py_ssize_t>(row), std::move(obj));
    return Ref::steal(Py_BuildValue("(s(OOO)OO)", "mixed", bits.get(), classes.get(), objects.get(), Py_None, Py_None));
}

Ref ColumnBatch::chunk(Column& column) {
    const Kind kind = kind_of(column.classes);
    if (kind == Kind::Empty) return Ref::borrow(Py_None);
    column.pad(static_cast<std::size_t>(height_));
    if (kind == Kind::Object && rows_.mixed && of_several_types(column.classes)) return mixed_chunk(column);
    Ref data, nulls, ints;
    if (column.present < height_ && kind != Kind::Object) {
        nulls = marks(column.cls, [](std::uint8_t c) { return c == NONE; });
        if (!nulls) return {};
    }
    if (kind == Kind::Text || kind == Kind::Object) {
        data = none_list(height_);
        if (!data) return {};
        auto next = column.objects.begin();
        for (Py_ssize_t row = 0; row < height_; ++row) {
            const std::uint8_t cls = column.cls[static_cast<std::size_t>(row)];
            if (cls == NONE) continue;
            Ref obj;
            if (next != column.objects.end() && Py_ssize_t{next->first} == row) {
                obj = std::move(next++->second);
            } else {
                obj = object_of(cls, column.bits[static_cast<std::size_t>(row)]);  // only in object columns
                if (!obj) return {};
            }
            set_item(data.get(), row, std::move(obj));
        }
    } else if (kind == Kind::Bool) {
        data = Ref::steal(PyBytes_FromStringAndSize(nullptr, height_));
        if (!data) return {};
        char* out = PyBytes_AS_STRING(data.get());
        for (std::int64_t bits : column.bits) *out++ = static_cast<char>(bits != 0);
    } else {
        data = Ref::steal(PyBytes_FromStringAndSize(nullptr, height_ * 8));
        if (!data) return {};
        char* out = PyBytes_AS_STRING(data.get());
        if (kind == Kind::Float && (column.classes & INT)) {
            // A column of floats marks the values that were ints, so that they come back as ints
            // should the column later turn out to hold objects.
            ints = marks(column.cls, [](std::uint8_t c) { return c == INT; });
            if (!ints) return {};
            for (std::size_t row = 0; row < column.bits.size(); ++row) {
                if (column.cls[row] == INT)
                    column.bits[row] = std::bit_cast<std::int64_t>(static_cast<double>(column.bits[row]));
            }
        }
        std::memcpy(out, column.bits.data(), column.bits.size() * 8);
    }
    return Ref::steal(Py_BuildValue("(sOOO)", kind_name(kind), data.get(), nulls ? nulls.get() : Py_None,
                                    ints ? ints.get() : Py_None));
}

Ref ColumnBatch::take() {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(columns_.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        Ref chunk = this->chunk(columns_[i]);
        if (!chunk) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), chunk.release());
    }
    columns_.clear();
    height_ = 0;
    first_row_ = last_row_ = 0;
    return list;
}

Ref mixed_values(PyObject* bits, PyObject* classes, PyObject* objects) {
    if (!PyBytes_Check(bits) || !PyBytes_Check(classes) || !PyList_Check(objects) ||
        PyBytes_GET_SIZE(bits) != PyBytes_GET_SIZE(classes) * 8 || PyList_GET_SIZE(objects) != PyBytes_GET_SIZE(classes)) {
        PyErr_SetString(PyExc_TypeError, "mixed_values(): a mixed chunk's (bits, classes, objects)");
        return {};
    }
    const Py_ssize_t rows = PyBytes_GET_SIZE(classes);
    Ref out = none_list(rows);
    if (!out) return {};
    const char* raw = PyBytes_AS_STRING(bits);
    for (Py_ssize_t i = 0; i < rows; ++i) {
        const auto cls = static_cast<std::uint8_t>(PyBytes_AS_STRING(classes)[i]);
        if (cls == NONE) continue;
        Ref obj = Ref::borrow(PyList_GET_ITEM(objects, i));
        if (obj.get() == Py_None) {
            std::int64_t value;
            std::memcpy(&value, raw + i * 8, 8);
            obj = object_of(cls, value);  // an int, wide or not, by default
            if (!obj) return {};
        }
        set_item(out.get(), i, std::move(obj));
    }
    return out;
}

bool rows_args(const char* fname, PyObject* min_row, PyObject* blank_rows, PyObject* mixed, ColumnBatch::Rows& out) {
    if (min_row && !arg_int64(fname, "min_row", min_row, out.min_row)) return false;
    if (mixed) {
        const int on = PyObject_IsTrue(mixed);
        if (on < 0) return false;
        out.mixed = on != 0;
    }
    if (blank_rows) {
        const int blank = PyObject_IsTrue(blank_rows);
        if (blank < 0) return false;
        out.blank = blank != 0;
    }
    return true;
}

}  // namespace qf::sheet
