// The error frame shared by every Python entry point: the NativeFallback exception, the one
// conversion of XmlError values into Python exceptions, the C++/C boundary guard and argument
// checking. Nothing here holds per-call state.
#pragma once

#include "core/error.hpp"
#include "core/ref.hpp"

#include <cstdint>
#include <initializer_list>
#include <new>
#include <stdexcept>

namespace qf {

// The NativeFallback type, created once per process; null (with an exception set) on failure.
PyObject* native_fallback_type() noexcept;

// Makes `type` the process's NativeFallback unless one exists already. Used by the test-only
// module, which links its own copy of the engine but must raise the extension's exception.
void adopt_native_fallback_type(PyObject* type) noexcept;

// Installs the PyExc release hook; called once from module execution.
void install_exception_hooks() noexcept;

// Takes the raised Python exception out of the thread state. A C API failure that set none
// becomes a SystemError here, so every Source error owns a real exception.
PyExc fetch_exception() noexcept;
inline XmlError source_error() { return XmlError::source(fetch_exception()); }

// Raises the Python exception for `error` (NativeFallback "malformed: …" / "unsupported: …",
// or the very exception a Source error carries). Always returns null for `return fallback_err(e);`.
PyObject* fallback_err(XmlError&& error) noexcept;

// Raises NativeFallback with a fixed message. Returns null.
PyObject* raise_fallback(const char* message) noexcept;

// Replaces the current exception by NativeFallback("native reader error: <Type>: <str>") unless it
// already is a NativeFallback (the wrapping that read-only streaming applies). Returns null.
PyObject* wrap_as_fallback() noexcept;

// Runs `body` with C++ exceptions stopped at the C boundary: allocation failures become
// MemoryError. `body` returns the slot's own result type (PyObject*, int, ...).
template <class F>
auto guard(F&& body, decltype(body()) on_error) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in _quillfen");
    }
    return on_error;
}
template <class F>
PyObject* guard(F&& body) noexcept { return guard(std::forward<F>(body), static_cast<PyObject*>(nullptr)); }

// A method implementation of any C signature, as a method table stores it.
template <class F>
constexpr PyCFunction as_cfunc(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The type made from `spec` once per process and never freed, kept in `type` behind `mutex`;
// null with an exception set when it cannot be made.
PyObject* type_once(PyMutex& mutex, PyObject*& type, PyType_Spec& spec) noexcept;

// Parses vectorcall arguments (positional or by keyword) into `out`, one slot per name, all
// required unless `required` is smaller than the number of names (the rest default to null).
// Raises TypeError in the usual Python wording on a bad call.
bool parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::initializer_list<const char*> names, PyObject** out,
                std::size_t required = SIZE_MAX) noexcept;

// Reads an integer argument as a signed 64-bit value (objects with __index__ are accepted). A
// failed conversion is raised again with its own type as "fname() argument 'arg': <message>".
bool arg_int64(const char* fname, const char* arg, PyObject* obj, std::int64_t& out) noexcept;

// TypeError "fname() argument 'arg' must be dict, not T" unless `obj` is a dict (or subclass).
bool require_dict(const char* fname, const char* arg, PyObject* obj) noexcept;
// The same for any exact-or-subclass type check.
bool require_type(const char* fname, const char* arg, PyObject* obj, PyTypeObject* type) noexcept;

}  // namespace qf
