// Structural edits of a compact store (see store.hpp, edit_cells): every formula's references
// rewritten for the edit, then the cells of the edited sheet moved, in place. Rows move by
// renumbering the row index; records leave only where cells are deleted, in one compacting
// pass; no cell object is made for the bulk of the sheet. And copies of a store for a copied
// sheet (copy_cells), made the same way: the compact structures copied whole.
#include "store/store.hpp"

#include <algorithm>
#include <new>
#include <unordered_map>
#include <utility>

namespace qf::store {

namespace {

using formula::Cell;
using formula::GridEdit;

constexpr std::uint8_t FORMULA_DTYPE = 2;  // "f", the third of the fixed data types
// Cell slots, in the order CELL_SLOTS names them.
constexpr std::size_t STYLE_SLOT = 1, ROW_SLOT = 2, COLUMN_SLOT = 3, VALUE_SLOT = 4, DTYPE_SLOT = 6, LOADED_SLOT = 8;

Ref str_of(std::string_view bytes) {
    return Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr));
}

// Whether the cell at `at` is outside a moved rectangle but where it lands: it is replaced
// (by a moved cell, or by nothing where the rectangle had no cell).
bool overwritten(const GridEdit& edit, Cell at) {
    return !edit.inside(at) && edit.inside(Cell{at.row - edit.drow, at.col - edit.dcol});
}

// What a live cell holds, as far as its formula goes.
enum class Holds : std::uint8_t {
    NOTHING,  // no formula
    TEXT,     // a formula whose text native code reads
    PYTHON,   // a formula object (array, data table) or text only Python reads
};

// The formula of the cell `e`: its text into `text` (a view of `buf`, of the arena or of a str).
Holds formula_of(State& st, const Entry& e, std::string& buf, std::string_view& text) {
    switch (e.tag) {
        case SHARED:
        case SHARED_OWN: {
            buf.clear();
            std::optional<Cell> dest;
            if (e.tag == SHARED) dest = Cell{e.row, e.col};
            if (!st.shared || !st.shared->render_into(static_cast<std::uint32_t>(e.payload), dest, buf))
                return Holds::PYTHON;
            text = buf;
            return Holds::TEXT;
        }
        case TEMPLATE:
            buf.clear();
            if (!st.templates[static_cast<std::uint32_t>(e.payload)].render_into(e.row, e.col, buf))
                return Holds::PYTHON;
            text = buf;
            return Holds::TEXT;
        case TEXT:
            if (e.dtype != FORMULA_DTYPE) return Holds::NOTHING;
            text = st.c.text_of(e.payload);
            return Holds::TEXT;
        case OBJ:
        case CELL: {
            PyObject* obj = st.objs[e.payload].get();
            if (e.tag == CELL) {
                PyObject* dtype = st.slot_class->get(obj, DTYPE_SLOT);
                if (!dtype || !PyUnicode_Check(dtype) || PyUnicode_CompareWithASCIIString(dtype, "f") != 0)
                    return Holds::NOTHING;
                obj = st.slot_class->get(obj, VALUE_SLOT);
            } else if (e.dtype != FORMULA_DTYPE) {
                return Holds::NOTHING;
            }
            if (!obj || !PyUnicode_CheckExact(obj)) return Holds::PYTHON;
            Py_ssize_t n = 0;
            const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
            if (!p) {
                PyErr_Clear();  // lone surrogates: Python's own str handling takes it
                return Holds::PYTHON;
            }
            text = std::string_view(p, static_cast<std::size_t>(n));
            return Holds::TEXT;
        }
        default:
            return Holds::NOTHING;
    }
}

// A formula's new value, worked out before anything changes.
struct Update {
    Loc loc;
    Cell to;            // where the cell goes
    bool python;        // Python rewrites it (its key goes back to the caller)
    bool set;           // `text` becomes its value
    std::string text;
    std::optional<std::uint32_t> renders_from = std::nullopt;  // its new template or master
};

