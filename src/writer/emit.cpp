// Cell element bytes (see emit.hpp).
#include "writer/emit.hpp"

#include "text/escapes.hpp"
#include "utils/utils.hpp"

#include <array>

namespace qf::writer {
namespace {

// Bytes that may start a character XML cannot hold: the C0 controls other than tab, line feed
// and carriage return, and 0xEF, the lead byte of U+FFFE and U+FFFF (EF BF BE, EF BF BF).
constexpr std::array<bool, 256> SUSPECT = [] {
    std::array<bool, 256> t{};
    for (int b = 0; b < 0x20; ++b) t[b] = b != '\t' && b != '\n' && b != '\r';
    t[0xEF] = true;
    return t;
}();

// Length in bytes of the first character of valid UTF-8 text.
std::size_t first_char_len(std::string_view text) noexcept {
    const auto b = static_cast<unsigned char>(text[0]);
    return b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
}

void append_text_element(std::string& out, std::string_view open, std::string_view text,
                         std::string_view close, bool lxml) {
    out.append(open);
    utils::esc_text(out, text, lxml);
    out.append(close);
}

}  // namespace

std::size_t forbidden_char(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (!SUSPECT[b]) continue;
        if (b != 0xEF) return i;
        if (i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
            (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
            return i;
        }
    }
    return std::string_view::npos;
}

std::optional<std::string_view> t_of(std::string_view data_type) noexcept {
    if (data_type == "f") return std::nullopt;
    if (data_type == "s") return std::string_view("inlineStr");
    return data_type;
}

std::optional<Body> choose_body(std::string_view data_type, const Value& value) noexcept {
    const bool formula = data_type == "f";
    const bool inline_str = data_type == "s";
    switch (value.kind) {
        case Value::NONE:
            return Body::EMPTY;
        case Value::NUMBER:
            if (formula || inline_str) return std::nullopt;
            return Body::VALUE;
        case Value::TEXT:
            if (forbidden_char(value.text) != std::string_view::npos) return std::nullopt;
            if (value.text.empty()) return inline_str ? Body::INLINE : Body::EMPTY;
            return formula ? Body::FORMULA : inline_str ? Body::INLINE : Body::VALUE;
    }
    return std::nullopt;
}

void append_column(std::string& out, std::uint32_t col) {
    char letters[3];
    int n = 0;
    while (col > 0 && n < 3) {
        --col;
        letters[n++] = static_cast<char>('A' + col % 26);
        col /= 26;
    }
    while (n > 0) out.push_back(letters[--n]);
}

void emit_cell(std::string& out, bool lxml, const CellXml& cell) {
    out.append("<c r=\"");
    append_column(out, cell.col);
    utils::append_int(out, cell.row);
    out.push_back('"');
    if (cell.s) {
        out.append(" s=\"");
        utils::esc_attr(out, *cell.s, lxml);
        out.push_back('"');
    }
    if (cell.t) {
        out.append(" t=\"");
        utils::esc_attr(out, *cell.t, lxml);
        out.push_back('"');
    }
    const std::string_view empty_v = lxml ? "<v></v>" : "<v />";
    switch (cell.body) {
        case Body::EMPTY:
            out.append(lxml ? "></c>" : " />");
            return;
        case Body::VALUE:
            if (cell.text.empty()) {
                out.push_back('>');
                out.append(empty_v);
                out.append("</c>");
                return;
            }
            append_text_element(out, "><v>", cell.text, "</v></c>", lxml);
            return;
        case Body::FORMULA: {
            // The text is written without its leading character (the "=").
            const std::string_view rest = cell.text.substr(first_char_len(cell.text));
            if (rest.empty()) {
                out.append(lxml ? "><f></f>" : "><f />");
            } else {
                append_text_element(out, "><f>", rest, "</f>", lxml);
            }
            if (cell.cached.empty()) {
                out.append(empty_v);
            } else {
                append_text_element(out, "<v>", cell.cached, "</v>", lxml);
            }
            out.append("</c>");
            return;
        }
        case Body::INLINE: {
            if (cell.text.empty()) {
                out.append(lxml ? "><is><t></t></is></c>" : "><is><t /></is></c>");
                return;
            }
            // ElementTree's writer leaves text made only of whitespace unmarked; lxml's marks it.
            const std::string_view stripped = utils::py_strip(cell.text);
            const bool preserve = stripped.size() != cell.text.size() && (lxml || !stripped.empty());
            out.append(preserve ? "><is><t xml:space=\"preserve\">" : "><is><t>");
            // A literal "_xHHHH_" would read back as the character it names: its underscore is
            // protected. The escaping is per character, so the pieces escape as the whole would.
            std::size_t done = 0;
            for (std::size_t at; (at = text::next_protected(cell.text, done)) != std::string_view::npos;
                 done = at + 1) {
                utils::esc_text(out, cell.text.substr(done, at + 1 - done), lxml);
                out.append(text::PROTECTION);
            }
            utils::esc_text(out, cell.text.substr(done), lxml);
            out.append("</t></is></c>");
            return;
        }
    }
}

}  // namespace qf::writer
