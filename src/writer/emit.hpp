// The bytes of one `<c>` element as the package's serialisers write them, in both modes: the
// choice of a cell's body, column letters, the xml:space rule, and the test for text that XML
// cannot hold. Deciding what a Python value is belongs to writer.cpp; byte-level, no Python.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qf::writer {

inline constexpr std::int64_t MAX_COLUMN = 18278;  // ZZZ

// A cell value as the writer reads it without Python: absent, text (UTF-8) or number text.
struct Value {
    enum Kind : std::uint8_t { NONE, TEXT, NUMBER } kind = NONE;
    std::string_view text;
};

enum class Body : std::uint8_t {
    EMPTY,    // no value: an empty `<c>`
    VALUE,    // <v>text</v>
    FORMULA,  // <f>text after its first character</f><v>cached result</v>
    INLINE,   // <is><t>text</t></is>, the empty text included
};

struct CellXml {
    std::int64_t row = 0;
    std::uint32_t col = 0;                 // 1 to MAX_COLUMN
    std::optional<std::string_view> s;     // style id text
    std::optional<std::string_view> t;     // data type attribute
    Body body = Body::EMPTY;
    std::string_view text;                 // of every body but EMPTY
    std::string_view cached;               // FORMULA: the result kept for an unchanged formula
};

// Offset of the first character XML 1.0 cannot hold in valid UTF-8 text (a control character
// other than tab, line feed and carriage return, U+FFFE or U+FFFF), or npos. Valid UTF-8 holds
// no surrogates.
std::size_t forbidden_char(std::string_view text) noexcept;

// The `t` attribute of a data type: none for "f", "inlineStr" for "s", the data type itself for
// every other (the empty one included).
std::optional<std::string_view> t_of(std::string_view data_type) noexcept;

// The body of a cell of `data_type` holding `value`, or nothing when the package's `write_cell`
// must write the cell: text XML cannot hold, or a number in a formula or string cell. Empty text
// in a string cell is an empty inline string (an empty cell would read back as None).
std::optional<Body> choose_body(std::string_view data_type, const Value& value) noexcept;

// Column letters, bijective base 26: 1 is "A", 27 "AA", 18278 "ZZZ".
void append_column(std::string& out, std::uint32_t col);

// Appends the element. `lxml` false: ElementTree's forms (`<c ... />`, `<v />`); true: lxml's
// incremental writer (`<c ...></c>`, `<v></v>`) and its escaping (see utils.hpp).
void emit_cell(std::string& out, bool lxml, const CellXml& cell);

}  // namespace qf::writer
