// Columns of a batch of rows (see columns.hpp).
#include "sheet/columns.hpp"

#include "dates_py.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qf::sheet {
namespace {

// What a cell's value is, as a bit so that a column's values can be summed up in one mask.
enum Class : std::uint8_t {
    NONE = 1,
    INT = 2,
    FLOAT = 4,
    BOOL = 8,
    DATETIME = 16,
    TEXT = 32,
    OTHER = 64,  // anything that only the Python object can say (a time, a rich string, a big int)
    // An int that a double cannot hold exactly: among floats it would change, so its column
    // goes to Python as objects.
    WIDE_INT = 128,
};

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

// A value's class, with what a typed column stores for it in `bits` and, for text and what
// only Python can say, its object; false with an exception set when the object cannot be made.
bool classify(const SheetState& st, const Val& v, std::uint8_t& cls, std::int64_t& bits, Ref& obj) {
    switch (v.index()) {
        case 0: cls = NONE; return true;
        case 1: {
            bits = std::get<1>(v);
            constexpr std::int64_t EXACT = std::int64_t{1} << 53;  // every int up to this is a double
            cls = bits >= -EXACT && bits <= EXACT ? INT : WIDE_INT;
            return true;
        }
        case 2: cls = FLOAT; bits = std::bit_cast<std::int64_t>(std::get<2>(v)); return true;
        case 3: cls = BOOL; bits = std::get<3>(v); return true;
        case 7:
        case 8: {
            const Epoch& epoch = *st.settings.epoch;
            const auto micros = v.index() == 7 ? excel_int_unix_micros(epoch, std::get<7>(v).serial)
                                               : excel_float_unix_micros(epoch, std::get<8>(v).serial);
            if (!micros) break;  // a time of day
            cls = DATETIME;
            bits = *micros;
            return true;
        }
        case 9: {
            PyObject* o = std::get<9>(v).get();
            if (o == Py_None) { cls = NONE; return true; }
            if (PyFloat_CheckExact(o)) bits = std::bit_cast<std::int64_t>(PyFloat_AS_DOUBLE(o));
            cls = PyUnicode_CheckExact(o) ? TEXT : PyFloat_CheckExact(o) ? FLOAT : OTHER;
            obj = std::get<9>(v).clone();
            return true;
        }
        default: break;
    }
    // Text, and what only Python can say (rich text, shared formulas, times): the object itself.
    obj = val_to_py(st, v);
    if (!obj) return false;
    cls = PyUnicode_CheckExact(obj.get()) ? TEXT : OTHER;
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

void put(PyObject* list, Py_ssize_t at, Ref obj) {
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

bool ColumnBatch::add_row(const SheetState& st, const RowItem& row) {
    winning_cells(row, cells_);
    if (std::none_of(cells_.begin(), cells_.end(), [](const CellRec* c) { return has_value(c->value); }))
        return true;
    if (static_cast<std::size_t>(cells_.back()->col) > columns_.size()) columns_.resize(cells_.back()->col);
    for (const CellRec* c : cells_) {
        std::uint8_t cls = NONE;
        std::int64_t bits = 0;
        Ref obj;
        if (!classify(st, c->value, cls, bits, obj)) return false;
        if (cls == NONE) continue;
        Column& column = columns_[c->col - 1];
        column.pad(static_cast<std::size_t>(height_));
        column.bits.push_back(bits);
        column.cls.push_back(cls);
        column.classes |= cls;
        ++column.present;
        if (obj) column.objects.emplace_back(static_cast<std::uint32_t>(height_), std::move(obj));
    }
    ++height_;
    return true;
}

Ref ColumnBatch::chunk(Column& column) {
    const Kind kind = kind_of(column.classes);
    if (kind == Kind::Empty) return Ref::borrow(Py_None);
    column.pad(static_cast<std::size_t>(height_));
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
            put(data.get(), row, std::move(obj));
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
    return list;
}

}  // namespace qf::sheet
