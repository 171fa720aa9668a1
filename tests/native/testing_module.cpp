// Module frame of `_quillfen_testing` (built by developer builds only, never installed).
#include "testing.hpp"

namespace qf::testing {
namespace {

MethodTable& methods() {
    static MethodTable table = [] {
        MethodTable t;
        add_frame_methods(t);
        add_dates_methods(t);
        add_helpers_methods(t);
        add_utils_methods(t);
        add_formula_methods(t);
        add_sheet_methods(t);
        add_store_methods(t);
        t.push_back({nullptr, nullptr, 0, nullptr});
        return t;
    }();
    return table;
}

int testing_exec(PyObject* module) noexcept {
    install_exception_hooks();
    Ref engine = Ref::steal(PyImport_ImportModule("quillfen._quillfen"));
    if (!engine) return -1;
    Ref fallback = Ref::steal(PyObject_GetAttrString(engine.get(), "NativeFallback"));
    if (!fallback) return -1;
    adopt_native_fallback_type(fallback.get());
    return guard([&] { return PyModule_AddFunctions(module, methods().data()); }, -1);
}

PyModuleDef_Slot testing_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(testing_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef testing_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_quillfen_testing",
    .m_doc = "Internal engine routines, exposed for tests only.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = testing_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace qf::testing

PyMODINIT_FUNC PyInit__quillfen_testing() { return PyModuleDef_Init(&qf::testing::testing_def); }
