// Rewriting the references of a formula that a grid edit moves (see formula.hpp): the byte
// mirror of the host's quillfen.formula.shift, which takes over what this declines.
#include "formula/formula.hpp"

#include <algorithm>
#include <array>

namespace qf::formula {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// One row or column of a reference, with its "$" and its text as written.
struct Part {
    std::string_view dollar;
    std::string_view text;
    std::int64_t value = 0;
    bool is_row = false;
};

// Optional "$", then 1-3 letters (a column) or 1-7 digits not starting with 0 (a row).
bool parse_part(std::string_view s, bool is_row, Part& out) {
    out.dollar = s.starts_with('$') ? s.substr(0, 1) : std::string_view();
    out.text = s.substr(out.dollar.size());
    out.is_row = is_row;
    const std::string_view t = out.text;
    if (t.empty()) return false;
    std::int64_t v = 0;
    if (is_row) {
        if (t.size() > 7 || t[0] == '0') return false;
        for (char c : t) {
            if (!is_digit(c)) return false;
            v = v * 10 + (c - '0');
        }
        out.value = v;
        return v <= MAX_SHEET_ROW;
    }
    if (t.size() > 3) return false;
    for (char c : t) {
        if (!is_alpha(c)) return false;
        v = v * 26 + (lower(c) - 'a' + 1);
    }
    out.value = v;
    return v <= MAX_SHEET_COLUMN;
}

// A cell: column letters then row digits, each with an optional "$".
bool parse_cell(std::string_view s, Part* out) {
    std::size_t i = s.starts_with('$') ? 1 : 0;
    while (i < s.size() && is_alpha(s[i])) ++i;
    return parse_part(s.substr(0, i), false, out[0]) && parse_part(s.substr(i), true, out[1]);
}

// The parts of a reference (cell: 2, area: 4, whole columns or rows: 2); 0 for anything else.
std::size_t parse_reference(std::string_view ref, std::array<Part, 4>& parts) {
    const std::size_t colon = ref.find(':');
    if (colon == std::string_view::npos) return parse_cell(ref, parts.data()) ? 2 : 0;
    const std::string_view a = ref.substr(0, colon), b = ref.substr(colon + 1);
    if (b.find(':') != std::string_view::npos) return 0;
    if (parse_cell(a, parts.data()) && parse_cell(b, parts.data() + 2)) return 4;
    if (parse_part(a, false, parts[0]) && parse_part(b, false, parts[1])) return 2;
    if (parse_part(a, true, parts[0]) && parse_part(b, true, parts[1])) return 2;
    return 0;
}

// Whether a sheet name from a formula names the edited sheet, as Python's case folding says.
// An ASCII name folds to its lower case; one beyond ASCII is told only when it is the title or
// another sheet's title byte for byte (titles are unique when folded).
FormulaResult<bool> same_title(std::string_view name, const GridEdit& edit) {
    if (name == edit.title) return true;
    if (is_ascii(name)) {
        return name.size() == edit.folded.size() &&
               std::equal(name.begin(), name.end(), edit.folded.begin(), [](char x, char y) { return lower(x) == y; });
    }
    for (const std::string& other : edit.others) {
        if (name == other) return false;
    }
    return std::unexpected(FormulaError::need_python());
}

// Whether a sheet part (before the last "!") points into the edited sheet: it names that sheet
// alone (Sheet1, 'My Sheet', Sheet1:Sheet1), not another workbook ([1]Sheet1).
FormulaResult<bool> names_edited(std::string_view sheet, const GridEdit& edit) {
    std::string name;
    if (sheet.size() >= 2 && sheet.front() == '\'' && sheet.back() == '\'') {
        const std::string_view inner = sheet.substr(1, sheet.size() - 2);
        for (std::size_t i = 0; i < inner.size(); ++i) {
            name.push_back(inner[i]);
            if (inner[i] == '\'' && i + 1 < inner.size() && inner[i + 1] == '\'') ++i;
        }
    } else {
        name.assign(sheet);
    }
    if (name.find('[') != std::string::npos) return false;
    const std::size_t colon = name.find(':');
    if (colon == std::string::npos) return same_title(name, edit);
    auto first = same_title(std::string_view(name).substr(0, colon), edit);
    if (!first) return first;
    if (!*first) return false;
    return same_title(std::string_view(name).substr(colon + 1), edit);
}

void append_part(std::string& out, const Part& part, std::int64_t value) {
    out.append(part.dollar);
    if (value == part.value) {
        out.append(part.text);
    } else if (part.is_row) {
        out.append(std::to_string(value));
    } else {
        append_column(out, value);
    }
}

// The new values of a reference's parts under a line edit; false when it loses its cells.
bool shift_lines(const GridEdit& edit, std::array<Part, 4>& parts, std::size_t n, std::array<std::int64_t, 4>& v) {
    std::array<std::size_t, 2> mine{};
    std::size_t found = 0;
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = parts[i].value;
        if (parts[i].is_row == edit.rows) mine[found++] = i;
    }
    if (edit.absolute_only) {
        for (std::size_t k = 0; k < found; ++k) {
            if (parts[mine[k]].dollar.empty()) continue;
            auto to = edit.line(v[mine[k]]);
            if (!to) return false;
            v[mine[k]] = *to;
        }
        return true;
    }
    if (found == 1) {
        auto to = edit.line(v[mine[0]]);
        if (!to) return false;
        v[mine[0]] = *to;
    } else if (found == 2) {
        const std::int64_t a = v[mine[0]], b = v[mine[1]];
        auto to = edit.span(std::min(a, b), std::max(a, b));
        if (!to) return false;
        // Written in the order the reference had them.
        v[mine[0]] = a <= b ? to->first : to->second;
        v[mine[1]] = a <= b ? to->second : to->first;
    }
    return true;
}

