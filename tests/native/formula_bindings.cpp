// Bindings for the formula tokenizer and translator. Errors are raised through the same
// conversion the worksheet reader uses, with the host's TokenizerError/TranslatorError.
#include "testing.hpp"

#include "formula/formula.hpp"
#include "formula/pyedit.hpp"
#include "formula/pyerror.hpp"

#include <array>
#include <string>

namespace qf::testing {
namespace {

using namespace qf::formula;

constexpr std::array<const char*, 10> TYPE_NAMES = {
    "literal", "operand", "function", "array", "paren", "separator", "prefix", "infix", "postfix", "whitespace",
};
constexpr std::array<const char*, 10> SUBTYPE_NAMES = {
    "", "text", "number", "logical", "error", "range", "open", "close", "arg", "row",
};

PyObject* raise_error(const FormulaError& error) {
    Ref mod = Ref::steal(PyImport_ImportModule("quillfen.formula"));
    if (!mod) return nullptr;
    Ref tok = Ref::steal(PyObject_GetAttrString(mod.get(), "TokenizerError"));
    if (!tok) return nullptr;
    Ref tr = Ref::steal(PyObject_GetAttrString(mod.get(), "TranslatorError"));
    if (!tr) return nullptr;
    return raise_formula_error(error, tok.get(), tr.get());
}

PyObject* to_str(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

bool parse_cell(PyObject* obj, std::optional<Cell>& out) {
    if (obj == Py_None) return true;
    long long row = 0, col = 0;
    if (!PyArg_ParseTuple(obj, "LL", &row, &col)) return false;
    out = Cell{row, col};
    return true;
}

// formula_tokenize(text) -> [(text, type, subtype), ...]
PyObject* formula_tokenize(PyObject*, PyObject* arg) noexcept {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(arg, &n);
    if (!p) return nullptr;
    return guard([&]() -> PyObject* {
        auto tokens = tokenize(std::string_view(p, static_cast<std::size_t>(n)));
        if (!tokens) return raise_error(tokens.error());
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const Token& t : *tokens) {
            Ref item = Ref::steal(Py_BuildValue("(s#ss)", t.text.data(), static_cast<Py_ssize_t>(t.text.size()),
                                                TYPE_NAMES[static_cast<int>(t.type)],
                                                SUBTYPE_NAMES[static_cast<int>(t.subtype)]));
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

// formula_translate(text, origin_row, origin_col, dests) -> list of str; dests is a list of
// (row, col) tuples or None. The formula is compiled once and rendered for each destination.
PyObject* formula_translate(PyObject*, PyObject* args) noexcept {
    const char* p = nullptr;
    Py_ssize_t n = 0;
    long long row = 0, col = 0;
    PyObject* dests = nullptr;
    if (!PyArg_ParseTuple(args, "s#LLO!", &p, &n, &row, &col, &PyList_Type, &dests)) return nullptr;
    return guard([&]() -> PyObject* {
        auto tr = Translator::create(std::string_view(p, static_cast<std::size_t>(n)), row, col);
        if (!tr) return raise_error(tr.error());
        Py_ssize_t count = PyList_GET_SIZE(dests);
        Ref out = Ref::steal(PyList_New(count));
        if (!out) return nullptr;
        std::string buf;
        for (Py_ssize_t i = 0; i < count; ++i) {
            // A strong reference: converting the tuple's items may run __index__, which may
            // change the list (an item out of range is then an IndexError).
            Ref item = Ref::steal(PyList_GetItemRef(dests, i));
            if (!item) return nullptr;
            std::optional<Cell> dest;
            if (!parse_cell(item.get(), dest)) return nullptr;
            buf.clear();
            auto done = translate_into(*tr, dest, buf);
            if (!done) return raise_error(done.error());
            PyObject* s = to_str(buf);
            if (!s) return nullptr;
            PyList_SET_ITEM(out.get(), i, s);
        }
        return out.release();
    });
}

// formula_segs(text, origin_row, origin_col) -> [(kind, text or value), ...]
PyObject* formula_segs(PyObject*, PyObject* args) noexcept {
    const char* p = nullptr;
    Py_ssize_t n = 0;
    long long row = 0, col = 0;
    if (!PyArg_ParseTuple(args, "s#LL", &p, &n, &row, &col)) return nullptr;
    return guard([&]() -> PyObject* {
        auto tr = Translator::create(std::string_view(p, static_cast<std::size_t>(n)), row, col);
        if (!tr) return raise_error(tr.error());
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const Seg& s : tr->segs()) {
            Ref item = s.kind == SegKind::Text
                           ? Ref::steal(Py_BuildValue("(is#)", 0, s.text.data(), static_cast<Py_ssize_t>(s.text.size())))
                           : Ref::steal(Py_BuildValue("(iL)", static_cast<int>(s.kind), static_cast<long long>(s.value)));
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

// formula_shift_ok(text, origin_row, origin_col, row, col) -> bool
PyObject* formula_shift_ok(PyObject*, PyObject* args) noexcept {
    const char* p = nullptr;
    Py_ssize_t n = 0;
    long long orow = 0, ocol = 0, row = 0, col = 0;
    if (!PyArg_ParseTuple(args, "s#LLLL", &p, &n, &orow, &ocol, &row, &col)) return nullptr;
    return guard([&]() -> PyObject* {
        auto tr = Translator::create(std::string_view(p, static_cast<std::size_t>(n)), orow, ocol);
        if (!tr) return raise_error(tr.error());
        return PyBool_FromLong(tr->shift_in_range(Cell{row, col}));
    });
}

// formula_shift(text, spec, host_edited) -> the rewritten formula, None when unchanged, or
// NotImplemented when Python must decide.
PyObject* formula_shift(PyObject*, PyObject* args) noexcept {
    const char* p = nullptr;
    Py_ssize_t n = 0;
    PyObject* spec = nullptr;
    int host = 0;
    if (!PyArg_ParseTuple(args, "s#Op", &p, &n, &spec, &host)) return nullptr;
    return guard([&]() -> PyObject* {
        auto edit = grid_edit_from(spec);
        if (!edit) return nullptr;
        auto moved = shift_formula(std::string_view(p, static_cast<std::size_t>(n)), *edit, host != 0);
        if (!moved) Py_RETURN_NOTIMPLEMENTED;
        if (!*moved) Py_RETURN_NONE;
        return to_str(**moved);
    });
}

PyObject* formula_is_float(PyObject*, PyObject* arg) noexcept {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(arg, &n);
    if (!p) return nullptr;
    return PyBool_FromLong(is_float_literal(std::string_view(p, static_cast<std::size_t>(n))));
}

// raise_formula_error(kind, message, tokenizer_error, translator_error)
PyObject* raise_formula_error_binding(PyObject*, PyObject* args) noexcept {
    int kind = 0;
    const char* message = nullptr;
    PyObject* tok = nullptr;
    PyObject* tr = nullptr;
    if (!PyArg_ParseTuple(args, "isOO", &kind, &message, &tok, &tr)) return nullptr;
    return guard([&] {
        FormulaError e{static_cast<FormulaErrorKind>(kind), message};
        return raise_formula_error(e, tok, tr);
    });
}

}  // namespace

void add_formula_methods(MethodTable& table) {
    table.push_back({"formula_tokenize", formula_tokenize, METH_O, nullptr});
    table.push_back({"formula_translate", formula_translate, METH_VARARGS, nullptr});
    table.push_back({"formula_segs", formula_segs, METH_VARARGS, nullptr});
    table.push_back({"formula_shift_ok", formula_shift_ok, METH_VARARGS, nullptr});
    table.push_back({"formula_shift", formula_shift, METH_VARARGS, nullptr});
    table.push_back({"formula_is_float", formula_is_float, METH_O, nullptr});
    table.push_back({"raise_formula_error", raise_formula_error_binding, METH_VARARGS, nullptr});
}

}  // namespace qf::testing
