// The sheet prescan (see prescan.hpp). The raw scan of `sheetData` works in the reader's buffer
// directly: it keeps the reader's position at the first byte it still needs, so that pulling
// more input can discard what lies behind, and hands the reader back positioned at
// `</sheetData`, whose end tag the reader then checks as usual.
#include "prescan/prescan.hpp"

#include "sheet/coord.hpp"
#include "xml/chars.hpp"
#include "xml/refs.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qf::prescan {

using xml::XmlEvent;

void Corners::add(std::int64_t row, std::int64_t col) {
    if (index_.emplace(std::pair{row, col}, items_.size()).second) {
        items_.push_back(Corner{row, col, std::nullopt});
        rows_.insert(row);
    }
}

Corner* Corners::find(std::int64_t row, std::int64_t col) noexcept {
    auto it = index_.find(std::pair{row, col});
    return it == index_.end() ? nullptr : &items_[it->second];
}

namespace {

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();

bool tag_name_ends(char c) noexcept { return xml::is_ws(c) || c == '/' || c == '>'; }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The first "<" at or after i, or n. Reads whole words past n into the reader's zero padding,
// which never holds a "<".
std::size_t find_lt(const char* b, std::size_t i, std::size_t n) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        // PERF NOTE: cell data has a "<" every few bytes, where a memchr call per tag costs more
        // than the search. The lowest flagged byte of swar_eq is always a true match.
        while (i < n) {
            const std::uint64_t m = xml::swar_eq(xml::load8(b + i), '<');
            if (m) return i + static_cast<std::size_t>(std::countr_zero(m) >> 3);
            i += 8;
        }
        return n;
    } else {
        while (i < n && b[i] != '<') ++i;
        return i;
    }
}

// When neither rows nor cells are asked for, only three kinds of "<" matter: "</s" (perhaps
// the end of sheetData), "<!" and "<?". The first index in [i, n) where one of them starts, or
// n. A match needs the bytes after "<": one starting at n - 2 or n - 1 is found only once more
// input is buffered, so the caller rescans from n - 2.
std::size_t find_stop(const char* b, std::size_t i, std::size_t n) noexcept {
#if defined(__SSE2__)
    // PERF NOTE: sixteen positions per step from three overlapping loads; cell data rarely has
    // a "</s", so the scan runs close to memory speed. Loads past n read the zero padding.
    const __m128i lt = _mm_set1_epi8('<'), slash = _mm_set1_epi8('/'), s = _mm_set1_epi8('s');
    const __m128i bang = _mm_set1_epi8('!'), question = _mm_set1_epi8('?');
    for (; i < n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 1));
        const __m128i a2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 2));
        const __m128i end_s = _mm_and_si128(_mm_cmpeq_epi8(a1, slash), _mm_cmpeq_epi8(a2, s));
        const __m128i markup = _mm_or_si128(_mm_cmpeq_epi8(a1, bang), _mm_cmpeq_epi8(a1, question));
        const __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(a, lt), _mm_or_si128(end_s, markup));
        if (const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit))) {
            const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(mask));
            return at < n ? at : n;
        }
    }
    return n;
#else
    for (; i < n; ++i) {
        if (b[i] != '<') continue;
        if (b[i + 1] == '!' || b[i + 1] == '?' || (b[i + 1] == '/' && b[i + 2] == 's')) return i;
    }
    return n;
#endif
}

constexpr std::size_t NO_COLON = RawAttr::NO_COLON;

std::unexpected<XmlError> malformed(const char* text) { return std::unexpected(XmlError::malformed(text)); }
std::unexpected<XmlError> unsupported(const char* text) { return std::unexpected(XmlError::unsupported(text)); }

class Scan {
public:
    Scan(xml::Reader& reader, bool want_rows, Corners& corners, Sink& sink)
        : r_(reader), want_rows_(want_rows), corners_(corners), sink_(sink) {}

    XmlResult<void> run();

private:
    std::unexpected<XmlError> malformed(const char* text) const { return std::unexpected(XmlError::malformed(text, r_.offset())); }
    std::unexpected<XmlError> unsupported(const char* text) const { return std::unexpected(XmlError::unsupported(text, r_.offset())); }

