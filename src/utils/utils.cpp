// Number text, XML escaping and whitespace stripping (see utils.hpp).
#include "utils/utils.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>

namespace qf::utils {

namespace {

// Decodes the code point starting at text[i] (valid UTF-8) and advances i past it.
char32_t decode(std::string_view text, std::size_t& i) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) { ++i; return b; }
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
    char32_t c = b & (0x3F >> extra);
    std::size_t end = std::min(text.size(), i + 1 + static_cast<std::size_t>(extra));
    for (++i; i < end; ++i) c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    return c;
}

// Decodes the code point that ends just before text[end] and moves end to its first byte.
char32_t decode_back(std::string_view text, std::size_t& end) {
    std::size_t start = end - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t i = start;
    char32_t c = decode(text, i);
    end = start;
    return c;
}

void append_char_ref(std::string& out, char32_t c) {
    char buf[16] = {'&', '#'};
    auto res = std::to_chars(buf + 2, buf + sizeof buf, static_cast<std::uint32_t>(c));
    *res.ptr++ = ';';
    out.append(buf, res.ptr);
}

// Per-byte escape classes. A zero entry is a byte copied as is (in bulk with its neighbours).
enum EscClass : std::uint8_t {
    E_PLAIN = 0,
    E_AMP,    // &
    E_LT,     // <
    E_GT,     // >
    E_QUOT,   // "
    E_TAB,    // U+0009
    E_LF,     // U+000A
    E_CR,     // U+000D
    E_HIGH,   // first byte of a non-ASCII character (lxml style: a character reference)
};

using EscTable = std::array<std::uint8_t, 256>;

constexpr EscTable make_table(bool attr, bool lxml) {
    EscTable t{};
    t['&'] = E_AMP;
    t['<'] = E_LT;
    t['>'] = E_GT;
    if (attr) {
        t['"'] = E_QUOT;
        t['\t'] = E_TAB;
        t['\n'] = E_LF;
    }
    // A raw CR in character data reads back as a line feed (XML normalises line ends), so
    // text keeps it as a reference in both modes.
    t['\r'] = E_CR;
    if (lxml) {
        // Continuation bytes never start a character, so only lead bytes need a class.
        for (int b = 0xC0; b < 0x100; ++b) t[b] = E_HIGH;
    }
    return t;
}

constexpr EscTable TEXT_ET = make_table(false, false);
constexpr EscTable TEXT_LXML = make_table(false, true);
constexpr EscTable ATTR_ET = make_table(true, false);
constexpr EscTable ATTR_LXML = make_table(true, true);

void escape(std::string& out, std::string_view text, const EscTable& table, bool lxml) {
    const char* data = text.data();
    std::size_t n = text.size();
    std::size_t run = 0;  // start of the pending run of plain bytes
    std::size_t i = 0;
    while (true) {
        while (i < n && table[static_cast<unsigned char>(data[i])] == E_PLAIN) ++i;
        out.append(data + run, i - run);
        if (i >= n) return;
        switch (table[static_cast<unsigned char>(data[i])]) {
            case E_AMP: out.append("&amp;"); break;
            case E_LT: out.append("&lt;"); break;
            case E_GT: out.append("&gt;"); break;
            case E_QUOT: out.append("&quot;"); break;
            case E_TAB: out.append(lxml ? "&#9;" : "&#09;"); break;
            case E_LF: out.append("&#10;"); break;
            case E_CR: out.append("&#13;"); break;
            case E_HIGH: {
                append_char_ref(out, decode(text, i));
                run = i;
                continue;
            }
            default: break;
        }
        run = ++i;
    }
}

}  // namespace

char* write_g16(char* first, double x) {
    if (x == 0.0) {
        if (std::signbit(x)) *first++ = '-';
        *first++ = '0';
        return first;
    }
    // libstdc++ builds `general` with a precision on Ryu's exact fixed/scientific printing, so
    // this is %.16g rounded from the exact binary value with ties to even, without a locale.
    // The tests hold it against Python's own '%.16g' on random bit patterns.
    return std::to_chars(first, first + G16_MAX, x, std::chars_format::general, 16).ptr;
}

