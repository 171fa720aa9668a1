// Qualified names and namespace URIs: splitting names at their colon and interning URIs into the
// small integer ids that consumers compare (0 none, 1 the xml namespace, 2 SpreadsheetML main).
#pragma once

#include "core/error.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qf::xml {

using NsId = std::uint32_t;

inline constexpr NsId NS_NONE = 0;
inline constexpr NsId NS_XML = 1;
inline constexpr NsId NS_MAIN = 2;

inline constexpr std::string_view XML_NS_URI = "http://www.w3.org/XML/1998/namespace";
inline constexpr std::string_view XMLNS_NS_URI = "http://www.w3.org/2000/xmlns/";
inline constexpr std::string_view MAIN_NS_URI = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

struct QName {
    std::string_view prefix;  // empty when the name has no colon
    std::string_view local;
};

// Splits at the first colon; a leading or trailing colon or a second colon is "bad qname".
[[nodiscard]] XmlResult<QName> split_qname(std::string_view name);

// "{uri}local": a namespaced name as the package spells attribute keys.
std::string expanded_key(std::string_view uri, std::string_view local);

// The reader's URI table: ids in order of first use, the same URI always the same id.
class UriTable {
public:
    UriTable();
    NsId intern_uri(std::string_view uri);
    std::string_view uri(NsId id) const { return uris_[id]; }
    std::size_t size() const { return uris_.size(); }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::vector<std::string> uris_;
    std::unordered_map<std::string, NsId, Hash, std::equal_to<>> index_;
};

// A prefix bound by a start tag; the empty prefix is the default namespace.
struct Binding {
    std::string prefix;
    NsId id;
};

// Innermost binding of `prefix` (searched from the back); "xml" is always id 1, an unbound empty
// prefix is id 0, an unbound other prefix has no id.
std::optional<NsId> lookup_prefix(const std::vector<Binding>& bindings, std::string_view prefix);

}  // namespace qf::xml
