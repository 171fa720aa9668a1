// Reference scanning, shape hashing, building, rendering and matching of formula templates.
#include "ftemplate/ftemplate.hpp"

#include "formula/formula.hpp"
#include "utils/utils.hpp"

#include <cstring>

namespace qf::ftemplate {

namespace {

constexpr bool is_upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool is_alpha(unsigned char c) { return is_upper(c) || (c >= 'a' && c <= 'z'); }
constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// A reference may not continue a name, a number or a qualified/sheet-absolute token.
constexpr bool blocks_start(unsigned char c) { return is_alpha(c) || is_digit(c) || c == '$' || c == '.' || c == '_'; }
// LOG10(, A1B, A1.x, A1! (a sheet name) and the like are not references.
constexpr bool blocks_end(unsigned char c) {
    return is_alpha(c) || is_digit(c) || c == '!' || c == '$' || c == '(' || c == '.' || c == '_';
}

// The reference starting at `i`, with its end, or nothing.
std::optional<std::pair<Part, std::size_t>> ref_at(std::string_view s, std::size_t i) {
    const auto at = [&](std::size_t k) -> unsigned char { return static_cast<unsigned char>(s[k]); };
    if (i > 0 && blocks_start(at(i - 1))) return std::nullopt;
    Part p;
    p.is_ref = true;
    std::size_t k = i;
    if (k < s.size() && at(k) == '$') { p.col_abs = true; ++k; }
    const std::size_t letters = k;
    while (k < s.size() && is_upper(at(k))) ++k;
    if (k == letters || k - letters > 3) return std::nullopt;
    for (std::size_t j = letters; j < k; ++j) p.col = p.col * 26 + (at(j) - 'A' + 1);
    if (k < s.size() && at(k) == '$') { p.row_abs = true; ++k; }
    const std::size_t digits = k;
    while (k < s.size() && is_digit(at(k))) ++k;
    if (k == digits || k - digits > 7 || at(digits) == '0') return std::nullopt;
    if (k < s.size() && blocks_end(at(k))) return std::nullopt;
    for (std::size_t j = digits; j < k; ++j) p.row = p.row * 10 + (at(j) - '0');
    return std::pair{p, k};
}

// Calls on_text for each maximal non-empty text stretch and on_ref for each reference, in order.
template <class OnText, class OnRef>
void walk(std::string_view s, OnText&& on_text, OnRef&& on_ref) {
    std::size_t i = 0, text_start = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '\'' || c == '"') {
            // A quoted run ends at the matching quote; a doubled quote stays inside it.
            ++i;
            while (i < s.size()) {
                if (s[i] == c) {
                    if (i + 1 < s.size() && s[i + 1] == c) { i += 2; continue; }
                    ++i;
                    break;
                }
                ++i;
            }
            continue;
        }
        if (c == '$' || is_upper(static_cast<unsigned char>(c))) {
            if (auto found = ref_at(s, i)) {
                if (i > text_start) on_text(s.substr(text_start, i - text_start));
                on_ref(found->first);
                i = text_start = found->second;
                continue;
            }
        }
        ++i;
    }
    if (s.size() > text_start) on_text(s.substr(text_start));
}

std::uint64_t shape_hash(std::string_view s, std::int64_t row, std::int64_t col) {
    FxHasher h;
    walk(
        s,
        [&](std::string_view text) {
            h.add(0);
            h.write(text);
            h.add(text.size());
        },
        [&](const Part& p) {
            h.add(p.col_abs ? 2 : 1);
            h.add(static_cast<std::uint64_t>(p.col_abs ? p.col : p.col - col));
            h.add(p.row_abs ? 4 : 3);
            h.add(static_cast<std::uint64_t>(p.row_abs ? p.row : p.row - row));
        });
    return h.finish();
}

// The text of one reference segment for (row, col), or false when it leaves the sheet.
bool render_seg(const Template::Seg& seg, std::int64_t row, std::int64_t col, std::string& out) {
    if (seg.kind == Template::Seg::COL) {
        const std::int64_t c = seg.absolute ? seg.value : seg.value + col;
        if (c < 1 || c > formula::MAX_COLUMN) return false;
        if (seg.absolute) out.push_back('$');
        formula::append_column(out, c);
        return true;
    }
    const std::int64_t r = seg.absolute ? seg.value : seg.value + row;
    if (r < 1) return false;
    if (seg.absolute) out.push_back('$');
    utils::append_int(out, r);
    return true;
}