// The new values of a reference's parts under a move: a cell or an area inside the rectangle
// follows it; whole rows and columns stay.
void shift_move(const GridEdit& edit, std::array<Part, 4>& parts, std::size_t n, std::array<std::int64_t, 4>& v) {
    for (std::size_t i = 0; i < n; ++i) v[i] = parts[i].value;
    if (n == 2 && parts[0].is_row == parts[1].is_row) return;
    for (std::size_t i = 0; i < n; i += 2) {
        if (!edit.inside(Cell{v[i + 1], v[i]})) return;
    }
    for (std::size_t i = 0; i < n; ++i) v[i] += parts[i].is_row ? edit.drow : edit.dcol;
}

// The new values of a reference's parts under an offset: relative parts shift; false when one
// leaves the sheet.
bool shift_offset(const GridEdit& edit, std::array<Part, 4>& parts, std::size_t n, std::array<std::int64_t, 4>& v) {
    for (std::size_t i = 0; i < n; ++i) {
        const Part& p = parts[i];
        v[i] = p.value;
        if (!p.dollar.empty()) continue;
        v[i] += p.is_row ? edit.drow : edit.dcol;
        if (v[i] < 1 || v[i] > (p.is_row ? MAX_SHEET_ROW : MAX_SHEET_COLUMN)) return false;
    }
    return true;
}

// The new text of a reference operand, or nothing when the edit leaves it as it is.
FormulaResult<std::optional<std::string>> shift_operand(std::string_view text, const GridEdit& edit,
                                                        bool host_edited) {
    const std::size_t bang = text.rfind('!');
    const std::string_view sheet = bang == std::string_view::npos ? std::string_view() : text.substr(0, bang + 1);
    const std::string_view ref = text.substr(sheet.size());
    bool on_sheet = host_edited || edit.kind == GridEdit::Kind::Offset;
    if (bang != std::string_view::npos && edit.kind != GridEdit::Kind::Offset) {
        auto named = names_edited(text.substr(0, bang), edit);
        if (!named) return std::unexpected(std::move(named.error()));
        on_sheet = *named;
    }
    if (!on_sheet) return std::nullopt;
    std::array<Part, 4> parts;
    const std::size_t n = parse_reference(ref, parts);
    if (n == 0) return std::nullopt;
    std::array<std::int64_t, 4> v{};
    if (edit.kind == GridEdit::Kind::Move) {
        shift_move(edit, parts, n, v);
    } else if (edit.kind == GridEdit::Kind::Offset ? !shift_offset(edit, parts, n, v)
                                                    : !shift_lines(edit, parts, n, v)) {
        return std::string("#REF!");
    }
    bool same = true;
    for (std::size_t i = 0; i < n; ++i) same = same && v[i] == parts[i].value;
    if (same) return std::nullopt;
    std::string out(sheet);
    const bool cell = n == 2 && parts[0].is_row != parts[1].is_row;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && !(cell || (n == 4 && i != 2))) out.push_back(':');
        append_part(out, parts[i], v[i]);
    }
    return out;
}

}  // namespace

