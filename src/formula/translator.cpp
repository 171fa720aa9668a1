// Compiling tokens into segments and rendering them for a destination cell (see formula.hpp).
#include "formula/formula.hpp"

namespace qf::formula {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Optional "$", one digit 1-9, at most six more digits.
bool is_row_part(std::string_view s) {
    if (!s.empty() && s[0] == '$') s.remove_prefix(1);
    if (s.empty() || s.size() > 7 || s[0] == '0') return false;
    for (char c : s) {
        if (!is_digit(c)) return false;
    }
    return true;
}

// Optional "$", one to three ASCII letters.
bool is_col_part(std::string_view s) {
    if (!s.empty() && s[0] == '$') s.remove_prefix(1);
    if (s.empty() || s.size() > 3) return false;
    for (char c : s) {
        if (!is_alpha(c)) return false;
    }
    return true;
}

std::int64_t column_number(std::string_view letters) {
    std::int64_t n = 0;
    for (char c : letters) n = n * 26 + ((c | 0x20) - 'a' + 1);
    return n;
}

// Splits "A$1" / "$AB12" into its column part and its row part; false unless it is one.
bool split_cell(std::string_view s, std::string_view& col, std::string_view& row) {
    std::size_t i = s.starts_with('$') ? 1 : 0;
    std::size_t letters = i;
    while (letters < s.size() && is_alpha(s[letters])) ++letters;
    col = s.substr(0, letters);
    row = s.substr(letters);
    return is_col_part(col) && is_row_part(row);
}

// Appends text to a segment list, extending a trailing text segment rather than adding one,
// so text and reference segments alternate.
void push_text(std::vector<Seg>& segs, std::string_view text) {
    if (text.empty()) return;
    if (!segs.empty() && segs.back().kind == SegKind::Text) {
        segs.back().text.append(text);
    } else {
        segs.push_back({SegKind::Text, std::string(text), 0});
    }
}

void compile_col(std::vector<Seg>& segs, std::string_view part) {
    if (part.starts_with('$')) {
        push_text(segs, part);
    } else {
        segs.push_back({SegKind::Col, {}, column_number(part)});
    }
}

void append_i128(std::string& out, __int128 v) {
    char buf[48];
    char* p = buf + sizeof buf;
    bool neg = v < 0;
    unsigned __int128 u = neg ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    do {
        *--p = static_cast<char>('0' + static_cast<int>(u % 10));
        u /= 10;
    } while (u != 0);
    if (neg) *--p = '-';
    out.append(p, buf + sizeof buf);
}

// "$"-prefixed rows stay text; others become a relative row segment.
void compile_row(std::vector<Seg>& segs, std::string_view part) {
    if (part.starts_with('$')) {
        push_text(segs, part);
        return;
    }
    std::int64_t v = 0;
    for (char c : part) v = v * 10 + (c - '0');
    segs.push_back({SegKind::Row, {}, v});
}

// Compiles a range operand (optional sheet part, cell, row/column range, colon list, name).
void compile_range(std::vector<Seg>& segs, std::string_view text) {
    std::string_view sheet;
    std::string_view ref = text;
    if (std::size_t bang = text.rfind('!'); bang != std::string_view::npos) {
        sheet = text.substr(0, bang + 1);
        ref = text.substr(bang + 1);
    }
    std::size_t colon = ref.find(':');
    if (colon != std::string_view::npos && ref.find(':', colon + 1) == std::string_view::npos) {
        std::string_view a = ref.substr(0, colon);
        std::string_view b = ref.substr(colon + 1);
        if (is_row_part(a) && is_row_part(b)) {
            push_text(segs, sheet);
            compile_row(segs, a);
            push_text(segs, ":");
            compile_row(segs, b);
            return;
        }
        if (is_col_part(a) && is_col_part(b)) {
            push_text(segs, sheet);
            compile_col(segs, a);
            push_text(segs, ":");
            compile_col(segs, b);
            return;
        }
    }
    if (colon != std::string_view::npos) {
        push_text(segs, sheet);
        std::size_t start = 0;
        while (true) {
            std::size_t next = ref.find(':', start);
            compile_range(segs, ref.substr(start, next - start));
            if (next == std::string_view::npos) break;
            push_text(segs, ":");
            start = next + 1;
        }
        return;
    }
    std::string_view col;
    std::string_view row;
    bool cell = split_cell(ref, col, row);
    if (!cell && ref.ends_with('\n')) cell = split_cell(ref.substr(0, ref.size() - 1), col, row);
    if (cell) {
        push_text(segs, sheet);
        compile_col(segs, col);
        compile_row(segs, row);
        return;
    }
    // A name, an error literal, a structured reference: kept whole, with its sheet part, so
    // that Sheet1!Name and Sheet1!#REF! keep meaning what they meant.
    push_text(segs, text);
}

}  // namespace

