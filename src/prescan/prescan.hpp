// The sheet prescan: the facts about a worksheet that the package wants before (or instead of)
// loading it, at close to the speed of reading the bytes. The elements around the cell data are
// captured whole; inside `sheetData` nothing is tokenized: only `<row` and `<c` start tags are
// looked at, and only when rows or corner cells are asked for.
//
// Byte-level: results go to a Sink, so C++ tests and the fuzzer run it without an interpreter;
// prescan_py.hpp is the Python side.
#pragma once

#include "core/error.hpp"
#include "xml/reader.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace qf::prescan {

// One attribute of a listed row tag: key as the package spells it ("ht", "{uri}local") and the
// decoded value.
struct RowAttr {
    std::string key;
    std::string value;
};

using Namespaces = std::vector<std::pair<std::string_view, std::string_view>>;

class Sink {
public:
    virtual ~Sink() = default;
    // A child of the root element, captured whole: before `sheetData` (tail false) or after it.
    [[nodiscard]] virtual XmlResult<void> element(bool tail, std::string_view snippet, const Namespaces& namespaces) = 0;
    // A row tag with attributes beyond `r` and `spans` (only when rows are wanted).
    [[nodiscard]] virtual XmlResult<void> row(std::int64_t row, std::span<const RowAttr> attrs) = 0;
    // A row number in a form the native rule does not take ("1e3", " 7"): the package decides.
    [[nodiscard]] virtual XmlResult<std::int64_t> row_index(std::string_view text) = 0;
};

struct Corner {
    std::int64_t row;
    std::int64_t col;
    std::optional<std::string> style;  // decoded `s` of the last cell seen there
};

// The requested corner cells, in the order first requested, each once.
class Corners {
public:
    void add(std::int64_t row, std::int64_t col);
    bool empty() const noexcept { return items_.empty(); }
    bool has_row(std::int64_t row) const noexcept { return rows_.contains(row); }
    Corner* find(std::int64_t row, std::int64_t col) noexcept;
    const std::vector<Corner>& items() const noexcept { return items_; }

private:
    struct KeyHash {
        std::size_t operator()(const std::pair<std::int64_t, std::int64_t>& k) const noexcept {
            const std::uint64_t h = static_cast<std::uint64_t>(k.first) * 0x9E3779B97F4A7C15ull;
            return static_cast<std::size_t>(h ^ static_cast<std::uint64_t>(k.second));
        }
    };
    std::vector<Corner> items_;
    std::unordered_map<std::pair<std::int64_t, std::int64_t>, std::size_t, KeyHash> index_;
    std::unordered_set<std::int64_t> rows_;
};

// An attribute of a row or cell tag as written: views into the tag.
struct RawAttr {
    static constexpr std::size_t NO_COLON = static_cast<std::size_t>(-1);
    std::string_view name;
    std::size_t colon;       // index of the colon in `name`, or NO_COLON
    std::string_view value;  // undecoded, already checked
    bool unprefixed(std::string_view local) const noexcept { return colon == NO_COLON && name == local; }
};

// Raw attribute scanning of a row or cell start tag, `tag` running from "<" to ">" and the
// element name being `name_len` bytes: every attribute is checked (syntax, characters,
// references) and listed in tag order. Errors carry no input offset.
[[nodiscard]] XmlResult<void> scan_attrs(std::string_view tag, std::size_t name_len, std::vector<RawAttr>& out);

// Reads the whole worksheet from `reader` (which must not have started). Fills `corners` with
// the styles found; everything else goes to `sink` in document order.
[[nodiscard]] XmlResult<void> prescan(xml::Reader& reader, bool want_rows, Corners& corners, Sink& sink);

}  // namespace qf::prescan
