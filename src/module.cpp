// The module root of _quillfen: module initialisation and the Python-facing entry points.
// Each entry point checks its arguments, runs its unit and converts failures in one place
// (core/frame.hpp); the work itself lives in the units.
#include "arrow/arrow_py.hpp"
#include "core/frame.hpp"
#include "formula/formula.hpp"
#include "prescan/prescan_py.hpp"
#include "pysource.hpp"
#include "sheet/bind.hpp"
#include "sheet/columns.hpp"
#include "sheet/rowreader.hpp"
#include "store/store.hpp"
#include "strings.hpp"
#include "writer/writer.hpp"
#include "xml/dimension.hpp"

#include <memory>

namespace qf {
namespace {

// read_string_table(source, helpers) -> list of shared strings
PyObject* read_string_table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* argv[2] = {nullptr, nullptr};
        if (!parse_args("read_string_table", args, nargs, kwnames, {"source", "helpers"}, argv)) return nullptr;
        if (!require_dict("read_string_table", "helpers", argv[1])) return nullptr;
        auto strings = qf::read_string_table(argv[0], argv[1]);
        if (!strings) return fallback_err(std::move(strings.error()));
        return strings->release();
    });
}

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

// prescan_sheet(source, want_rows, corners, helpers) -> dict
PyObject* prescan_sheet(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[4] = {};
        if (!parse_args("prescan_sheet", args, nargs, kwnames, {"source", "want_rows", "corners", "helpers"}, a))
            return nullptr;
        return prescan::prescan_sheet(a[0], a[1], a[2], a[3]);
    });
}

// bind_cells(source, parser, ws, store, cell_styles, cell_cls, helpers, actions) -> None
PyObject* bind_cells(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[8];
        if (!parse_args("bind_cells", args, nargs, kwnames,
                        {"source", "parser", "ws", "store", "cell_styles", "cell_cls", "helpers", "actions"}, a)) {
            return nullptr;
        }
        PyTypeObject* store_type = store::cell_store_type();
        if (!store_type || !require_type("bind_cells", "store", a[3], store_type)) return nullptr;
        if (!require_type("bind_cells", "cell_cls", a[5], &PyType_Type)) return nullptr;
        if (!require_dict("bind_cells", "helpers", a[6])) return nullptr;
        if (!require_type("bind_cells", "actions", a[7], &PyList_Type)) return nullptr;
        return sheet::bind_cells(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
    });
}

// check_formula(formula) -> bool
PyObject* check_formula(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* text = nullptr;
        if (!parse_args("check_formula", args, nargs, kwnames, {"formula"}, &text)) return nullptr;
        if (!PyUnicode_Check(text)) {
            PyErr_Format(PyExc_TypeError, "check_formula() argument 'formula' must be str, not %T", text);
            return nullptr;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
        if (!utf8) return nullptr;
        auto verdict = formula::well_formed(std::string_view(utf8, static_cast<std::size_t>(size)));
        if (!verdict) return fallback_err(XmlError::unsupported("formula needs the package's tokenizer"));
        return Py_NewRef(*verdict ? Py_True : Py_False);
    });
}

// mixed_values(bits, classes, objects) -> list
PyObject* mixed_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[3];
        if (!parse_args("mixed_values", args, nargs, kwnames, {"bits", "classes", "objects"}, a)) return nullptr;
        return sheet::mixed_values(a[0], a[1], a[2]).release();
    });
}

// Entry points, in the order the module adds them to its namespace.
PyMethodDef module_methods[] = {
    {"read_string_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_string_table)),
     METH_FASTCALL | METH_KEYWORDS, "read_string_table(source, helpers)\n--\n\nread_string_table(source, helpers) -> list"},
    {"bind_cells", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bind_cells)),
     METH_FASTCALL | METH_KEYWORDS,
     "bind_cells(source, parser, ws, store, cell_styles, cell_cls, helpers, actions)\n--\n\n"
     "Read all cells of a worksheet (full / editable mode) into `store`.\n\n"
     "Mirrors `WorksheetReader.bind_cells` + `WorkSheetParser.parse`. Cells are\n"
     "kept in compact form in the `CellStore` and become\n"
     "`Cell` objects only when accessed. Other elements are appended to\n"
     "`actions` as `(\"element\", bytes, namespaces)` and warnings as\n"
     "`(\"warn\", message)` for the caller to replay in document order."},
    {"find_dimension", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_dimension)),
     METH_FASTCALL | METH_KEYWORDS,
     "find_dimension(source)\n--\n\nFind the `dimension` element like `WorkSheetParser.parse_dimensions`.\n"
     "Returns (snippet, namespaces) or None."},
    {"prescan_sheet", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prescan_sheet)),
     METH_FASTCALL | METH_KEYWORDS,
     "prescan_sheet(source, want_rows, corners, helpers)\n--\n\nprescan_sheet(source, want_rows, corners, helpers) -> dict"},
    {"check_formula", as_cfunc(check_formula),
     METH_FASTCALL | METH_KEYWORDS,
     "check_formula(formula)\n--\n\nWhether the formula text tokenizes with every bracket closed, as\n"
     "quillfen.formula.formula_problem finds it. NativeFallback when that needs the\npure-Python tokenizer."},
    {"mixed_values", as_cfunc(mixed_values), METH_FASTCALL | METH_KEYWORDS,
     "mixed_values(bits, classes, objects)\n--\n\n"
     "The values of a \"mixed\" column chunk of RowReader.next_columns, as its \"object\" chunk holds them."},
    {"arrow_table", as_cfunc(arrow::arrow_table), METH_FASTCALL | METH_KEYWORDS,
     "arrow_table(names, columns, rows, batch_rows, dictionary, text_of=None)\n--\n\n"
     "A table for the Arrow PyCapsule protocol from the frames' typed columns: `columns` gives\n"
     "one (kind, data, nulls) per name, kind being \"int\", \"float\", \"datetime\" (data: 8-byte\n"
     "native numbers), \"bool\" (a byte each), \"text\" (a list\n"
     "of str or None), \"object\" (a list of values, made text as text_of(value) gives it), \"mixed\"\n"
     "(the parts of a column of several types, see mixed_values, made text alike) or \"empty\";\n"
     "nulls is None or a byte per value, nonzero where missing. Text columns are dictionary-\n"
     "encoded when that is smaller and `dictionary` is true."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) noexcept {
    install_exception_hooks();
    PyObject* fallback = native_fallback_type();
    if (!fallback || PyModule_AddObjectRef(module, "NativeFallback", fallback) < 0) return -1;
    if (PyModule_AddFunctions(module, module_methods) < 0) return -1;
    // Classes, in this order: RowReader, CellStore, SheetWriter, ArrowTable.
    PyObject* row_reader = sheet::row_reader_type();
    if (!row_reader || PyModule_AddObjectRef(module, "RowReader", row_reader) < 0) return -1;
    PyTypeObject* cell_store = store::cell_store_type();
    if (!cell_store || PyModule_AddObjectRef(module, "CellStore", reinterpret_cast<PyObject*>(cell_store)) < 0) {
        return -1;
    }
    PyObject* sheet_writer = writer::sheet_writer_type();
    if (!sheet_writer || PyModule_AddObjectRef(module, "SheetWriter", sheet_writer) < 0) return -1;
    PyObject* arrow_table = arrow::arrow_table_type();
    if (!arrow_table || PyModule_AddObjectRef(module, "ArrowTable", arrow_table) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The exception and the class types are created once per process and shared by every
    // module object, which only one interpreter may do: other interpreters are refused.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
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