// What the edit changes of formulas: the updates, and the cells whose formula's text changes
// (their cached results go), records in ascending order first.
struct Plan {
    std::vector<Update> updates;
    std::vector<Loc> retexted;
};

// Whether a cell whose value renders from its position (a template, a shared formula) still
// renders `text` at `to`.
bool renders_at(State& st, const Entry& e, Cell to, std::string_view text, std::string& buf) {
    if (e.tag == TEMPLATE) return st.templates[static_cast<std::uint32_t>(e.payload)].matches(text, to.row, to.col);
    buf.clear();
    return st.shared && st.shared->render_into(static_cast<std::uint32_t>(e.payload), to, buf) && buf == text;
}

// Whether a record or entry may hold a formula (the others are passed over unread).
bool may_hold_formula(std::uint8_t tag, std::uint8_t dtype) {
    return tag == SHARED || tag == SHARED_OWN || tag == TEMPLATE || tag == CELL || tag == OBJ ||
           (tag == TEXT && dtype == FORMULA_DTYPE);
}

// PERF NOTE: most formulas of a large sheet share a template or a shared formula, and a line
// edit shifts most of them by plain arithmetic on positions. Such a formula is "plain" when the
// tokenizer finds in its text exactly the references it renders from its cell's position, all
// unqualified cells and areas. A cell of a plain one still renders what the edit makes of its
// formula when the edit moves each relative reference as much as the cell, none into a deleted
// line or off the sheet: from the same template or master, or, when the edit moves the
// absolute references (the same in every cell), from a copy with those moved, made once.
// Anything else takes the general road: rendered, tokenized, rewritten.
class PlainFormulas {
public:
    PlainFormulas(State& st, const GridEdit& edit, bool host_edited)
        : st_(st), edit_(edit), host_(host_edited), templates_(st.templates.size()) {
        absolute_ = edit;
        absolute_.absolute_only = true;
    }

    // What the template or shared-formula cell `e` renders from after the edit (its template
    // or master index), when that is all the edit changes of it; nothing for the general road.
    // `retexted` tells whether the text it renders changes: from another index, or from the
    // same one at a new place in the edited direction with a reference relative to it.
    std::optional<std::uint32_t> renders_from(const Entry& e, Cell to, bool& retexted) {
        retexted = false;
        Plain& plain = e.tag == TEMPLATE ? template_of(e) : shared_of(e);
        if (!host_) {
            // Only a sheet name can point elsewhere.
            if (plain.verdict == QUALIFIED) return std::nullopt;
            return static_cast<std::uint32_t>(e.payload);
        }
        if (plain.verdict != PLAIN || edit_.kind == GridEdit::Kind::Move || !follows(plain.parts, Cell{e.row, e.col}))
            return std::nullopt;
        if (plain.moved == UNMADE) plain.moved = moved(e, plain);
        if (plain.moved == NONE) return std::nullopt;
        const bool shifted = edit_.rows ? to.row != e.row : to.col != e.col;
        retexted = plain.moved != e.payload ||
                   (shifted && std::ranges::any_of(plain.parts, [&](const RefPart& part) {
                        return !part.absolute && part.is_row == edit_.rows;
                    }));
        return plain.moved;
    }

private:
    static constexpr std::uint8_t UNKNOWN = 0, PLAIN = 1, QUALIFIED = 2, OTHER = 3;
    static constexpr std::uint32_t UNMADE = 0xFFFFFFFEu, NONE = 0xFFFFFFFFu;

    // A row or column a formula renders: `value` is the position itself when `absolute`, else
    // its offset from the rendering cell's.
    struct RefPart {
        std::int64_t value;
        bool absolute;
        bool is_row;
    };
    struct Plain {
        std::uint8_t verdict = UNKNOWN;
        std::vector<RefPart> parts;
        std::uint32_t moved = UNMADE;  // the index rendering the cells after the edit
    };

