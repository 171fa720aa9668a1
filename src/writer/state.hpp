// The native state of a SheetWriter and the operations its methods are made of, shared by the
// cell writing and the Python type (writer.cpp) and the whole-sheet paths (sheet.cpp). Every
// operation that calls Python code returns the exception raised as a Source error.
#pragma once

#include "arrow/reader.hpp"
#include "core/error.hpp"
#include "core/ref.hpp"
#include "dates.hpp"
#include "slots.hpp"
#include "store/compact.hpp"
#include "utils/utils.hpp"
#include "writer/emit.hpp"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qf::writer {

// A row that leaves at least this much pending hands the text to `write`.
inline constexpr std::size_t FLUSH_THRESHOLD = 1048576;
// Room for a full threshold plus the row that crossed it, in most sheets, without regrowing.
inline constexpr std::size_t BUFFER_CAPACITY = FLUSH_THRESHOLD + 4096;

// A cell value as classified: what the writer writes itself, or `other` for write_cell. The
// text points into the Python object classified (kept alive by the caller) or into `number`.
struct Classified {
    bool other = false;
    Value value;
    char number[utils::NUM_MAX];

    Classified() = default;
    Classified(const Classified&) = delete;
    Classified& operator=(const Classified&) = delete;
};

// Sets `out` from a Python value without running Python code: exact str, bool, int (64 bits)
// and float are written natively; everything else is `other`.
void classify(PyObject* value, Classified& out) noexcept;

// fn(*args), or the exception it raised.
[[nodiscard]] XmlResult<Ref> call(PyObject* fn, std::initializer_list<PyObject*> args);

// The UTF-8 of a str, or nothing (the error cleared) when it has none (lone surrogates).
std::optional<std::string_view> utf8_of(PyObject* str) noexcept;

// The truth of the first item of the (bool, value) pair a date helper returned; TypeError
// naming `helper` for anything but a 2-tuple.
[[nodiscard]] XmlResult<bool> date_pair(PyObject* pair, const char* helper);

using StyleKey = std::array<std::int32_t, 9>;

struct StyleKeyHash {
    std::size_t operator()(const StyleKey& key) const noexcept;
};

// The `s` text of one stored style id, worked out once per whole-sheet write.
struct StyleText {
    bool styled = false;
    bool writable = true;  // false: the text is not one the writer may write itself
    std::string text;
};

using StyleTexts = std::unordered_map<std::uint32_t, StyleText>;

// The result an unchanged formula was read with, written in its `<v>` with its `t`.
struct CachedResult {
    std::optional<std::string_view> t;
    std::string_view v;
};

class Writer {
public:
    Writer() = default;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Reads the worksheet, workbook and helpers in the documented order.
    [[nodiscard]] XmlResult<void> init(PyObject* ws, PyObject* write, bool lxml, PyObject* helpers);

    // One cell object: written, skipped, or rendered by write_cell.
    [[nodiscard]] XmlResult<void> write_one(PyObject* cell);
    // `<row ...>` with "r" first, then the row dimensions (`dims` may be null: none).
    [[nodiscard]] XmlResult<void> write_row_start(PyObject* row_text, PyObject* dims);
    [[nodiscard]] XmlResult<void> write_row_start(std::int64_t row, PyObject* dims);
    // One `<row>` of a write-only worksheet from an iterable of cells.
    [[nodiscard]] XmlResult<void> write_row(PyObject* cells, std::int64_t row);
    // `</row>`, then the buffer goes to `write` if it has reached the threshold.
    [[nodiscard]] XmlResult<void> end_row();
    [[nodiscard]] XmlResult<void> flush_buf();
    // The whole `<sheetData>` element (sheet.cpp).
    [[nodiscard]] XmlResult<void> write_sheet_data(PyObject* rows_fallback);
    // The rows of a frame (write-only worksheets, frame.cpp): a row of its column names when
    // `header`, then one per record, from row `first_row` on; date-times and dates styled with
    // the style id text `style_of("datetime")` / `style_of("date")` gives (asked when the first
    // such value is written, as a cell's style is registered). Gives (rows written, columns). A value a file cannot hold is a
    // ValueError naming its column and row; the caller discards what was written then.
    [[nodiscard]] XmlResult<std::pair<std::int64_t, std::int64_t>> write_frame(
        arrow::StreamReader& frame, std::int64_t first_row, bool header, PyObject* style_of);
    // Drops the text not yet handed to `write`.
    void discard_buf() noexcept { buf_.clear(); }

