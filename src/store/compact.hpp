// The compact half of the cell store: ten-byte records in chunked arrays that never move, the
// side list of entries for cells that do not fit them, the text arena, and the operations that
// place, find, decode and remove cells. Python objects are referred to only by index here (the
// object table lives with the Python type in store.hpp); byte-level, no Python.h.
#pragma once

#include "store/fxhash.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qf::store {

// Value kinds of records and entries.
enum Tag : std::uint8_t {
    DEAD = 0,         // deleted record or dead entry
    CELL = 1,         // payload: object-table index of the materialised cell
    NONE = 2,         // None
    INT = 3,          // signed 64-bit integer
    FLOAT = 4,        // double bits
    BOOL = 5,         // 0 or 1
    SST = 6,          // index into the shared string list
    TEXT = 7,         // text reference into the arena
    SHARED = 8,       // shared-formula master, translated to this cell
    SHARED_OWN = 9,   // shared-formula master, its own text
    DATE_INT = 10,    // integer serial
    DATE_FLOAT = 11,  // double serial bits
    OBJ = 12,         // object-table index of a value without compact form
    TEMPLATE = 13,    // index into the formula templates
    INT32 = 100,      // records only: an int32 kept in the payload itself
    DATE_INT32 = 101, // records only: an integer serial within int32, in the payload itself
};

// The 64-bit payload of an int32 kept in a record's payload.
constexpr std::uint64_t widen_int32(std::uint32_t payload) noexcept {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(payload)));
}

inline constexpr std::uint32_t CHUNK = 65536;
inline constexpr std::uint32_t NO_STYLE = 0xFFFFFFFFu;
inline constexpr std::uint32_t NO_OBJ = 0xFFFFFFFFu;
inline constexpr std::uint16_t STYLE_OVERFLOW = 0xFFFF;
inline constexpr std::uint32_t MAX_TEXT = 0xFFFFFF;  // longest text the arena takes (24-bit length)

constexpr std::uint64_t make_key(std::uint32_t row, std::uint32_t col) noexcept {
    return (std::uint64_t{row} << 32) | col;
}

// Whether a tag keeps its payload in `vals` when stored in a record.
constexpr bool is_wide(std::uint8_t tag) noexcept {
    return tag == INT || tag == FLOAT || tag == TEXT || tag == DATE_INT || tag == DATE_FLOAT;
}

// Text reference: high 40 bits arena offset, low 24 bits length.
constexpr std::uint64_t text_ref(std::uint64_t offset, std::uint64_t len) noexcept { return (offset << 24) | len; }
constexpr std::uint64_t text_offset(std::uint64_t ref) noexcept { return ref >> 24; }
constexpr std::uint64_t text_len(std::uint64_t ref) noexcept { return ref & MAX_TEXT; }

// A growable array whose elements never move: chunks of exactly CHUNK elements.
template <class T>
class ChunkVec {
public:
    std::uint32_t size() const noexcept { return size_; }
    T& operator[](std::uint32_t i) noexcept { return chunks_[i / CHUNK][i % CHUNK]; }
    const T& operator[](std::uint32_t i) const noexcept { return chunks_[i / CHUNK][i % CHUNK]; }
    std::size_t chunk_count() const noexcept { return chunks_.size(); }
    // Element i (< size()) and, in `count`, how many elements from it on lie in its chunk: a
    // run walked by pointer.
    const T* run(std::uint32_t i, std::uint32_t& count) const noexcept {
        const std::vector<T>& chunk = chunks_[i / CHUNK];
        count = static_cast<std::uint32_t>(chunk.size() - i % CHUNK);
        return chunk.data() + i % CHUNK;
    }

    std::uint32_t push(const T& value) {
        if (size_ % CHUNK == 0) {
            chunks_.emplace_back();
            chunks_.back().reserve(CHUNK);
        } else if (chunks_.back().size() == chunks_.back().capacity()) {
            chunks_.back().reserve(CHUNK);  // only after shrink(): the chunk regains its full room
        }
        chunks_.back().push_back(value);
        return size_++;
    }