namespace {

bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// The powers of ten a double holds exactly, and the largest mantissa it holds exactly.
constexpr std::array<double, 23> EXACT_POW10 = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t EXACT_MANTISSA = std::uint64_t{1} << 53;
constexpr int MAX_DIGITS = 19;  // significant digits that always fit in 64 bits

// Whether all eight bytes of `v` are ASCII digits: each has the high nibble 3, and keeps it
// when 6 is added (no byte of that form carries into the next).
constexpr bool eight_digits(std::uint64_t v) noexcept {
    constexpr std::uint64_t HIGH = 0xF0F0F0F0F0F0F0F0;
    constexpr std::uint64_t THREES = 0x3030303030303030;
    return (v & HIGH) == THREES && ((v + 0x0606060606060606) & HIGH) == THREES;
}

// The number eight ASCII digits stand for, the first in the lowest byte: neighbouring digits
// are paired in place (10 * a + b fits a byte), then the four pairs are weighted by powers of
// a hundred in two multiplications whose upper halves add up to the result.
constexpr std::uint64_t eight_digits_value(std::uint64_t v) noexcept {
    v -= 0x3030303030303030;
    v = v * 10 + (v >> 8);
    constexpr std::uint64_t PAIRS = 0x000000FF000000FF;
    const std::uint64_t outer = (v & PAIRS) * (100 + (std::uint64_t{1'000'000} << 32));
    const std::uint64_t inner = ((v >> 16) & PAIRS) * (1 + (std::uint64_t{10'000} << 32));
    return (outer + inner) >> 32;
}

}  // namespace

std::optional<double> decimal_double(std::string_view text) noexcept {
    static_assert(FLT_EVAL_METHOD == 0, "the exact path needs each operation rounded to double");
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool plus = p < end && *p == '+';
    const bool negative = p < end && *p == '-';
    const char* const body = p + plus;  // from_chars reads a '-' itself, but no '+'
    p += plus || negative;

    // PERF NOTE: the digits are converted as they are scanned, eight at a time while eight are
    // there. Leading zeros add nothing; past 19 significant digits the sum wraps, and is not used.
    std::uint64_t mantissa = 0;
    auto digits = [&] {
        if constexpr (std::endian::native == std::endian::little) {
            while (end - p >= 8) {
                std::uint64_t eight = 0;
                std::memcpy(&eight, p, 8);
                if (!eight_digits(eight)) break;
                mantissa = mantissa * 100'000'000 + eight_digits_value(eight);
                p += 8;
            }
        }
        for (; p < end && is_digit(*p); ++p) mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
    };
    const char* const int_first = p;
    digits();
    const char* const int_last = p;
    const char* frac_first = p;
    if (p < end && *p == '.') {
        frac_first = ++p;
        digits();
    }
    const char* const frac_last = p;
    if (int_first == int_last && frac_first == frac_last) return std::nullopt;
    std::int64_t power = -(frac_last - frac_first);  // the power of ten the digits are scaled by
    const bool point = frac_first != int_last;
    const bool exponent_mark = p < end && (*p == 'e' || *p == 'E');
    if (exponent_mark) {
        ++p;
        const bool minus = p < end && *p == '-';
        p += p < end && (*p == '+' || *p == '-');
        const char* const first = p;
        std::int64_t exponent = 0;
        for (; p < end && is_digit(*p); ++p) {
            if (exponent < 1'000'000) exponent = exponent * 10 + (*p - '0');  // past any double's range
        }
        if (p == first) return std::nullopt;
        power += minus ? -exponent : exponent;
    }
    if (p != end || !(point || exponent_mark)) return std::nullopt;

    // The significant digits: from the first non-zero one, in the integer part or the fraction.
    const char* first = int_first;
    while (first < int_last && *first == '0') ++first;
    if (first == int_last) {
        first = frac_first;
        while (first < frac_last && *first == '0') ++first;
    }
    const std::ptrdiff_t significant = (first < int_last ? int_last - first + (frac_last - frac_first)
                                                          : frac_last - first);

    // PERF NOTE: most numbers in sheets have few digits. When the mantissa and the power of ten
    // are both exact doubles, one multiplication or division rounds once, correctly, to the
    // double the library finds in ~250 instructions.
    if (significant <= MAX_DIGITS && mantissa <= EXACT_MANTISSA && power >= -22 && power <= 22) {
        const double m = static_cast<double>(mantissa);
        const double v = power >= 0 ? m * EXACT_POW10[static_cast<std::size_t>(power)]
                                    : m / EXACT_POW10[static_cast<std::size_t>(-power)];
        return negative ? -v : v;
    }
    double value = 0;
    const auto [stop, ec] = std::from_chars(body, end, value);
    if (ec != std::errc{} || stop != end) return std::nullopt;
    return value;
}

char* write_num_int(char* first, std::int64_t v) { return std::to_chars(first, first + NUM_MAX, v).ptr; }

char* write_num_float(char* first, double x) {
    if (x == 0.0) {
        // "-0" would read back as the integer 0: negative zero keeps its point.
        const std::string_view zero = std::signbit(x) ? "-0.0" : "0";
        return std::copy(zero.begin(), zero.end(), first);
    }
    // PERF NOTE: integral values are the common case and need no digit search.
    if (std::fabs(x) < 1e16 && x == std::trunc(x)) {
        return std::to_chars(first, first + NUM_MAX, static_cast<std::int64_t>(x)).ptr;
    }
    // The shortest round-tripping digits, in scientific form: "-d.ddde-XX".
    char sci[NUM_MAX];
    const char* begin = sci;
    const char* end = std::to_chars(sci, sci + NUM_MAX, x, std::chars_format::scientific).ptr;
    const char* e = std::find(begin, end, 'e');
    int exp = 0;
    std::from_chars(e + 1 + (e[1] == '+'), end, exp);
    if (exp < -4 || exp > 15) return std::copy(begin, end, first);
    // Plain layout of the same digits.
    const char* p = begin;
    if (*p == '-') *first++ = *p++;
    char digits[NUM_MAX];
    char* d = digits;
    for (; p < e; ++p) {
        if (*p != '.') *d++ = *p;
    }
    const auto count = static_cast<int>(d - digits);
    if (exp < 0) {
        *first++ = '0';
        *first++ = '.';
        first = std::fill_n(first, -exp - 1, '0');
        return std::copy(digits, d, first);
    }
    // exp + 1 digits before the point: integral values took the fast path, so some are after it.
    first = std::copy(digits, digits + exp + 1, first);
    *first++ = '.';
    return std::copy(digits + exp + 1, digits + count, first);
}

std::string format_g16(double x) {
    char buf[G16_MAX];
    return std::string(buf, write_g16(buf, x));
}

void append_int(std::string& out, std::int64_t v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

void esc_attr(std::string& out, std::string_view text, bool lxml) {
    escape(out, text, lxml ? ATTR_LXML : ATTR_ET, lxml);
}

void esc_text(std::string& out, std::string_view text, bool lxml) {
    // The table scan copies each run of plain bytes in one piece: a text with nothing to
    // escape is a single copy.
    escape(out, text, lxml ? TEXT_LXML : TEXT_ET, lxml);
}

std::string_view py_strip(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t next = start;
        if (!is_py_space(decode(text, next))) break;
        start = next;
    }
    if (start == text.size()) return text.substr(0, 0);
    std::size_t end = text.size();
    while (end > start) {
        std::size_t prev = end;
        if (!is_py_space(decode_back(text, prev))) break;
        end = prev;
    }
    return text.substr(start, end - start);
}

std::size_t count_code_points(std::string_view text) {
    std::size_t n = 0;
    for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

}  // namespace qf::utils
