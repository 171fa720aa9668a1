// The rich-text reader and the element-text routines (see text.hpp).
#include "text/text.hpp"

#include "text/escapes.hpp"

#include <algorithm>
#include <array>

namespace qf::text {

using xml::NsId;
using xml::Reader;
using xml::XmlEvent;

namespace {

XmlError nested(const Reader& r) { return XmlError::unsupported(NESTED_DISPATCH, r.offset()); }
XmlError eof(const Reader& r) { return XmlError::malformed(UNEXPECTED_EOF, r.offset()); }

// The package's parsers keep attributes without a namespace of an item or run (they are part of
// what the Python objects hold); the native text has no place for them.
bool has_plain_attr(const Reader& r) noexcept {
    for (const xml::Attr& a : r.attrs()) {
        if (a.ns == xml::NS_NONE) return true;
    }
    return false;
}

// Appends the decoded text of the current Text event to `out`.
void append_text(const Reader& r, std::string& out, std::string& scratch) {
    if (!r.text_needs_decoding()) {
        out.append(r.text_raw());
    } else {
        out.append(r.text_str(scratch));
    }
}

// Pulls events through the End of the element whose Start (or Empty) was just read. Every child
// start tag is checked with `forbid` and handed to `on_child`, which consumes the child through
// its End; `on_text` sees the character data directly inside the element.
template <class OnChild, class OnText>
XmlResult<void> each_child(Reader& r, Forbid forbid, OnChild&& on_child, OnText&& on_text) {
    for (;;) {
        QF_TRY_SET(XmlEvent ev, r.next());
        switch (ev) {
            case XmlEvent::Start:
            case XmlEvent::Empty:
                if (forbid(r.ns(), r.local())) return std::unexpected(nested(r));
                QF_TRY(on_child());
                break;
            case XmlEvent::End:
                return {};
            case XmlEvent::Text:
                on_text();
                break;
            case XmlEvent::Eof:
                return std::unexpected(eof(r));
        }
    }
}

// Rule T over the element whose Start (or Empty) was just read: appends its text to `out` and
// tells whether there was any.
XmlResult<bool> text_into(Reader& r, Forbid forbid, std::string& out, std::string& scratch) {
    bool has = false;
    bool before_child = true;
    QF_TRY(each_child(
        r, forbid,
        [&] {
            before_child = false;
            return skip_checked(r, forbid);
        },
        [&] {
            if (before_child && !r.text_raw().empty()) {
                append_text(r, out, scratch);
                has = true;
            }
        }));
    return has;
}

// Absolute input offset of a buffer index: survives the reader's compaction, which lowers
// buffer indices but never discards bytes of an active capture.
std::uint64_t absolute(const Reader& r, std::size_t index) noexcept { return r.offset() - r.pos() + index; }

std::string_view absolute_view(const Reader& r, std::uint64_t start, std::uint64_t end) noexcept {
    const std::uint64_t base = r.offset() - r.pos();
    return {r.buffer() + (start - base), static_cast<std::size_t>(end - start)};
}

// The state of one parse_text call.
struct ItemState {
    bool needs_python = false;
    std::optional<XmlError> deferred;  // the validator's first error, raised at the item's end
};

// Consumes a child that is not read for text; one named in `dangerous` hands the item to Python.
XmlResult<void> skip_other(Reader& r, Forbid forbid, const Names& dangerous, ItemState& st) {
    const bool hit = dangerous.contains(r.local());  // before skipping moves the reader on
    QF_TRY(skip_checked(r, forbid));
    if (hit) st.needs_python = true;
    return {};
}

// A run (<r>) whose Start was just read; appends its text (if any) to `context.runs`.
XmlResult<void> read_run(Reader& r, RichContext& ctx, ItemState& st) {
    if (has_plain_attr(r)) st.needs_python = true;
    const Forbid forbid = ctx.forbid();
    bool has_text = false;
    ctx.run.clear();
    const auto child = [&]() -> XmlResult<void> {
        const std::string_view local = r.local();
        if (local == "t") {
            ctx.run.clear();  // the last <t> of a run wins
            QF_TRY_SET(has_text, text_into(r, forbid, ctx.run, ctx.decoded));
            decode_escapes_in_place(ctx.run, ctx.decoded);
        } else if (local == "rPr") {
            const std::uint64_t start = absolute(r, r.tag_start());
            QF_TRY(skip_checked(r, forbid));
            if (st.needs_python) return {};
            const std::string_view bytes = absolute_view(r, start, absolute(r, r.tag_end()));
            auto verdict = ctx.rpr_verdict(bytes, r);
            if (!verdict) {
                st.deferred = std::move(verdict.error());
                st.needs_python = true;  // no further validator calls for this item
            } else if (!*verdict) {
                st.needs_python = true;
            }
        } else {
            QF_TRY(skip_other(r, forbid, ctx.rich_dangerous(), st));
        }
        return {};
    };
    QF_TRY(each_child(r, forbid, child, [] {}));
    if (has_text) ctx.runs.append(ctx.run);
    return {};
}

// The 22 worksheet elements, sorted for binary search.
constexpr std::array<std::string_view, 22> SHEET_DISPATCH = [] {
    std::array<std::string_view, 22> names = {
        "col", "row", "extLst", "sheetPr", "rowBreaks", "colBreaks", "pageSetup", "scenarios",
        "autoFilter", "sheetViews", "tableParts", "hyperlinks", "mergeCells", "pageMargins",
        "printOptions", "headerFooter", "legacyDrawing", "sheetFormatPr", "dataValidations",
        "sheetProtection", "customSheetViews", "conditionalFormatting"};
    std::sort(names.begin(), names.end());
    return names;
}();

}  // namespace

bool forbid_item(NsId ns, std::string_view local) noexcept { return ns == xml::NS_MAIN && local == "si"; }

bool forbid_sheet(NsId ns, std::string_view local) noexcept {
    return ns == xml::NS_MAIN && std::binary_search(SHEET_DISPATCH.begin(), SHEET_DISPATCH.end(), local);
}

Names::Names(std::vector<std::string> names) : names_(std::move(names)) {
    std::sort(names_.begin(), names_.end());
    names_.erase(std::unique(names_.begin(), names_.end()), names_.end());
}

bool Names::contains(std::string_view name) const noexcept {
    if (names_.empty()) return false;
    auto it = std::lower_bound(names_.begin(), names_.end(), name);
    return it != names_.end() && *it == name;
}

RichContext::RichContext(Names text_dangerous, Names rich_dangerous, Forbid forbid,
                         std::unique_ptr<RprValidator> validator)
    : text_dangerous_(std::move(text_dangerous)),
      rich_dangerous_(std::move(rich_dangerous)),
      forbid_(forbid),
      validator_(std::move(validator)) {}

XmlResult<bool> RichContext::rpr_verdict(std::string_view rpr, const Reader& reader) {
    if (auto it = verdicts_.find(rpr); it != verdicts_.end()) return it->second;
    QF_TRY_SET(bool verdict, validator_->validate(rpr, reader));
    verdicts_.emplace(std::string(rpr), verdict);
    return verdict;
}

XmlResult<void> parse_text(Reader& r, RichContext& ctx, TextItem& out) {
    if (!r.capturing()) r.start_capture();
    ItemState st;
    st.needs_python = has_plain_attr(r);
    const Forbid forbid = ctx.forbid();
    bool has_direct = false;
    ctx.direct.clear();
    ctx.runs.clear();
    out.had_runs = false;
    const auto child = [&]() -> XmlResult<void> {
        const std::string_view local = r.local();
        if (local == "t") {
            ctx.direct.clear();  // the last direct <t> wins, even one without text
            QF_TRY_SET(has_direct, text_into(r, forbid, ctx.direct, ctx.decoded));
            decode_escapes_in_place(ctx.direct, ctx.decoded);
        } else if (local == "r") {
            out.had_runs = true;
            QF_TRY(read_run(r, ctx, st));
        } else if (local == "rPh" || local == "phoneticPr") {
            QF_TRY(skip_checked(r, forbid));
            st.needs_python = true;
        } else {
            QF_TRY(skip_other(r, forbid, ctx.text_dangerous(), st));
        }
        return {};
    };
    // Character data directly inside the item is not part of its value.
    QF_TRY(each_child(r, forbid, child, [] {}));
    if (st.deferred) return std::unexpected(std::move(*st.deferred));
    const std::string_view snippet = r.end_capture();
    out.dispatch = st.needs_python;
    if (st.needs_python || (out.want_runs && out.had_runs)) {
        out.text.clear();
        out.captured.snippet.assign(snippet);
        out.captured.namespaces.clear();
        for (const auto& [prefix, uri] : r.in_scope_namespaces())
            out.captured.namespaces.emplace_back(std::string(prefix), std::string(uri));
    }
    if (!st.needs_python) {
        // The direct text comes first wherever it stood among the runs. PERF NOTE: most items
        // are a single <t>, whose buffer is swapped in rather than copied.
        if (!has_direct) ctx.direct.clear();
        std::swap(out.text, ctx.direct);
        out.text.append(ctx.runs);
    }
    return {};
}

XmlResult<std::optional<std::string>> element_text_checked(Reader& r, Forbid forbid) {
    std::string text, scratch;
    QF_TRY_SET(bool has, text_into(r, forbid, text, scratch));
    if (!has) return std::optional<std::string>();
    return std::optional<std::string>(std::move(text));
}

XmlResult<void> element_text_into(Reader& r, std::string& buffer) {
    std::string scratch;
    QF_TRY(text_into(r, forbid_sheet, buffer, scratch));
    return {};
}

XmlResult<void> skip_checked(Reader& r, Forbid forbid) {
    std::size_t depth = 1;
    for (;;) {
        QF_TRY_SET(XmlEvent ev, r.next_tag());
        switch (ev) {
            case XmlEvent::Start:
            case XmlEvent::Empty:
                if (forbid(r.ns(), r.local())) return std::unexpected(nested(r));
                ++depth;
                break;
            case XmlEvent::End:
                if (--depth == 0) return {};
                break;
            case XmlEvent::Text:
                break;
            case XmlEvent::Eof:
                return std::unexpected(eof(r));
        }
    }
}

}  // namespace qf::text
