// Bindings for the sheet parser: every item of a worksheet with the complete parsed cells, with
// the cell fast path on or off, so tests can hold the two paths against each other.
#include "testing.hpp"

#include "pysource.hpp"
#include "sheet/parser.hpp"

namespace qf::testing {
namespace {

PyObject* opt_val(const sheet::SheetState& st, const std::optional<sheet::Val>& v) {
    if (!v) return Py_NewRef(Py_Ellipsis);  // absent, unlike a value of None
    return sheet::val_to_py(st, *v).release();
}

// sheet_items(source, parser, helpers, actions, fast) ->
//     ([("row", idx, [(row, col, value, dtype, style, formula, cached, is_formula)]) |
//       ("element", bytes, namespaces)], fast_cells, event_cells)
PyObject* sheet_items(PyObject*, PyObject* args) noexcept {
    return guard([&]() -> PyObject* {
        PyObject *source, *parser, *helpers, *actions;
        int fast = 1;
        if (!PyArg_ParseTuple(args, "OOO!O!p", &source, &parser, &PyDict_Type, &helpers, &PyList_Type, &actions, &fast))
            return nullptr;
        auto h = Helpers::from_dict(helpers);
        if (!h) return fallback_err(std::move(h.error()));
        auto s = Settings::from_parser(parser);
        if (!s) return fallback_err(std::move(s.error()));
        Ref dims = Ref::steal(PyObject_GetAttrString(parser, "row_dimensions"));
        if (!dims) return nullptr;
        auto p = sheet::SheetParser::create(source, std::move(*h), std::move(*s), actions, dims.get());
        if (!p) return fallback_err(std::move(p.error()));
        sheet::SheetParser& sp = **p;
        sp.fast_path_enabled = fast != 0;
        Ref out = Ref::steal(PyList_New(0));
        if (!out) return nullptr;
        for (;;) {
            auto item = sp.next_item();
            if (!item) return fallback_err(std::move(item.error()));
            if (std::holds_alternative<sheet::EndItem>(*item)) break;
            Ref entry;
            if (auto* el = std::get_if<sheet::ElementItem>(&*item)) {
                Ref ns = Ref::steal(ns_list(el->namespaces));
                if (!ns) return nullptr;
                entry = Ref::steal(Py_BuildValue("(sy#O)", "element", el->snippet.data(),
                                                 static_cast<Py_ssize_t>(el->snippet.size()), ns.get()));
            } else {
                auto& row = std::get<sheet::RowItem>(*item);
                Ref cells = Ref::steal(PyList_New(0));
                if (!cells) return nullptr;
                const auto& st = sp.state();
                for (const auto& c : row.cells) {
                    Ref value = sheet::val_to_py(st, c.value);
                    if (!value) return nullptr;
                    Ref formula = Ref::steal(opt_val(st, c.formula));
                    Ref cached = Ref::steal(opt_val(st, c.cached));
                    if (!formula || !cached) return nullptr;
                    Ref t = Ref::steal(Py_BuildValue("(LLNNNNNO)", static_cast<long long>(c.row),
                                                     static_cast<long long>(c.col), value.release(),
                                                     sheet::dtype_to_py(st, c.dtype).release(),
                                                     sheet::style_to_py(c.style).release(), formula.release(),
                                                     cached.release(), c.is_formula ? Py_True : Py_False));
                    if (!t || PyList_Append(cells.get(), t.get()) < 0) return nullptr;
                }
                entry = Ref::steal(Py_BuildValue("(sLO)", "row", static_cast<long long>(row.row), cells.get()));
            }
            if (!entry || PyList_Append(out.get(), entry.get()) < 0) return nullptr;
        }
        return Py_BuildValue("(OKK)", out.get(), static_cast<unsigned long long>(sp.fast_cells),
                             static_cast<unsigned long long>(sp.event_cells));
    });
}

// shared_render(formula, origin_row, origin_col, dest_row, dest_col, helpers) -> str: a native
// shared-formula master rendered for a dependent at (dest_row, dest_col).
PyObject* shared_render(PyObject*, PyObject* args) noexcept {
    return guard([&]() -> PyObject* {
        const char* text = nullptr;
        long long row = 0, col = 0, dest_row = 0, dest_col = 0;
        PyObject* helpers = nullptr;
        if (!PyArg_ParseTuple(args, "sLLLLO!", &text, &row, &col, &dest_row, &dest_col, &PyDict_Type, &helpers))
            return nullptr;
        auto h = Helpers::from_dict(helpers);
        if (!h) return fallback_err(std::move(h.error()));
        auto tr = formula::Translator::create(text, row, col);
        if (!tr) {
            PyErr_SetString(PyExc_ValueError, "master formula not native");
            return nullptr;
        }
        sheet::SheetState st;
        st.helpers = std::move(*h);
        st.masters.push_back(sheet::Shared{std::move(*tr), {}});
        return sheet::shared_to_py(st, sheet::SharedRefV{formula::Cell{dest_row, dest_col}, 0}).release();
    });
}

}  // namespace

void add_sheet_methods(MethodTable& table) {
    table.push_back({"sheet_items", sheet_items, METH_VARARGS, nullptr});
    table.push_back({"shared_render", shared_render, METH_VARARGS, nullptr});
}

}  // namespace qf::testing
