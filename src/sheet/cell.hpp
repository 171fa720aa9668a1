// Cell interpretation: turns the raw texts of one cell element (attributes, <v>, <f>, inline
// string) into a parsed cell exactly as the package's pure-Python worksheet parser computes it,
// and turns stored values into Python objects on demand. Whatever depends on the package's own
// rules (unusual number text, ISO dates, formula objects) is delegated to its helper callables.
#pragma once

#include "core/error.hpp"
#include "core/ref.hpp"
#include "dates.hpp"
#include "dates_py.hpp"
#include "formula/formula.hpp"
#include "helpers.hpp"
#include "sheet/coord.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace qf::sheet {

// Built-in data types, indices into SheetState::dt.
enum DtCode : std::uint8_t { DT_N, DT_S, DT_F, DT_B, DT_E, DT_D, DT_INLINE, DT_COUNT };

// The data type of a cell: a built-in code, or (when `py` is set) the exact `t` text.
struct DType {
    std::uint8_t code = DT_N;
    Ref py;
};

// Style id: `id`, unless `obj` is set (an empty `s`, or an int beyond 64 bits), which is reported.
struct StyleId {
    std::int64_t id = 0;
    Ref obj;
};

struct SharedStringV { std::uint32_t index; };
struct SharedRefV {
    std::optional<formula::Cell> target;  // no target: rendered without a shift
    std::uint32_t master;
};
struct DateIntV { std::int64_t serial; };
struct DateFloatV { double serial; };

// A cell value, converted to Python only by val_to_py.
using Val = std::variant<std::monostate, std::int64_t, double, bool, SharedStringV, std::string,
                         SharedRefV, DateIntV, DateFloatV, Ref>;

// With keep_cells: what a cell keeps for being saved as it was read (the store's Kept, the
// package's `Cell._loaded`).
struct KeptRaw {
    bool cached = false;          // a formula cell's cached result: its `t` and `<v>` text
    bool cached_has_t = false;
    std::string cached_t;
    std::string cached_v;
    Ref attrs;                    // tuple of the other (name, value) attributes, or empty
    Ref runs;                     // formatted runs of an inline string read as plain text, or empty
    std::optional<std::uint32_t> sst;  // the shared string index of a value looked up through Python

    bool empty() const noexcept { return !cached && !attrs && !runs && !sst; }
};

struct CellRec {
    // PERF NOTE: provided, so that a record made in place is not zeroed whole before its
    // members are set (every member has an initializer or a constructor of its own).
    CellRec() noexcept {}

    Val value;                    // the formula for formula cells, else the typed value
    std::optional<Val> formula;   // data-only with formula_and_value: the formula behind the value
    std::optional<Val> cached;    // formula cells with formula_and_value: the typed <v> value
    StyleId style;
    DType dtype;
    std::int64_t row = 0;
    std::int64_t col = 0;
    bool is_formula = false;
    KeptRaw kept;
};

// The raw material of one cell element, reused from cell to cell. The texts are views, valid
// until the cell is interpreted: the fast path points them into the reader's buffer (PERF NOTE:
// no copy per cell), the event path, which reads on past the start tag, at its own copies.
struct CellBufs {
    std::string_view t, r, s, v, f_t, f_ref, f_si, f_text;
    bool has_t = false, has_r = false, has_f = false, has_f_t = false, has_f_ref = false,
         has_f_si = false;
    // With keep_cells, from the event path: the cell's other attributes and its inline
    // string's formatted runs (see KeptRaw).
    Ref attrs, runs;
    // PERF NOTE: one assignment each; a chain of them read each view back from the one
    // just stored, which stalled on every cell.
    void clear() noexcept {
        t = {}; r = {}; s = {}; v = {}; f_t = {}; f_ref = {}; f_si = {}; f_text = {};
        has_t = has_r = has_f = has_f_t = has_f_ref = has_f_si = false;
        attrs.reset();
        runs.reset();
    }
    // The event path's copies, one buffer per text, kept for their capacity.
    enum Slot { T, R, S, V, F_T, F_REF, F_SI, F_TEXT, SLOTS };
    std::string& store(Slot slot) noexcept { return kept_[slot]; }
    std::string_view keep(Slot slot, std::string_view text) {
        kept_[slot].assign(text);
        return kept_[slot];
    }

private:
    std::array<std::string, SLOTS> kept_;
};

