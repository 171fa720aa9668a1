// The module root of _quillfen: module initialisation and the Python-facing entry points.
// Each entry point checks its arguments, runs its unit and converts failures in one place
// (core/frame.hpp); the work itself lives in the units.
#include "core/frame.hpp"
#include "pysource.hpp"
#include "sheet/rowreader.hpp"
#include "store/store.hpp"
#include "xml/dimension.hpp"

#include <memory>

namespace qf {
namespace {

// find_dimension(source) -> (snippet, namespaces) or None
PyObject* find_dimension(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* source = nullptr;
        if (!parse_args("find_dimension", args, nargs, kwnames, {"source"}, &source)) return nullptr;
        xml::Reader reader(std::make_unique<PyFileSource>(source));
        auto found = xml::find_dimension(reader);
        if (!found) return fallback_err(std::move(found.error()));
        if (!*found) Py_RETURN_NONE;
        const xml::Captured& dim = **found;
        Ref snippet = Ref::steal(PyBytes_FromStringAndSize(dim.snippet.data(), static_cast<Py_ssize_t>(dim.snippet.size())));
        if (!snippet) return nullptr;
        Ref namespaces = Ref::steal(ns_list(dim.namespaces));
        if (!namespaces) return nullptr;
        return PyTuple_Pack(2, snippet.get(), namespaces.get());
    });
}

// Entry points, in the order the module adds them to its namespace.
PyMethodDef module_methods[] = {
    {"find_dimension", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_dimension)),
     METH_FASTCALL | METH_KEYWORDS,
     "find_dimension(source)\n--\n\nFind the `dimension` element like `WorkSheetParser.parse_dimensions`.\n"
     "Returns (snippet, namespaces) or None."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) noexcept {
    install_exception_hooks();
    PyObject* fallback = native_fallback_type();
    if (!fallback || PyModule_AddObjectRef(module, "NativeFallback", fallback) < 0) return -1;
    if (PyModule_AddFunctions(module, module_methods) < 0) return -1;
    // Classes, in this order: RowReader, CellStore, SheetWriter.
    PyObject* row_reader = sheet::row_reader_type();
    if (!row_reader || PyModule_AddObjectRef(module, "RowReader", row_reader) < 0) return -1;
    PyTypeObject* cell_store = store::cell_store_type();
    if (!cell_store || PyModule_AddObjectRef(module, "CellStore", reinterpret_cast<PyObject*>(cell_store)) < 0) {
        return -1;
    }
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
