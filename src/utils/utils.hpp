// Exact text of numbers, XML escaping in both serialiser styles, and Python-compatible
// whitespace stripping: the byte-level pieces the sheet writer and the formula tokenizer share.
// No Python.h here (exact_int, which reads a Python int, lives in pyint.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qf::utils {

// `%.16g` of a finite double, correctly rounded from its exact binary value, ties to even.
// "-0" for negative zero. Locale-independent.
std::string format_g16(double x);

// The same text written at `first` (room for G16_MAX bytes); returns the end. For callers that
// append to a buffer of their own without a temporary string.
constexpr std::size_t G16_MAX = 32;
char* write_g16(char* first, double x);

// The sheet writer's number text, written at `first` (room for NUM_MAX bytes); returns the end.
// Nothing is lost on the way back: an integer gets its exact decimal digits, a finite double the
// fewest significant digits (at most 17) that read back as the same double, laid out as %g lays
// out its digits: plain when the decimal exponent is -4 to 15 (integral values without a point),
// else d.ddde+XX with at least two exponent digits; "-0.0" for negative zero (as an integer
// text it would read back as 0). That is Python's repr() of the float without a trailing ".0",
// which negative zero keeps.
constexpr std::size_t NUM_MAX = 32;
char* write_num_int(char* first, std::int64_t v);
char* write_num_float(char* first, double x);

// The double a decimal text names, rounded as std::from_chars rounds it, when the text has the
// form [+-]? digits [. digits] [(e|E) [+-]? digits] with at least one mantissa digit and a point
// or an exponent; nothing for any other text (a bare integer among them), or when the value
// overflows or underflows (callers leave those to Python).
std::optional<double> decimal_double(std::string_view text) noexcept;

// Appends the decimal text of `v` to `out` (no locale, no allocation beyond growing `out`).
void append_int(std::string& out, std::int64_t v);

// Escapes `text` (valid UTF-8) as an attribute value / as character data and appends it to
// `out`. `lxml` false: the standard-library ElementTree serialiser; true: the lxml serialiser
// writing an ASCII document (non-ASCII becomes decimal character references).
void esc_attr(std::string& out, std::string_view text, bool lxml);
void esc_text(std::string& out, std::string_view text, bool lxml);

// The sub-slice of `text` (valid UTF-8) that Python's str.strip() without arguments leaves.
// An all-whitespace text yields an empty slice at its start.
std::string_view py_strip(std::string_view text);

// Whether the code point counts as whitespace for Python's str.isspace().
constexpr bool is_py_space(char32_t c) {
    if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Whether an attribute name is written as it stands: an unprefixed ASCII name (a letter or "_",
// then letters, digits, "_", "." and "-"). Row attributes, and the attributes a loaded cell keeps.
constexpr bool plain_name(std::string_view name) noexcept {
    if (name.empty()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        const bool more = (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (!letter && (i == 0 || !more)) return false;
    }
    return true;
}

// Number of code points in valid UTF-8 (continuation bytes are not counted).
std::size_t count_code_points(std::string_view text);

}  // namespace qf::utils
