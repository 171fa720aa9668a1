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

// Splits formula text into tokens exactly as the host package's tokenizer does.
[[nodiscard]] FormulaResult<std::vector<Token>> tokenize(std::string_view formula);

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

// Appends the formula rendered for `dest` (no destination: no shift) to `out`. On failure what
// was appended stays in `out`; callers discard the buffer.
[[nodiscard]] FormulaResult<void> translate_into(const Translator& tr, std::optional<Cell> dest,
                                                 std::string& out);
[[nodiscard]] FormulaResult<std::string> translate(const Translator& tr, std::optional<Cell> dest);

}  // namespace qf::formula
