// The sheet parser (see parser.hpp).
#include "sheet/parser.hpp"

#include "core/frame.hpp"
#include "pysource.hpp"
#include "text/context.hpp"
#include "utils/utils.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace qf::sheet {
namespace {

using xml::NS_MAIN;
using xml::NS_NONE;
using xml::XmlEvent;

bool is_main(const xml::Reader& r, std::string_view local) { return r.ns() == NS_MAIN && r.local() == local; }

bool starting(XmlEvent ev) { return ev == XmlEvent::Start || ev == XmlEvent::Empty; }

// Character data that the event path would hand over unchanged: no references or markup, no
// carriage return (line ends are normalised), no other control character, valid UTF-8 without
// U+FFFE/U+FFFF. Returns the index of the "<" ending the text, or npos when declined or the
// buffer ends first.
constexpr std::size_t NPOS = static_cast<std::size_t>(-1);
// The bytes that plain text goes on over without a closer look: printable ASCII but markup.
constexpr std::array<bool, 256> PLAIN_BYTE = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x80; ++c) t[c] = c != '<' && c != '&' && c != '>';
    return t;
}();
std::size_t plain_text_end(const char* b, std::size_t i, std::size_t end) noexcept {
    // PERF NOTE: a cell's value is a few bytes: those go a byte at a time through one table, and
    // only a longer or odder text is scanned sixteen bytes a step.
    for (const std::size_t short_end = std::min(end, i + 16);
         i < short_end && PLAIN_BYTE[static_cast<unsigned char>(b[i])];)
        ++i;
    if (i < end && b[i] == '<') return i;
    while (i < end) {
        i = xml::find_markup(b, i, end, xml::STOP_LT | xml::STOP_AMP | xml::STOP_GT);
        if (i >= end) break;
        const auto c = static_cast<unsigned char>(b[i]);
        if (c >= 0x20 && c < 0x80) {
            if (c == '<') return i;
            if (c == '&' || c == '>') return NPOS;
            ++i;
            continue;
        }
        if (c == '\t' || c == '\n') { ++i; continue; }
        if (c < 0x80) return NPOS;
        std::size_t len;
        char32_t cp;
        if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
        else return NPOS;
        if (i + len > end) return NPOS;
        for (std::size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(b[i + k]);
            if ((cc & 0xC0) != 0x80) return NPOS;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF)) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return NPOS;
        i += len;
    }
    return NPOS;
}

// An element the package dispatches wherever it occurs, met inside a row or cell: the
// package must see the whole sheet.
XmlResult<void> refuse_dispatch_tag(const xml::Reader& r, const char* message) {
    if (is_dispatch_tag(r.ns(), r.local())) return std::unexpected(XmlError::unsupported(message, r.offset()));
    return {};
}

bool starts(const char* b, std::size_t i, std::size_t end, std::string_view s) noexcept {
    return end - i >= s.size() && xml::same_bytes(b + i, s.data(), s.size());
}

}  // namespace

bool is_dispatch_tag(xml::NsId ns, std::string_view local) noexcept { return text::forbid_sheet(ns, local); }

SheetParser::SheetParser(std::unique_ptr<xml::ByteSource> source) : reader_(std::move(source)) {}

XmlResult<std::unique_ptr<SheetParser>> SheetParser::create(PyObject* source, Helpers helpers, Settings settings,
                                                            PyObject* actions, PyObject* row_dims) {
    std::unique_ptr<SheetParser> p(new SheetParser(byte_source(source)));
    p->state_.helpers = std::move(helpers);
    p->state_.settings = std::move(settings);
    p->state_.actions = Ref::borrow(actions);
    p->row_dims_ = Ref::borrow(row_dims);
    QF_TRY(p->state_.init_dt());
    if (p->state_.settings.keep_cells && !p->state_.helpers.kept_runs) {
        PyErr_SetString(PyExc_TypeError, "missing helper kept_runs");
        return std::unexpected(source_error());
    }
    p->rich_ = std::make_unique<text::RichContext>(text::make_rich_context(p->state_.helpers, text::forbid_sheet));
    return p;
}