    XmlResult<void> capture(XmlEvent ev, bool tail);
    XmlResult<void> sheet_data();
    XmlResult<std::size_t> tag_end();
    XmlResult<void> row_tag(std::string_view tag);
    XmlResult<void> cell_tag(std::string_view tag);
    XmlResult<void> scan_attrs(std::string_view tag, std::size_t name_len);
    const RawAttr* find(std::string_view local) const noexcept;
    std::string_view decoded(std::string_view raw, std::string& scratch) const;
    XmlResult<std::string> key_of(const RawAttr& a) const;

    xml::Reader& r_;
    const bool want_rows_;
    Corners& corners_;
    Sink& sink_;
    std::int64_t row_ = 0;  // last row number seen
    std::int64_t col_ = 0;  // column of the last cell in the current row
    std::vector<RawAttr> attrs_;
    std::vector<RowAttr> row_attrs_;
    std::string scratch_, scratch2_;
};

XmlResult<void> Scan::run() {
    bool sheet_data_seen = false;
    for (;;) {
        QF_TRY_SET(XmlEvent ev, r_.next_tag());
        if (ev == XmlEvent::Eof) return {};
        if ((ev != XmlEvent::Start && ev != XmlEvent::Empty) || r_.depth() != 2) continue;
        if (!sheet_data_seen && r_.ns() == xml::NS_MAIN && r_.local() == "sheetData") {
            sheet_data_seen = true;
            if (ev == XmlEvent::Empty) {
                QF_TRY(r_.next());
            } else {
                QF_TRY(sheet_data());
            }
            continue;
        }
        QF_TRY(capture(ev, sheet_data_seen));
    }
}

XmlResult<void> Scan::capture(XmlEvent ev, bool tail) {
    r_.start_capture();
    if (ev == XmlEvent::Start) {
        for (std::size_t depth = 1; depth;) {
            QF_TRY_SET(XmlEvent inner, r_.next_tag());
            if (inner == XmlEvent::Start || inner == XmlEvent::Empty) ++depth;
            else if (inner == XmlEvent::End) --depth;
        }
    } else {
        QF_TRY(r_.next());
    }
    const std::string_view snippet = r_.end_capture();
    return sink_.element(tail, snippet, r_.in_scope_namespaces());
}

XmlResult<void> Scan::sheet_data() {
    // Only an unprefixed `sheetData` under the main default namespace makes every unprefixed
    // `row` and `c` inside it the worksheet's own (row and cell tags may not redeclare it).
    if (r_.open_name() != "sheetData" || r_.default_ns() != xml::NS_MAIN) return unsupported("prefixed sheetData");
    const bool rows = want_rows_ || !corners_.empty();
    const bool cells = !corners_.empty();
    std::size_t i = r_.pos();
    for (;;) {
        const char* b = r_.buffer();
        std::size_t n = r_.buffered();
        const std::size_t from = i;
        i = rows ? find_lt(b, i, n) : find_stop(b, i, n);
        if (i >= n) {
            // Without rows a "<" in the last two bytes is undecided until more input arrives.
            const std::size_t keep = rows ? n : std::max(from, n >= 2 ? n - 2 : 0);
            r_.skip_to(keep);
            QF_TRY_SET(bool got, r_.more());
            if (!got) {
                r_.skip_to(r_.buffered());
                return malformed("eof in element");
            }
            i = r_.pos();
            continue;
        }
        if (i + 12 > n) {  // rare: only at the end of what is buffered
            r_.skip_to(i);
            QF_TRY(r_.ensure(12));
            b = r_.buffer();
            n = r_.buffered();
            i = r_.pos();
        }
        const char next = b[i + 1];
        const bool row = rows && next == 'r' && b[i + 2] == 'o' && b[i + 3] == 'w' && tag_name_ends(b[i + 4]);
        const bool cell = cells && next == 'c' && tag_name_ends(b[i + 2]);
        if (row || cell) {
            r_.skip_to(i);
            QF_TRY_SET(std::size_t gt, tag_end());
            const std::string_view tag(r_.buffer() + r_.pos(), gt + 1);
            QF_TRY(row ? row_tag(tag) : cell_tag(tag));
            i = r_.pos() + gt + 1;
            continue;
        }
        if (next == '/') {
            if (xml::same_bytes(b + i, "</sheetData", 11) && (xml::is_ws(b[i + 11]) || b[i + 11] == '>')) {
                r_.skip_to(i);
                return {};
            }
        } else if (next == '!' || next == '?') {
            r_.skip_to(i);
            return unsupported("comment/cdata/pi in sheetData");
        }
        ++i;
    }
}