    void clear() noexcept {
        chunks_.clear();
        chunks_.shrink_to_fit();
        size_ = 0;
    }

    // Keeps the first `n` elements (n <= size()).
    void truncate(std::uint32_t n) {
        const std::size_t keep = (std::size_t{n} + CHUNK - 1) / CHUNK;
        chunks_.resize(keep);
        if (keep > 0) chunks_.back().resize(n - (keep - 1) * std::size_t{CHUNK});
        size_ = n;
    }

    void shrink() {
        chunks_.shrink_to_fit();
        if (!chunks_.empty()) chunks_.back().shrink_to_fit();
    }

private:
    std::vector<std::vector<T>> chunks_;
    std::uint32_t size_ = 0;
};

#pragma pack(push, 1)
struct Rec {
    std::uint16_t col;
    std::uint8_t tag;
    std::uint8_t dtype;
    std::uint16_t style;     // STYLE_OVERFLOW: the id is in Base::style_overflow
    std::uint32_t payload;   // or an index into Base::vals for wide tags
};
#pragma pack(pop)
static_assert(sizeof(Rec) == 10, "records are ten bytes: the store's memory budget depends on it");

struct Entry {
    std::uint32_t col = 0;
    std::uint32_t row = 0;
    std::uint64_t payload = 0;
    std::uint32_t style = NO_STYLE;
    std::uint8_t tag = DEAD;
    std::uint8_t dtype = 0;
};

struct Loc {
    enum Kind : std::uint32_t { RECORD = 0, ENTRY = 1 };
    std::uint32_t kind = RECORD;
    std::uint32_t index = 0;  // record location or index into entries
    std::uint32_t row = 0;    // records only
};

// The `t` of a formula's cached result as read, for the common ones; any other `t` is kept in
// the cell's Python object (Kept::obj).
enum CachedType : std::uint8_t {
    NO_CACHED = 0,  // no cached result kept
    CACHED_NO_T,    // no `t` attribute: a number
    CACHED_STR,     // "str"
    CACHED_N,       // "n"
    CACHED_B,       // "b"
    CACHED_E,       // "e"
    CACHED_S,       // "s"
    CACHED_D,       // "d"
    CACHED_TYPES,
};

// The `t` text of a cached type (none for CACHED_NO_T), and the type of a `t` (none: unusual).
std::optional<std::string_view> cached_t_text(std::uint8_t type) noexcept;
std::optional<std::uint8_t> cached_type_of(bool has_t, std::string_view t) noexcept;

// What a loaded cell was read with beyond its value, style and data type, kept so that the cell
// is saved as it was read while the user does not change it (the package's `Cell._loaded`).
// PERF NOTE: formula cells are the common case, their cached result kept natively as arena
// text; the rare rest (extra attributes, runs, unusual types) is one Python object.
struct Kept {
    std::uint64_t cached = 0;           // text reference of the cached result's `<v>` text
    std::uint32_t obj = NO_OBJ;         // object-table index of the cell's `_loaded` object
    std::uint8_t cached_type = NO_CACHED;

    bool empty() const noexcept { return obj == NO_OBJ && cached_type == NO_CACHED; }
};

