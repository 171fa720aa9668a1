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

using Slot = ColumnBatch::Slot;

// The class of a value, kept in `slot` with what the column needs to store it; false with an
// exception set when the value's object cannot be made.
bool classify(const SheetState& st, const Val& v, Slot& slot) {
    slot.alternative = static_cast<std::uint8_t>(v.index());
    switch (v.index()) {
        case 0: slot.classes = NONE; return true;
        case 1: {
            const std::int64_t i = std::get<1>(v);
            constexpr std::int64_t EXACT = std::int64_t{1} << 53;  // every int up to this is a double
            slot.classes = i >= -EXACT && i <= EXACT ? INT : WIDE_INT;
            slot.bits = i;
            return true;
        }
        case 2: slot.classes = FLOAT; slot.bits = std::bit_cast<std::int64_t>(std::get<2>(v)); return true;
        case 3: slot.classes = BOOL; slot.bits = std::get<3>(v); return true;
        case 7:
        case 8: {
            const Epoch& epoch = *st.settings.epoch;
            const bool whole = v.index() == 7;
            const auto micros = whole ? excel_int_unix_micros(epoch, std::get<7>(v).serial)
                                      : excel_float_unix_micros(epoch, std::get<8>(v).serial);
            if (!micros) break;  // a time of day
            slot.classes = DATETIME;
            slot.bits = whole ? std::get<7>(v).serial : std::bit_cast<std::int64_t>(std::get<8>(v).serial);
            slot.micros = *micros;
            return true;
        }
        case 9: {
            PyObject* obj = std::get<9>(v).get();
            if (obj == Py_None) { slot.classes = NONE; return true; }
            if (PyFloat_CheckExact(obj)) slot.bits = std::bit_cast<std::int64_t>(PyFloat_AS_DOUBLE(obj));
            slot.classes = PyUnicode_CheckExact(obj) ? TEXT : PyFloat_CheckExact(obj) ? FLOAT : OTHER;
            slot.obj = std::get<9>(v).clone();
            return true;
        }
        default: break;
    }
    // Text, and what only Python can say (rich text, shared formulas, times): the object itself.
    slot.obj = val_to_py(st, v);
    if (!slot.obj) return false;
    slot.classes = PyUnicode_CheckExact(slot.obj.get()) ? TEXT : OTHER;
    return true;
}

// The Python object of a kept value, for a column of objects.
Ref object_of(const SheetState& st, const Slot& slot) {
    if (slot.obj) return slot.obj.clone();
    switch (slot.alternative) {
        case 1: return Ref::steal(PyLong_FromLongLong(slot.bits));
        case 2: return Ref::steal(PyFloat_FromDouble(std::bit_cast<double>(slot.bits)));
        case 3: return Ref::borrow(slot.bits ? Py_True : Py_False);
        case 7: return val_to_py(st, Val{DateIntV{slot.bits}});
        default: return val_to_py(st, Val{DateFloatV{std::bit_cast<double>(slot.bits)}});
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

// Storage for a column of `height` values of `kind`, missing ones 0 or None.
Ref new_data(Kind kind, Py_ssize_t height) {
    if (kind == Kind::Text || kind == Kind::Object) {
        Ref list = Ref::steal(PyList_New(height));
        if (!list) return {};
        for (Py_ssize_t i = 0; i < height; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(Py_None));
        return list;
    }
    const Py_ssize_t size = height * (kind == Kind::Bool ? 1 : 8);
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (bytes) std::memset(PyBytes_AS_STRING(bytes.get()), 0, static_cast<std::size_t>(size));
    return bytes;
}

// The 64-bit number a typed column stores for a value.
std::int64_t number_of(Kind kind, const Slot& slot) {
    if (kind == Kind::DateTime) return slot.micros;
    if (kind == Kind::Float && slot.classes == INT)
        return std::bit_cast<std::int64_t>(static_cast<double>(slot.bits));
    return slot.bits;
}

}  // namespace

bool ColumnBatch::add_row(const SheetState& st, const RowItem& row) {
    winning_cells(row, cells_);
    pending_.clear();
    bool has_value = false;
    for (const CellRec* c : cells_) {
        Slot slot;
        if (!classify(st, c->value, slot)) return false;
        if (slot.classes == NONE) continue;
        has_value = true;
        pending_.emplace_back(c->col, std::move(slot));
    }
    if (!has_value) return true;
    if (static_cast<std::size_t>(cells_.back()->col) > columns_.size()) columns_.resize(cells_.back()->col);
    for (auto& [col, slot] : pending_) {
        Column& column = columns_[col - 1];
        column.classes |= slot.classes;
        slot.row = static_cast<std::uint32_t>(height_);
        column.slots.push_back(std::move(slot));
    }
    ++height_;
    return true;
}

Ref ColumnBatch::take(const SheetState& st) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(columns_.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        Column& column = columns_[i];
        const Kind kind = kind_of(column.classes);
        Ref chunk;
        if (kind == Kind::Empty) {
            chunk = Ref::borrow(Py_None);
        } else {
            Ref data = new_data(kind, height_);
            if (!data) return {};
            Ref nulls;
            const bool missing = static_cast<Py_ssize_t>(column.slots.size()) < height_;
            if (missing && kind != Kind::Object) {
                nulls = Ref::steal(PyByteArray_FromStringAndSize(nullptr, height_));
                if (!nulls) return {};
                std::memset(PyByteArray_AS_STRING(nulls.get()), 1, static_cast<std::size_t>(height_));
            }
            // A column of floats marks the values that were ints, so that they come back as
            // ints should the column later turn out to hold objects.
            Ref ints;
            if (kind == Kind::Float && (column.classes & INT)) {
                ints = Ref::steal(PyByteArray_FromStringAndSize(nullptr, height_));
                if (!ints) return {};
                std::memset(PyByteArray_AS_STRING(ints.get()), 0, static_cast<std::size_t>(height_));
            }
            for (Slot& slot : column.slots) {
                if (nulls) PyByteArray_AS_STRING(nulls.get())[slot.row] = 0;
                if (ints && slot.classes == INT) PyByteArray_AS_STRING(ints.get())[slot.row] = 1;
                if (kind == Kind::Text || kind == Kind::Object) {
                    Ref obj = kind == Kind::Text ? std::move(slot.obj) : object_of(st, slot);
                    if (!obj) return {};
                    PyObject* none = PyList_GET_ITEM(data.get(), slot.row);
                    PyList_SET_ITEM(data.get(), slot.row, obj.release());
                    Py_DECREF(none);
                } else if (kind == Kind::Bool) {
                    PyBytes_AS_STRING(data.get())[slot.row] = static_cast<char>(slot.bits != 0);
                } else {
                    const std::int64_t number = number_of(kind, slot);
                    std::memcpy(PyBytes_AS_STRING(data.get()) + std::size_t{slot.row} * 8, &number, 8);
                }
            }
            chunk = Ref::steal(Py_BuildValue("(sOOO)", kind_name(kind), data.get(), nulls ? nulls.get() : Py_None,
                                             ints ? ints.get() : Py_None));
            if (!chunk) return {};
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), chunk.release());
    }
    columns_.clear();
    height_ = 0;
    return list;
}

}  // namespace qf::sheet