// The ">" that ends the tag at pos(), quoted stretches skipped: its index relative to pos().
XmlResult<std::size_t> Scan::tag_end() {
    std::size_t i = 1;
    char quote = 0;
    for (;;) {
        const char* b = r_.buffer() + r_.pos();
        const std::size_t avail = r_.buffered() - r_.pos();
        for (; i < avail; ++i) {
            const char c = b[i];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '>') {
                return i;
            } else if (c == '"' || c == '\'') {
                quote = c;
            }
        }
        QF_TRY_SET(bool got, r_.more());
        if (!got) {
            r_.skip_to(r_.buffered());
            return malformed("eof in tag");
        }
    }
}

XmlResult<void> Scan::scan_attrs(std::string_view tag, std::size_t name_len) {
    auto ok = prescan::scan_attrs(tag, name_len, attrs_);
    if (!ok) ok.error().offset = r_.offset();
    return ok;
}

const RawAttr* Scan::find(std::string_view local) const noexcept {
    for (const RawAttr& a : attrs_) {
        if (a.unprefixed(local)) return &a;
    }
    return nullptr;
}

std::string_view Scan::decoded(std::string_view raw, std::string& scratch) const {
    return xml::decode_attr(raw, scratch);
}

XmlResult<std::string> Scan::key_of(const RawAttr& a) const {
    if (a.colon == NO_COLON) return std::string(a.name);
    const std::optional<xml::NsId> id = r_.resolve_prefix(a.name.substr(0, a.colon));
    if (!id || *id == xml::NS_NONE) return malformed("unbound prefix");
    return xml::expanded_key(r_.uri(*id), a.name.substr(a.colon + 1));
}

XmlResult<void> Scan::row_tag(std::string_view tag) {
    constexpr std::string_view FAST = "<row r=\"";
    if (!want_rows_ && tag.starts_with(FAST)) {
        const std::size_t quote = tag.find('"', FAST.size());
        if (quote != std::string_view::npos) {
            if (auto number = sheet::native_int(tag.substr(FAST.size(), quote - FAST.size()))) {
                row_ = *number;
                col_ = 0;
                return {};
            }
        }
    }
    QF_TRY(scan_attrs(tag, 3));
    std::int64_t number;
    if (const RawAttr* r = find("r")) {
        const std::string_view text = decoded(r->value, scratch_);
        if (auto native = sheet::native_int(text)) {
            number = *native;
        } else {
            QF_TRY_SET(number, sink_.row_index(text));
        }
    } else {
        if (row_ == I64_MAX) return unsupported("row index");
        number = row_ + 1;
    }
    row_ = number;
    col_ = 0;
    if (!want_rows_) return {};
    // Formatted rows are those the full reader records dimensions for: an attribute beyond `r`
    // and `spans` in no namespace. Prefixed ones (x14ac:dyDescent on every row) do not count.
    bool formatted = false;
    for (const RawAttr& a : attrs_) formatted |= a.colon == NO_COLON && a.name != "r" && a.name != "spans";
    if (!formatted) return {};
    row_attrs_.clear();
    for (const RawAttr& a : attrs_) {
        QF_TRY_SET(std::string key, key_of(a));
        row_attrs_.push_back(RowAttr{std::move(key), std::string(decoded(a.value, scratch_))});
    }
    return sink_.row(number, row_attrs_);
}

