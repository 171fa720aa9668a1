// Python file objects as byte sources, and namespace lists (see pysource.hpp).
#include "pysource.hpp"

#include "core/frame.hpp"
#include "partstream.hpp"

namespace qf {
namespace {

// The bytes of a bytes-like read() result (bytearray, memoryview, array, ...), copied: the
// object may change or be reused by the source once read() returned it.
XmlResult<Ref> bytes_copy(PyObject* result) {
    if (!PyObject_CheckBuffer(result)) {
        Ref name = Ref::steal(PyType_GetName(Py_TYPE(result)));
        if (name) {
            PyErr_Format(PyExc_TypeError, "read() returned a '%U' object, which is not a bytes-like object",
                         name.get());
        }
        return std::unexpected(source_error());
    }
    Ref view = Ref::steal(PyMemoryView_FromObject(result));
    if (!view) return std::unexpected(source_error());
    Ref bytes = Ref::steal(PyBytes_FromObject(view.get()));
    if (!bytes) return std::unexpected(source_error());
    return bytes;
}

}  // namespace

XmlResult<std::string_view> PyFileSource::read() {
    if (!chunk_size_) {
        // Made per source, not in a function-local static: a second thread would wait for the
        // static's initialisation while attached to the interpreter, and on a free-threaded
        // build the first thread's C API call may wait for every attached thread to pause (a
        // collection stops the world): neither would move again.
        read_name_ = Ref::steal(PyUnicode_InternFromString("read"));
        if (!read_name_) return std::unexpected(source_error());
        chunk_size_ = Ref::steal(PyLong_FromSize_t(xml::READ_CHUNK));
        if (!chunk_size_) return std::unexpected(source_error());
    }
    chunk_.reset();
    Ref result = Ref::steal(PyObject_CallMethodOneArg(source_.get(), read_name_.get(), chunk_size_.get()));
    if (!result) return std::unexpected(source_error());
    if (!PyBytes_Check(result.get())) {
        QF_TRY_SET(result, bytes_copy(result.get()));
    }
    chunk_ = std::move(result);
    return std::string_view(PyBytes_AS_STRING(chunk_.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(chunk_.get())));
}

std::unique_ptr<xml::ByteSource> byte_source(PyObject* source) {
    if (auto native = partstream::native_source(source)) return native;
    return std::make_unique<PyFileSource>(source);
}

namespace {

template <class Pairs>
PyObject* build_ns_list(const Pairs& pairs) noexcept {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& [prefix, uri] : pairs) {
        Ref p = Ref::steal(PyUnicode_FromStringAndSize(prefix.data(), static_cast<Py_ssize_t>(prefix.size())));
        if (!p) return nullptr;
        Ref u = Ref::steal(PyUnicode_FromStringAndSize(uri.data(), static_cast<Py_ssize_t>(uri.size())));
        if (!u) return nullptr;
        PyObject* tuple = PyTuple_Pack(2, p.get(), u.get());
        if (!tuple) return nullptr;
        PyList_SET_ITEM(list.get(), i++, tuple);
    }
    return list.release();
}

}  // namespace

PyObject* ns_list(const std::vector<std::pair<std::string, std::string>>& pairs) noexcept {
    return build_ns_list(pairs);
}
PyObject* ns_list(const std::vector<std::pair<std::string_view, std::string_view>>& pairs) noexcept {
    return build_ns_list(pairs);
}

}  // namespace qf
