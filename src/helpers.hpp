// The host contract of the reading entry points: the helper table (callables, classes and name
// sets the package hands in as one dict) and the parser settings read from the parser object.
// Both are built once per call, before any input is read, and are read-only afterwards.
#pragma once

#include "core/error.hpp"
#include "core/ref.hpp"
#include "dates.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qf {

// A small read-only set of UTF-8 names (element local names), sorted, duplicates merged.
class NameSet {
public:
    void insert(std::string_view name);
    bool contains(std::string_view name) const noexcept;
    std::size_t size() const noexcept { return names_.size(); }
    const std::vector<std::string>& names() const noexcept { return names_; }

private:
    std::vector<std::string> names_;
};

// A small read-only set of style ids. PERF NOTE: looked up once per numeric cell, inline: an
// id below BITMAP_IDS (every style id of a file Excel can open) is one bit of a bitmap as long
// as the largest such id in the set; others are searched in the sorted vector, which holds all.
class IdSet {
public:
    static constexpr std::int64_t BITMAP_IDS = 65536;

    void insert(std::int64_t id);
    bool contains(std::int64_t id) const noexcept {
        if (id >= 0 && id < BITMAP_IDS) {
            const auto word = static_cast<std::size_t>(id) >> 6;
            return word < bits_.size() && (bits_[word] >> (id & 63) & 1) != 0;
        }
        return contains_large(id);
    }
    bool empty() const noexcept { return ids_.empty(); }
    std::size_t size() const noexcept { return ids_.size(); }
    const std::vector<std::int64_t>& ids() const noexcept { return ids_; }

private:
    bool contains_large(std::int64_t id) const noexcept;

    std::vector<std::int64_t> ids_;
    std::vector<std::uint64_t> bits_;
};

// The helper lookup rule shared by every entry point and the writer: an exact dict item lookup
// (no subclass __getitem__/get); a missing key is TypeError "missing helper <key>". `dict`
// must be a dict or subclass.
[[nodiscard]] XmlResult<Ref> helper_item(PyObject* dict, const char* key);

struct Helpers {
    Ref int_;                  // int(text)
    Ref float_;                // float(text)
    Ref coordinate_to_tuple;   // "B3" -> (3, 2)
    Ref row_index;             // row number text -> int
    Ref from_excel;            // (value, epoch, timedelta=) -> datetime/time/timedelta
    Ref from_iso8601;          // ISO 8601 text -> datetime
    Ref date_warning;          // (coordinate or None, number) -> warning
    Ref array_formula;         // ArrayFormula(ref=, text=)
    Ref data_table_formula;    // DataTableFormula(**attrs)
    Ref translator;            // Translator(formula, origin)
    Ref tokenizer_error;       // exception class
    Ref translator_error;      // exception class
    Ref text_content;          // (snippet, namespaces) -> str
    Ref rich_inline;           // (snippet, namespaces) -> rich text
    Ref validate_rpr;          // (snippet, namespaces) -> truthy when the run properties are plain
    Ref kept_runs;             // (snippet, namespaces) -> runs kept of an inline string, or None;
                               // optional: looked up when present, needed with keep_cells
    NameSet text_dangerous;    // children of a text item that force the Python path
    NameSet rich_dangerous;    // children of a run that force the Python path

    // Looks the seventeen keys up in their documented order; the first missing one is reported.
    [[nodiscard]] static XmlResult<Helpers> from_dict(PyObject* helpers);
};

struct Settings {
    std::optional<Epoch> epoch;        // absent: every date goes through the from_excel helper
    Ref epoch_obj;                     // the parser's epoch, handed to from_excel
    bool formula_and_value = false;
    std::size_t shared_strings_len = 0;  // 0 unless `shared_strings` is exactly a list
    Ref shared_strings;
    bool data_only = false;
    bool rich_text = false;
    bool keep_cells = false;           // cells keep what they need for being saved unchanged
    IdSet kept_styles;                 // with keep_cells: style ids a cell keeps as read
    IdSet date_formats;
    IdSet timedelta_formats;
    IdSet time_formats;  // date formats that show a time of day and no date

    // Reads the parser's attributes in a fixed order; the first failure propagates (a missing
    // formula_and_value is taken as false, missing time_formats as empty).
    [[nodiscard]] static XmlResult<Settings> from_parser(PyObject* parser);
};

// The int (non-bool) items of an iterable that fit 64 bits; everything else is skipped.
[[nodiscard]] XmlResult<IdSet> int_set(PyObject* obj);

}  // namespace qf