void SheetParser::recycle(std::vector<CellRec>&& cells) {
    // A bound that covers the rows a streaming reader holds back in one block.
    constexpr std::size_t MAX_SPARE_ROWS = 256;
    if (spare_rows_.size() >= MAX_SPARE_ROWS) return;
    cells.clear();
    spare_rows_.push_back(std::move(cells));
}

XmlResult<Item> SheetParser::next_item() {
    for (;;) {
        QF_TRY_SET(XmlEvent ev, reader_.next_tag());
        switch (ev) {
            case XmlEvent::Start:
            case XmlEvent::Empty: {
                const std::size_t depth = reader_.depth();
                if (depth == 1) break;
                if (depth == 2) {
                    if (!is_main(reader_, "sheetData")) return capture_checked(ev);
                    if (ev == XmlEvent::Empty) QF_TRY(reader_.next());
                    else in_sheet_data_ = true;
                    break;
                }
                if (depth == 3 && in_sheet_data_) {
                    if (is_main(reader_, "row")) return parse_row(ev);
                    return capture_checked(ev);
                }
                return std::unexpected(XmlError::unsupported("unexpected nesting", reader_.offset()));
            }
            case XmlEvent::End:
                if (in_sheet_data_ && reader_.depth() == 1) in_sheet_data_ = false;
                break;
            case XmlEvent::Text:
                break;
            case XmlEvent::Eof:
                return Item{EndItem{}};
        }
    }
}

XmlResult<Item> SheetParser::capture_checked(XmlEvent ev) {
    reader_.start_capture();
    if (ev == XmlEvent::Empty) {
        QF_TRY(reader_.next());
    } else {
        std::size_t depth = 1;
        while (depth) {
            QF_TRY_SET(XmlEvent e, reader_.next_tag());
            if (starting(e)) ++depth;
            else if (e == XmlEvent::End) --depth;
            else if (e == XmlEvent::Eof) return std::unexpected(XmlError::malformed("unexpected eof", reader_.offset()));
        }
    }
    ElementItem item;
    item.snippet = std::string(reader_.end_capture());
    for (const auto& [prefix, uri] : reader_.in_scope_namespaces())
        item.namespaces.emplace_back(std::string(prefix), std::string(uri));
    return Item{std::move(item)};
}