void append_column(std::string& out, std::int64_t col) {
    char buf[3];
    int n = 0;
    while (col > 0) {
        std::int64_t rem = (col - 1) % 26;
        buf[n++] = static_cast<char>('A' + rem);
        col = (col - 1) / 26;
    }
    while (n > 0) out.push_back(buf[--n]);
}

FormulaResult<Translator> Translator::create(std::string_view formula, std::int64_t row, std::int64_t col) {
    Translator tr;
    tr.row_ = row;
    tr.col_ = col;
    auto tokens = tokenize(formula);
    if (!tokens) return std::unexpected(std::move(tokens.error()));
    tr.tokens_ = std::move(*tokens);
    if (tr.renders_plain()) return tr;
    push_text(tr.segs_, "=");
    for (const Token& t : tr.tokens_) {
        if (t.type == TokenType::Operand && t.subtype == TokenSubtype::Range) {
            compile_range(tr.segs_, t.text);
        } else {
            push_text(tr.segs_, t.text);
        }
    }
    return tr;
}

bool Translator::shift_in_range(Cell dest) const noexcept {
    if (renders_plain()) return true;
    __int128 dr = static_cast<__int128>(dest.row) - row_;
    __int128 dc = static_cast<__int128>(dest.col) - col_;
    for (const Seg& s : segs_) {
        if (s.kind == SegKind::Row && s.value + dr <= 0) return false;
        if (s.kind == SegKind::Col && (s.value + dc < 1 || s.value + dc > MAX_COLUMN)) return false;
    }
    return true;
}

FormulaResult<void> translate_into(const Translator& tr, std::optional<Cell> dest, std::string& out) {
    const auto& tokens = tr.tokens();
    if (tokens.empty()) return {};
    if (tokens.front().type == TokenType::Literal) {
        out.append(tokens.front().text);
        return {};
    }
    // 128-bit deltas: a destination anywhere in the signed 64-bit range renders exactly, as
    // Python's unbounded integers would, instead of wrapping.
    __int128 dr = dest ? static_cast<__int128>(dest->row) - tr.origin_row() : 0;
    __int128 dc = dest ? static_cast<__int128>(dest->col) - tr.origin_col() : 0;
    for (const Seg& s : tr.segs()) {
        switch (s.kind) {
            case SegKind::Text:
                out.append(s.text);
                break;
            case SegKind::Row: {
                __int128 r = s.value + dr;
                if (r <= 0) return std::unexpected(FormulaError::out_of_range());
                append_i128(out, r);
                break;
            }
            case SegKind::Col: {
                __int128 c = s.value + dc;
                if (c < 1 || c > MAX_COLUMN) return std::unexpected(FormulaError::out_of_range());
                append_column(out, static_cast<std::int64_t>(c));
                break;
            }
        }
    }
    return {};
}

FormulaResult<std::string> translate(const Translator& tr, std::optional<Cell> dest) {
    std::string out;
    out.reserve(64);
    auto done = translate_into(tr, dest, out);
    if (!done) return std::unexpected(std::move(done.error()));
    return out;
}

}  // namespace qf::formula