    Plain& template_of(const Entry& e) {
        Plain& plain = templates_[e.payload];
        if (plain.verdict != UNKNOWN) return plain;
        const auto& t = st_.templates[static_cast<std::uint32_t>(e.payload)];
        plain.verdict = OTHER;
        for (const auto& seg : t.segs()) {
            if (seg.kind == ftemplate::Template::Seg::TEXT) {
                if (seg.text.find('!') != std::string::npos) plain.verdict = QUALIFIED;
                continue;
            }
            plain.parts.push_back({seg.value, seg.absolute, seg.kind == ftemplate::Template::Seg::ROW});
        }
        buf_.clear();
        if (plain.verdict == QUALIFIED || !t.render_into(e.row, e.col, buf_)) return plain;
        // The template's references, a column then its row each, must be the tokenizer's.
        const auto refs = formula::plain_references(buf_);
        if (!refs || refs->size() * 2 != plain.parts.size()) return plain;
        for (std::size_t k = 0; k < refs->size(); ++k) {
            const RefPart& col = plain.parts[2 * k];
            const RefPart& row = plain.parts[2 * k + 1];
            const formula::CellRef ref{col.absolute ? col.value : col.value + e.col,
                                       row.absolute ? row.value : row.value + e.row, col.absolute, row.absolute};
            if ((*refs)[k] != ref) return plain;
        }
        plain.verdict = PLAIN;
        return plain;
    }

    Plain& shared_of(const Entry& e) {
        Plain& plain = shared_[static_cast<std::uint32_t>(e.payload)];
        if (plain.verdict != UNKNOWN) return plain;
        plain.verdict = OTHER;
        const formula::Translator* tr = master(e);
        buf_.clear();
        if (!tr || !formula::translate_into(*tr, std::nullopt, buf_)) return plain;
        if (buf_.find('!') != std::string::npos) {
            plain.verdict = QUALIFIED;
            return plain;
        }
        const auto refs = formula::plain_references(buf_);
        if (!refs) return plain;
        std::size_t relative = 0;
        for (const formula::CellRef& ref : *refs) {
            plain.parts.push_back({ref.col_abs ? ref.col : ref.col - tr->origin_col(), ref.col_abs, false});
            plain.parts.push_back({ref.row_abs ? ref.row : ref.row - tr->origin_row(), ref.row_abs, true});
            relative += !ref.col_abs + !ref.row_abs;
        }
        // Every part the translator shifts must be one of those references.
        const auto& segs = tr->segs();
        const auto shifted = static_cast<std::size_t>(std::count_if(
            segs.begin(), segs.end(), [](const formula::Seg& seg) { return seg.kind != formula::SegKind::Text; }));
        if (shifted == relative) plain.verdict = PLAIN;
        return plain;
    }

    const formula::Translator* master(const Entry& e) const {
        return st_.shared ? st_.shared->native(static_cast<std::uint32_t>(e.payload)) : nullptr;
    }

    // Whether every reference of the cell at `at` lands where the edit puts it when the cell
    // renders from its new place: a relative one moves as much as the cell, an absolute one
    // anywhere but off the sheet or into a deleted line.
    bool follows(const std::vector<RefPart>& parts, Cell at) const {
        const std::int64_t line = edit_.rows ? at.row : at.col;
        const std::optional<std::int64_t> moved_to = edit_.line(line);
        if (!moved_to) return false;
        const std::int64_t shift = *moved_to - line;
        for (const RefPart& part : parts) {
            const std::int64_t x = part.absolute ? part.value : part.value + (part.is_row ? at.row : at.col);
            if (x < 1 || x > (part.is_row ? formula::MAX_SHEET_ROW : formula::MAX_SHEET_COLUMN)) return false;
            if (part.is_row != edit_.rows) continue;
            const std::optional<std::int64_t> to = edit_.line(x);
            if (!to || (!part.absolute && *to - x != shift)) return false;
        }
        return true;
    }