XmlResult<Ref> SheetParser::attr_dict() {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return std::unexpected(source_error());
    for (const xml::Attr& a : reader_.attrs()) {
        const std::string key = reader_.attr_key(a);
        const std::string_view value = reader_.attr_value(a, scratch_);
        Ref v = Ref::steal(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
        if (!v || PyDict_SetItemString(dict.get(), key.c_str(), v.get()) < 0) return std::unexpected(source_error());
    }
    return dict;
}

XmlResult<Ref> SheetParser::kept_attrs() {
    Ref attrs;
    for (const xml::Attr& a : reader_.attrs()) {
        if (a.ns != NS_NONE) continue;
        const std::string_view local = reader_.attr_local(a);
        if ((local.size() == 1 && (local[0] == 'r' || local[0] == 's' || local[0] == 't')) || !utils::plain_name(local))
            continue;
        const std::string_view value = reader_.attr_value(a, scratch_);
        Ref pair = Ref::steal(Py_BuildValue("(s#s#)", local.data(), static_cast<Py_ssize_t>(local.size()),
                                            value.data(), static_cast<Py_ssize_t>(value.size())));
        if (!pair) return std::unexpected(source_error());
        if (!attrs) attrs = Ref::steal(PyList_New(0));
        if (!attrs || PyList_Append(attrs.get(), pair.get()) < 0) return std::unexpected(source_error());
    }
    if (!attrs) return Ref{};
    Ref tuple = Ref::steal(PyList_AsTuple(attrs.get()));
    if (!tuple) return std::unexpected(source_error());
    return tuple;
}

XmlResult<Item> SheetParser::parse_row(XmlEvent ev) {
    SheetState& st = state_;
    bool has_r = false, has_dims = false;
    std::string r;
    for (const xml::Attr& a : reader_.attrs()) {
        if (a.ns != NS_NONE) continue;
        const std::string_view local = reader_.attr_local(a);
        if (local == "r") {
            has_r = true;
            r = std::string(reader_.attr_value(a, scratch_));
        } else if (local != "spans") {
            has_dims = true;
        }
    }
    st.row_digits.clear();
    if (!has_r) {
        if (st.row_counter == std::numeric_limits<std::int64_t>::max())
            return std::unexpected(XmlError::unsupported("row index", reader_.offset()));
        ++st.row_counter;
    } else if (auto v = native_int(r)) {
        st.row_counter = *v;
        st.row_digits.set(r);
    } else {
        QF_TRY_SET(Ref obj, py_call1(st.helpers.row_index.get(), r));
        const long long v2 = PyLong_AsLongLong(obj.get());
        if (v2 == -1 && PyErr_Occurred()) return std::unexpected(source_error());
        st.row_counter = v2;
    }
    st.col_counter = 0;
    if (has_dims) {
        QF_TRY_SET(Ref dict, attr_dict());
        Ref key = Ref::steal(PyUnicode_FromFormat("%lld", static_cast<long long>(st.row_counter)));
        if (!key || PyObject_SetItem(row_dims_.get(), key.get(), dict.get()) < 0)
            return std::unexpected(source_error());
    }
    RowItem row;
    row.row = st.row_counter;
    if (!spare_rows_.empty()) {
        row.cells = std::move(spare_rows_.back());
        spare_rows_.pop_back();
    }
    if (ev == XmlEvent::Empty) {
        QF_TRY(reader_.next());
        return Item{std::move(row)};
    }
    const bool fast = fast_path_enabled && reader_.default_ns() == NS_MAIN && !st.settings.rich_text;
    for (;;) {
        if (fast) {
            QF_TRY_SET(bool handled, fast_cell(row.cells));
            if (handled) continue;
        }
        QF_TRY_SET(XmlEvent e, reader_.next_tag());
        switch (e) {
            case XmlEvent::Start:
            case XmlEvent::Empty:
                QF_TRY(refuse_dispatch_tag(reader_, "dispatch tag inside row"));
                QF_TRY(parse_cell(e, row.cells));
                break;
            case XmlEvent::End:
                return Item{std::move(row)};
            case XmlEvent::Text:
                break;
            case XmlEvent::Eof:
                return std::unexpected(XmlError::malformed("eof in row", reader_.offset()));
        }
    }
}

XmlResult<void> SheetParser::parse_cell(XmlEvent ev, std::vector<CellRec>& out) {
    CellBufs& b = bufs_;
    b.clear();
    for (const xml::Attr& a : reader_.attrs()) {
        if (a.ns != NS_NONE) continue;
        const std::string_view local = reader_.attr_local(a);
        if (local.size() != 1) continue;
        switch (local[0]) {
            case 'r': b.r = b.keep(CellBufs::R, reader_.attr_value(a, scratch_)); b.has_r = true; break;
            case 's': b.s = b.keep(CellBufs::S, reader_.attr_value(a, scratch_)); break;
            case 't': b.t = b.keep(CellBufs::T, reader_.attr_value(a, scratch_)); b.has_t = true; break;
            default: break;
        }
    }
    const bool has_s = reader_.find_attr(NS_NONE, "s") != nullptr;
    if (state_.settings.keep_cells) {
        QF_TRY_SET(b.attrs, kept_attrs());
    }
    QF_TRY_SET(StyleId style, style_of(state_.helpers, has_s, b.s));
    std::optional<Val> inline_val;
    Ref f_attrs;
    if (ev == XmlEvent::Start) {
        bool seen_v = false, seen_f = false, seen_is = false;
        for (bool open = true; open;) {
            QF_TRY_SET(XmlEvent e, reader_.next_tag());
            switch (e) {
                case XmlEvent::Start:
                case XmlEvent::Empty:
                    QF_TRY(refuse_dispatch_tag(reader_, "dispatch tag inside cell"));
                    if (!seen_v && is_main(reader_, "v")) {
                        seen_v = true;
                        std::string& v = b.store(CellBufs::V);
                        v.clear();
                        QF_TRY(text::element_text_into(reader_, v));
                        b.v = v;
                    } else if (!seen_f && is_main(reader_, "f")) {
                        seen_f = true;
                        b.has_f = true;
                        for (const xml::Attr& a : reader_.attrs()) {
                            if (a.ns != NS_NONE) continue;
                            const std::string_view local = reader_.attr_local(a);
                            if (local == "t") { b.has_f_t = true; b.f_t = b.keep(CellBufs::F_T, reader_.attr_value(a, scratch_)); }
                            else if (local == "ref") { b.has_f_ref = true; b.f_ref = b.keep(CellBufs::F_REF, reader_.attr_value(a, scratch_)); }
                            else if (local == "si") { b.has_f_si = true; b.f_si = b.keep(CellBufs::F_SI, reader_.attr_value(a, scratch_)); }
                        }
                        if (b.has_f_t && b.f_t == "dataTable" && !state_.settings.data_only) {
                            QF_TRY_SET(f_attrs, attr_dict());
                        }
                        std::string& f_text = b.store(CellBufs::F_TEXT);
                        f_text.clear();
                        QF_TRY(text::element_text_into(reader_, f_text));
                        b.f_text = f_text;
                    } else if (!seen_is && b.has_t && b.t == "inlineStr" && is_main(reader_, "is")) {
                        seen_is = true;
                        QF_TRY_SET(inline_val, read_inline_at(e));
                    } else {
                        QF_TRY(text::skip_checked(reader_, text::forbid_sheet));
                    }
                    break;
                case XmlEvent::End:
                    open = false;
                    break;
                case XmlEvent::Text:
                    break;
                case XmlEvent::Eof:
                    return std::unexpected(XmlError::malformed("eof in cell", reader_.offset()));
            }
        }
    } else {
        QF_TRY(reader_.next());
    }
    ++event_cells;
    return interpret(state_, b, std::move(style), std::move(inline_val), f_attrs.get(), out);
}

// Inline strings: plain text is built natively; whatever the package must interpret (rich text
// mode, phonetic runs, run properties it would refuse) goes to its helper as exact XML.
XmlResult<std::optional<Val>> SheetParser::read_inline_at(XmlEvent ev) {
    if (state_.settings.rich_text) {
        reader_.start_capture();
        QF_TRY(text::skip_checked(reader_, text::forbid_sheet));
        item_.captured.snippet.assign(reader_.end_capture());
        item_.captured.namespaces.clear();
        for (const auto& [prefix, uri] : reader_.in_scope_namespaces())
            item_.captured.namespaces.emplace_back(std::string(prefix), std::string(uri));
    } else {
        (void)ev;  // parse_text takes Start and Empty alike
        item_.want_runs = state_.settings.keep_cells;
        QF_TRY(text::parse_text(reader_, *rich_, item_));
        if (!item_.dispatch) {
            if (item_.want_runs && item_.had_runs) QF_TRY(keep_runs());
            return std::optional<Val>(Val{std::move(item_.text)});
        }
    }
    QF_TRY_SET(Ref out, call_with_captured(state_.settings.rich_text ? state_.helpers.rich_inline.get()
                                                                     : state_.helpers.text_content.get()));
    if (item_.want_runs && item_.had_runs) QF_TRY(keep_runs());
    return std::optional<Val>(Val{std::move(out)});
}

XmlResult<Ref> SheetParser::call_with_captured(PyObject* helper) {
    const xml::Captured& cap = item_.captured;
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(cap.snippet.data(), static_cast<Py_ssize_t>(cap.snippet.size())));
    if (!bytes) return std::unexpected(source_error());
    Ref ns = Ref::steal(ns_list(cap.namespaces));
    if (!ns) return std::unexpected(source_error());
    Ref out = Ref::steal(PyObject_CallFunctionObjArgs(helper, bytes.get(), ns.get(), nullptr));
    if (!out) return std::unexpected(source_error());
    return out;
}

