// The dimension lookup (see dimension.hpp).
#include "xml/dimension.hpp"

namespace qf::xml {

namespace {

bool is_main(const Reader& r, std::string_view local) { return r.ns() == NS_MAIN && r.local() == local; }

// Pulls events up to the End of the element whose Start was just read, refusing the elements that
// the worksheet dispatcher handles itself (they would be lost inside a re-parsed snippet).
XmlResult<void> skip_dimension_body(Reader& r) {
    std::size_t depth = 1;
    while (depth) {
        QF_TRY_SET(XmlEvent ev, r.next_tag());
        switch (ev) {
            case XmlEvent::Start:
            case XmlEvent::Empty:
                if (is_main(r, "sheetData") || is_main(r, "dimension"))
                    return std::unexpected(XmlError::unsupported("nested element handled by dispatcher", r.offset()));
                ++depth;
                break;
            case XmlEvent::End:
                --depth;
                break;
            case XmlEvent::Text:
                break;
            case XmlEvent::Eof:  // the reader reports open elements at the end as an error first
                return std::unexpected(XmlError::malformed("unclosed element", r.offset()));
        }
    }
    return {};
}

}  // namespace

XmlResult<std::optional<Captured>> find_dimension(Reader& reader) {
    for (;;) {
        QF_TRY_SET(XmlEvent ev, reader.next_tag());
        switch (ev) {
            case XmlEvent::Start:
            case XmlEvent::Empty: {
                if (!is_main(reader, "dimension")) break;
                reader.start_capture();
                if (ev == XmlEvent::Empty) {
                    QF_TRY(reader.next());
                } else {
                    QF_TRY(skip_dimension_body(reader));
                }
                Captured out;
                out.snippet = std::string(reader.end_capture());
                for (const auto& [prefix, uri] : reader.in_scope_namespaces())
                    out.namespaces.emplace_back(std::string(prefix), std::string(uri));
                return std::optional<Captured>(std::move(out));
            }
            case XmlEvent::End:
                if (is_main(reader, "sheetData")) return std::optional<Captured>();
                break;
            case XmlEvent::Text:
                break;
            case XmlEvent::Eof:
                return std::optional<Captured>();
        }
    }
}

}  // namespace qf::xml