    // The template or master that renders the cells after the edit: the same one when the edit
    // leaves its absolute references where they are, else a copy with them moved.
    std::uint32_t moved(const Entry& e, const Plain& plain) {
        bool same = true;
        for (const RefPart& part : plain.parts) {
            if (part.absolute && part.is_row == edit_.rows) {
                const std::optional<std::int64_t> to = edit_.line(part.value);
                if (!to) return NONE;
                same = same && *to == part.value;
            }
        }
        if (same) return static_cast<std::uint32_t>(e.payload);
        if (e.tag == TEMPLATE) {
            const auto& t = st_.templates[static_cast<std::uint32_t>(e.payload)];
            return st_.templates.add(t.with_absolute(edit_.rows, [&](std::int64_t v) { return *edit_.line(v); }));
        }
        const formula::Translator* tr = master(e);
        buf_.clear();
        if (!tr || !formula::translate_into(*tr, std::nullopt, buf_)) return NONE;
        auto text = formula::shift_formula(buf_, absolute_, true);
        if (!text || !*text) return NONE;
        auto made = formula::Translator::create(**text, tr->origin_row(), tr->origin_col());
        if (!made) return NONE;
        return st_.shared->add(std::move(*made));
    }

    State& st_;
    const GridEdit& edit_;
    GridEdit absolute_;
    bool host_;
    std::vector<Plain> templates_;
    std::unordered_map<std::uint32_t, Plain> shared_;
    std::string buf_;
};

// The update the edit makes to the formula of the cell at `loc`, if any.
void plan_cell(State& st, const GridEdit& edit, bool host_edited, const GridEdit* offset, Loc loc,
               PlainFormulas& plain, std::string& buf, std::string& render, Plan& out) {
    std::vector<Update>& updates = out.updates;
    const Entry e = st.c.entry(loc);
    const Cell at{e.row, e.col};
    std::optional<Cell> to = host_edited ? edit.cell(at) : at;
    if (!to) return;  // deleted with its cell
    if (host_edited && edit.kind == GridEdit::Kind::Move && overwritten(edit, at)) return;
    if (e.tag == TEMPLATE || e.tag == SHARED) {
        bool retexted = false;
        if (const auto from = plain.renders_from(e, *to, retexted)) {
            if (*from != e.payload) updates.push_back({loc, *to, false, false, {}, *from});
            if (retexted) out.retexted.push_back(loc);
            return;
        }
    }
    std::string_view text;
    const Holds holds = formula_of(st, e, buf, text);
    if (holds == Holds::NOTHING) return;
    const bool moved = to->row != at.row || to->col != at.col;
    if (holds == Holds::PYTHON) {
        updates.push_back({loc, *to, true, false, {}});
        return;
    }
    // PERF NOTE: only a reference with a sheet name can point into another sheet.
    if (!host_edited && text.find('!') == std::string_view::npos) return;
    const bool positional = e.tag == TEMPLATE || e.tag == SHARED;
    auto shifted = formula::shift_formula(text, moved && offset ? *offset : edit, host_edited);
    if (!shifted) {
        // Python decides; a value that renders from its position is fixed as text first.
        const bool freeze = positional && moved;
        updates.push_back({loc, *to, true, freeze, freeze ? std::string(text) : std::string()});
    } else if (*shifted) {
        updates.push_back({loc, *to, false, true, std::move(**shifted)});
        out.retexted.push_back(loc);
    } else if (positional && moved && !renders_at(st, e, *to, text, render)) {
        updates.push_back({loc, *to, false, true, std::string(text)});
    }
}

// The updates the edit makes to formulas; NeedPython cases go to Python.
Plan plan(State& st, const GridEdit& edit, bool host_edited, const GridEdit* offset) {
    Plan planned;
    std::string buf, render;
    PlainFormulas plain(st, edit, host_edited);
    const Base& b = st.c.base;
    for (std::size_t k = 0; k < b.row_numbers.size(); ++k) {
        for (std::uint32_t i = b.row_starts[k]; i < b.row_starts[k + 1]; ++i) {
            const Rec& rec = b.recs[i];
            if (!may_hold_formula(rec.tag, rec.dtype)) continue;
            const Loc loc{Loc::RECORD, i, b.row_numbers[k]};
            plan_cell(st, edit, host_edited, offset, loc, plain, buf, render, planned);
        }
    }
    for (std::uint32_t i = 0; i < st.c.entries.size(); ++i) {
        const Entry& e = st.c.entries[i];
        if (!may_hold_formula(e.tag, e.dtype)) continue;
        plan_cell(st, edit, host_edited, offset, Loc{Loc::ENTRY, i, 0}, plain, buf, render, planned);
    }
    return planned;
}

