// The reader's byte source over a Python binary file object, and the conversion of namespace
// pairs to Python. The only Python-aware piece of the XML subsystem.
#pragma once

#include "core/ref.hpp"
#include "xml/source.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qf {

// Calls `source.read(65536)` for every chunk. An exception raised by read() is kept as a Source
// error. A bytes result is read in place, any other bytes-like one (bytearray, memoryview) from
// a copy; anything else is a Source error holding a TypeError.
class PyFileSource final : public xml::ByteSource {
public:
    explicit PyFileSource(PyObject* source) : source_(Ref::borrow(source)) {}
    XmlResult<std::string_view> read() override;

private:
    Ref source_;
    Ref chunk_;       // the last bytes read; the returned view points into it
    Ref read_name_;   // "read", interned once per source
    Ref chunk_size_;  // the int 65536, made once per source
};

// The reader's source over `source`: read natively when it is the engine's own PartStream,
// else through its read() as above.
std::unique_ptr<xml::ByteSource> byte_source(PyObject* source);

// ns_list: a new list of (prefix, uri) str tuples in the given order; null with an exception set
// on failure (the reader only accepts UTF-8, so decoding fails only on memory).
PyObject* ns_list(const std::vector<std::pair<std::string, std::string>>& pairs) noexcept;
PyObject* ns_list(const std::vector<std::pair<std::string_view, std::string_view>>& pairs) noexcept;

}  // namespace qf
