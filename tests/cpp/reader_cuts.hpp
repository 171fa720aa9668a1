// What the reader-based C++ tests share: the main namespace URI as a string, and the cuttings
// of the input into reads that every test runs under (whole reads, single bytes, an irregular
// pattern), where tokens, references and captures straddle reads.
#pragma once

#include "xml/names.hpp"
#include "xml/source.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace qf::xml::test_support {

inline const std::string MAIN(MAIN_NS_URI);
inline const std::vector<std::vector<std::size_t>> CUTS = {{READ_CHUNK}, {1}, {3, 1, 7, 2, 13, 5, 64, 1, 31}};

}  // namespace qf::xml::test_support