    // Garbage-collector support: the Python objects held.
    int traverse(visitproc visit, void* arg) const;
    // Moves every held object out, for the caller to drop once the writer is consistent.
    [[nodiscard]] std::vector<Ref> take_refs();

private:
    // The attributes of a cell read as plain slots where its class has them (CELL_ATTR_NAMES);
    // `_loaded` may be missing (read as None).
    enum CellAttr : std::size_t { COMMENT, VALUE, STYLE, DATA_TYPE, ROW, COLUMN, LOADED, CELL_ATTRS };
    static constexpr const char* CELL_ATTR_NAMES[CELL_ATTRS] = {"_comment", "_value", "_style", "data_type",
                                                                "row", "column", "_loaded"};

    struct Names {
        Ref cell[CELL_ATTRS];
        Ref hyperlink, get, keys, update, append, add, r, row_dimensions, cells;
    };

    [[nodiscard]] XmlResult<Ref> cell_attr(PyObject* cell, CellAttr which);
    const SlotClass* slots_of(PyObject* cell);

    [[nodiscard]] XmlResult<bool> has_style(PyObject* style);
    [[nodiscard]] XmlResult<Ref> style_id(PyObject* style);
    // Appends the cell if the writer can write it byte for byte; false (nothing written) if not.
    // A formula body gets `cached` (if given) as its result.
    [[nodiscard]] XmlResult<bool> emit(CellXml cell, std::string_view data_type, const Value& value,
                                       PyObject* hyperlink, const CachedResult* cached = nullptr);
    // Appends the cell as it stands, after its hyperlink (if truthy) is registered.
    [[nodiscard]] XmlResult<void> emit_xml(const CellXml& cell, PyObject* hyperlink);
    // A cell that keeps what it was read with (`loaded`, not None): written natively when that is
    // its shared string index or its formula's cached result alone; false: not written.
    [[nodiscard]] XmlResult<bool> emit_loaded(CellXml cell, std::string_view data_type, PyObject* value,
                                              PyObject* loaded, PyObject* cell_obj);
    [[nodiscard]] XmlResult<void> push_fallback(PyObject* cell, bool styled);
    [[nodiscard]] XmlResult<void> append_row_attr(PyObject* row_text, PyObject* name, PyObject* value);
    // frame.cpp: one value of a frame written as `cell`, or a ValueError.
    struct FrameStyles;
    [[nodiscard]] XmlResult<void> frame_cell(const arrow::InValue& value, CellXml& cell, std::string_view name,
                                             FrameStyles& styles);

    // sheet.cpp: the three ways of reading the worksheet's cells.
    [[nodiscard]] XmlResult<void> store_path(PyObject* store, PyObject* dims);
    [[nodiscard]] XmlResult<void> dict_path(PyObject* cells, PyObject* dims, bool& done);
    [[nodiscard]] XmlResult<void> fallback_path(PyObject* rows_fallback, PyObject* dims);
    [[nodiscard]] XmlResult<void> stored_cell(PyObject* store, std::uint64_t version, std::uint64_t key,
                                              store::Loc loc, StyleTexts& styles);
    [[nodiscard]] XmlResult<void> stored_style(PyObject* cell_styles, std::uint32_t id, StyleTexts& styles);
    [[nodiscard]] XmlResult<void> materialize_and_write(PyObject* store, std::uint64_t version, std::uint64_t key,
                                                        store::Loc loc);
    // `dims.get(row)`; empty for None.
    [[nodiscard]] XmlResult<Ref> dims_get(PyObject* dims, PyObject* row);
    [[nodiscard]] XmlResult<Ref> dims_get(PyObject* dims, std::int64_t row);

    Names names_;
    Ref ws_;
    Ref write_;
    Ref cell_styles_;
    Ref style_array_cls_;
    Ref hyperlinks_;
    Ref add_comment_;
    Ref write_cell_;
    Ref date_value_;
    Ref date_value_raw_;
    Ref safe_string_;
    Ref any_;  // builtins.any: whether a style that is no int buffer holds any set id
    // PERF NOTE: a cell's slots are read in place (what generic attribute access returns) for
    // the last cell class seen whose six attributes are plain slots; `unslotted_` is the last
    // class seen that is not such a class.
    std::optional<SlotClass> cell_slots_;
    Ref unslotted_;
    std::string buf_;
    std::string scratch_;  // stored formulas are rendered here
    std::size_t kept_hint_ = 0;  // where the store's kept data was last found (store path)
    bool lxml_ = false;
    bool iso_dates_ = false;
    std::optional<Epoch> epoch_;
    // PERF NOTE: cell_styles.add runs once per distinct style array, not once per cell.
    std::unordered_map<StyleKey, Ref, StyleKeyHash> style_ids_;
};

}  // namespace qf::writer