// What a cell was read with (`_loaded`) without the cached result of its formula: the same
// object when it keeps none, None when nothing else is left.
Ref without_cached(PyObject* loaded) {
    if (!loaded || !PyTuple_CheckExact(loaded) || PyTuple_GET_SIZE(loaded) != 4 ||
        PyTuple_GET_ITEM(loaded, 2) == Py_None)
        return Ref::borrow(loaded ? loaded : Py_None);
    PyObject* attrs = PyTuple_GET_ITEM(loaded, 0);
    PyObject* shared = PyTuple_GET_ITEM(loaded, 1);
    PyObject* runs = PyTuple_GET_ITEM(loaded, 3);
    if (PyTuple_CheckExact(attrs) && PyTuple_GET_SIZE(attrs) == 0 && shared == Py_None && runs == Py_None)
        return Ref::borrow(Py_None);
    return Ref::steal(PyTuple_Pack(4, attrs, shared, Py_None, runs));
}

// A formula whose text the edit changed: the result it was read with belongs to the old text
// and goes (the saved file asks for a calculation on opening); what else the cell was read
// with stays. `hint` as for KeptTable::take. False (MemoryError) when the new `_loaded` cannot
// be made.
bool drop_cached(State& st, Loc loc, std::size_t& hint, std::vector<Ref>& dropped) {
    const Entry e = st.c.entry(loc);
    if (e.tag == CELL) {
        PyObject* cell = st.objs[e.payload].get();
        PyObject* loaded = st.slot_class->get(cell, LOADED_SLOT);
        Ref trimmed = without_cached(loaded);
        if (!trimmed) return false;
        if (trimmed.get() != loaded) st.slot_class->set(cell, LOADED_SLOT, std::move(trimmed));
        return true;
    }
    Kept kept = st.c.kept.take(loc, hint);
    if (kept.obj == NO_OBJ) return true;  // a cached result kept natively was all it kept
    Ref trimmed = without_cached(st.objs[kept.obj].get());
    if (!trimmed) {
        st.c.kept.put(loc, kept);
        return false;
    }
    if (trimmed.get() == Py_None) {
        dropped.push_back(st.drop_payload(kept.obj, OBJ));
        return true;
    }
    if (trimmed.get() != st.objs[kept.obj].get())
        dropped.push_back(std::exchange(st.objs[kept.obj], std::move(trimmed)));
    kept.cached = 0;
    kept.cached_type = NO_CACHED;
    st.c.kept.put(loc, kept);
    return true;
}

// Makes `text` the formula of the cell at `loc`, which goes to `to`: a template still rendering
// it there stays, else the text is stored as text (a cell object gets a new str).
bool set_formula(State& st, const Update& u, std::vector<Ref>& dropped) {
    const Entry e = st.c.entry(u.loc);
    if (e.tag == CELL) {
        Ref value = str_of(u.text);
        if (!value) return false;
        st.slot_class->set(st.objs[e.payload].get(), VALUE_SLOT, std::move(value));
        return true;
    }
    if (e.tag == TEMPLATE && st.templates[static_cast<std::uint32_t>(e.payload)].matches(u.text, u.to.row, u.to.col))
        return true;
    Ref obj;
    std::optional<std::uint64_t> ref = st.c.store_text(u.text);
    if (!ref) {
        obj = str_of(u.text);
        if (!obj) return false;
    }
    dropped.push_back(st.drop_payload(e.payload, e.tag));
    if (ref) {
        st.c.set_value(u.loc, TEXT, *ref);
    } else {
        st.c.set_value(u.loc, OBJ, st.put_obj(std::move(obj)));
    }
    return true;
}

