// Text of string items and cell children: the rich-text reader behind the shared string table and
// inline strings, and the small element-text routines the worksheet parser shares. Decides per
// item whether the text can be built natively or must be handed, as exact XML, to the package.
// Free of Python.h: the run-property validator is an interface (Python's lives in context.hpp).
#pragma once

#include "core/error.hpp"
#include "xml/dimension.hpp"
#include "xml/reader.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qf::text {

// Says whether an element (namespace id, local name) may not occur inside the element being read.
using Forbid = bool (*)(xml::NsId ns, std::string_view local) noexcept;

// Inside a shared-string item: only a main-namespace "si" (a nested item).
bool forbid_item(xml::NsId ns, std::string_view local) noexcept;
// Inside a worksheet cell: the 22 main-namespace elements that the package's worksheet parser
// dispatches on (a snippet re-parsed in Python would lose them).
bool forbid_sheet(xml::NsId ns, std::string_view local) noexcept;

// Verdict on a run's properties: true when the package's rich-text model takes the `rPr` as it
// stands. Called with the rPr's exact bytes while the reader stands at the rPr's End, so the
// namespaces in scope can be read from it. An error (a Python exception) is deferred by the
// caller to the end of the item.
class RprValidator {
public:
    virtual ~RprValidator() = default;
    [[nodiscard]] virtual XmlResult<bool> validate(std::string_view rpr, const xml::Reader& reader) = 0;
};

// A small read-only set of element local names (UTF-8), sorted.
class Names {
public:
    Names() = default;
    explicit Names(std::vector<std::string> names);
    bool contains(std::string_view name) const noexcept;

private:
    std::vector<std::string> names_;
};

// What parse_text made of one item.
struct TextItem {
    bool dispatch = false;   // false: `text` is the value; true: hand `captured` to the package
    std::string text;        // Plain: the item's text (the buffer is reused between calls)
    xml::Captured captured;  // Dispatch: the item's exact bytes and the namespaces in scope
    bool want_runs = false;  // set by the caller: capture a Plain item that has runs as well
    bool had_runs = false;   // the item has a run (`r`); with want_runs, `captured` holds it
};

// The rich-text context: one per string table (per call) or per worksheet parser.
class RichContext {
public:
    RichContext(Names text_dangerous, Names rich_dangerous, Forbid forbid,
                std::unique_ptr<RprValidator> validator);

    Forbid forbid() const noexcept { return forbid_; }
    const Names& text_dangerous() const noexcept { return text_dangerous_; }
    const Names& rich_dangerous() const noexcept { return rich_dangerous_; }

    // The cached verdict for these rPr bytes, asking the validator on a miss (an error is not
    // cached). PERF NOTE: tables repeat a handful of rPr variants, so the validator runs rarely.
    [[nodiscard]] XmlResult<bool> rpr_verdict(std::string_view rpr, const xml::Reader& reader);
    std::size_t cached_verdicts() const noexcept { return verdicts_.size(); }

    // Scratch buffers of parse_text, kept here so that items do not allocate.
    std::string direct, runs, run, decoded;

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    Names text_dangerous_;
    Names rich_dangerous_;
    Forbid forbid_;
    std::unique_ptr<RprValidator> validator_;
    std::unordered_map<std::string, bool, Hash, std::equal_to<>> verdicts_;
};

// parse_text: one string item (`si`) or inline string (`is`).
// Call right after the element's Start or Empty event; starts the reader's capture at its start
// tag (unless one is active) and consumes everything up to and including its End. On return
// `out.dispatch` says which half of `out` holds the result:
//   - Plain: `out.text` is the last direct <t>'s text followed by the text of every run (<r>) that
//     has one, in order, the escapes of each <t> undone (escapes.hpp);
//   - Dispatch: the item needs the package (an attribute in no namespace on the item or a run,
//     a phonetic child, an rPr the validator refuses, a child named in a dangerous set);
//     `out.captured` holds the item's bytes and namespaces.
// Errors: Unsupported "nested element handled by dispatcher" for an element the context's forbid
// predicate refuses, at any depth; Malformed "unexpected eof"; reader errors; the validator's
// error (deferred until the item's End, reader errors met before it win).
[[nodiscard]] XmlResult<void> parse_text(xml::Reader& reader, RichContext& context, TextItem& out);

// Text of the element whose Start or Empty event was just read, consuming it through its End:
// the decoded character data (CDATA included, line ends normalised) before its first child
// element; none when there is no such data. Children are consumed, each start tag checked with
// `forbid` (Unsupported "nested element handled by dispatcher"). Whitespace is kept as is.
[[nodiscard]] XmlResult<std::optional<std::string>> element_text_checked(xml::Reader& reader, Forbid forbid);

// The same, appending the text (if any) to `buffer`, with the worksheet predicate (forbid_sheet).
// For the <v> and <f> children of a cell.
[[nodiscard]] XmlResult<void> element_text_into(xml::Reader& reader, std::string& buffer);

// Consumes the element whose Start or Empty event was just read, with everything inside it,
// through its End; every start tag inside is checked with `forbid`; text is ignored.
[[nodiscard]] XmlResult<void> skip_checked(xml::Reader& reader, Forbid forbid);

// Failure texts.
inline constexpr const char* NESTED_DISPATCH = "nested element handled by dispatcher";
inline constexpr const char* UNEXPECTED_EOF = "unexpected eof";

}  // namespace qf::text