std::optional<std::int64_t> GridEdit::line(std::int64_t x) const noexcept {
    if (x < start) return x;
    if (kind == Kind::Insert) {
        const std::int64_t limit = rows ? MAX_SHEET_ROW : MAX_SHEET_COLUMN;
        if (x + count > limit) return std::nullopt;
        return x + count;
    }
    if (x < start + count) return std::nullopt;
    return x - count;
}

std::optional<std::pair<std::int64_t, std::int64_t>> GridEdit::span(std::int64_t lo, std::int64_t hi) const noexcept {
    if (kind == Kind::Insert) {
        const std::int64_t limit = rows ? MAX_SHEET_ROW : MAX_SHEET_COLUMN;
        const std::int64_t lo2 = lo >= start ? lo + count : lo;
        if (lo2 > limit) return std::nullopt;
        return std::pair{lo2, std::min(hi >= start ? hi + count : hi, limit)};
    }
    const std::int64_t end = start + count;
    if (start <= lo && hi < end) return std::nullopt;
    const std::int64_t lo2 = lo < start ? lo : lo < end ? start : lo - count;
    const std::int64_t hi2 = hi < start ? hi : hi < end ? start - 1 : hi - count;
    return std::pair{lo2, hi2};
}

std::optional<Cell> GridEdit::cell(Cell at) const noexcept {
    if (kind == Kind::Offset) return at;
    if (kind == Kind::Move) return inside(at) ? Cell{at.row + drow, at.col + dcol} : at;
    auto to = line(rows ? at.row : at.col);
    if (!to) return std::nullopt;
    return rows ? Cell{*to, at.col} : Cell{at.row, *to};
}

std::optional<std::vector<CellRef>> plain_references(std::string_view formula) {
    auto tokens = tokenize(formula, NonAscii::AsRange);
    if (!tokens) return std::nullopt;
    std::vector<CellRef> refs;
    for (const Token& t : *tokens) {
        if (t.type != TokenType::Operand || t.subtype != TokenSubtype::Range) continue;
        if (t.text.find('!') != std::string::npos) return std::nullopt;
        std::array<Part, 4> parts;
        const std::size_t n = parse_reference(t.text, parts);
        if (n == 0) continue;
        if (n == 2 && parts[0].is_row == parts[1].is_row) return std::nullopt;
        for (std::size_t i = 0; i < n; i += 2) {
            refs.push_back(
                {parts[i].value, parts[i + 1].value, !parts[i].dollar.empty(), !parts[i + 1].dollar.empty()});
        }
    }
    return refs;
}

FormulaResult<std::optional<std::string>> shift_formula(std::string_view formula, const GridEdit& edit,
                                                        bool host_edited) {
    auto tokens = tokenize(formula, NonAscii::AsRange);
    if (!tokens) {
        // A formula that does not tokenize is left as written, as the host leaves it.
        return std::nullopt;
    }
    // Tokens are in document order but for one case (a quoted string met while an operand is
    // pending): go by where each starts.
    std::vector<const Token*> order;
    order.reserve(tokens->size());
    for (const Token& t : *tokens) {
        if (t.type == TokenType::Operand && t.subtype == TokenSubtype::Range) order.push_back(&t);
    }
    std::stable_sort(order.begin(), order.end(), [](const Token* a, const Token* b) { return a->start < b->start; });
    std::string out;
    std::size_t last = 0;
    bool changed = false;
    for (const Token* t : order) {
        if (formula.substr(t->start, t->end - t->start) != t->text) continue;  // an operand in pieces
        auto moved = shift_operand(t->text, edit, host_edited);
        if (!moved) return std::unexpected(std::move(moved.error()));
        if (!*moved) continue;
        out.append(formula.substr(last, t->start - last));
        out.append(**moved);
        last = t->end;
        changed = true;
    }
    if (!changed) return std::nullopt;
    out.append(formula.substr(last));
    return out;
}

}  // namespace qf::formula