// Gives a cell object its new place; false (MemoryError) when an int cannot be made.
bool place_cell(State& st, const Entry& e, Cell to) {
    if (e.tag != CELL) return true;
    PyObject* cell = st.objs[e.payload].get();
    if (to.row != e.row) {
        Ref row = Ref::steal(PyLong_FromLongLong(to.row));
        if (!row) return false;
        st.slot_class->set(cell, ROW_SLOT, std::move(row));
    }
    if (to.col != e.col) {
        Ref col = Ref::steal(PyLong_FromLongLong(to.col));
        if (!col) return false;
        st.slot_class->set(cell, COLUMN_SLOT, std::move(col));
    }
    return true;
}

// A cell deleted by the edit: its value and what it was read with beyond it.
void drop_cell(State& st, Loc loc, const Entry& e, std::vector<Ref>& dropped) {
    dropped.push_back(st.drop_payload(e.payload, e.tag));
    dropped.push_back(st.take_kept(loc));
}

// Rows or columns inserted or deleted: the row index renumbered, record columns changed in
// place, and every live record copied down over the deleted and dead ones in one pass.
bool move_lines(State& st, const GridEdit& edit, std::vector<Ref>& dropped) {
    Compact& c = st.c;
    Base& b = c.base;
    bool ok = true;
    std::vector<std::uint32_t> numbers, starts;
    numbers.reserve(b.row_numbers.size());
    starts.reserve(b.row_numbers.size() + 1);
    starts.push_back(0);
    decltype(b.style_overflow) overflow(0, SeededHash{b.style_overflow.hash_function().seed});
    // Where each record goes, for the data kept by record location (none kept: not needed).
    std::vector<std::uint32_t> moved_to(c.kept.empty() ? 0 : b.recs.size(), NO_OBJ);
    std::uint32_t w = 0;
    for (std::size_t k = 0; k < b.row_numbers.size(); ++k) {
        const std::uint32_t row = b.row_numbers[k];
        const std::optional<std::int64_t> new_row = edit.rows ? edit.line(row) : std::optional<std::int64_t>(row);
        const std::uint32_t first = w;
        for (std::uint32_t i = b.row_starts[k]; i < b.row_starts[k + 1]; ++i) {
            Rec rec = b.recs[i];
            if (rec.tag == DEAD) continue;
            const Loc loc{Loc::RECORD, i, row};
            const std::optional<std::int64_t> new_col =
                edit.rows ? std::optional<std::int64_t>(rec.col) : edit.line(rec.col);
            if (!new_row || !new_col) {
                drop_cell(st, loc, c.entry(loc), dropped);
                --b.live_recs;
                continue;
            }
            if (rec.tag == CELL) ok = place_cell(st, c.entry(loc), Cell{*new_row, *new_col}) && ok;
            if (rec.style == STYLE_OVERFLOW) overflow[w] = b.style_overflow.at(i);
            rec.col = static_cast<std::uint16_t>(*new_col);
            if (!moved_to.empty()) moved_to[i] = w;
            b.recs[w++] = rec;
        }
        if (w > first) {
            numbers.push_back(static_cast<std::uint32_t>(*new_row));
            starts.push_back(w);
        }
    }
    if (!moved_to.empty()) c.kept.renumber_records(moved_to);
    b.recs.truncate(w);
    b.style_overflow = std::move(overflow);
    b.row_numbers = std::move(numbers);
    b.row_starts = std::move(starts);
    if (b.row_numbers.empty()) b.row_starts.clear();
    for (std::uint32_t i = 0; i < c.entries.size(); ++i) {
        Entry& e = c.entries[i];
        if (e.tag == DEAD) continue;
        const std::optional<Cell> to = edit.cell(Cell{e.row, e.col});
        if (!to) {
            drop_cell(st, Loc{Loc::ENTRY, i, 0}, e, dropped);
            e.tag = DEAD;
            --c.live_entries;
            continue;
        }
        ok = place_cell(st, e, *to) && ok;
        e.row = static_cast<std::uint32_t>(to->row);
        e.col = static_cast<std::uint32_t>(to->col);
    }
    c.compact_entries();
    return ok;
}

