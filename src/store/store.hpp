// The cell store: a worksheet's cell mapping kept in compact form (compact.hpp) that creates
// the package's cell objects only when a cell is accessed. This header gives the Python type,
// its native state, materialisation and value access (used by the sheet writer) and the
// loading interface that full-mode binding fills it through.
#pragma once

#include "core/borrow.hpp"
#include "core/error.hpp"
#include "core/ref.hpp"
#include "dates.hpp"
#include "dates_py.hpp"
#include "formula/formula.hpp"
#include "ftemplate/ftemplate.hpp"
#include "slots.hpp"
#include "store/compact.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qf::store {

// Shared-formula masters that tags 8 and 9 render from; the parser hands its masters to the
// store at the end of a load through this interface.
class Masters {
public:
    virtual ~Masters() = default;
    // Appends master `index`'s formula for `dest` (none: its own text). Values were checked
    // when loaded, so false means a broken invariant.
    [[nodiscard]] virtual bool render_into(std::uint32_t index, std::optional<formula::Cell> dest,
                                           std::string& out) const = 0;
    // Reports the Python objects the masters hold to the garbage collector.
    virtual int traverse(visitproc visit, void* arg) const = 0;
    // The same masters, for a copy of the store.
    virtual std::unique_ptr<Masters> clone() const = 0;
    // Master `index`'s native translator, if it has one.
    virtual const formula::Translator* native(std::uint32_t index) const = 0;
    // Adds a master made after loading (a structural edit moves absolute references); its index.
    virtual std::uint32_t add(formula::Translator tr) = 0;
};

// Masters that are all native translators.
class TranslatorMasters final : public Masters {
public:
    explicit TranslatorMasters(std::vector<formula::Translator> list) : list_(std::move(list)) {}
    bool render_into(std::uint32_t index, std::optional<formula::Cell> dest, std::string& out) const override;
    int traverse(visitproc, void*) const override { return 0; }
    std::unique_ptr<Masters> clone() const override { return std::make_unique<TranslatorMasters>(list_); }
    const formula::Translator* native(std::uint32_t index) const override {
        return index < list_.size() ? &list_[index] : nullptr;
    }
    std::uint32_t add(formula::Translator tr) override {
        list_.push_back(std::move(tr));
        return static_cast<std::uint32_t>(list_.size() - 1);
    }

private:
    std::vector<formula::Translator> list_;
};

inline constexpr std::size_t FIXED_DTYPES = 7;  // "n", "s", "f", "b", "e", "d", "inlineStr"
// The cell class's slots a materialised cell is filled through: "parent", "_style", "row",
// "column", "_value", "_hyperlink", "data_type", "_comment" and (when the class has it) "_loaded".
inline constexpr std::size_t CELL_SLOT_COUNT = 9;
inline constexpr std::size_t MAX_EXTRA_DTYPES = 248;

struct State {
    Compact c;
    ftemplate::Templates templates;
    std::optional<SlotClass> slot_class;
    std::optional<Epoch> epoch;
    // What value_obj made for recent serials of this load's epoch. PERF NOTE: room for a few
    // thousand whole days, as a column of dates repeats days across a year or more; moments
    // within a day, rarely met twice, keep a small table of their own and evict no days.
    DateObjects<12> dates;
    DateObjects<> moments;
    PyMutex dates_lock{};  // free-threaded: readers under a shared borrow (the sheet writer) meet at `dates`
    std::uint64_t row_cache_row = 0;
    Ref row_cache_int;  // empty: no cached row
    std::size_t row_index_hint = 0;  // where row access last found its row among the loaded rows
    std::unique_ptr<Masters> shared;
    std::vector<Ref> extra_dtypes;
    std::vector<Ref> objs;
    std::vector<std::uint32_t> free_objs;
    std::vector<Ref> style_cache;  // per style id: (typecode, style array)
    Ref ws;
    Ref cell_styles;
    Ref shared_strings;
    Ref array_type;               // keeps array_new's type alive
    newfunc array_new = nullptr;  // array.array's instance constructor
    Ref typecode;
    Ref dtypes[FIXED_DTYPES];
    Ref dict_mode;
    BorrowFlag borrow;
    // Loaded with keep_cells: cells keep what they were read with (Kept), shared strings their
    // index, for being saved unchanged.
    bool keep_cells = false;

    bool loaded() const noexcept { return slot_class.has_value() && array_new != nullptr; }

    std::uint32_t put_obj(Ref obj);
    // Empties the object-table slot of a tag 1 or 12 payload; the reference is handed back so
    // the caller drops it once the store is consistent again (dropping can run Python code).
    [[nodiscard]] Ref drop_payload(std::uint64_t payload, std::uint8_t tag);
    // Takes the kept data of the cell at `loc` (see Kept); its object, if any, is handed back
    // like drop_payload's.
    [[nodiscard]] Ref take_kept(Loc loc);
    // Removes the cell at `loc` with its payload and kept data; the released objects are
    // handed back to be dropped once the store is consistent again.
    [[nodiscard]] std::pair<Ref, Ref> remove_cell(Loc loc);
    // Empties every compact structure and the object table; the released objects are returned
    // for the caller to drop afterwards.
    [[nodiscard]] std::vector<Ref> reset();
};

