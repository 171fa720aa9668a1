// The module root of _quillfen: module initialisation and the Python-facing entry points.
// Each entry point checks its arguments, runs its unit and converts failures in one place
// (core/frame.hpp); the work itself lives in the units.
#include "core/frame.hpp"

namespace qf {
namespace {

// Entry points, in the order the module adds them to its namespace.
PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) noexcept {
    install_exception_hooks();
    PyObject* fallback = native_fallback_type();
    if (!fallback || PyModule_AddObjectRef(module, "NativeFallback", fallback) < 0) return -1;
    if (PyModule_AddFunctions(module, module_methods) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_quillfen",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace qf

PyMODINIT_FUNC PyInit__quillfen() { return PyModuleDef_Init(&qf::module_def); }
