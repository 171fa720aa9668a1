// Byte classes and word-at-a-time helpers shared by the XML reader and the raw scanners built on
// it (sheet fast path, prescan). Everything here works on raw UTF-8 bytes and is constexpr, so the
// hot loops compile to one table load and a test per byte.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qf::xml {

enum CharClass : std::uint8_t {
    C_WS = 1 << 0,          // 09 0A 0D 20: XML whitespace
    C_NAME_START = 1 << 1,  // A-Z a-z _ : — first byte of an ASCII name
    C_NAME = 1 << 2,        // A-Z a-z 0-9 - . _ : — later bytes of an ASCII name
    C_NON_ASCII = 1 << 3,   // 80-FF: part of a name for scanning, refused afterwards
    C_VALUE_STOP = 1 << 4,  // 00-1F " & ' < 80-FF: bytes an attribute value scan must look at
    C_TEXT_SPECIAL = 1 << 5,  // 00-08 0B 0C 0D 0E-1F & ] 80-FF: bytes that text validation must look at
    C_CTRL = 1 << 6,        // 00-1F except 09 0A 0D: never allowed anywhere in a document
    C_COLON = 1 << 7,       // ':' — a name scan that saw none needs no qname split
    C_PI_TARGET = C_NAME,   // processing-instruction targets use the ASCII name bytes
};

inline constexpr std::array<std::uint8_t, 256> CHAR_CLASS = [] {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 0x20; ++c) {
        t[c] |= C_VALUE_STOP;
        if (c != 0x09 && c != 0x0A && c != 0x0D) t[c] |= C_CTRL | C_TEXT_SPECIAL;
    }
    for (int c : {0x09, 0x0A, 0x0D, 0x20}) t[c] |= C_WS;
    t[0x0D] |= C_TEXT_SPECIAL;  // a carriage return makes text need decoding
    for (int c = 'A'; c <= 'Z'; ++c) t[c] |= C_NAME_START | C_NAME;
    for (int c = 'a'; c <= 'z'; ++c) t[c] |= C_NAME_START | C_NAME;
    for (int c = '0'; c <= '9'; ++c) t[c] |= C_NAME;
    for (int c : {'_', ':'}) t[c] |= C_NAME_START | C_NAME;
    for (int c : {'-', '.'}) t[c] |= C_NAME;
    t[':'] |= C_COLON;
    for (int c : {'"', '&', '\'', '<'}) t[c] |= C_VALUE_STOP;
    for (int c : {'&', ']'}) t[c] |= C_TEXT_SPECIAL;
    for (int c = 0x80; c < 0x100; ++c) t[c] |= C_NON_ASCII | C_VALUE_STOP | C_TEXT_SPECIAL;
    return t;
}();

// SWAR helpers over 8 little- or big-endian bytes; only "is any byte ..." questions are asked,
// so byte order does not matter.
inline std::uint64_t load8(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}
inline bool has_class(char c, std::uint8_t cls) noexcept {
    return CHAR_CLASS[static_cast<unsigned char>(c)] & cls;
}
inline bool is_ws(char c) noexcept { return has_class(c, C_WS); }
// Byte equality for the short names and values of markup, without a call into libc.
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
    for (; n >= 8; n -= 8, a += 8, b += 8) {
        if (load8(a) != load8(b)) return false;
    }
    for (; n; --n) {
        if (*a++ != *b++) return false;
    }
    return true;
}
inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && same_bytes(a.data(), b.data(), a.size());
}

inline bool is_ascii_letter(char c) noexcept {
    return static_cast<unsigned>((static_cast<unsigned char>(c) | 0x20) - 'a') < 26u;
}

inline constexpr std::uint64_t ONES = 0x0101010101010101ull;
inline constexpr std::uint64_t HIGHS = 0x8080808080808080ull;
// Nonzero when some byte of w equals b.
inline std::uint64_t swar_eq(std::uint64_t w, unsigned char b) noexcept {
    const std::uint64_t x = w ^ (ONES * b);
    return (x - ONES) & ~x & HIGHS;
}
// Nonzero when some byte of w is below n (n <= 128), or has its high bit set.
inline std::uint64_t swar_lt_or_high(std::uint64_t w, unsigned char n) noexcept {
    return ((w - ONES * n) | w) & HIGHS;
}

// The first index in [i, end) whose byte is '<', '&', '"' or '>' (those of `stops` that are set:
// bit 0 '<', 1 '&', 2 '"', 3 '>'), or below 20, or 80 and above; `end` when there is none. This
// is where a scan of attribute values or plain character data must look closer.
// PERF NOTE: sixteen bytes a step with SSE2 (baseline on x86-64) while sixteen remain before
// `end`; the tail, and other targets, byte by byte.
enum : unsigned { STOP_LT = 1, STOP_AMP = 2, STOP_QUOT = 4, STOP_GT = 8 };
inline std::size_t find_markup(const char* b, std::size_t i, std::size_t end, unsigned stops) noexcept {
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i lt = _mm_set1_epi8((stops & STOP_LT) ? '<' : 0x20);
    const __m128i amp = _mm_set1_epi8((stops & STOP_AMP) ? '&' : 0x20);
    const __m128i quot = _mm_set1_epi8((stops & STOP_QUOT) ? '"' : 0x20);
    const __m128i gt = _mm_set1_epi8((stops & STOP_GT) ? '>' : 0x20);
    for (; i + 16 <= end; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        // Signed compare: bytes of 80 and above are negative, so below 20 catches them too.
        __m128i hit = _mm_cmplt_epi8(x, space);
        hit = _mm_or_si128(hit, _mm_or_si128(_mm_cmpeq_epi8(x, lt), _mm_cmpeq_epi8(x, amp)));
        hit = _mm_or_si128(hit, _mm_or_si128(_mm_cmpeq_epi8(x, quot), _mm_cmpeq_epi8(x, gt)));
        if (const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit)))
            return i + static_cast<std::size_t>(std::countr_zero(mask));
    }
#endif
    for (; i < end; ++i) {
        const auto c = static_cast<unsigned char>(b[i]);
        if (c < 0x20 || c >= 0x80) return i;
        if (((stops & STOP_LT) && c == '<') || ((stops & STOP_AMP) && c == '&') ||
            ((stops & STOP_QUOT) && c == '"') || ((stops & STOP_GT) && c == '>'))
            return i;
    }
    return end;
}

}  // namespace qf::xml
