// Python side of the sheet prescan (see prescan_py.hpp).
#include "prescan/prescan_py.hpp"

#include "core/frame.hpp"
#include "helpers.hpp"
#include "prescan/prescan.hpp"
#include "pysource.hpp"

#include <memory>

namespace qf::prescan {
namespace {

constexpr const char* FNAME = "prescan_sheet";

PyObject* str_of(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// Collects head, tail and rows into Python lists as the scan reports them.
class ListSink final : public Sink {
public:
    explicit ListSink(PyObject* row_index) : row_index_(row_index) {}

    bool init() {
        head = Ref::steal(PyList_New(0));
        tail = Ref::steal(PyList_New(0));
        rows = Ref::steal(PyList_New(0));
        return head && tail && rows;
    }

    XmlResult<void> element(bool in_tail, std::string_view snippet, const Namespaces& namespaces) override {
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(snippet.data(), static_cast<Py_ssize_t>(snippet.size())));
        if (!bytes) return std::unexpected(source_error());
        Ref ns = Ref::steal(ns_list(namespaces));
        if (!ns) return std::unexpected(source_error());
        Ref pair = Ref::steal(PyTuple_Pack(2, bytes.get(), ns.get()));
        if (!pair || PyList_Append((in_tail ? tail : head).get(), pair.get()) < 0) return std::unexpected(source_error());
        return {};
    }

    XmlResult<void> row(std::int64_t number, std::span<const RowAttr> attrs) override {
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(attrs.size())));
        if (!list) return std::unexpected(source_error());
        Py_ssize_t i = 0;
        for (const RowAttr& a : attrs) {
            Ref key = Ref::steal(str_of(a.key));
            if (!key) return std::unexpected(source_error());
            Ref value = Ref::steal(str_of(a.value));
            if (!value) return std::unexpected(source_error());
            PyObject* pair = PyTuple_Pack(2, key.get(), value.get());
            if (!pair) return std::unexpected(source_error());
            PyList_SET_ITEM(list.get(), i++, pair);
        }
        Ref num = Ref::steal(PyLong_FromLongLong(number));
        if (!num) return std::unexpected(source_error());
        Ref entry = Ref::steal(PyTuple_Pack(2, num.get(), list.get()));
        if (!entry) return std::unexpected(source_error());
        // A failed append is out of memory, not something about the input: it propagates.
        if (PyList_Append(rows.get(), entry.get()) < 0) return std::unexpected(source_error());
        return {};
    }

    XmlResult<std::int64_t> row_index(std::string_view text) override {
        Ref arg = Ref::steal(str_of(text));
        if (!arg) return std::unexpected(source_error());
        Ref result = Ref::steal(PyObject_CallOneArg(row_index_, arg.get()));
        if (!result) return std::unexpected(source_error());
        // Anything but an int in range is left to the package, which converts it its own way.
        if (!PyLong_Check(result.get())) return std::unexpected(XmlError::unsupported("row index"));
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(result.get(), &overflow);
        if (overflow) return std::unexpected(XmlError::unsupported("row index"));
        if (value == -1 && PyErr_Occurred()) return std::unexpected(source_error());
        return static_cast<std::int64_t>(value);
    }

    Ref head, tail, rows;

private:
    PyObject* row_index_;
};

// The corner requests: an iterable of (row, column) 2-tuples of integers.
bool read_corners(PyObject* corners, Corners& out) {
    Ref iter = Ref::steal(PyObject_GetIter(corners));
    if (!iter) return false;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) {
            PyErr_Format(PyExc_TypeError, "%s() argument 'corners' must hold (row, column) tuples, not %T", FNAME,
                         item.get());
            return false;
        }
        const long long row = PyLong_AsLongLong(PyTuple_GET_ITEM(item.get(), 0));
        if (row == -1 && PyErr_Occurred()) return false;
        const long long col = PyLong_AsLongLong(PyTuple_GET_ITEM(item.get(), 1));
        if (col == -1 && PyErr_Occurred()) return false;
        out.add(row, col);
    }
    return !PyErr_Occurred();
}

PyObject* corners_dict(const Corners& corners) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const Corner& c : corners.items()) {
        Ref key = Ref::steal(Py_BuildValue("(LL)", static_cast<long long>(c.row), static_cast<long long>(c.col)));
        if (!key) return nullptr;
        Ref value = c.style ? Ref::steal(str_of(*c.style)) : Ref::borrow(Py_None);
        if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

}  // namespace

PyObject* prescan_sheet(PyObject* source, PyObject* want_rows, PyObject* corners, PyObject* helpers) {
    if (!PyBool_Check(want_rows)) {
        PyErr_Format(PyExc_TypeError, "%s() argument 'want_rows' must be bool, not %T", FNAME, want_rows);
        return nullptr;
    }
    if (!require_dict(FNAME, "helpers", helpers)) return nullptr;
    Corners wanted;
    if (!read_corners(corners, wanted)) return nullptr;
    auto row_index = helper_item(helpers, "row_index");
    if (!row_index) return fallback_err(std::move(row_index.error()));

    ListSink sink(row_index->get());
    if (!sink.init()) return nullptr;
    xml::Reader reader(byte_source(source));
    if (auto ok = prescan(reader, want_rows == Py_True, wanted, sink); !ok) return fallback_err(std::move(ok.error()));

    Ref corner_styles = Ref::steal(corners_dict(wanted));
    if (!corner_styles) return nullptr;
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    const std::pair<const char*, PyObject*> items[] = {
        {"head", sink.head.get()}, {"tail", sink.tail.get()}, {"rows", sink.rows.get()}, {"corners", corner_styles.get()}};
    for (const auto& [key, value] : items) {
        if (PyDict_SetItemString(result.get(), key, value) < 0) return nullptr;
    }
    return result.release();
}

}  // namespace qf::prescan
