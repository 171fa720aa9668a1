// The shared string table (see strings.hpp).
#include "strings.hpp"

#include "core/frame.hpp"
#include "helpers.hpp"
#include "pysource.hpp"
#include "text/context.hpp"

#include <memory>

namespace qf {

namespace {

// The item's escapes are already undone (parse_text). The reader accepted only valid UTF-8
// without surrogates, and decoded escapes add none, so decoding cannot fail on data.
PyObject* plain_str(std::string_view text) {
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

XmlResult<Ref> read_string_table(PyObject* source, PyObject* helpers_dict) {
    QF_TRY_SET(Helpers helpers, Helpers::from_dict(helpers_dict));
    QF_TRY_SET(Ref si_content, helper_item(helpers_dict, "si_content"));
    text::RichContext context = text::make_rich_context(helpers, text::forbid_item);

    xml::Reader reader(std::make_unique<PyFileSource>(source));
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return std::unexpected(source_error());
    text::TextItem item;
    for (;;) {
        QF_TRY_SET(xml::XmlEvent ev, reader.next_tag());
        if (ev == xml::XmlEvent::Eof) return list;
        if (ev != xml::XmlEvent::Start && ev != xml::XmlEvent::Empty) continue;
        if (reader.ns() != xml::NS_MAIN || reader.local() != "si") continue;
        if (reader.depth() != 2) return std::unexpected(XmlError::unsupported("nested si", reader.offset()));
        QF_TRY(text::parse_text(reader, context, item));
        Ref value = Ref::steal(item.dispatch ? dispatch(si_content.get(), item.captured)
                                             : plain_str(item.text));
        if (!value || PyList_Append(list.get(), value.get()) < 0) return std::unexpected(source_error());
    }
}

}  // namespace qf
