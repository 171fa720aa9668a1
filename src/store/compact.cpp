// Placement, lookup, decoding and removal of compact cells (see compact.hpp).
#include "store/compact.hpp"

#include <algorithm>
#include <random>

namespace qf::store {

namespace {

std::uint64_t fresh_seed() {
    static thread_local std::mt19937_64 gen{std::random_device{}()};
    return gen();
}

}  // namespace

namespace {

constexpr std::string_view CACHED_T[CACHED_TYPES] = {"", "", "str", "n", "b", "e", "s", "d"};

}  // namespace

std::optional<std::string_view> cached_t_text(std::uint8_t type) noexcept {
    if (type <= CACHED_NO_T || type >= CACHED_TYPES) return std::nullopt;
    return CACHED_T[type];
}

std::optional<std::uint8_t> cached_type_of(bool has_t, std::string_view t) noexcept {
    if (!has_t) return CACHED_NO_T;
    for (std::uint8_t type = CACHED_STR; type < CACHED_TYPES; ++type) {
        if (CACHED_T[type] == t) return type;
    }
    return std::nullopt;
}

std::uint32_t KeptTable::rec_lower_bound(std::uint32_t index) const noexcept {
    std::uint32_t lo = 0, hi = rec_locs_.size();
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (rec_locs_[mid] < index) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

const Kept* KeptTable::late(std::uint32_t index) const noexcept {
    if (rec_late_.empty()) return nullptr;
    auto it = rec_late_.find(index);
    return it != rec_late_.end() ? &it->second : nullptr;
}

const Kept* KeptTable::find(const Loc& loc) const noexcept {
    if (live_ == 0) return nullptr;
    if (loc.kind == Loc::ENTRY) {
        auto it = entry_kept_.find(loc.index);
        return it != entry_kept_.end() ? &it->second : nullptr;
    }
    std::size_t hint = NO_HINT;  // searched, not walked from the start
    return find(loc, hint);
}

std::size_t KeptTable::rec_position(std::uint32_t index, std::size_t& hint) const noexcept {
    std::size_t i = hint;
    if (i > rec_locs_.size() || (i > 0 && rec_locs_[static_cast<std::uint32_t>(i - 1)] >= index)) {
        i = rec_lower_bound(index);
    } else {
        while (i < rec_locs_.size() && rec_locs_[static_cast<std::uint32_t>(i)] < index) ++i;
    }
    hint = i;
    return i;
}

const Kept* KeptTable::find(const Loc& loc, std::size_t& hint) const noexcept {
    if (live_ == 0 || loc.kind == Loc::ENTRY) return find(loc);
    const auto i = static_cast<std::uint32_t>(rec_position(loc.index, hint));
    if (i < rec_locs_.size() && rec_locs_[i] == loc.index) {
        return rec_kept_[i].empty() ? nullptr : &rec_kept_[i];
    }
    return late(loc.index);
}

void KeptTable::put(const Loc& loc, const Kept& kept) {
    if (kept.empty()) return;
    if (loc.kind == Loc::ENTRY) {
        auto [it, added] = entry_kept_.insert_or_assign(loc.index, kept);
        if (added) ++live_;
        return;
    }
    const std::uint32_t n = rec_locs_.size();
    if (n == 0 || rec_locs_[n - 1] < loc.index) {
        rec_locs_.push(loc.index);
        rec_kept_.push(kept);
        ++live_;
        return;
    }
    // Only a cell placed again over an earlier one of the same load, or moved, lands here.
    const std::uint32_t at = rec_lower_bound(loc.index);
    if (at < n && rec_locs_[at] == loc.index) {
        if (rec_kept_[at].empty()) ++live_;
        rec_kept_[at] = kept;
        return;
    }
    auto [it, added] = rec_late_.insert_or_assign(loc.index, kept);
    if (added) ++live_;
}

Kept KeptTable::take(const Loc& loc) noexcept {
    if (live_ == 0) return {};
    if (loc.kind == Loc::RECORD) {
        std::size_t hint = NO_HINT;
        return take(loc, hint);
    }
    return take_from(entry_kept_, loc.index);
}

Kept KeptTable::take(const Loc& loc, std::size_t& hint) noexcept {
    if (live_ == 0 || loc.kind == Loc::ENTRY) return take(loc);
    const auto i = static_cast<std::uint32_t>(rec_position(loc.index, hint));
    if (i < rec_locs_.size() && rec_locs_[i] == loc.index) return take_at(i);
    return rec_late_.empty() ? Kept{} : take_from(rec_late_, loc.index);
}

Kept KeptTable::take_from(std::unordered_map<std::uint32_t, Kept>& map, std::uint32_t index) noexcept {
    auto it = map.find(index);
    if (it == map.end()) return {};
    const Kept out = it->second;
    map.erase(it);
    --live_;
    return out;
}

Kept KeptTable::take_at(std::size_t i) noexcept {
    Kept& kept = rec_kept_[static_cast<std::uint32_t>(i)];
    if (kept.empty()) return {};
    const Kept out = kept;
    kept = Kept{};
    --live_;
    return out;
}

void KeptTable::renumber_entries(const std::vector<std::uint32_t>& new_index) {
    if (entry_kept_.empty()) return;
    std::unordered_map<std::uint32_t, Kept> moved;
    moved.reserve(entry_kept_.size());
    for (const auto& [index, kept] : entry_kept_) moved.emplace(new_index[index], kept);
    entry_kept_ = std::move(moved);
}

void KeptTable::renumber_records(const std::vector<std::uint32_t>& new_index) {
    std::vector<std::pair<std::uint32_t, Kept>> moved;
    for (std::uint32_t i = 0; i < rec_locs_.size(); ++i) {
        if (rec_kept_[i].empty() || new_index[rec_locs_[i]] == NO_OBJ) continue;
        moved.emplace_back(new_index[rec_locs_[i]], rec_kept_[i]);
    }
    const std::size_t in_order = moved.size();
    for (const auto& [index, kept] : rec_late_) {
        if (new_index[index] != NO_OBJ) moved.emplace_back(new_index[index], kept);
    }
    // The copy keeps the records' order, so only the late ones need sorting in.
    if (moved.size() > in_order) {
        std::sort(moved.begin() + static_cast<std::ptrdiff_t>(in_order), moved.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        std::inplace_merge(moved.begin(), moved.begin() + static_cast<std::ptrdiff_t>(in_order), moved.end(),
                           [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    rec_locs_.clear();
    rec_kept_.clear();
    rec_late_.clear();
    for (const auto& [index, kept] : moved) {
        rec_locs_.push(index);
        rec_kept_.push(kept);
    }
    live_ = moved.size() + entry_kept_.size();
}

void KeptTable::clear() noexcept {
    rec_locs_.clear();
    rec_kept_.clear();
    rec_late_.clear();
    entry_kept_.clear();
    live_ = 0;
}

void KeptTable::shrink() {
    rec_locs_.shrink();
    rec_kept_.shrink();
}

std::size_t SeededHash::operator()(std::uint32_t key) const noexcept {
    std::uint64_t x = key ^ seed;  // splitmix64 finaliser, keyed by the seed
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<std::size_t>(x ^ (x >> 31));
}

std::pair<std::uint8_t, std::uint32_t> Base::encode(std::uint8_t tag, std::uint64_t payload) {
    switch (tag) {
        case INT:
        case DATE_INT: {
            // PERF NOTE: most integers and every date serial of the last and next few thousand
            // years fit the record itself; a `vals` slot would add eight bytes to the cell.
            const auto v = static_cast<std::int64_t>(payload);
            if (v >= INT32_MIN && v <= INT32_MAX) {
                return {tag == INT ? INT32 : DATE_INT32, static_cast<std::uint32_t>(static_cast<std::int32_t>(v))};
            }
            return {tag, vals.push(payload)};
        }
        case FLOAT:
        case DATE_FLOAT:
            return {tag, vals.push(payload)};
        case TEXT: {
            // Equal texts share one `vals` slot as well as their arena bytes.
            if (auto found = val_dedupe.find(payload)) return {TEXT, static_cast<std::uint32_t>(*found)};
            const std::uint32_t idx = vals.push(payload);
            val_dedupe.put(payload, idx);
            return {TEXT, idx};
        }
        default:
            return {tag, static_cast<std::uint32_t>(payload)};
    }
}

std::size_t Base::row_index_of(std::uint32_t loc) const noexcept {
    // The last boundary not greater than loc; row_starts[0] is 0.
    auto it = std::upper_bound(row_starts.begin(), row_starts.end(), loc);
    return static_cast<std::size_t>(it - row_starts.begin()) - 1;
}

std::optional<Loc> Compact::find_key(std::uint32_t col, std::uint32_t row) const noexcept {
    if (col < CHUNK && !base.row_numbers.empty()) {
        auto rit = std::lower_bound(base.row_numbers.begin(), base.row_numbers.end(), row);
        if (rit != base.row_numbers.end() && *rit == row) {
            const std::size_t k = static_cast<std::size_t>(rit - base.row_numbers.begin());
            std::uint32_t lo = base.row_starts[k], hi = base.row_starts[k + 1];
            while (lo < hi) {
                const std::uint32_t mid = lo + (hi - lo) / 2;
                const std::uint16_t c = base.recs[mid].col;
                if (c < col) {
                    lo = mid + 1;
                } else if (c > col) {
                    hi = mid;
                } else {
                    if (base.recs[mid].tag != DEAD) return Loc{Loc::RECORD, mid, row};
                    break;
                }
            }
        }
    }
    if (!entry_index.empty()) {
        if (auto idx = entry_index.find(make_key(row, col))) {
            return Loc{Loc::ENTRY, static_cast<std::uint32_t>(*idx), 0};
        }
    }
    return std::nullopt;
}

std::vector<Loc> Compact::locs() const {
    std::vector<Loc> out;
    out.reserve(len());
    const auto& rows = base.row_numbers;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        for (std::uint32_t i = base.row_starts[k]; i < base.row_starts[k + 1]; ++i) {
            if (base.recs[i].tag != DEAD) out.push_back(Loc{Loc::RECORD, i, rows[k]});
        }
    }
    for (std::uint32_t i = 0; i < entries.size(); ++i) {
        if (entries[i].tag != DEAD) out.push_back(Loc{Loc::ENTRY, i, 0});
    }
    return out;
}

std::optional<Loc> Compact::last_loc() const noexcept {
    for (std::size_t i = entries.size(); i-- > 0;) {
        if (entries[i].tag != DEAD) return Loc{Loc::ENTRY, static_cast<std::uint32_t>(i), 0};
    }
    for (std::uint32_t i = base.recs.size(); i-- > 0;) {
        if (base.recs[i].tag != DEAD) {
            return Loc{Loc::RECORD, i, base.row_numbers[base.row_index_of(i)]};
        }
    }
    return std::nullopt;
}

std::optional<std::uint64_t> Compact::store_text(std::string_view bytes) {
    if (bytes.size() > MAX_TEXT) return std::nullopt;
    FxHasher h;
    h.write(bytes);
    h.add(bytes.size());
    const std::uint64_t hash = h.finish();
    if (auto found = text_index.find(hash)) {
        // The arena-length check guards against references left by a load that failed before
        // finish_loading (reset empties the arena, not this index).
        const std::uint64_t ref = *found;
        if (text_offset(ref) + text_len(ref) <= text.size() && text_of(ref) == bytes) return ref;
    }
    const std::uint64_t ref = text_ref(text.size(), bytes.size());
    text.append(bytes);
    text_index.put(hash, ref);
    return ref;
}

void Compact::put_record_value(std::uint32_t loc, std::uint8_t tag, std::uint64_t payload,
                               std::uint32_t style, std::uint8_t dtype) {
    const auto [rtag, rpayload] = base.encode(tag, payload);
    Rec& rec = base.recs[loc];
    rec.tag = rtag;
    rec.payload = rpayload;
    rec.dtype = dtype;
    if (style >= STYLE_OVERFLOW) {
        base.style_overflow[loc] = style;
        rec.style = STYLE_OVERFLOW;
    } else {
        base.style_overflow.erase(loc);
        rec.style = static_cast<std::uint16_t>(style);
    }
}

std::optional<Replaced> Compact::load_cell(std::uint32_t row, std::uint32_t col, std::uint8_t tag,
                                           std::uint64_t payload, std::uint32_t style, std::uint8_t dtype,
                                           Loc* placed) {
    if (entries.empty() && col < CHUNK && base.vals.size() < 0xFFFFFFFFu) {
        auto& rows = base.row_numbers;
        bool append = false;
        if (rows.empty() || row > rows.back()) {
            rows.push_back(row);
            if (base.row_starts.empty()) base.row_starts.push_back(0);
            base.row_starts.push_back(base.recs.size());
            append = true;
        } else if (row == rows.back() && base.row_starts.back() > base.row_starts[rows.size() - 1]) {
            append = col > base.recs[base.recs.size() - 1].col;
        }
        if (append) {
            // PERF NOTE: made whole in place; a new record has no overflow style to drop.
            const auto [rtag, rpayload] = base.encode(tag, payload);
            const bool overflow = style >= STYLE_OVERFLOW;
            const std::uint32_t loc = base.recs.push(
                Rec{static_cast<std::uint16_t>(col), rtag, dtype,
                    overflow ? STYLE_OVERFLOW : static_cast<std::uint16_t>(style), rpayload});
            if (overflow) base.style_overflow[loc] = style;
            appended_min_col_ = std::min(appended_min_col_, col);
            appended_max_col_ = std::max(appended_max_col_, col);
            base.row_starts.back() = base.recs.size();
            ++base.live_recs;
            if (placed) *placed = Loc{Loc::RECORD, loc, row};
            return std::nullopt;
        }
    }
    if (auto loc = find_key(col, row)) {
        const Entry old = entry(*loc);
        if (loc->kind == Loc::RECORD) {
            put_record_value(loc->index, tag, payload, style, dtype);
        } else {
            Entry& e = entries[loc->index];
            e.tag = tag;
            e.payload = payload;
            e.style = style;
            e.dtype = dtype;
        }
        if (placed) *placed = *loc;
        return Replaced{old.tag, old.payload};
    }
    const Loc loc = append_entry(row, col, payload, style, tag, dtype);
    if (placed) *placed = loc;
    return std::nullopt;
}

void Compact::set_value(Loc loc, std::uint8_t tag, std::uint64_t payload) {
    if (loc.kind == Loc::ENTRY) {
        entries[loc.index].tag = tag;
        entries[loc.index].payload = payload;
        return;
    }
    const auto [rtag, rpayload] = base.encode(tag, payload);
    Rec& rec = base.recs[loc.index];
    rec.tag = rtag;
    rec.payload = rpayload;
}

Loc Compact::append_entry(std::uint32_t row, std::uint32_t col, std::uint64_t payload, std::uint32_t style,
                          std::uint8_t tag, std::uint8_t dtype) {
    const auto idx = static_cast<std::uint32_t>(entries.size());
    entries.push_back(Entry{col, row, payload, style, tag, dtype});
    entry_index.put(make_key(row, col), idx);
    ++live_entries;
    return Loc{Loc::ENTRY, idx, 0};
}

void Compact::remove(Loc loc) {
    unlink(loc);
    ++version;
    compact_entries_if_due();
}

void Compact::unlink(Loc loc) {
    if (loc.kind == Loc::ENTRY) {
        Entry& e = entries[loc.index];
        e.tag = DEAD;
        entry_index.erase(make_key(e.row, e.col));
        --live_entries;
    } else {
        base.recs[loc.index].tag = DEAD;
        --base.live_recs;
    }
}

void Compact::compact_entries_if_due() {
    const std::size_t dead = entries.size() - live_entries;
    if (dead >= 1024 && dead >= live_entries) compact_entries();
}

void Compact::compact_entries() {
    std::vector<Entry> live;
    live.reserve(live_entries);
    std::vector<std::uint32_t> new_index(entries.size(), 0);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].tag == DEAD) continue;
        new_index[i] = static_cast<std::uint32_t>(live.size());
        live.push_back(entries[i]);
    }
    kept.renumber_entries(new_index);
    entries = std::move(live);
    entry_index.clear();
    for (std::uint32_t i = 0; i < entries.size(); ++i) entry_index.put(make_key(entries[i].row, entries[i].col), i);
}

void Compact::reset() {
    base.recs.clear();
    base.vals.clear();
    base.style_overflow = decltype(base.style_overflow)(0, SeededHash{fresh_seed()});
    base.val_dedupe.clear();
    base.row_numbers.clear();
    base.row_numbers.shrink_to_fit();
    base.row_starts.clear();
    base.row_starts.shrink_to_fit();
    base.live_recs = 0;
    appended_min_col_ = UINT32_MAX;
    appended_max_col_ = 0;
    entries.clear();
    entries.shrink_to_fit();
    entry_index.clear();
    live_entries = 0;
    text.clear();
    text.shrink_to_fit();
    kept.clear();
    ++version;
}

void Compact::finish_loading() {
    base.row_numbers.shrink_to_fit();
    base.row_starts.shrink_to_fit();
    base.recs.shrink();
    base.vals.shrink();
    text.shrink_to_fit();
    kept.shrink();
    base.val_dedupe.clear();
    text_index.clear();
    loaded_extent_ = appended_extent();
    loaded_extent_version_ = version;
}

std::optional<Extent> Compact::appended_extent() const noexcept {
    if (base.row_numbers.empty() || base.live_recs != base.recs.size()) return measure_extent();
    // Every row listed holds a record, and none was removed.
    Extent x{base.row_numbers.front(), base.row_numbers.back(), appended_min_col_, appended_max_col_};
    for (const Entry& e : entries) {
        if (e.tag != DEAD) widen(x, e.row, e.col);
    }
    return x;
}

std::optional<Extent> Compact::extent() const noexcept {
    if (version == loaded_extent_version_) return loaded_extent_;
    return measure_extent();
}

std::optional<Extent> Compact::measure_extent() const noexcept {
    if (len() == 0) return std::nullopt;
    Extent x{UINT32_MAX, 0, UINT32_MAX, 0};
    // A loaded row's records are in column order: its first and last live ones bound it, and
    // a sheet is measured in steps per row, not per cell.
    for (std::size_t k = 0; k < base.row_numbers.size(); ++k) {
        std::uint32_t first = base.row_starts[k], last = base.row_starts[k + 1];
        while (first < last && base.recs[first].tag == DEAD) ++first;
        while (last > first && base.recs[last - 1].tag == DEAD) --last;
        if (first == last) continue;
        widen(x, base.row_numbers[k], base.recs[first].col);
        widen(x, base.row_numbers[k], base.recs[last - 1].col);
    }
    for (const Entry& e : entries) {
        if (e.tag != DEAD) widen(x, e.row, e.col);
    }
    return x;
}

}  // namespace qf::store