// Kept data by cell location. Records' locations never move (a shift of rows or columns done in
// place keeps them), so their data stays with them; entries are renumbered when their list is
// compacted. A cell's data is taken when it is materialised (its cell object holds it from then
// on), removed or replaced.
class KeptTable {
public:
    bool empty() const noexcept { return live_ == 0; }
    std::size_t size() const noexcept { return live_; }
    const Kept* find(const Loc& loc) const noexcept;
    // The same, for locations met in ascending order (a sheet written record by record): `hint`
    // carries where the last one was found. PERF NOTE: a pass costs one walk of the table
    // instead of a binary search per cell; any hint gives the right answer.
    const Kept* find(const Loc& loc, std::size_t& hint) const noexcept;
    // Sets the data of a cell that has none (the caller took what it had); empty data is not kept.
    void put(const Loc& loc, const Kept& kept);
    // Removes and returns the data of `loc` (empty when it had none).
    Kept take(const Loc& loc) noexcept;
    // The same, for locations met in ascending order, `hint` as for find.
    Kept take(const Loc& loc, std::size_t& hint) noexcept;
    // After the entry list was compacted: `new_index[i]` is the new index of old entry i.
    void renumber_entries(const std::vector<std::uint32_t>& new_index);
    // After the records were copied down over dead ones (rows or columns inserted or deleted):
    // `new_index[i]` is the new location of old record i (NO_OBJ: gone, its data taken first).
    void renumber_records(const std::vector<std::uint32_t>& new_index);
    void clear() noexcept;
    void shrink();

private:
    // The position of record location `index` in rec_locs_, or where it would go, walking on
    // from `hint` when that is not past it; a binary search from NO_HINT.
    static constexpr std::size_t NO_HINT = SIZE_MAX;
    std::size_t rec_position(std::uint32_t index, std::size_t& hint) const noexcept;
    // The data rec_late_ holds for record location `index`, if any.
    const Kept* late(std::uint32_t index) const noexcept;
    Kept take_at(std::size_t i) noexcept;
    Kept take_from(std::unordered_map<std::uint32_t, Kept>& map, std::uint32_t index) noexcept;

    // The position of record location `index` in rec_locs_ (binary search), or where it would go.
    std::uint32_t rec_lower_bound(std::uint32_t index) const noexcept;

    // PERF NOTE: loading appends records in location order, so the records' data is a sorted
    // list (binary search; a taken item is left empty rather than erased). It is chunked like
    // the records: a growing vector copied and faulted in twice its final size again as it
    // doubled, then once more when shrunk. The rare record placed out of order (a cell given
    // data again after a later one got some) goes to rec_late_.
    ChunkVec<std::uint32_t> rec_locs_;
    ChunkVec<Kept> rec_kept_;
    std::unordered_map<std::uint32_t, Kept> rec_late_;
    std::unordered_map<std::uint32_t, Kept> entry_kept_;
    std::size_t live_ = 0;
};

// A keyed hash for the style overflow table; the seed is drawn afresh on every reset.
struct SeededHash {
    std::uint64_t seed = 0;
    std::size_t operator()(std::uint32_t key) const noexcept;
};

struct Base {
    ChunkVec<Rec> recs;
    ChunkVec<std::uint64_t> vals;
    std::unordered_map<std::uint32_t, std::uint32_t, SeededHash> style_overflow;
    FxTable val_dedupe;
    std::vector<std::uint32_t> row_numbers;  // strictly ascending
    std::vector<std::uint32_t> row_starts;   // one longer than row_numbers once a row exists
    std::uint32_t live_recs = 0;

    // Value in record form: (tag, 32-bit payload).
    std::pair<std::uint8_t, std::uint32_t> encode(std::uint8_t tag, std::uint64_t payload);
    // Index k into row_numbers of the row holding record location `loc`.
    std::size_t row_index_of(std::uint32_t loc) const noexcept;
};

// The result of placing a loaded cell over an existing one: the old value, for the caller to
// release its object-table slot.
struct Replaced {
    std::uint8_t tag;
    std::uint64_t payload;
};

// The rows and columns that live cells span.
struct Extent {
    std::uint32_t min_row, max_row, min_col, max_col;
};

inline void widen(Extent& x, std::uint32_t row, std::uint32_t col) noexcept {
    x.min_row = std::min(x.min_row, row);
    x.max_row = std::max(x.max_row, row);
    x.min_col = std::min(x.min_col, col);
    x.max_col = std::max(x.max_col, col);
}

class Compact {
public:
    Base base;
    std::vector<Entry> entries;
    FxTable entry_index;
    std::uint32_t live_entries = 0;
    std::string text;
    FxTable text_index;
    std::uint64_t version = 0;
    KeptTable kept;

    std::uint32_t len() const noexcept { return base.live_recs + live_entries; }

