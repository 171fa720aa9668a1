// grid_edit_from (see pyedit.hpp).
#include "formula/pyedit.hpp"

#include <array>
#include <string_view>

namespace qf::formula {

namespace {

constexpr const char* BAD_SPEC = "a grid edit is (\"insert\" | \"delete\", rows, start, count, *titles), "
                                 "(\"move\", min_row, min_col, max_row, max_col, drow, dcol, *titles) or "
                                 "(\"offset\", drow, dcol), titles being (title, folded title, other titles)";

bool int_item(PyObject* spec, Py_ssize_t i, std::int64_t& out) {
    PyObject* item = PyTuple_GET_ITEM(spec, i);
    if (!PyLong_Check(item)) {
        PyErr_SetString(PyExc_TypeError, BAD_SPEC);
        return false;
    }
    out = PyLong_AsLongLong(item);
    return !(out == -1 && PyErr_Occurred());
}

bool text_of(PyObject* item, std::string& out) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &n) : nullptr;
    if (!p) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, BAD_SPEC);
        return false;
    }
    out.assign(p, static_cast<std::size_t>(n));
    return true;
}

// The edited sheet's (title, folded title, (other titles...)) from item `i` on.
bool titles_from(PyObject* spec, Py_ssize_t i, GridEdit& edit) {
    if (!text_of(PyTuple_GET_ITEM(spec, i), edit.title) || !text_of(PyTuple_GET_ITEM(spec, i + 1), edit.folded))
        return false;
    PyObject* others = PyTuple_GET_ITEM(spec, i + 2);
    if (!PyTuple_Check(others)) {
        PyErr_SetString(PyExc_TypeError, BAD_SPEC);
        return false;
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(others); ++k) {
        if (!text_of(PyTuple_GET_ITEM(others, k), edit.others.emplace_back())) return false;
    }
    return true;
}

}  // namespace

std::optional<GridEdit> grid_edit_from(PyObject* spec) {
    if (!PyTuple_Check(spec) || PyTuple_GET_SIZE(spec) < 1 || !PyUnicode_Check(PyTuple_GET_ITEM(spec, 0))) {
        PyErr_SetString(PyExc_TypeError, BAD_SPEC);
        return std::nullopt;
    }
    const char* kind = PyUnicode_AsUTF8(PyTuple_GET_ITEM(spec, 0));
    if (!kind) return std::nullopt;
    GridEdit edit;
    const std::string_view k = kind;
    if ((k == "insert" || k == "delete") && PyTuple_GET_SIZE(spec) == 7) {
        edit.kind = k == "insert" ? GridEdit::Kind::Insert : GridEdit::Kind::Delete;
        const int rows = PyObject_IsTrue(PyTuple_GET_ITEM(spec, 1));
        if (rows < 0) return std::nullopt;
        edit.rows = rows == 1;
        if (!int_item(spec, 2, edit.start) || !int_item(spec, 3, edit.count) || !titles_from(spec, 4, edit))
            return std::nullopt;
        if (edit.start < 1 || edit.count < 1) {
            PyErr_SetString(PyExc_ValueError, "a grid edit starts at line 1 or later and spans a line or more");
            return std::nullopt;
        }
        return edit;
    }
    if (k == "move" && PyTuple_GET_SIZE(spec) == 10) {
        edit.kind = GridEdit::Kind::Move;
        std::array<std::int64_t*, 6> fields = {&edit.min_row, &edit.min_col, &edit.max_row, &edit.max_col,
                                               &edit.drow, &edit.dcol};
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (!int_item(spec, static_cast<Py_ssize_t>(i + 1), *fields[i])) return std::nullopt;
        }
        if (!titles_from(spec, 7, edit)) return std::nullopt;
        return edit;
    }
    if (k == "offset" && PyTuple_GET_SIZE(spec) == 3) {
        edit.kind = GridEdit::Kind::Offset;
        if (!int_item(spec, 1, edit.drow) || !int_item(spec, 2, edit.dcol)) return std::nullopt;
        return edit;
    }
    PyErr_SetString(PyExc_TypeError, BAD_SPEC);
    return std::nullopt;
}

}  // namespace qf::formula
