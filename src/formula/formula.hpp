// Formula tokenizing and shared-formula translation. A Translator tokenizes a master formula
// once, compiles it into text and relative row/column segments, and then renders it for any
// destination cell without re-tokenizing. Output and error messages are exactly those of the
// host package's Python Translator (quillfen.formula), which takes over whatever this declines
// (NeedPython: operands with non-ASCII characters). Byte-level: no Python.h (see pyerror.hpp
// for the conversion of errors into Python exceptions).
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qf::formula {

enum class TokenType : std::uint8_t {
    Literal,     // the whole text of a formula that does not begin with "="
    Operand,
    Func,        // function opener "NAME(" / closer ")"
    Array,       // "{" / "}"
    Paren,       // "(" / ")"
    Sep,         // "," inside a function or array, ";" anywhere
    OpPrefix,
    OpInfix,
    OpPostfix,   // "%"
    Whitespace,  // the first character of a run of spaces and line feeds
};

enum class TokenSubtype : std::uint8_t {
    None,
    Text,     // operand: a double-quoted string
    Number,   // operand: a valid float literal
    Logical,  // operand: TRUE or FALSE
    Error,    // operand: begins with "#"
    Range,    // operand: everything else (references, names)
    Open,     // subexpression opener
    Close,    // subexpression closer
    Arg,      // separator ","
    Row,      // separator ";"
};

struct Token {
    std::string text;
    TokenType type = TokenType::Operand;
    TokenSubtype subtype = TokenSubtype::None;
    // The bytes of the formula the token came from: a whitespace token covers its whole run,
    // an operand every piece of it.
    std::uint32_t start = 0;
    std::uint32_t end = 0;
};

enum class FormulaErrorKind : std::uint8_t {
    Tokenizer,   // a syntax error; `message` is the host TokenizerError's text
    Translator,  // a reference shifted off the sheet; `message` is the TranslatorError's text
    PopEmpty,    // a closer without an open subexpression (IndexError in Python)
    NeedPython,  // an operand with non-ASCII characters: redo the work with the host's Translator
};

struct FormulaError {
    FormulaErrorKind kind = FormulaErrorKind::Tokenizer;
    std::string message;  // Tokenizer and Translator only

    static FormulaError tokenizer(std::string message) {
        return {FormulaErrorKind::Tokenizer, std::move(message)};
    }
    static FormulaError out_of_range() { return {FormulaErrorKind::Translator, "Formula out of range"}; }
    static FormulaError pop_empty() { return {FormulaErrorKind::PopEmpty, {}}; }
    static FormulaError need_python() { return {FormulaErrorKind::NeedPython, {}}; }
};

template <class T>
using FormulaResult = std::expected<T, FormulaError>;

// How the tokenizer meets an operand with non-ASCII characters, whose number-or-range
// decision follows Python's float(): NeedPython declines it; AsRange takes it for a range
// operand, which is all a caller that only looks for references needs (a reference is ASCII
// after its sheet name, and an operand with a sheet name is never a number).
enum class NonAscii : std::uint8_t { NeedPython, AsRange };

// Splits formula text into tokens exactly as the host package's tokenizer does.
[[nodiscard]] FormulaResult<std::vector<Token>> tokenize(std::string_view formula,
                                                         NonAscii non_ascii = NonAscii::NeedPython);

// Whether `formula` tokenizes with every subexpression closed, as the host package's
// formula_problem finds it: what a spreadsheet program takes as a formula. NeedPython when the
// tokenizer needs the host's (an operand with non-ASCII characters).
[[nodiscard]] FormulaResult<bool> well_formed(std::string_view formula);

// Whether ASCII `text` is accepted by Python's float(): surrounding ASCII whitespace, one
// optional sign, inf/infinity/nan in any case, or decimal digits with single underscores
// between digits, an optional fraction and an optional exponent.
bool is_float_literal(std::string_view text);

enum class SegKind : std::uint32_t {
    Text = 0,  // `text` emitted unchanged
    Row = 1,   // `value` + row delta, in decimal (must stay >= 1)
    Col = 2,   // `value` + column delta, as letters (must stay within 1..18278)
};

struct Seg {
    SegKind kind = SegKind::Text;
    std::string text;
    std::int64_t value = 0;
};

constexpr std::int64_t MAX_COLUMN = 18278;  // ZZZ

// Appends the upper-case letters of column `col` (1 = A; 1..18278).
void append_column(std::string& out, std::int64_t col);

struct Cell {
    std::int64_t row = 0;
    std::int64_t col = 0;
};

class Translator {
public:
    // Tokenizes and compiles `formula`, whose origin (the master cell) is (row, col).
    [[nodiscard]] static FormulaResult<Translator> create(std::string_view formula, std::int64_t row,
                                                          std::int64_t col);

    // True when rendering ignores the destination: no tokens, or a literal.
    bool renders_plain() const noexcept {
        return tokens_.empty() || tokens_.front().type == TokenType::Literal;
    }
    // Whether every relative segment stays on the sheet when rendered for `dest`.
    bool shift_in_range(Cell dest) const noexcept;

    const std::vector<Token>& tokens() const noexcept { return tokens_; }
    const std::vector<Seg>& segs() const noexcept { return segs_; }
    std::int64_t origin_row() const noexcept { return row_; }
    std::int64_t origin_col() const noexcept { return col_; }

private:
    std::int64_t row_ = 0;
    std::int64_t col_ = 0;
    std::vector<Token> tokens_;
    std::vector<Seg> segs_;
};

// A change of one sheet's grid that references follow (the host's quillfen.formula.shift,
// whose LineEdit, MoveEdit and OffsetEdit this mirrors): `count` rows or columns inserted at
// `start` or deleted from there, or the cells of a rectangle moved by (drow, dcol). Offset is
// what a formula moved along with its cell and "translated" gets: every relative row and
// column shifts by (drow, dcol), in whichever sheet it points, and one shifted off the sheet
// makes its reference "#REF!".
struct GridEdit {
    enum class Kind : std::uint8_t { Insert, Delete, Move, Offset };
    Kind kind = Kind::Insert;
    bool rows = true;         // Insert and Delete: rows, else columns
    std::int64_t start = 1;   // Insert and Delete: the first line
    std::int64_t count = 0;   // Insert and Delete: how many lines
    std::int64_t min_row = 0, min_col = 0, max_row = 0, max_col = 0;  // Move: the rectangle
    std::int64_t drow = 0, dcol = 0;                                  // Move, Offset: the offset
    // Insert and Delete: only rows or columns written with "$" move (each on its own), as the
    // store needs for a shared formula's master whose relative references its cells shift.
    bool absolute_only = false;
    std::string title;        // the edited sheet, as UTF-8
    std::string folded;       // its title case-folded as Python folds it
    std::vector<std::string> others;  // the titles of the workbook's other sheets

    // Where line `x` of the edited axis goes; nothing when deleted or pushed off the sheet.
    std::optional<std::int64_t> line(std::int64_t x) const noexcept;
    // Where the lines lo..hi go (grown by an insertion inside, shrunk by a partial deletion).
    std::optional<std::pair<std::int64_t, std::int64_t>> span(std::int64_t lo, std::int64_t hi) const noexcept;
    // Where the cell (row, col) goes: moved, deleted, or where it was.
    std::optional<Cell> cell(Cell at) const noexcept;
    bool inside(Cell at) const noexcept {
        return at.row >= min_row && at.row <= max_row && at.col >= min_col && at.col <= max_col;
    }
};

inline constexpr std::int64_t MAX_SHEET_ROW = 1048576;
inline constexpr std::int64_t MAX_SHEET_COLUMN = 16384;  // XFD

// `formula` with the references `edit` moves rewritten in place (the rest, whitespace included,
// as written); nothing when no reference changes or the text does not tokenize. `host_edited`:
// the formula's own sheet is the edited one, so its unqualified references follow. NeedPython
// when a sheet name can only be compared with the edited title by Python's case folding.
[[nodiscard]] FormulaResult<std::optional<std::string>> shift_formula(std::string_view formula, const GridEdit& edit,
                                                                      bool host_edited);

// One cell named by a reference: its column and row, each with whether it is written with "$".
struct CellRef {
    std::int64_t col = 0, row = 0;
    bool col_abs = false, row_abs = false;
    bool operator==(const CellRef&) const = default;
};

// The cells that `formula`'s reference operands name (a cell one, an area two), in order, when
// every reference is an unqualified cell or area within the sheet; nothing when one has a sheet
// name or is whole rows or columns, or the formula does not tokenize. Operands that are no
// reference (names) are passed over. The store uses it to tell when shifting a formula is
// plain arithmetic on positions.
std::optional<std::vector<CellRef>> plain_references(std::string_view formula);

// Appends the formula rendered for `dest` (no destination: no shift) to `out`. On failure what
// was appended stays in `out`; callers discard the buffer.
[[nodiscard]] FormulaResult<void> translate_into(const Translator& tr, std::optional<Cell> dest,
                                                 std::string& out);
[[nodiscard]] FormulaResult<std::string> translate(const Translator& tr, std::optional<Cell> dest);

}  // namespace qf::formula