// The formatted runs of an inline string read as plain text, kept for saving the cell unchanged.
XmlResult<void> SheetParser::keep_runs() {
    QF_TRY_SET(Ref runs, call_with_captured(state_.helpers.kept_runs.get()));
    if (runs.get() != Py_None) bufs_.runs = std::move(runs);
    return {};
}

XmlResult<bool> SheetParser::fast_cell(std::vector<CellRec>& out) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const char* b = reader_.buffer();
        const std::size_t end = reader_.buffered();
        std::size_t i = reader_.pos();
        while (i < end && (b[i] == ' ' || b[i] == '\n' || b[i] == '\t' || b[i] == '\r')) ++i;
        bool incomplete = false;
        do {
            if (end - i < 3) { incomplete = true; break; }
            if (b[i] != '<' || b[i + 1] != 'c' || (b[i + 2] != ' ' && b[i + 2] != '/' && b[i + 2] != '>')) return false;
            xml::FastSlots cs;
            const xml::FastScan cell = xml::fast_attrs(b, end, i + 2, xml::CellMatcher{cs});
            if (cell.outcome == xml::FastOutcome::NotHandled) { incomplete = true; break; }
            std::size_t p = cell.next;
            xml::FastSlots fs;
            std::size_t v_start = NPOS, v_end = 0, f_start = NPOS, f_end = 0;
            bool has_f = false, has_v = false;
            if (cell.outcome == xml::FastOutcome::Open) {
                for (;;) {
                    if (end - p < 4) { incomplete = true; break; }
                    if (!has_v && starts(b, p, end, "<v>")) {
                        const std::size_t t = plain_text_end(b, p + 3, end);
                        if (t == NPOS) { incomplete = true; break; }
                        if (!starts(b, t, end, "</v>")) return false;
                        has_v = true; v_start = p + 3; v_end = t; p = t + 4;
                    } else if (!has_v && starts(b, p, end, "<v/>")) {
                        has_v = true; p += 4;
                    } else if (!has_f && b[p] == '<' && b[p + 1] == 'f' && (b[p + 2] == ' ' || b[p + 2] == '>' || b[p + 2] == '/')) {
                        const xml::FastScan f = xml::fast_attrs(b, end, p + 2, xml::FormulaMatcher{fs});
                        if (f.outcome == xml::FastOutcome::NotHandled) { incomplete = true; break; }
                        has_f = true;
                        p = f.next;
                        if (f.outcome == xml::FastOutcome::Open) {
                            const std::size_t t = plain_text_end(b, p, end);
                            if (t == NPOS) { incomplete = true; break; }
                            if (!starts(b, t, end, "</f>")) return false;
                            f_start = p; f_end = t; p = t + 4;
                        }
                    } else if (starts(b, p, end, "</c>")) {
                        p += 4;
                        break;
                    } else {
                        return false;
                    }
                }
                if (incomplete) break;
            }
            // The whole cell is in the buffer and of the accepted shape.
            if (has_f && fs.has(0) && std::string_view(b + fs.start[0], fs.end[0] - fs.start[0]) == "dataTable")
                return false;
            CellBufs& cb = bufs_;
            cb.clear();
            auto take = [&](const xml::FastSlots& s, int k, std::string_view& dst, bool& flag) {
                if (!s.has(k)) return;
                flag = true;
                dst = std::string_view(b + s.start[k], s.end[k] - s.start[k]);
            };
            bool has_s = false;
            take(cs, 0, cb.r, cb.has_r);
            take(cs, 1, cb.s, has_s);
            take(cs, 2, cb.t, cb.has_t);
            if (has_v && v_start != NPOS) cb.v = std::string_view(b + v_start, v_end - v_start);
            if (has_f) {
                cb.has_f = true;
                take(fs, 0, cb.f_t, cb.has_f_t);
                take(fs, 1, cb.f_ref, cb.has_f_ref);
                take(fs, 2, cb.f_si, cb.has_f_si);
                if (f_start != NPOS) cb.f_text = std::string_view(b + f_start, f_end - f_start);
            }
            reader_.skip_to(p);
            ++fast_cells;
            QF_TRY_SET(StyleId style, style_of(state_.helpers, has_s, cb.s));
            QF_TRY(interpret(state_, cb, std::move(style), std::nullopt, nullptr, out));
            return true;
        } while (false);
        if (!incomplete || attempt == 1) return false;
        // The cell runs past the buffered bytes: read one more chunk and look again.
        QF_TRY_SET(bool got, reader_.more());
        if (!got) return false;
    }
    return false;
}

}  // namespace qf::sheet