XmlResult<void> Scan::cell_tag(std::string_view tag) {
    constexpr std::string_view FAST = "<c r=\"";
    if (tag.starts_with(FAST)) {
        const std::size_t quote = tag.find('"', FAST.size());
        if (quote != std::string_view::npos) {
            const auto at = sheet::fast_coordinate(tag.substr(FAST.size(), quote - FAST.size()));
            if (at && !corners_.has_row(at->row)) {
                col_ = at->col;
                return {};
            }
        }
    }
    QF_TRY(scan_attrs(tag, 1));
    std::int64_t row, col;
    const RawAttr* r = find("r");
    const std::string_view text = r ? decoded(r->value, scratch_) : std::string_view{};
    if (!text.empty()) {
        const auto at = sheet::fast_coordinate(text);
        if (!at) return unsupported("coordinate");
        row = at->row;
        col = col_ = at->col;
    } else {
        if (col_ == I64_MAX) return unsupported("column index");
        row = row_;
        col = ++col_;
    }
    // The last cell at a coordinate wins, as it does in an editable sheet's cell mapping; a
    // cell without `s` there resets the corner to none.
    if (Corner* corner = corners_.find(row, col)) {
        const RawAttr* s = find("s");
        if (s) corner->style = std::string(decoded(s->value, scratch2_));
        else corner->style.reset();
    }
    return {};
}

}  // namespace

XmlResult<void> scan_attrs(std::string_view tag, std::size_t name_len, std::vector<RawAttr>& out) {
    std::string_view body = tag.substr(1 + name_len, tag.size() - 2 - name_len);
    if (!body.empty() && body.back() == '/') body.remove_suffix(1);
    out.clear();
    const std::size_t n = body.size();
    std::size_t i = 0;
    for (;;) {
        const std::size_t ws_start = i;
        while (i < n && xml::is_ws(body[i])) ++i;
        if (i == n) return {};
        if (i == ws_start) return malformed("missing whitespace");
        const std::size_t name_start = i;
        std::size_t colon = NO_COLON;
        for (;; ++i) {
            if (i == n) return malformed("expected =");
            const char c = body[i];
            if (xml::is_ws(c) || c == '=') break;
            if (c == ':') {
                if (colon != NO_COLON) return unsupported("qname");
                colon = i - name_start;
            } else if (!(xml::is_ascii_letter(c) || is_digit(c) || c == '-' || c == '.' || c == '_')) {
                return unsupported("attribute name");
            }
        }
        const std::string_view name = body.substr(name_start, i - name_start);
        // What the byte rule lets through but no XML parser takes: an empty name, one that
        // starts with a digit, "-" or ".", and a colon at either end.
        if (name.empty()) return unsupported("attribute name");
        if (colon == 0 || colon == name.size() - 1) return unsupported("qname");
        if (!(xml::is_ascii_letter(name[0]) || name[0] == '_')) return unsupported("attribute name");
        while (i < n && xml::is_ws(body[i])) ++i;
        if (i == n || body[i] != '=') return malformed("expected =");
        ++i;
        while (i < n && xml::is_ws(body[i])) ++i;
        if (i == n || (body[i] != '"' && body[i] != '\'')) return malformed("expected quote");
        const char quote = body[i++];
        const std::size_t close = body.find(quote, i);
        if (close == std::string_view::npos) return malformed("unterminated value");
        const std::string_view value = body.substr(i, close - i);
        i = close + 1;
        if (value.find('<') != std::string_view::npos) return malformed("< in attribute");
        if (auto ok = xml::validate_chars(value); !ok) return malformed(ok.error().text);
        if (value.find('&') != std::string_view::npos) {
            if (auto ok = xml::validate_refs(value); !ok) return malformed(ok.error().text);
        }
        if (colon == NO_COLON ? name == "xmlns" : name.substr(0, colon) == "xmlns") return unsupported("namespace declaration");
        out.push_back(RawAttr{name, colon, value});
    }
}

XmlResult<void> prescan(xml::Reader& reader, bool want_rows, Corners& corners, Sink& sink) {
    Scan scan(reader, want_rows, corners, sink);
    return scan.run();
}

}  // namespace qf::prescan
