// The sheet parser: walks a worksheet part and hands out one item at a time, a parsed row, a
// top-level element captured whole for the package to apply, or the end. Cells are interpreted
// by cell.hpp; the read-only streamer and full-mode binding both drive this through next_item.
#pragma once

#include "sheet/cell.hpp"
#include "text/text.hpp"
#include "xml/reader.hpp"

#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace qf::sheet {

struct RowItem {
    std::vector<CellRec> cells;  // in document order
    std::int64_t row = 0;        // the row counter for this row
};

struct ElementItem {
    std::string snippet;  // exact source bytes of the element
    std::vector<std::pair<std::string, std::string>> namespaces;  // (prefix, URI) in scope
};

struct EndItem {};

using Item = std::variant<RowItem, ElementItem, EndItem>;

class SheetParser {
public:
    // Opens the reader on `source`; `actions` (a list) receives warnings, `row_dims` (a dict)
    // the row dimensions. Both are kept for the parser's life.
    [[nodiscard]] static XmlResult<std::unique_ptr<SheetParser>> create(PyObject* source, Helpers helpers,
                                                                        Settings settings, PyObject* actions,
                                                                        PyObject* row_dims);

    [[nodiscard]] XmlResult<Item> next_item();

    // Takes back the cell list of a row the consumer is done with: its storage serves a later
    // row, so that rows cost no allocation once a few are in flight.
    void recycle(std::vector<CellRec>&& cells);

    // Input bytes consumed so far.
    std::uint64_t offset() const noexcept { return reader_.offset(); }
    SheetState& state() noexcept { return state_; }
    const SheetState& state() const noexcept { return state_; }
    PyObject* row_dims() const noexcept { return row_dims_.get(); }

    // Counts of cells parsed by the fast path and by the event path (tests compare both).
    std::uint64_t fast_cells = 0;
    std::uint64_t event_cells = 0;
    // Tests turn the fast path off to compare the two on the same input.
    bool fast_path_enabled = true;

private:
    explicit SheetParser(std::unique_ptr<xml::ByteSource> source);

    [[nodiscard]] XmlResult<Item> parse_row(xml::XmlEvent ev);
    [[nodiscard]] XmlResult<Item> capture_checked(xml::XmlEvent ev);
    [[nodiscard]] XmlResult<void> parse_cell(xml::XmlEvent ev, std::vector<CellRec>& out);
    // The common cell shape read straight from the buffer; false: not handled, nothing consumed.
    [[nodiscard]] XmlResult<bool> fast_cell(std::vector<CellRec>& out);
    [[nodiscard]] XmlResult<std::optional<Val>> read_inline_at(xml::XmlEvent ev);
    [[nodiscard]] XmlResult<Ref> call_with_captured(PyObject* helper);
    [[nodiscard]] XmlResult<void> keep_runs();
    [[nodiscard]] XmlResult<Ref> attr_dict();
    // With keep_cells: the cell's attributes the model does not hold, as a tuple of (name,
    // value) pairs; empty when there are none.
    [[nodiscard]] XmlResult<Ref> kept_attrs();

    xml::Reader reader_;
    SheetState state_;
    CellBufs bufs_;
    Ref row_dims_;
    std::unique_ptr<text::RichContext> rich_;  // inline strings
    text::TextItem item_;                      // reused for every inline string
    bool in_sheet_data_ = false;
    std::string scratch_;
    std::vector<std::vector<CellRec>> spare_rows_;
};

// The 22 worksheet-level elements that the package's dispatcher handles wherever they occur.
bool is_dispatch_tag(xml::NsId ns, std::string_view local) noexcept;

}  // namespace qf::sheet
