// The formula tokenizer: a byte-level mirror of the host package's Python Tokenizer. Every
// character it looks at is ASCII, so it walks bytes and treats a non-ASCII character as one
// opaque piece; positions in messages are counted in code points, as Python counts them.
#include "formula/formula.hpp"
#include "utils/utils.hpp"

#include <array>

namespace qf::formula {

namespace {

constexpr std::string_view TOKEN_ENDERS = ",;}) +-*/^&=><%";

// Tried in this order; "#NAME?" must come before "#N/A".
constexpr std::array<std::string_view, 8> ERROR_CODES = {
    "#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!", "#N/A", "#GETTING_DATA",
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Python float() strips only ASCII whitespace from ASCII text (str.strip() would also take
// U+001C..U+001F, which float() rejects).
bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool iequals(std::string_view a, std::string_view lower) {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

// Digits with single underscores allowed only between two digits, starting at s[i].
// Returns the number of digits read (underscores excluded) and advances i.
std::size_t scan_digits(std::string_view s, std::size_t& i) {
    std::size_t digits = 0;
    while (i < s.size()) {
        if (is_digit(s[i])) {
            ++digits;
            ++i;
        } else if (s[i] == '_' && digits > 0 && i + 1 < s.size() && is_digit(s[i + 1])) {
            ++i;
        } else {
            break;
        }
    }
    return digits;
}

// The pending text before a sign that continues a number in scientific notation:
// [1-9](\.[0-9]+)?[eE], optionally followed by one line feed.
bool is_sci_mantissa(std::string_view s) {
    if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
    if (s.size() < 2 || s[0] < '1' || s[0] > '9') return false;
    char last = s.back();
    if (last != 'e' && last != 'E') return false;
    std::string_view mid = s.substr(1, s.size() - 2);
    if (mid.empty()) return true;
    if (mid[0] != '.' || mid.size() < 2) return false;
    for (char c : mid.substr(1)) {
        if (!is_digit(c)) return false;
    }
    return true;
}

// The subtype of an operand's text (text, error, logical, number or range); a number/range
// decision that would involve non-ASCII characters is declined or taken as a range.
FormulaResult<TokenSubtype> operand_subtype(std::string_view text, NonAscii non_ascii) {
    if (!text.empty() && text[0] == '"') return TokenSubtype::Text;
    if (!text.empty() && text[0] == '#') return TokenSubtype::Error;
    if (text == "TRUE" || text == "FALSE") return TokenSubtype::Logical;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x80) continue;
        if (non_ascii == NonAscii::AsRange) return TokenSubtype::Range;
        return std::unexpected(FormulaError::need_python());
    }
    return is_float_literal(text) ? TokenSubtype::Number : TokenSubtype::Range;
}

class Tokenizer {
public:
    Tokenizer(std::string_view formula, NonAscii non_ascii) : f_(formula), non_ascii_(non_ascii) {}

    FormulaResult<std::vector<Token>> run() {
        if (f_.empty()) return std::move(tokens_);
        if (f_[0] != '=') {
            push(f_, TokenType::Literal, TokenSubtype::None, 0);
            return std::move(tokens_);
        }
        pos_ = 1;
        while (pos_ < f_.size()) {
            char c = f_[pos_];
            if ((c == '+' || c == '-') && !pending_.empty() && is_sci_mantissa(pending_)) {
                add_piece(pos_, 1);
                ++pos_;
                continue;
            }
            if (TOKEN_ENDERS.find(c) != std::string_view::npos) {
                auto saved = save_pending();
                if (!saved) return std::unexpected(std::move(saved.error()));
            }
            auto step = dispatch(c);
            if (!step) return std::unexpected(std::move(step.error()));
        }
        auto saved = save_pending();
        if (!saved) return std::unexpected(std::move(saved.error()));
        return std::move(tokens_);
    }

private:
    FormulaResult<void> dispatch(char c) {
        switch (c) {
            case '"':
            case '\'':
                return quoted(c);
            case '[':
                return bracket();
            case '#':
                return error_code();
            case ' ':
            case '\n':
                whitespace(c);
                return {};
            case '+': case '-': case '*': case '/': case '^':
            case '&': case '=': case '>': case '<': case '%':
                op(c);
                return {};
            case '{':
                if (!pending_.empty()) return unexpected_char();
                open(TokenType::Array, "{", pos_);
                ++pos_;
                return {};
            case '(':
                if (!pending_.empty()) {
                    pending_ += '(';
                    open(TokenType::Func, pending_, pending_start_);
                    clear_pending();
                } else {
                    open(TokenType::Paren, "(", pos_);
                }
                ++pos_;
                return {};
            case ')':
            case '}':
                return close(c);
            case ';':
                push(";", TokenType::Sep, TokenSubtype::Row, pos_);
                ++pos_;
                return {};
            case ',':
                if (stack_.empty() || stack_.back() == TokenType::Paren) {
                    push(",", TokenType::OpInfix, TokenSubtype::None, pos_);
                } else {
                    push(",", TokenType::Sep, TokenSubtype::Arg, pos_);
                }
                ++pos_;
                return {};
            default: {
                // One character, as a piece of its own (all bytes of a non-ASCII one).
                std::size_t len = 1;
                auto b = static_cast<unsigned char>(c);
                if (b >= 0xC0) len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
                len = std::min(len, f_.size() - pos_);
                add_piece(pos_, len);
                pos_ += len;
                return {};
            }
        }
    }

    FormulaResult<void> quoted(char q) {
        if (!pending_.empty() && last_piece() != ":") return unexpected_char();
        std::size_t i = pos_ + 1;
        while (true) {
            std::size_t close = f_.find(q, i);
            if (close == std::string_view::npos) {
                return std::unexpected(FormulaError::tokenizer(
                    std::string("Reached end of formula while parsing ") + (q == '"' ? "string" : "link") +
                    " in " + std::string(f_)));
            }
            if (close + 1 < f_.size() && f_[close + 1] == q) {
                i = close + 2;  // a doubled quote is an escaped quote
                continue;
            }
            std::string_view text = f_.substr(pos_, close + 1 - pos_);
            if (q == '"') {
                push(text, TokenType::Operand, TokenSubtype::Text, pos_);
            } else {
                add_piece(pos_, text.size());  // a quoted sheet name, part of the reference
            }
            pos_ = close + 1;
            return {};
        }
    }

    FormulaResult<void> bracket() {
        std::size_t depth = 0;
        for (std::size_t i = pos_; i < f_.size(); ++i) {
            if (f_[i] == '\'') {
                ++i;  // a structured reference's "'" makes the next character a literal one
            } else if (f_[i] == '[') {
                ++depth;
            } else if (f_[i] == ']' && --depth == 0) {
                add_piece(pos_, i + 1 - pos_);
                pos_ = i + 1;
                return {};
            }
        }
        return std::unexpected(FormulaError::tokenizer("Encountered unmatched '[' in " + std::string(f_)));
    }

    FormulaResult<void> error_code() {
        if (!pending_.empty() && last_piece() != "!") return unexpected_char();
        std::string_view rest = f_.substr(pos_);
        for (std::string_view code : ERROR_CODES) {
            if (rest.starts_with(code)) {
                const std::size_t start = pending_.empty() ? pos_ : pending_start_;
                pending_ += code;
                pos_ += code.size();
                auto subtype = operand_subtype(pending_, non_ascii_);
                if (!subtype) return std::unexpected(std::move(subtype.error()));
                push(pending_, TokenType::Operand, *subtype, start, pos_);
                clear_pending();
                return {};
            }
        }
        return std::unexpected(FormulaError::tokenizer("Invalid error code at position " + position() +
                                                       " in '" + std::string(f_) + "'"));
    }

    void whitespace(char c) {
        const std::size_t start = pos_++;
        while (pos_ < f_.size() && (f_[pos_] == ' ' || f_[pos_] == '\n')) ++pos_;
        push(std::string_view(&c, 1), TokenType::Whitespace, TokenSubtype::None, start, pos_);
    }

    void op(char c) {
        std::string_view two = f_.substr(pos_, 2);
        if (two == ">=" || two == "<=" || two == "<>") {
            push(two, TokenType::OpInfix, TokenSubtype::None, pos_);
            pos_ += 2;
            return;
        }
        std::string_view one = f_.substr(pos_, 1);
        const std::size_t start = pos_++;
        if (c == '%') {
            push(one, TokenType::OpPostfix, TokenSubtype::None, start);
        } else if (c != '+' && c != '-') {
            push(one, TokenType::OpInfix, TokenSubtype::None, start);
        } else {
            push(one, sign_is_infix() ? TokenType::OpInfix : TokenType::OpPrefix, TokenSubtype::None, start);
        }
    }

    // "+"/"-" are infix after an operand, a closer or a postfix operator (whitespace skipped).
    bool sign_is_infix() const {
        for (auto it = tokens_.rbegin(); it != tokens_.rend(); ++it) {
            if (it->type == TokenType::Whitespace) continue;
            return it->subtype == TokenSubtype::Close || it->type == TokenType::OpPostfix ||
                   it->type == TokenType::Operand;
        }
        return false;
    }

    // The opener ends at the current character (a function's name began before it).
    void open(TokenType type, std::string_view text, std::size_t start) {
        stack_.push_back(type);
        push(text, type, TokenSubtype::Open, start, pos_ + 1);
    }

    FormulaResult<void> close(char c) {
        if (stack_.empty()) return std::unexpected(FormulaError::pop_empty());
        TokenType type = stack_.back();
        stack_.pop_back();
        char expected = type == TokenType::Array ? '}' : ')';
        if (c != expected) {
            return std::unexpected(
                FormulaError::tokenizer("Mismatched ( and { pair in '" + std::string(f_) + "'"));
        }
        push(std::string_view(&c, 1), type, TokenSubtype::Close, pos_);
        ++pos_;
        return {};
    }

    FormulaResult<void> save_pending() {
        if (pending_.empty()) return {};
        auto subtype = operand_subtype(pending_, non_ascii_);
        if (!subtype) return std::unexpected(std::move(subtype.error()));
        push(pending_, TokenType::Operand, *subtype, pending_start_, pending_end_);
        clear_pending();
        return {};
    }

    FormulaResult<void> unexpected_char() const {
        return std::unexpected(FormulaError::tokenizer("Unexpected character at position " + position() +
                                                       " in '" + std::string(f_) + "'"));
    }

    std::string position() const { return std::to_string(utils::count_code_points(f_.substr(0, pos_))); }

    // A token of the text from `start` to `end` (by default as long as the token's text).
    void push(std::string_view text, TokenType type, TokenSubtype subtype, std::size_t start,
              std::size_t end = std::string_view::npos) {
        if (end == std::string_view::npos) end = start + text.size();
        tokens_.push_back({std::string(text), type, subtype, static_cast<std::uint32_t>(start),
                           static_cast<std::uint32_t>(end)});
    }
    void add_piece(std::size_t start, std::size_t len) {
        if (pending_.empty()) pending_start_ = start;
        last_piece_ = pending_.size();
        pending_.append(f_.substr(start, len));
        pending_end_ = start + len;
    }
    std::string_view last_piece() const { return std::string_view(pending_).substr(last_piece_); }
    void clear_pending() {
        pending_.clear();
        last_piece_ = 0;
    }

    std::string_view f_;
    NonAscii non_ascii_;
    std::size_t pos_ = 0;
    std::vector<Token> tokens_;
    std::vector<TokenType> stack_;
    // The pending operand's pieces, joined; only the last piece is ever inspected on its own.
    std::string pending_;
    std::size_t last_piece_ = 0;
    std::size_t pending_start_ = 0;
    std::size_t pending_end_ = 0;
};

}  // namespace

bool is_float_literal(std::string_view s) {
    while (!s.empty() && is_ascii_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_ascii_space(s.back())) s.remove_suffix(1);
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
    if (iequals(s, "inf") || iequals(s, "infinity") || iequals(s, "nan")) return true;
    std::size_t i = 0;
    std::size_t int_digits = scan_digits(s, i);
    std::size_t frac_digits = 0;
    if (i < s.size() && s[i] == '.') {
        ++i;
        // No underscore may touch the point on either side.
        if (i < s.size() && s[i] == '_') return false;
        frac_digits = scan_digits(s, i);
    }
    if (int_digits + frac_digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (i < s.size() && s[i] == '_') return false;
        if (scan_digits(s, i) == 0) return false;
    }
    return i == s.size();
}

FormulaResult<std::vector<Token>> tokenize(std::string_view formula, NonAscii non_ascii) {
    return Tokenizer(formula, non_ascii).run();
}

FormulaResult<bool> well_formed(std::string_view formula) {
    auto tokens = tokenize(formula);
    if (!tokens) {
        if (tokens.error().kind == FormulaErrorKind::NeedPython) return std::unexpected(std::move(tokens.error()));
        return false;  // a syntax error, or a closer without an opener
    }
    std::int64_t open = 0;
    for (const Token& t : *tokens) {
        if (t.subtype == TokenSubtype::Open) ++open;
        if (t.subtype == TokenSubtype::Close) --open;
    }
    return open == 0;
}

}  // namespace qf::formula
