// Bindings for number text, XML escaping and whitespace stripping.
#include "testing.hpp"

#include "utils/pyint.hpp"
#include "utils/utils.hpp"

#include <cmath>
#include <cstring>
#include <string>

namespace qf::testing {
namespace {

PyObject* to_str(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

std::string_view utf8_of(PyObject* obj, bool& ok) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
    ok = p != nullptr;
    return ok ? std::string_view(p, static_cast<std::size_t>(n)) : std::string_view();
}

PyObject* format_g16(PyObject*, PyObject* arg) noexcept {
    double x = PyFloat_AsDouble(arg);
    if (x == -1.0 && PyErr_Occurred()) return nullptr;
    return guard([&] { return to_str(utils::format_g16(x)); });
}

PyObject* num_float(PyObject*, PyObject* arg) noexcept {
    double x = PyFloat_AsDouble(arg);
    if (x == -1.0 && PyErr_Occurred()) return nullptr;
    if (!std::isfinite(x)) return PyUnicode_FromString("");  // as the writer writes it
    char buf[utils::NUM_MAX];
    return PyUnicode_FromStringAndSize(buf, utils::write_num_float(buf, x) - buf);
}

PyObject* num_int(PyObject*, PyObject* arg) noexcept {
    long long i = PyLong_AsLongLong(arg);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    char buf[utils::NUM_MAX];
    return PyUnicode_FromStringAndSize(buf, utils::write_num_int(buf, i) - buf);
}

// number_texts(buffer of doubles, kind) -> list of str; kind 0: format_g16, 1: the writer's text.
PyObject* number_texts(PyObject*, PyObject* args) noexcept {
    Py_buffer view;
    int kind = 0;
    if (!PyArg_ParseTuple(args, "y*i", &view, &kind)) return nullptr;
    PyObject* result = guard([&]() -> PyObject* {
        auto n = static_cast<Py_ssize_t>(static_cast<std::size_t>(view.len) / sizeof(double));
        const auto* bytes = static_cast<const char*>(view.buf);
        Ref list = Ref::steal(PyList_New(n));
        if (!list) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            // The buffer may be a slice at any offset: copy each double out rather than cast.
            double x = 0;
            std::memcpy(&x, bytes + static_cast<std::size_t>(i) * sizeof(double), sizeof x);
            if (!std::isfinite(x)) {
                PyErr_SetString(PyExc_ValueError, "number_texts: finite doubles only");
                return nullptr;
            }
            char buf[utils::NUM_MAX];
            char* end = kind == 1 ? utils::write_num_float(buf, x) : utils::write_g16(buf, x);
            // ASCII only, so the str is built without UTF-8 decoding.
            PyObject* s = PyUnicode_New(end - buf, 127);
            if (!s) return nullptr;
            std::memcpy(PyUnicode_DATA(s), buf, static_cast<std::size_t>(end - buf));
            PyList_SET_ITEM(list.get(), i, s);
        }
        return list.release();
    });
    PyBuffer_Release(&view);
    return result;
}

PyObject* exact_int(PyObject*, PyObject* arg) noexcept {
    auto v = utils::exact_int(arg);
    if (!v) Py_RETURN_NONE;
    return PyLong_FromLongLong(*v);
}

template <void (*Esc)(std::string&, std::string_view, bool)>
PyObject* escape(PyObject*, PyObject* args) noexcept {
    PyObject* text = nullptr;
    int lxml = 0;
    if (!PyArg_ParseTuple(args, "Up", &text, &lxml)) return nullptr;
    bool ok = false;
    std::string_view s = utf8_of(text, ok);
    if (!ok) return nullptr;
    return guard([&] {
        std::string out;
        Esc(out, s, lxml != 0);
        return to_str(out);
    });
}

PyObject* py_strip(PyObject*, PyObject* arg) noexcept {
    bool ok = false;
    std::string_view s = utf8_of(arg, ok);
    if (!ok) return nullptr;
    std::string_view r = utils::py_strip(s);
    return PyUnicode_FromStringAndSize(r.data(), static_cast<Py_ssize_t>(r.size()));
}

}  // namespace

void add_utils_methods(MethodTable& table) {
    table.push_back({"format_g16", format_g16, METH_O, nullptr});
    table.push_back({"num_float", num_float, METH_O, nullptr});
    table.push_back({"num_int", num_int, METH_O, nullptr});
    table.push_back({"number_texts", number_texts, METH_VARARGS, nullptr});
    table.push_back({"exact_int", exact_int, METH_O, nullptr});
    table.push_back({"esc_attr", escape<utils::esc_attr>, METH_VARARGS, nullptr});
    table.push_back({"esc_text", escape<utils::esc_text>, METH_VARARGS, nullptr});
    table.push_back({"py_strip", py_strip, METH_O, nullptr});
}

}  // namespace qf::testing