struct CellStoreObject {
    PyObject_HEAD
    State state;
};

// The CellStore type (created once per process). Null with an exception set on failure.
PyTypeObject* cell_store_type() noexcept;
// The native state of a CellStore (or subclass) instance.
inline State& state_of(PyObject* store) noexcept { return reinterpret_cast<CellStoreObject*>(store)->state; }

// These run Python code and may allocate: callers are inside a C-boundary guard.
// The value of the cell at `loc`.
[[nodiscard]] Ref value_obj(State& st, Loc loc);
// The same for the live record `rec`, at location `index` of `row`; formula texts are rendered in
// `scratch` (the caller's, reused from cell to cell).
[[nodiscard]] Ref record_value(State& st, const Rec& rec, std::uint32_t index, std::uint32_t row,
                               std::string& scratch);
// The cell object at `loc`, materialised on first use.
[[nodiscard]] Ref materialize(State& st, Loc loc);
// A new cell object of the loaded cell class (the constructor is not run), `loaded` in its
// `_loaded` slot when the class has one; RuntimeError for a store that was never loaded.
[[nodiscard]] Ref new_cell(State& st, Ref row, std::uint32_t col, Ref value, Ref style, Ref dtype,
                           Ref loaded = Ref::borrow(Py_None));
// The `_loaded` object of the record or entry `e` at `loc` (see Kept), as its cell object gets it.
[[nodiscard]] Ref loaded_obj(const State& st, Loc loc, const Entry& e);
// Date parts of a date cell (tags 10 and 11), for the writer; nothing for other cells.
std::optional<DateParts> excel_date(const State& st, Loc loc) noexcept;

// A structural edit (edit.cpp), with the store held exclusively: every formula's references
// rewritten for `edit` (those of cells `translate`d along a move shift by its offset instead),
// and, when `host_edited` (the store is the edited sheet's), the cells moved as it says. Gives
// (keys, changed): the keys, after the edit, of the cells whose formula Python must rewrite
// itself (formula objects, and texts only Python's case folding can compare), and whether a
// formula changed natively. The released objects go to `dropped`, for the caller to drop once
// the store is free again.
[[nodiscard]] Ref edit_cells(State& st, const formula::GridEdit& edit, bool host_edited, bool translate,
                             std::vector<Ref>& dropped);

// The keys of the live cells of the compact store `st` (held exclusively) whose formula is a
// Python object rather than text (array and data-table formulas), as a list of (row, column).
[[nodiscard]] Ref formula_objects(State& st);

// CellStore._append_frame (frame.cpp): a frame's rows appended as entries.
PyObject* CellStore_append_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// A new store with the cells of the compact store `st` (held exclusively), for the worksheet
// `ws`: the compact structures are copied as they are, and each cell object and each value
// object that can change is made anew, so that the copy's cells are its own. The cells'
// hyperlinks and comments are left to the caller.
[[nodiscard]] Ref copy_cells(State& st, PyObject* ws);

// Filling a store from a worksheet: holds the store exclusively from `begin` until destroyed.
class Load {
public:
    // Takes exclusive access (waiting for other threads; a store this thread is using fails
    // with RuntimeError and stays untouched), resets the store, leaves dict mode and sets the
    // worksheet's inputs, the slot class of `cell_cls`, the style-copy constructor and the
    // data-type strings.
    [[nodiscard]] static XmlResult<Load> begin(PyObject* store, PyObject* ws, PyObject* cell_styles,
                                               PyObject* shared_strings, std::optional<Epoch> epoch,
                                               PyObject* cell_cls, bool keep_cells);

    // The dtype index of an unusual data-type string (compared with == to the known ones).
    [[nodiscard]] XmlResult<std::uint8_t> extra_dtype(PyObject* name);

    // Places one cell; `style` is NO_STYLE or an id, `dtype` an index, `kept` what it keeps
    // for being saved unchanged.
    void place(std::uint32_t row, std::uint32_t col, std::uint8_t tag, std::uint64_t payload,
               std::uint32_t style, std::uint8_t dtype, const Kept& kept = {});
    [[nodiscard]] XmlResult<void> place_text(std::uint32_t row, std::uint32_t col, std::string_view text,
                                             std::uint32_t style, std::uint8_t dtype, const Kept& kept = {});
    // A formula text: a template when one fits, else as text.
    [[nodiscard]] XmlResult<void> place_formula(std::uint32_t row, std::uint32_t col, std::string_view text,
                                                std::uint32_t style, std::uint8_t dtype, const Kept& kept = {});
    void place_obj(std::uint32_t row, std::uint32_t col, Ref obj, std::uint32_t style, std::uint8_t dtype,
                   const Kept& kept = {});
    // Kept data in its stored forms: a cached result's text in the arena (nothing when too long
    // for it), a Python `_loaded` object in the object table.
    std::optional<std::uint64_t> keep_text(std::string_view text) { return st_->c.store_text(text); }
    std::uint32_t keep_obj(Ref obj) { return st_->put_obj(std::move(obj)); }

    void finish(std::unique_ptr<Masters> masters);

    State& state() noexcept { return *st_; }

private:
    Load(State* st, Borrow borrow) : st_(st), borrow_(std::move(borrow)) {}
    State* st_;
    Borrow borrow_;
};

}  // namespace qf::store
