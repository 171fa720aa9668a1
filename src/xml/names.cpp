// Qualified names and namespace URIs (see names.hpp).
#include "xml/names.hpp"

namespace qf::xml {

XmlResult<QName> split_qname(std::string_view name) {
    const std::size_t colon = name.find(':');
    if (colon == std::string_view::npos) return QName{{}, name};
    if (colon == 0 || colon + 1 == name.size() || name.find(':', colon + 1) != std::string_view::npos)
        return std::unexpected(XmlError::malformed("bad qname"));
    // The local part is a name of its own: "p:1a" or "xmlns:-p" is not namespace-well-formed, and
    // the package's parser rejects it.
    const char first = name[colon + 1];
    if (!(first == '_' || static_cast<unsigned>((static_cast<unsigned char>(first) | 0x20) - 'a') < 26u))
        return std::unexpected(XmlError::malformed("bad qname"));
    return QName{name.substr(0, colon), name.substr(colon + 1)};
}

std::string expanded_key(std::string_view uri, std::string_view local) {
    std::string key;
    key.reserve(uri.size() + local.size() + 2);
    key.push_back('{');
    key.append(uri);
    key.push_back('}');
    key.append(local);
    return key;
}

UriTable::UriTable() {
    for (std::string_view uri : {std::string_view{}, XML_NS_URI, MAIN_NS_URI}) intern_uri(uri);
}

NsId UriTable::intern_uri(std::string_view uri) {
    if (auto it = index_.find(uri); it != index_.end()) return it->second;
    const NsId id = static_cast<NsId>(uris_.size());
    uris_.emplace_back(uri);
    index_.emplace(std::string(uri), id);
    return id;
}

std::optional<NsId> lookup_prefix(const std::vector<Binding>& bindings, std::string_view prefix) {
    if (prefix == "xml") return NS_XML;
    for (auto it = bindings.rbegin(); it != bindings.rend(); ++it) {
        if (it->prefix == prefix) return it->id;
    }
    if (prefix.empty()) return NS_NONE;
    return std::nullopt;
}

}  // namespace qf::xml
