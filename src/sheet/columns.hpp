// Columns of a batch of read-only rows, for the package's DataFrame builders: the values of each
// column in one typed run (64-bit ints, doubles, booleans, date-times as microseconds since
// 1970, text) made without a Python object per number or date. A column whose cells do not share
// one of those types comes as the very objects the row reader would have made, for the package
// to type exactly as it types rows.
#pragma once

#include "sheet/parser.hpp"

#include <optional>
#include <vector>

namespace qf::sheet {

// The rows of a batch as columns, as the package's `iter_rows(values_only=True)` gives them
// (column A first; a row ends at its last cell; of two cells in one column the later wins), the
// rows without any value left out, or kept as rows of missing values where they lie between two
// rows with values (see `Rows`).
class ColumnBatch {
public:
    // Which rows a batch keeps.
    struct Rows {
        std::int64_t min_row = 1;  // rows numbered below are passed over
        bool blank = false;        // rows without values between two with values are kept
        bool mixed = false;        // a column of several types comes as "mixed" (see take)
    };
    ColumnBatch() = default;
    explicit ColumnBatch(Rows rows) : rows_(rows) {}

    // What a value is, a bit each, so that a column's values sum up in one mask.
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
    // A cell's value as a column keeps it: its class, the 64-bit number a typed column stores
    // (the int, the double's bits, 0/1 or microseconds since 1970) and, for text and what only
    // Python can say, the object.
    struct Value {
        std::int64_t col = 0;
        std::uint8_t cls = NONE;
        std::int64_t bits = 0;
        Ref obj;
    };
    static Value of_int(std::int64_t i) noexcept;
    static Value of_float(double d) noexcept;
    static Value of_bool(bool b) noexcept;
    // A date serial that gives a date-time; nothing for a time of day or a serial out of range.
    static std::optional<Value> of_date(const Epoch& epoch, std::int64_t serial) noexcept;
    static std::optional<Value> of_date(const Epoch& epoch, double serial) noexcept;
    // Any Python value (None, exact str and float are told apart; the rest is OTHER).
    static Value of_object(Ref obj) noexcept;

    // Adds a row of the package's (RowReader) parsed cells; false with an exception set when
    // making one of its values fails.
    [[nodiscard]] bool add_row(const SheetState& st, const RowItem& row);
    // Adds row `row` given as its values in column order (NONE for a missing one) and the number
    // of columns its value tuple shows; a row without any value is left out.
    void add_values(std::vector<Value>& values, std::int64_t width, std::int64_t row);
    // Rows kept so far (the blank ones included).
    Py_ssize_t height() const noexcept { return height_; }
    // The numbers of the first and the last row with values kept (0 when none is).
    std::int64_t first_row() const noexcept { return first_row_; }
    std::int64_t last_row() const noexcept { return last_row_; }
    // A list with one item per column up to the last that a kept row reaches: None when no kept
    // row has a value there, else (kind, data, nulls, ints) with kind "int", "float",
    // "datetime" (data: bytes of native 64-bit numbers, one per kept row, 0 where missing),
    // "bool" (bytes of 0/1), "text" or "object" (data: a list, None where missing); nulls is a
    // bytearray with 1 for each missing value, or None when none is missing ("object" columns:
    // always None); ints, for "float" columns with ints among the values, a bytearray with 1 for
    // each of them (all exact as doubles), else None. With `Rows::mixed`, a column of several
    // types is ("mixed", (bits, classes, objects), None, None) instead of "object": each value's
    // 64 bits and Class (bytes of 8 and of 1 a row) and a list holding the objects of text and
    // of what only Python can say (None elsewhere), so that no object is made for a number or
    // a date (`mixed_values` makes them when they are wanted). Null with an exception set.
    [[nodiscard]] Ref take();

private:
    // A column's values so far, one per kept row up to the last with a value in the column.
    struct Column {
        std::uint8_t classes = 0;            // of all its values, one bit each (columns.cpp)
        std::vector<std::int64_t> bits;      // the int, double bits, 0/1 or microseconds since 1970
        std::vector<std::uint8_t> cls;       // each value's class, NONE where missing
        std::vector<std::pair<std::uint32_t, Ref>> objects;  // (row, object) of text and the like
        Py_ssize_t present = 0;              // values that are not missing
        // Marks the rows up to `rows` that have no value here as missing.
        void pad(std::size_t rows);
    };
    [[nodiscard]] Ref chunk(Column& column);
    [[nodiscard]] Ref mixed_chunk(Column& column);
    void widen(std::int64_t width);      // columns up to `width` exist
    void put(Value&& value);             // into the current row
    bool keeps(std::int64_t row) const noexcept { return row >= rows_.min_row; }
    void start_row(std::int64_t row);    // the blank rows up to `row` are added

    std::vector<Column> columns_;
    std::vector<const CellRec*> cells_;  // the current row's winning cells
    Py_ssize_t height_ = 0;
    Rows rows_;
    std::int64_t first_row_ = 0;
    std::int64_t last_row_ = 0;
};

// The values of a "mixed" chunk (see ColumnBatch::take) as the "object" chunk would hold them;
// null with an exception set.
[[nodiscard]] Ref mixed_values(PyObject* bits, PyObject* classes, PyObject* objects);

// The rows a frame keeps, from the optional arguments `min_row`, `blank_rows` and `mixed` of
// RowReader.next_columns and CellStore._columns (null: not given); false with an exception set.
[[nodiscard]] bool rows_args(const char* fname, PyObject* min_row, PyObject* blank_rows, PyObject* mixed,
                             ColumnBatch::Rows& out);

}  // namespace qf::sheet