// Whether `text` holds, at `pos`, exactly what render_seg writes for a reference segment; moves
// `pos` past it. PERF NOTE: compared in place, without rendering the segment into a string.
bool seg_matches(const Template::Seg& seg, std::int64_t row, std::int64_t col, std::string_view text,
                 std::size_t& pos) {
    static_assert(formula::MAX_COLUMN <= 18278, "columns are at most three letters");
    const bool is_col = seg.kind == Template::Seg::COL;
    const std::int64_t v = seg.absolute ? seg.value : seg.value + (is_col ? col : row);
    if (v < 1 || (is_col && v > formula::MAX_COLUMN)) return false;
    if (seg.absolute) {
        if (pos >= text.size() || text[pos] != '$') return false;
        ++pos;
    }
    // Letters or digits of a fixed count: equal values then mean equal texts.
    std::size_t count = 1;
    if (is_col) {
        count = v <= 26 ? 1 : v <= 702 ? 2 : 3;
    } else {
        // Compared with powers of ten, not divided: v >= 1 here, and 10^19 still fits.
        for (std::uint64_t power = 10; count < 19 && static_cast<std::uint64_t>(v) >= power; power *= 10) ++count;
    }
    if (text.size() - pos < count) return false;
    std::uint64_t read = 0;  // up to 19 digits: no overflow
    for (std::size_t k = 0; k < count; ++k) {
        const auto c = static_cast<unsigned char>(text[pos + k]);
        if (is_col ? !is_upper(c) : !is_digit(c)) return false;
        read = is_col ? read * 26 + (c - 'A' + 1) : read * 10 + (c - '0');
    }
    pos += count;
    return read == static_cast<std::uint64_t>(v);
}

}  // namespace

std::vector<Part> scan(std::string_view formula) {
    std::vector<Part> parts;
    walk(
        formula, [&](std::string_view text) { parts.push_back(Part{false, text}); },
        [&](const Part& p) { parts.push_back(p); });
    return parts;
}

Template Template::build(std::span<const Part> parts, std::int64_t row, std::int64_t col) {
    Template t;
    for (const Part& p : parts) {
        if (!p.is_ref) {
            t.segs_.push_back(Seg{Seg::TEXT, false, 0, std::string(p.text)});
            continue;
        }
        t.segs_.push_back(Seg{Seg::COL, p.col_abs, p.col_abs ? p.col : p.col - col, {}});
        t.segs_.push_back(Seg{Seg::ROW, p.row_abs, p.row_abs ? p.row : p.row - row, {}});
    }
    return t;
}

bool Template::render_into(std::int64_t row, std::int64_t col, std::string& out) const {
    for (const Seg& seg : segs_) {
        if (seg.kind == Seg::TEXT) {
            out.append(seg.text);
        } else if (!render_seg(seg, row, col, out)) {
            return false;
        }
    }
    return true;
}

bool Template::matches(std::string_view text, std::int64_t row, std::int64_t col) const {
    if (segs_.empty()) return false;
    std::size_t pos = 0;
    for (const Seg& seg : segs_) {
        if (seg.kind != Seg::TEXT) {
            if (!seg_matches(seg, row, col, text, pos)) return false;
        } else if (text.size() - pos >= seg.text.size() &&
                   std::memcmp(text.data() + pos, seg.text.data(), seg.text.size()) == 0) {
            pos += seg.text.size();
        } else {
            return false;
        }
    }
    return pos == text.size();
}

std::optional<std::uint32_t> Templates::template_for(std::string_view text, std::int64_t row, std::int64_t col) {
    if (text.size() < 4) return std::nullopt;
    std::uint32_t& recent = recent_[static_cast<std::uint64_t>(col) % RECENT];
    if (recent != 0 && recent <= list_.size() && list_[recent - 1].matches(text, row, col)) return recent - 1;
    const std::uint64_t hash = shape_hash(text, row, col);
    const auto found = index_.find(hash);
    if (!found) {
        index_.put(hash, SEEN_ONCE);  // the first formula of a shape stays text
        return std::nullopt;
    }
    if (*found != SEEN_ONCE) {
        const auto i = static_cast<std::uint32_t>(*found);
        if (!list_[i].matches(text, row, col)) return std::nullopt;
        recent = i + 1;
        return i;
    }
    const std::vector<Part> parts = scan(text);
    Template t = Template::build(parts, row, col);
    if (!t.matches(text, row, col)) return std::nullopt;
    const auto i = static_cast<std::uint32_t>(list_.size());
    list_.push_back(std::move(t));
    index_.put(hash, i);
    recent = i + 1;
    return i;
}

void Templates::finish_loading() {
    index_.clear();
    recent_.fill(0);
    list_.shrink_to_fit();
}

}  // namespace qf::ftemplate
