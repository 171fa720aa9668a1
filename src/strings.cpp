// The shared string table (see strings.hpp).
#include "strings.hpp"

#include "core/frame.hpp"
#include "helpers.hpp"
#include "pysource.hpp"
#include "text/context.hpp"

#include <memory>

namespace qf {

namespace {

constexpr std::string_view ESCAPED_UNDERSCORE = "_x005F_";

// Only the whole "_x005F_" is an escape: deleting every bare "x005F_" would eat literal text and
// turn the stored "_x005F_x005F_" (the literal "_x005F_") into "_". The package's reader applies
// the same rule, so both paths give the same strings.
PyObject* plain_str(std::string_view text, std::string& scratch) {
    std::size_t at = text.find(ESCAPED_UNDERSCORE);
    if (at != std::string_view::npos) {
        scratch.clear();
        unescape_underscore(text, scratch);
        text = scratch;
    }
    // The reader accepted only valid UTF-8 without surrogates, so decoding cannot fail on data.
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* dispatch(PyObject* si_content, const xml::Captured& item) {
    Ref snippet = Ref::steal(
        PyBytes_FromStringAndSize(item.snippet.data(), static_cast<Py_ssize_t>(item.snippet.size())));
    if (!snippet) return nullptr;
    Ref namespaces = Ref::steal(ns_list(item.namespaces));
    if (!namespaces) return nullptr;
    PyObject* args[] = {snippet.get(), namespaces.get()};
    return PyObject_Vectorcall(si_content, args, 2, nullptr);
}

}  // namespace

void unescape_underscore(std::string_view text, std::string& out) {
    for (;;) {
        const std::size_t at = text.find(ESCAPED_UNDERSCORE);
        if (at == std::string_view::npos) {
            out.append(text);
            return;
        }
        out.append(text.substr(0, at + 1));  // keeps the leading "_"
        text.remove_prefix(at + ESCAPED_UNDERSCORE.size());
    }
}

XmlResult<Ref> read_string_table(PyObject* source, PyObject* helpers_dict) {
    QF_TRY_SET(Helpers helpers, Helpers::from_dict(helpers_dict));
    QF_TRY_SET(Ref si_content, helper_item(helpers_dict, "si_content"));
    text::RichContext context = text::make_rich_context(helpers, text::forbid_item);

    xml::Reader reader(byte_source(source));
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return std::unexpected(source_error());
    text::TextItem item;
    std::string scratch;
    for (;;) {
        QF_TRY_SET(xml::XmlEvent ev, reader.next_tag());
        if (ev == xml::XmlEvent::Eof) return list;
        if (ev != xml::XmlEvent::Start && ev != xml::XmlEvent::Empty) continue;
        if (reader.ns() != xml::NS_MAIN || reader.local() != "si") continue;
        if (reader.depth() != 2) return std::unexpected(XmlError::unsupported("nested si", reader.offset()));
        QF_TRY(text::parse_text(reader, context, item));
        Ref value = Ref::steal(item.dispatch ? dispatch(si_content.get(), item.captured)
                                             : plain_str(item.text, scratch));
        if (!value || PyList_Append(list.get(), value.get()) < 0) return std::unexpected(source_error());
    }
}

}  // namespace qf
