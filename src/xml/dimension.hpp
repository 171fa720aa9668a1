// The dimension lookup: the smallest complete user of element capture. Finds the worksheet's
// main-namespace `dimension` element before `sheetData` ends and returns its exact bytes with
// the namespace declarations of its ancestors; Python re-parses the snippet.
#pragma once

#include "xml/reader.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qf::xml {

struct Captured {
    std::string snippet;  // "<" of the start tag to ">" of the end tag, byte for byte
    std::vector<std::pair<std::string, std::string>> namespaces;  // (prefix, URI), in scope around it
};

// None when `sheetData` ends or the document ends without a dimension.
[[nodiscard]] XmlResult<std::optional<Captured>> find_dimension(Reader& reader);

}  // namespace qf::xml