    std::optional<Loc> find_key(std::uint32_t col, std::uint32_t row) const noexcept;
    Entry entry(Loc loc) const noexcept;
    std::vector<Loc> locs() const;
    std::optional<Loc> last_loc() const noexcept;
    // The extent of the live cells, none without any. PERF NOTE: measured once when loading
    // finishes and reused while `version` (moved by every change of the keys) stays; else a
    // walk in steps per row.
    std::optional<Extent> extent() const noexcept;

    // A text value: (TEXT, reference), or nothing when it is too long for the arena (the caller
    // keeps it as a Python object).
    std::optional<std::uint64_t> store_text(std::string_view bytes);
    std::string_view text_of(std::uint64_t ref) const noexcept {
        return std::string_view(text).substr(text_offset(ref), text_len(ref));
    }

    // Loading: appends a record when the document order allows, else overwrites or appends an
    // entry; `placed` (if given) receives where the cell went.
    std::optional<Replaced> load_cell(std::uint32_t row, std::uint32_t col, std::uint8_t tag,
                                      std::uint64_t payload, std::uint32_t style, std::uint8_t dtype,
                                      Loc* placed = nullptr);
    // Sets the value of a live cell in place (tag 1 after materialisation or assignment).
    void set_value(Loc loc, std::uint8_t tag, std::uint64_t payload);
    // Appends a new entry (assignment or row access), counts it and maps it in entry_index.
    Loc append_entry(std::uint32_t row, std::uint32_t col, std::uint64_t payload, std::uint32_t style,
                     std::uint8_t tag, std::uint8_t dtype);
    // Marks a cell removed (the caller released its payload and kept data first) and compacts
    // entries if due.
    void remove(Loc loc);
    // Marks a cell removed without counting a change or compacting: for an edit that removes
    // several cells while it still holds locations, and calls compact_entries_if_due after.
    void unlink(Loc loc);
    void compact_entries_if_due();
    // Rebuilds entry_index for the live entries, dropping the dead ones from the list.
    void compact_entries();

    void reset();
    void finish_loading();

private:
    std::optional<Extent> loaded_extent_;
    std::uint64_t loaded_extent_version_ = UINT64_MAX;  // the version it holds for

    // PERF NOTE: the columns of the records appended since the reset, bounded as they came:
    // measuring a loaded sheet of millions of rows walked them again, a cache miss per row.
    std::uint32_t appended_min_col_ = UINT32_MAX;
    std::uint32_t appended_max_col_ = 0;

    std::optional<Extent> measure_extent() const noexcept;
    // The extent at the end of a load: from the bounds kept while appending when no record
    // was removed since, else measured.
    std::optional<Extent> appended_extent() const noexcept;
    void put_record_value(std::uint32_t loc, std::uint8_t tag, std::uint64_t payload, std::uint32_t style,
                          std::uint8_t dtype);
};

// PERF NOTE: inline, since every value read (a row of `ws.values` a cell at a time) goes through it.
inline Entry Compact::entry(Loc loc) const noexcept {
    if (loc.kind == Loc::ENTRY) return entries[loc.index];
    const Rec rec = base.recs[loc.index];
    Entry e;
    e.col = rec.col;
    e.row = loc.row;
    e.tag = rec.tag;
    e.dtype = rec.dtype;
    if (rec.style == STYLE_OVERFLOW) {
        // Present by construction: the record's style was set together with this entry.
        auto it = base.style_overflow.find(loc.index);
        e.style = it != base.style_overflow.end() ? it->second : NO_STYLE;
    } else {
        e.style = rec.style;
    }
    if (rec.tag == INT32 || rec.tag == DATE_INT32) {
        e.tag = rec.tag == INT32 ? INT : DATE_INT;
        e.payload = widen_int32(rec.payload);
    } else if (is_wide(rec.tag)) {
        e.payload = base.vals[rec.payload];
    } else {
        e.payload = rec.payload;
    }
    return e;
}

}  // namespace qf::store
