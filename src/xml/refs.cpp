// References and character validation (see refs.hpp).
#include "xml/refs.hpp"

#include "xml/chars.hpp"

#include <cstring>

namespace qf::xml {

namespace {

bool is_xml_char(std::uint32_t cp) noexcept {
    if (cp < 0x20) return cp == 0x09 || cp == 0x0A || cp == 0x0D;
    if (cp <= 0xD7FF) return true;
    if (cp < 0xE000) return false;
    if (cp <= 0xFFFD) return true;
    return cp >= 0x10000 && cp <= 0x10FFFF;
}

int digit_value(char c, bool hex) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (!hex) return -1;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The body of a reference that validate_refs accepted; decoding never fails afterwards.
std::uint32_t resolved(std::string_view body) {
    auto cp = resolve_ref(body);
    return cp ? *cp : 0xFFFD;
}

}  // namespace

XmlResult<std::uint32_t> resolve_ref(std::string_view name) {
    switch (name.size()) {
        case 2:
            if (name == "lt") return 0x3C;
            if (name == "gt") return 0x3E;
            break;
        case 3:
            if (name == "amp") return 0x26;
            break;
        case 4:
            if (name == "quot") return 0x22;
            if (name == "apos") return 0x27;
            break;
        default:
            break;
    }
    if (name.size() < 2 || name[0] != '#') return std::unexpected(XmlError::malformed("undefined entity"));
    const bool hex = name[1] == 'x';
    std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 10) return std::unexpected(XmlError::malformed("bad char ref"));
    std::uint64_t value = 0;
    for (char c : digits) {
        const int d = digit_value(c, hex);
        if (d < 0) return std::unexpected(XmlError::malformed("bad char ref"));
        value = value * (hex ? 16 : 10) + static_cast<unsigned>(d);
    }
    if (value > 0xFFFFFFFFull) return std::unexpected(XmlError::malformed("bad char ref"));
    if (!is_xml_char(static_cast<std::uint32_t>(value)))
        return std::unexpected(XmlError::malformed("invalid char ref"));
    return static_cast<std::uint32_t>(value);
}

XmlResult<void> validate_refs(std::string_view data) {
    std::size_t at = 0;
    while ((at = data.find('&', at)) != std::string_view::npos) {
        const std::size_t semi = data.find(';', at + 1);
        if (semi == std::string_view::npos) return std::unexpected(XmlError::malformed("bad reference"));
        QF_TRY(resolve_ref(data.substr(at + 1, semi - at - 1)));
        at = semi + 1;
    }
    return {};
}

XmlResult<void> validate_utf8(std::string_view data) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const auto* end = p + data.size();
    bool nonchar = false;  // U+FFFE / U+FFFF seen; reported only when the whole stretch is UTF-8
    while (p < end) {
        // PERF NOTE: ASCII stretches go eight bytes at a time.
        while (end - p >= 8 && !(load8(reinterpret_cast<const char*>(p)) & HIGHS)) p += 8;
        if (p == end) break;
        const unsigned char c = *p;
        if (c < 0x80) { ++p; continue; }
        std::size_t len;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
        else return std::unexpected(XmlError::malformed("invalid utf-8"));
        if (static_cast<std::size_t>(end - p) < len) return std::unexpected(XmlError::malformed("invalid utf-8"));
        for (std::size_t i = 1; i < len; ++i) {
            if ((p[i] & 0xC0) != 0x80) return std::unexpected(XmlError::malformed("invalid utf-8"));
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, surrogates and values above 10FFFF are not UTF-8.
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return std::unexpected(XmlError::malformed("invalid utf-8"));
        if (cp == 0xFFFE || cp == 0xFFFF) nonchar = true;
        p += len;
    }
    if (nonchar) return std::unexpected(XmlError::malformed("invalid character"));
    return {};
}

XmlResult<void> validate_chars(std::string_view data) {
    bool high = false;
    for (char c : data) {
        if (has_class(c, C_CTRL)) return std::unexpected(XmlError::malformed("invalid character"));
        high |= has_class(c, C_NON_ASCII);
    }
    if (high) return validate_utf8(data);
    return {};
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

namespace {

// Shared by attribute and text decoding: they differ only in what line ends and tabs become and
// in whether references are live.
std::string_view decode(std::string_view in, bool attr, bool refs, std::string& scratch) {
    const char* special = attr ? "\t\n\r&" : "\r&";
    std::size_t first = in.find_first_of(refs ? std::string_view(special) : std::string_view("\r"));
    if (first == std::string_view::npos) return in;
    scratch.clear();
    scratch.reserve(in.size());
    scratch.append(in.data(), first);
    for (std::size_t i = first; i < in.size();) {
        const char c = in[i];
        if (c == '\r') {
            scratch.push_back(attr ? ' ' : '\n');
            i += (i + 1 < in.size() && in[i + 1] == '\n') ? 2 : 1;
        } else if (attr && (c == '\t' || c == '\n')) {
            scratch.push_back(' ');
            ++i;
        } else if (refs && c == '&') {
            std::size_t semi = in.find(';', i + 1);
            if (semi == std::string_view::npos) semi = in.size();  // unreachable after validation
            append_utf8(scratch, resolved(in.substr(i + 1, semi - i - 1)));
            i = semi + 1;
        } else {
            scratch.push_back(c);
            ++i;
        }
    }
    return scratch;
}

}  // namespace

std::string_view decode_attr(std::string_view value, std::string& scratch) {
    return decode(value, true, true, scratch);
}

std::string_view decode_text(std::string_view text, bool cdata, std::string& scratch) {
    return decode(text, false, !cdata, scratch);
}

}  // namespace qf::xml
