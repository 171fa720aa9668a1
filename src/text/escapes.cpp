// The `_xHHHH_` escapes (see escapes.hpp).
#include "text/escapes.hpp"

#include <cstdint>
#include <optional>

namespace qf::text {
namespace {

constexpr std::size_t ESCAPE_LEN = 7;  // "_x" + four hex digits + "_"

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code unit of the escape at `at`, if one stands there.
std::optional<char32_t> escape_at(std::string_view text, std::size_t at) noexcept {
    if (text.size() - at < ESCAPE_LEN || text[at] != '_' || text[at + 1] != 'x' || text[at + 6] != '_') {
        return std::nullopt;
    }
    char32_t unit = 0;
    for (std::size_t i = at + 2; i < at + 6; ++i) {
        const int d = hex_digit(text[i]);
        if (d < 0) return std::nullopt;
        unit = unit << 4 | static_cast<char32_t>(d);
    }
    return unit;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | c >> 6));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | c >> 12));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | c >> 18));
        out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool is_high(char32_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low(char32_t u) noexcept { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

void decode_escapes(std::string_view text, std::string& out) {
    std::size_t done = 0;  // text before it is in `out`
    std::size_t at = 0;
    while ((at = text.find("_x", at)) != std::string_view::npos) {
        const auto unit = escape_at(text, at);
        if (!unit) {
            ++at;
            continue;
        }
        out.append(text.substr(done, at - done));
        done = at + ESCAPE_LEN;
        if (is_high(*unit)) {
            const auto low = escape_at(text, done);
            if (low && is_low(*low)) {
                append_utf8(out, 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00));
                done += ESCAPE_LEN;
            } else {
                out.append(text.substr(at, ESCAPE_LEN));
            }
        } else if (is_low(*unit)) {
            out.append(text.substr(at, ESCAPE_LEN));
        } else {
            append_utf8(out, *unit);
        }
        at = done;
    }
    out.append(text.substr(done));
}

void decode_escapes_in_place(std::string& text, std::string& scratch) {
    if (text.find("_x") == std::string::npos) return;
    scratch.clear();
    decode_escapes(text, scratch);
    text.swap(scratch);
}

std::size_t next_protected(std::string_view text, std::size_t from) noexcept {
    while ((from = text.find("_x", from)) != std::string_view::npos) {
        if (escape_at(text, from)) return from;
        ++from;
    }
    return std::string_view::npos;
}

}  // namespace qf::text
