// Bindings for the error frame: raise each XmlError kind and apply the read-only wrapping.
#include "testing.hpp"

#include <string_view>

namespace qf::testing {
namespace {

// raise_xml_error(kind, text_or_exception): kind is "malformed", "unsupported" or "source".
PyObject* raise_xml_error(PyObject*, PyObject* args) noexcept {
    const char* kind = nullptr;
    PyObject* payload = nullptr;
    if (!PyArg_ParseTuple(args, "sO", &kind, &payload)) return nullptr;
    if (std::string_view(kind) == "source") {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(payload)), payload);
        return fallback_err(source_error());
    }
    const char* utf8 = PyUnicode_AsUTF8(payload);
    if (!utf8) return nullptr;
    if (std::string_view(kind) == "malformed") return fallback_err(XmlError::malformed(utf8));
    return fallback_err(XmlError::unsupported(utf8));
}

// wrap_exception(exc): raises `exc`, then applies the read-only wrapping to it.
PyObject* wrap_exception(PyObject*, PyObject* exc) noexcept {
    PyErr_SetRaisedException(Py_NewRef(exc));
    return wrap_as_fallback();
}

}  // namespace

void add_frame_methods(MethodTable& table) {
    table.push_back({"raise_xml_error", raise_xml_error, METH_VARARGS, nullptr});
    table.push_back({"wrap_exception", wrap_exception, METH_O, nullptr});
}

}  // namespace qf::testing
