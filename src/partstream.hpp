// PartStream: a zip member read through the engine's own inflater, as a binary file object for
// Python callers and as a byte source that the XML reader pulls from without Python calls.
//
// The blocks of the member are filled by whoever needs them first: the reader itself, or a
// producer that the host runs on a thread of its own (`producer()`), detached from the
// interpreter, a few blocks ahead of the reader. The engine starts no thread; the host decides
// whether the overlap is worth one.
#pragma once

#include "core/ref.hpp"
#include "xml/source.hpp"

#include <memory>

namespace qf::partstream {

// The PartStream type, created once per process; null with an exception set on failure.
PyObject* part_stream_type() noexcept;

// A byte source reading `stream` natively when it is a PartStream, else null.
std::unique_ptr<xml::ByteSource> native_source(PyObject* stream);

}  // namespace qf::partstream