// A shared-formula master: native when the translator follows the formula, else the package's.
struct Shared {
    std::optional<formula::Translator> native;
    Ref py;
};

// Per-sheet state that interpretation reads and updates (owned by the sheet parser).
struct SheetState {
    Settings settings;
    Helpers helpers;
    std::array<Ref, DT_COUNT> dt;  // "n", "s", "f", "b", "e", "d", "inlineStr", interned
    std::int64_t row_counter = 0;
    RowDigits row_digits;  // the row counter as the row element spells it, when plain
    std::int64_t col_counter = 0;
    std::vector<Shared> masters;
    std::optional<std::uint32_t> anon_master;
    std::unordered_map<std::string, std::uint32_t> masters_by_si;
    Ref actions;  // list receiving ("warn", message)
    mutable DateObjects<> dates;  // what val_to_py made for recent serials

    // Interns the data-type strings; false with an exception set on failure.
    [[nodiscard]] XmlResult<void> init_dt();
};

// (row, col) of a coordinate text: fast form natively, else the coordinate_to_tuple helper.
[[nodiscard]] XmlResult<formula::Cell> coordinate(const Helpers& h, std::string_view text);

// Style id from a present `s` attribute's text that is not a plain integer.
[[nodiscard]] XmlResult<StyleId> style_of_text(const Helpers& h, std::string_view text);

// Style id from the `s` attribute (absent: 0). PERF NOTE: inline, so that the common absent or
// plain style costs no call and no error value.
[[nodiscard]] inline XmlResult<StyleId> style_of(const Helpers& h, bool present, std::string_view text) {
    if (!present) return StyleId{};
    if (auto v = native_int(text)) return StyleId{*v, {}};
    return style_of_text(h, text);
}

// A Python int for `text`: native for the short decimal form, else the `int` helper.
[[nodiscard]] XmlResult<Ref> py_int(const Helpers& h, std::string_view text);

// A str of UTF-8 text (null with an exception set on failure).
[[nodiscard]] Ref py_str(std::string_view text) noexcept;

// Calls `fn(text)` with `text` as a str.
[[nodiscard]] XmlResult<Ref> py_call1(PyObject* fn, std::string_view text);

// Raises a formula error as the package would (TokenizerError/TranslatorError helpers).
[[nodiscard]] XmlError formula_err(const Helpers& h, const formula::FormulaError& e);

// The parsed cell, appended to `out` (nothing is appended on failure). The <v> text is taken;
// `inline_val` is the parsed <is> content (inline string cells), `f_attrs` the attribute dict of
// a data-table <f> (may be null).
[[nodiscard]] XmlResult<void> interpret(SheetState& st, CellBufs& bufs, StyleId style,
                                        std::optional<Val> inline_val, PyObject* f_attrs,
                                        std::vector<CellRec>& out);

// The Python object for `v` (null with an exception set on failure). Rendering a shared
// formula allocates, so callers are inside a C-boundary guard.
[[nodiscard]] Ref val_to_py(const SheetState& st, const Val& v);
// The master's formula rendered for the reference's target; a target the formula cannot be
// shifted to raises the package's TranslatorError.
[[nodiscard]] Ref shared_to_py(const SheetState& st, const SharedRefV& ref);
// The data type string (new reference) and the style id object (new reference).
[[nodiscard]] Ref dtype_to_py(const SheetState& st, const DType& d) noexcept;
[[nodiscard]] Ref style_to_py(const StyleId& s) noexcept;

}  // namespace qf::sheet
