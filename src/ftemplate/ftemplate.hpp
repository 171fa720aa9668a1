// Formula templates: formulas that differ only by references shifted with their cell are kept
// once, as text and relative/absolute row and column segments, and rendered back per cell.
// A template is used for a cell only after rendering it for that cell gave back the formula
// byte for byte. Byte-level: no Python.h.
#pragma once

#include "store/fxhash.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qf::ftemplate {

// One piece of a scanned formula: a text slice or a cell reference.
struct Part {
    bool is_ref = false;
    std::string_view text;  // text parts
    std::int64_t col = 0, row = 0;
    bool col_abs = false, row_abs = false;
};

// Splits `formula` into text and reference parts (quoted runs stay text).
std::vector<Part> scan(std::string_view formula);

class Template {
public:
    struct Seg {
        enum Kind : std::uint8_t { TEXT, COL, ROW } kind = TEXT;
        bool absolute = false;
        std::int64_t value = 0;  // absolute position, or offset from the rendering cell
        std::string text;
    };

    static Template build(std::span<const Part> parts, std::int64_t row, std::int64_t col);

    // Appends the formula for (row, col); false when a reference leaves the sheet (what was
    // appended stays in `out`).
    bool render_into(std::int64_t row, std::int64_t col, std::string& out) const;
    // Rendering for (row, col) succeeds and gives exactly `text`. An empty template matches nothing.
    bool matches(std::string_view text, std::int64_t row, std::int64_t col) const;

    const std::vector<Seg>& segs() const noexcept { return segs_; }
    // This template with every absolute row (or column) given a new value by `move`.
    template <class Move>
    Template with_absolute(bool rows, Move&& move) const {
        Template t = *this;
        for (Seg& seg : t.segs_) {
            if (seg.absolute && seg.kind == (rows ? Seg::ROW : Seg::COL)) seg.value = move(seg.value);
        }
        return t;
    }

private:
    std::vector<Seg> segs_;
};

// The store's templates and, while loading, the index of formula shapes.
class Templates {
public:
    // The template to store `text` of cell (row, col) as, or nothing (store the text).
    std::optional<std::uint32_t> template_for(std::string_view text, std::int64_t row, std::int64_t col);

    const Template& operator[](std::uint32_t i) const noexcept { return list_[i]; }
    std::size_t size() const noexcept { return list_.size(); }
    // Adds a template made after loading (a structural edit moves absolute references); its index.
    std::uint32_t add(Template t) {
        list_.push_back(std::move(t));
        return static_cast<std::uint32_t>(list_.size() - 1);
    }
    // Ends loading: drops the shape index and trims the list.
    void finish_loading();

private:
    static constexpr std::uint64_t SEEN_ONCE = 0xFFFFFFFFu;
    static constexpr std::size_t RECENT = 64;
    std::vector<Template> list_;
    FxTable index_;
    // PERF NOTE: a column's formulas mostly repeat one shape down the rows, so the template last
    // found for a column (one plus its index, by column modulo RECENT; 0: none) is tried first,
    // before the text is walked for its shape and the shape looked up. Any template that
    // renders exactly the text at the cell serves: the stored formula is that text.
    std::array<std::uint32_t, RECENT> recent_{};
};

}  // namespace qf::ftemplate
