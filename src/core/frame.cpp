// The error frame: NativeFallback, the XmlError conversion and argument checks (see frame.hpp).
#include "core/frame.hpp"

#include <cstring>
#include <string>

namespace qf {

namespace {

constexpr const char* FALLBACK_DOC =
    "The native engine cannot reproduce the pure-Python path's behaviour for this input; the pure Python "
    "implementation must be used.";

PyMutex fallback_mutex;
PyObject* fallback_type = nullptr;  // immortal for the life of the process once created

void decref_hook(void* obj) { Py_DECREF(static_cast<PyObject*>(obj)); }

PyObject* raise_prefixed(const char* prefix, const char* text) noexcept {
    PyObject* type = native_fallback_type();
    if (!type) return nullptr;
    Ref message = Ref::steal(PyUnicode_FromFormat("%s%s", prefix, text));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

}  // namespace

PyObject* native_fallback_type() noexcept {
    // Created once per process and shared by every module object and raise site.
    PyMutex_Lock(&fallback_mutex);
    if (!fallback_type) {
        fallback_type = PyErr_NewExceptionWithDoc("_quillfen.NativeFallback", FALLBACK_DOC,
                                                  PyExc_Exception, nullptr);
    }
    PyObject* type = fallback_type;
    PyMutex_Unlock(&fallback_mutex);
    return type;
}

void adopt_native_fallback_type(PyObject* type) noexcept {
    PyMutex_Lock(&fallback_mutex);
    if (!fallback_type) fallback_type = Py_NewRef(type);
    PyMutex_Unlock(&fallback_mutex);
}

void install_exception_hooks() noexcept { PyExc::release_hook = decref_hook; }

PyExc fetch_exception() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "a Python call failed without setting an exception");
        exc = PyErr_GetRaisedException();
    }
    return PyExc::adopt(exc);
}

PyObject* fallback_err(XmlError&& error) noexcept {
    switch (error.kind) {
        case XmlErrorKind::Malformed:
            return raise_prefixed("malformed: ", error.text);
        case XmlErrorKind::Unsupported:
            return raise_prefixed("unsupported: ", error.text);
        case XmlErrorKind::Source:
            if (void* exc = error.exc.release()) {
                PyErr_SetRaisedException(static_cast<PyObject*>(exc));  // steals
            } else {
                PyErr_SetString(PyExc_SystemError, "source error without an exception");
            }
            return nullptr;
    }
    return nullptr;
}

PyObject* raise_fallback(const char* message) noexcept { return raise_prefixed("", message); }

PyObject* wrap_as_fallback() noexcept {
    PyObject* type = native_fallback_type();
    if (!type) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return nullptr;
    if (PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(type))) {
        PyErr_SetRaisedException(exc.release());
        return nullptr;
    }
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(exc.get())));
    if (!type_name) return nullptr;
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    if (!text) {
        PyErr_Clear();
        text = Ref::steal(PyUnicode_FromString("<exception str() failed>"));
        if (!text) return nullptr;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("native reader error: %U: %U", type_name.get(), text.get()));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

PyObject* type_once(PyMutex& mutex, PyObject*& type, PyType_Spec& spec) noexcept {
    PyMutex_Lock(&mutex);
    if (!type) type = PyType_FromSpec(&spec);
    PyObject* made = type;
    PyMutex_Unlock(&mutex);
    return made;
}

bool parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::initializer_list<const char*> names, PyObject** out, std::size_t required) noexcept {
    const std::size_t count = names.size();
    if (required > count) required = count;
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
    if (static_cast<std::size_t>(nargs) > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", fname, count, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const char* key_utf8 = PyUnicode_AsUTF8(key);
        if (!key_utf8) return false;
        std::size_t slot = 0;
        for (const char* name : names) {
            if (std::strcmp(name, key_utf8) == 0) break;
            ++slot;
        }
        if (slot == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", fname, key_utf8);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, key_utf8);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    std::size_t slot = 0;
    for (const char* name : names) {
        if (slot < required && !out[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname, name, slot + 1);
            return false;
        }
        ++slot;
    }
    return true;
}

bool arg_int64(const char* fname, const char* arg, PyObject* obj, std::int64_t& out) noexcept {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        Ref text = Ref::steal(PyObject_Str(exc.get()));
        if (!text) return false;
        PyErr_Format(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), "%s() argument '%s': %U", fname, arg, text.get());
        return false;
    }
    out = v;
    return true;
}

bool require_type(const char* fname, const char* arg, PyObject* obj, PyTypeObject* type) noexcept {
    if (PyObject_TypeCheck(obj, type)) return true;
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %T", fname, arg, type->tp_name, obj);
    return false;
}

bool require_dict(const char* fname, const char* arg, PyObject* obj) noexcept {
    return require_type(fname, arg, obj, &PyDict_Type);
}

}  // namespace qf
