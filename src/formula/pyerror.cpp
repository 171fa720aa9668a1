// raise_formula_error (see pyerror.hpp).
#include "formula/pyerror.hpp"

namespace qf::formula {

namespace {

PyObject* raise_built(PyObject* factory, const std::string& message) noexcept {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return nullptr;
    Ref exc = Ref::steal(PyObject_CallOneArg(factory, text.get()));
    if (!exc) return nullptr;
    // Raising a non-exception object is itself a TypeError, as `raise obj` would be in Python.
    if (PyExceptionInstance_Check(exc.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

}  // namespace

PyObject* raise_formula_error(const FormulaError& error, PyObject* tokenizer_error,
                              PyObject* translator_error) noexcept {
    try {
        switch (error.kind) {
            case FormulaErrorKind::Tokenizer:
                return raise_built(tokenizer_error, error.message);
            case FormulaErrorKind::Translator:
                return raise_built(translator_error, error.message);
            case FormulaErrorKind::PopEmpty:
                PyErr_SetString(PyExc_IndexError, "pop from empty list");
                return nullptr;
            case FormulaErrorKind::NeedPython:
                PyErr_SetString(PyExc_TypeError, "internal: NeedPython");
                return nullptr;
        }
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
    // Every kind is handled above; a value outside the enumeration must still leave an exception.
    PyErr_SetString(PyExc_SystemError, "unknown formula error kind");
    return nullptr;
}

}  // namespace qf::formula