// The cells of a rectangle moved: they leave their places and come back as entries at the
// new ones; the cells where the rectangle lands go.
bool move_rect(State& st, const GridEdit& edit, std::vector<Ref>& dropped) {
    Compact& c = st.c;
    struct Moving {
        Entry e;
        Cell to;
        Kept kept;
    };
    std::vector<Moving> moving;
    for (const Loc& loc : c.locs()) {
        const Entry e = c.entry(loc);
        const Cell at{e.row, e.col};
        if (edit.inside(at)) {
            moving.push_back({e, Cell{e.row + edit.drow, e.col + edit.dcol}, c.kept.take(loc)});
        } else if (overwritten(edit, at)) {
            drop_cell(st, loc, e, dropped);
        } else {
            continue;
        }
        c.unlink(loc);
    }
    bool ok = true;
    for (const Moving& m : moving) {
        ok = place_cell(st, m.e, m.to) && ok;
        const Loc to = c.append_entry(static_cast<std::uint32_t>(m.to.row), static_cast<std::uint32_t>(m.to.col),
                                      m.e.payload, m.e.style, m.e.tag, m.e.dtype);
        c.kept.put(to, m.kept);
    }
    c.compact_entries_if_due();
    return ok;
}

Ref key_of(Cell at) {
    return Ref::steal(Py_BuildValue("(LL)", static_cast<long long>(at.row), static_cast<long long>(at.col)));
}

}  // namespace

Ref formula_objects(State& st) {
    Ref keys = Ref::steal(PyList_New(0));
    if (!keys) return {};
    std::string buf;
    for (const Loc& loc : st.c.locs()) {
        const Entry e = st.c.entry(loc);
        if (e.tag != OBJ && e.tag != CELL) continue;
        std::string_view text;
        if (formula_of(st, e, buf, text) != Holds::PYTHON) continue;
        Ref key = key_of(Cell{e.row, e.col});
        if (!key || PyList_Append(keys.get(), key.get()) < 0) return {};
    }
    return keys;
}

Ref edit_cells(State& st, const GridEdit& edit, bool host_edited, bool translate, std::vector<Ref>& dropped) {
    std::optional<GridEdit> offset;
    if (translate && edit.kind == GridEdit::Kind::Move) {
        offset = GridEdit{};
        offset->kind = GridEdit::Kind::Offset;
        offset->drow = edit.drow;
        offset->dcol = edit.dcol;
    }
    Plan planned = plan(st, edit, host_edited, offset ? &*offset : nullptr);
    const std::vector<Update>& updates = planned.updates;
    Ref keys = Ref::steal(PyList_New(0));
    if (!keys) return {};
    Ref changed = Ref::borrow(updates.empty() && planned.retexted.empty() ? Py_False : Py_True);
    Ref result = Ref::steal(PyTuple_Pack(2, keys.get(), changed.get()));
    if (!result) return {};
    for (const Update& u : updates) {
        if (u.python) {
            Ref key = key_of(u.to);
            if (!key || PyList_Append(keys.get(), key.get()) < 0) return {};
        }
    }
    // From here on the store changes; what fails now (a str or an int that cannot be made) is
    // reported once the store is whole again.
    bool ok = true;
    for (const Update& u : updates) {
        if (u.set) ok = set_formula(st, u, dropped) && ok;
        if (u.renders_from) st.c.set_value(u.loc, st.c.entry(u.loc).tag, *u.renders_from);
    }
    std::size_t hint = 0;
    for (const Loc& loc : planned.retexted) ok = drop_cached(st, loc, hint, dropped) && ok;
    if (host_edited) {
        ok = (edit.kind == GridEdit::Kind::Move ? move_rect(st, edit, dropped) : move_lines(st, edit, dropped)) && ok;
        ++st.c.version;
        st.row_cache_int = Ref();
        st.row_index_hint = 0;
    }
    // Like a finished load, the store keeps no lookup tables of texts.
    st.c.text_index.clear();
    st.c.base.val_dedupe.clear();
    if (!ok) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return {};
    }
    return result;
}

namespace {

// A value for the copy: immutable values are shared, others (formula objects) copied.
Ref value_copy(PyObject* value, Ref& copier) {
    if (value == nullptr || value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) ||
        PyFloat_CheckExact(value) || PyBool_Check(value)) {
        return Ref::borrow(value);
    }
    if (!copier) {
        Ref module = Ref::steal(PyImport_ImportModule("copy"));
        if (!module) return {};
        copier = Ref::steal(PyObject_GetAttrString(module.get(), "copy"));
        if (!copier) return {};
    }
    return Ref::steal(PyObject_CallOneArg(copier.get(), value));
}

// A new cell object like `cell`, for the copy's worksheet.
Ref cell_copy(State& src, State& dst, PyObject* cell, const Entry& e, Ref& copier) {
    Ref value = value_copy(src.slot_class->get(cell, VALUE_SLOT), copier);
    if (!value) return {};
    PyObject* style = src.slot_class->get(cell, STYLE_SLOT);
    Ref style_copy = Ref::borrow(Py_None);
    if (style != nullptr && style != Py_None) {
        Ref args = Ref::steal(PyTuple_Pack(2, dst.typecode.get(), style));
        if (!args) return {};
        style_copy = Ref::steal(dst.array_new(Py_TYPE(style), args.get(), nullptr));
        if (!style_copy) return {};
    }
    PyObject* dtype = src.slot_class->get(cell, DTYPE_SLOT);
    PyObject* loaded = src.slot_class->get(cell, LOADED_SLOT);  // immutable: shared
    Ref row = Ref::steal(PyLong_FromUnsignedLong(e.row));
    if (!row) return {};
    return new_cell(dst, std::move(row), e.col, std::move(value), std::move(style_copy),
                    Ref::borrow(dtype ? dtype : Py_None), Ref::borrow(loaded ? loaded : Py_None));
}

}  // namespace

Ref copy_cells(State& st, PyObject* ws) {
    PyTypeObject* type = cell_store_type();
    if (!type) return {};
    Ref store = Ref::steal(type->tp_alloc(type, 0));
    if (!store) return {};
    new (&reinterpret_cast<CellStoreObject*>(store.get())->state) State();
    State& dst = state_of(store.get());
    // The copy's cells keep what the source's were read with beyond their values (cached
    // results, attributes), as the pure-Python path's copies do: the kept data is copied with
    // the records, its objects (immutable) shared.
    dst.c = st.c;
    dst.templates = st.templates;
    dst.slot_class = st.slot_class->clone();
    dst.epoch = st.epoch;
    if (st.shared) dst.shared = st.shared->clone();
    for (const Ref& d : st.extra_dtypes) dst.extra_dtypes.push_back(d.clone());
    dst.ws = Ref::borrow(ws);
    dst.cell_styles = st.cell_styles.clone();
    dst.shared_strings = st.shared_strings.clone();
    dst.array_type = st.array_type.clone();
    dst.array_new = st.array_new;
    dst.typecode = st.typecode.clone();
    for (std::size_t i = 0; i < FIXED_DTYPES; ++i) dst.dtypes[i] = st.dtypes[i].clone();
    dst.free_objs = st.free_objs;
    dst.objs.resize(st.objs.size());
    Ref copier;
    for (const Loc& loc : st.c.locs()) {
        const Entry e = st.c.entry(loc);
        if (e.tag != CELL && e.tag != OBJ) continue;
        PyObject* obj = st.objs[e.payload].get();
        Ref made = e.tag == CELL ? cell_copy(st, dst, obj, e, copier) : value_copy(obj, copier);
        if (!made) return {};
        dst.objs[e.payload] = std::move(made);
    }
    for (const Loc& loc : st.c.locs()) {
        const Kept* kept = st.c.kept.find(loc);
        if (kept && kept->obj != NO_OBJ) dst.objs[kept->obj] = st.objs[kept->obj].clone();
    }
    return store;
}

}  // namespace qf::store
