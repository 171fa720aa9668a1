// Tables of typed columns for the capsule protocol (see arrow_py.hpp). The package hands over
// one column at a time, so that it can drop its own copy of each before the next is made: a
// table is held about once while it changes hands.
#include "arrow/arrow_py.hpp"

#include "arrow/table.hpp"
#include "core/frame.hpp"
#include "dates.hpp"
#include "sheet/columns.hpp"

#include <datetime.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

namespace qf::arrow {
namespace {

struct ArrowTableObject {
    PyObject_HEAD
    std::shared_ptr<const Table> table;
    std::int64_t batch_rows;
};

ArrowTableObject* as_table(PyObject* self) noexcept { return reinterpret_cast<ArrowTableObject*>(self); }

PyMutex type_mutex;
PyObject* type_obj = nullptr;

// A contiguous buffer of the caller's, released on every path.
class View {
public:
    ~View() { if (view_.obj) PyBuffer_Release(&view_); }
    bool open(PyObject* obj) noexcept { return PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0; }
    const std::uint8_t* data() const noexcept { return static_cast<const std::uint8_t*>(view_.buf); }
    std::int64_t size() const noexcept { return view_.len; }

private:
    Py_buffer view_{};
};

bool wrong_length(const char* what, std::int64_t got, std::int64_t rows) noexcept {
    PyErr_Format(PyExc_ValueError, "arrow_table(): a column's %s holds %lld values, not %lld", what,
                 static_cast<long long>(got), static_cast<long long>(rows));
    return false;
}

// The validity bitmap of `nulls` (None, or a byte per value, nonzero where missing).
bool put_validity(PyObject* nulls, std::int64_t rows, Column& column) {
    if (nulls == Py_None) return true;
    View view;
    if (!view.open(nulls)) return false;
    if (view.size() != rows) return wrong_length("missing-value marks", view.size(), rows);
    Buffer bits;
    bits.resize(static_cast<std::size_t>((rows + 7) / 8));
    std::memset(bits.data(), 0, bits.size());
    std::int64_t missing = 0;
    for (std::int64_t i = 0; i < rows; ++i) {
        if (view.data()[i]) ++missing;
        else set_bit(bits.data(), i);
    }
    if (missing) {
        column.validity = std::move(bits);
        column.null_count = missing;
    }
    return true;
}

bool put_fixed(PyObject* data, std::int64_t rows, Column& column) {
    View view;
    if (!view.open(data)) return false;
    if (view.size() != rows * 8) return wrong_length("data", view.size() / 8, rows);
    column.values.resize(static_cast<std::size_t>(view.size()));
    if (view.size()) std::memcpy(column.values.data(), view.data(), column.values.size());  // an empty array has no address
    return true;
}

bool put_bools(PyObject* data, std::int64_t rows, Column& column) {
    View view;
    if (!view.open(data)) return false;
    if (view.size() != rows) return wrong_length("data", view.size(), rows);
    column.values.resize(static_cast<std::size_t>((rows + 7) / 8));
    std::memset(column.values.data(), 0, column.values.size());
    for (std::int64_t i = 0; i < rows; ++i)
        if (view.data()[i]) set_bit(column.values.data(), i);
    return true;
}

// `value` (not negative) in at least `width` digits, zero-padded.
void append_digits(std::string& out, long value, int width) {
    char text[24];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    const auto len = static_cast<int>(end - text);
    if (len < width) out.append(static_cast<std::size_t>(width - len), '0');
    out.append(text, end);
}

// repr() of a finite float: the shortest digits that read back as the same double, laid out as
// Python lays them out (positional from 1e-4 up to 1e16, with ".0" when integral; else d.ddde+XX).
void append_float_repr(std::string& out, double x) {
    char sci[32];
    auto [end, ec] = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    const char* at = sci;
    if (*at == '-') {
        out.push_back('-');
        ++at;
    }
    const char* e = std::find(at, static_cast<const char*>(end), 'e');
    char digits[24];  // the significant digits, without the point
    int n = 0;
    for (const char* p = at; p < e; ++p)
        if (*p != '.') digits[n++] = *p;
    int exponent = 0;
    std::from_chars(e + 1 + (e[1] == '+'), end, exponent);
    const std::string_view mantissa(digits, static_cast<std::size_t>(n));
    if (exponent < -4 || exponent >= 16) {
        out.push_back(digits[0]);
        if (n > 1) {
            out.push_back('.');
            out.append(mantissa.substr(1));
        }
        out.push_back('e');
        out.push_back(exponent < 0 ? '-' : '+');
        append_digits(out, std::abs(exponent), 2);
    } else if (exponent < 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out.append(mantissa);
    } else if (n > exponent + 1) {
        out.append(mantissa.substr(0, static_cast<std::size_t>(exponent + 1)));
        out.push_back('.');
        out.append(mantissa.substr(static_cast<std::size_t>(exponent + 1)));
    } else {
        out.append(mantissa);
        out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
        out.append(".0");
    }
}

// isoformat() of a naive date, datetime or time of day.
void append_iso_time(std::string& out, int hour, int minute, int second, int micro) {
    append_digits(out, hour, 2);
    out.push_back(':');
    append_digits(out, minute, 2);
    out.push_back(':');
    append_digits(out, second, 2);
    if (micro) {
        out.push_back('.');
        append_digits(out, micro, 6);
    }
}

void append_iso_date(std::string& out, PyObject* d) {
    append_digits(out, PyDateTime_GET_YEAR(d), 4);
    out.push_back('-');
    append_digits(out, PyDateTime_GET_MONTH(d), 2);
    out.push_back('-');
    append_digits(out, PyDateTime_GET_DAY(d), 2);
}

// The text of a value of a column that mixes types, as `text_of` (the package's value_text) gives
// it, into `out`: made here for the exact built-in types (no Python code runs for them), by
// `text_of` for the rest. False with an exception set.
bool append_text_of(std::string& out, PyObject* item, PyObject* text_of) {
    if (PyBool_Check(item)) {
        out.append(item == Py_True ? "TRUE" : "FALSE");
        return true;
    }
    if (PyLong_CheckExact(item)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (!overflow) {
            if (v == -1 && PyErr_Occurred()) return false;
            char text[24];
            auto [end, ec] = std::to_chars(text, text + sizeof text, v);
            out.append(text, end);
            return true;
        }
    }
    if (PyFloat_CheckExact(item) && std::isfinite(PyFloat_AS_DOUBLE(item))) {
        append_float_repr(out, PyFloat_AS_DOUBLE(item));
        return true;
    }
    if (PyDateTimeAPI) {
        if (PyDateTime_CheckExact(item) && PyDateTime_DATE_GET_TZINFO(item) == Py_None) {
            append_iso_date(out, item);
            out.push_back('T');
            append_iso_time(out, PyDateTime_DATE_GET_HOUR(item), PyDateTime_DATE_GET_MINUTE(item),
                            PyDateTime_DATE_GET_SECOND(item), PyDateTime_DATE_GET_MICROSECOND(item));
            return true;
        }
        if (PyDate_CheckExact(item)) {
            append_iso_date(out, item);
            return true;
        }
        if (PyTime_CheckExact(item) && PyDateTime_TIME_GET_TZINFO(item) == Py_None) {
            append_iso_time(out, PyDateTime_TIME_GET_HOUR(item), PyDateTime_TIME_GET_MINUTE(item),
                            PyDateTime_TIME_GET_SECOND(item), PyDateTime_TIME_GET_MICROSECOND(item));
            return true;
        }
    }
    Ref text = Ref::steal(PyObject_CallOneArg(text_of, item));
    if (!text) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(text.get()) ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (!utf8) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "arrow_table(): text_of() must return str");
        return false;
    }
    out.append(utf8, static_cast<std::size_t>(size));
    return true;
}

// The UTF-8 of item `i` of a list of str (None where missing: an empty view and `missing`), read
// through a reference of its own (`held`): the list may change on another thread. False with an
// exception set.
bool str_item(PyObject* list, Py_ssize_t i, Ref& held, std::string_view& out, bool& missing) {
    held = Ref::steal(PyList_GetItemRef(list, i));
    if (!held) return false;
    missing = held.get() == Py_None;
    if (missing) return true;
    if (!PyUnicode_Check(held.get())) {
        PyErr_Format(PyExc_TypeError, "arrow_table(): a text column holds %.100s", Py_TYPE(held.get())->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(held.get(), &size);
    if (!utf8) return false;
    out = {utf8, static_cast<std::size_t>(size)};
    return true;
}

// A dictionary-encoded column from a list of str whose text takes `bytes`, made without the
// plain column; nothing (and no exception) when the encoding does not take fewer bytes.
std::optional<Column> str_list_dictionary(PyObject* data, std::int64_t rows, std::size_t bytes, bool& failed) {
    DictionaryEncoder encoder(rows, bytes + (static_cast<std::size_t>(rows) + 1) * 4);
    Buffer validity;
    validity.resize(static_cast<std::size_t>((rows + 7) / 8));
    std::memset(validity.data(), 0, validity.size());
    std::int64_t missing_count = 0;
    Ref held;
    std::string_view value;
    bool missing = false;
    for (Py_ssize_t i = 0; i < rows && encoder.smaller(); ++i) {
        if (!str_item(data, i, held, value, missing)) {
            failed = true;
            return std::nullopt;
        }
        if (missing) {
            encoder.add_missing();
            ++missing_count;
        } else {
            set_bit(validity.data(), i);
            encoder.add(value);
        }
    }
    if (!encoder.smaller()) return std::nullopt;
    return encoder.finish(std::move(validity), missing_count);
}

// A text column from a list of str, read in place (no Python code runs to read a str, so the
// caller's list needs no copy): its size first, so that the text's bytes are taken at once, and
// a dictionary-encoded column is made without the plain one.
bool put_str_list(PyObject* data, std::int64_t rows, bool dictionary, Column& column) {
    if (!require_type("arrow_table", "text column", data, &PyList_Type)) return false;
    if (PyList_GET_SIZE(data) != rows) return wrong_length("data", PyList_GET_SIZE(data), rows);
    Ref held;
    std::string_view value;
    bool missing = false;
    std::size_t bytes = 0;
    for (Py_ssize_t i = 0; i < rows; ++i) {
        if (!str_item(data, i, held, value, missing)) return false;
        if (!missing) bytes += value.size();  // a missing item leaves `value` as it was
    }
    std::string name = std::move(column.name);
    bool failed = false;
    std::optional<Column> encoded = dictionary && rows > 0 ? str_list_dictionary(data, rows, bytes, failed) : std::nullopt;
    if (failed) return false;
    if (encoded) {
        column = std::move(*encoded);
    } else {
        TextBuilder text(rows, bytes);
        for (Py_ssize_t i = 0; i < rows; ++i) {
            if (!str_item(data, i, held, value, missing)) return false;
            if (missing) text.add_missing();
            else text.add(value);
        }
        column = text.finish(false);
    }
    column.name = std::move(name);
    return true;
}

// A text column from a list of any values made text by `text_of` (str as they are).
bool put_text(PyObject* data, std::int64_t rows, bool dictionary, PyObject* text_of, Column& column) {
    if (!require_type("arrow_table", "text column", data, &PyList_Type)) return false;
    // A copy of the list: `text_of` may run any code, the caller's list is left alone.
    Ref items = Ref::steal(PySequence_List(data));
    if (!items) return false;
    if (PyList_GET_SIZE(items.get()) != rows) return wrong_length("data", PyList_GET_SIZE(items.get()), rows);
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;  // once per process; without it, text_of says the dates
        if (!PyDateTimeAPI) PyErr_Clear();
    }
    std::string scratch;
    TextBuilder text(rows);
    for (Py_ssize_t i = 0; i < rows; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (item == Py_None) {
            text.add_missing();
            continue;
        }
        if (!PyUnicode_CheckExact(item)) {
            scratch.clear();
            if (!append_text_of(scratch, item, text_of)) return false;
            text.add(scratch);
            continue;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (!utf8) return false;
        text.add({utf8, static_cast<std::size_t>(size)});
    }
    std::string name = std::move(column.name);
    column = text.finish(dictionary);
    column.name = std::move(name);
    return true;
}

// isoformat() of a naive date-time.
void append_iso(std::string& out, const DateTime& t) {
    append_digits(out, t.year, 4);
    out.push_back('-');
    append_digits(out, t.month, 2);
    out.push_back('-');
    append_digits(out, t.day, 2);
    out.push_back('T');
    append_iso_time(out, t.hour, t.minute, t.second, static_cast<int>(t.microsecond));
}

// The text of one value of a part of a column of several types (see ColumnBatch::take).
bool append_mixed(std::string& out, std::uint8_t cls, std::int64_t bits, PyObject* obj, PyObject* text_of) {
    using Class = sheet::ColumnBatch::Class;
    switch (cls) {
        case Class::INT:
        case Class::WIDE_INT: {
            char text[24];
            auto [end, ec] = std::to_chars(text, text + sizeof text, bits);
            out.append(text, end);
            return true;
        }
        case Class::FLOAT:
            if (!std::isfinite(std::bit_cast<double>(bits))) break;
            append_float_repr(out, std::bit_cast<double>(bits));
            return true;
        case Class::BOOL: out.append(bits ? "TRUE" : "FALSE"); return true;
        case Class::DATETIME: append_iso(out, unix_micros_date_time(bits)); return true;
        default: break;
    }
    Ref made;
    if (obj == Py_None) {  // a float no cell holds, made an object for text_of
        made = Ref::steal(PyFloat_FromDouble(std::bit_cast<double>(bits)));
        if (!made) return false;
        obj = made.get();
    }
    if (PyUnicode_CheckExact(obj)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
        if (!utf8) return false;
        out.append(utf8, static_cast<std::size_t>(size));
        return true;
    }
    return append_text_of(out, obj, text_of);
}

// A text column from the parts of a column of several types: no object is made for a number or
// a date, whose text is written from its bits.
bool put_mixed(PyObject* parts, std::int64_t rows, bool dictionary, PyObject* text_of, Column& column) {
    if (!require_type("arrow_table", "mixed column", parts, &PyList_Type)) return false;
    Ref list = Ref::steal(PySequence_List(parts));  // text_of may run any code: the caller's list is left alone
    if (!list) return false;
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) PyErr_Clear();
    }
    TextBuilder text(rows);
    std::string scratch;
    std::int64_t at = 0;
    for (Py_ssize_t p = 0; p < PyList_GET_SIZE(list.get()); ++p) {
        PyObject* part = PyList_GET_ITEM(list.get(), p);
        PyObject *bits = nullptr, *classes = nullptr, *objects = nullptr;
        if (!PyTuple_Check(part) || !PyArg_ParseTuple(part, "SSO!", &bits, &classes, &PyList_Type, &objects) ||
            PyBytes_GET_SIZE(bits) != PyBytes_GET_SIZE(classes) * 8 || PyList_GET_SIZE(objects) != PyBytes_GET_SIZE(classes)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "arrow_table(): a mixed part is (bits, classes, objects)");
            return false;
        }
        const Py_ssize_t n = PyBytes_GET_SIZE(classes);
        if (at + n > rows) return wrong_length("data", at + n, rows);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const auto cls = static_cast<std::uint8_t>(PyBytes_AS_STRING(classes)[i]);
            if (cls == sheet::ColumnBatch::NONE) {
                text.add_missing();
                continue;
            }
            std::int64_t value;
            std::memcpy(&value, PyBytes_AS_STRING(bits) + i * 8, 8);
            Ref obj = Ref::borrow(PyList_GET_ITEM(objects, i));  // held: text_of may change the list
            scratch.clear();
            if (!append_mixed(scratch, cls, value, obj.get(), text_of)) return false;
            text.add(scratch);
        }
        at += n;
    }
    if (at != rows) return wrong_length("data", at, rows);
    std::string name = std::move(column.name);
    column = text.finish(dictionary);
    column.name = std::move(name);
    return true;
}

// One column from (kind, data, nulls) as quillfen.frames gives it.
bool make_column(PyObject* spec, std::int64_t rows, bool dictionary, PyObject* text_of, Column& column) {
    if (!PyTuple_Check(spec) || PyTuple_GET_SIZE(spec) != 3 || !PyUnicode_Check(PyTuple_GET_ITEM(spec, 0))) {
        PyErr_SetString(PyExc_TypeError, "arrow_table(): a column is a (kind, data, nulls) tuple");
        return false;
    }
    const char* kind = PyUnicode_AsUTF8(PyTuple_GET_ITEM(spec, 0));
    if (!kind) return false;
    PyObject* data = PyTuple_GET_ITEM(spec, 1);
    PyObject* nulls = PyTuple_GET_ITEM(spec, 2);
    column.length = rows;
    const std::string_view k(kind);
    if (k == "empty") {
        column.type = Type::Null;
        column.null_count = rows;
        return true;
    }
    if (k == "text") return put_str_list(data, rows, dictionary, column);
    if (k == "mixed") return put_mixed(data, rows, dictionary, text_of, column);
    if (k == "object") {
        if (text_of == Py_None) {
            PyErr_SetString(PyExc_TypeError, "arrow_table(): an object column needs text_of");
            return false;
        }
        return put_text(data, rows, dictionary, text_of, column);
    }
    if (k == "int" || k == "float" || k == "datetime") {
        column.type = k == "int" ? Type::Int64 : k == "float" ? Type::Float64 : Type::TimestampUs;
        if (!put_fixed(data, rows, column)) return false;
    } else if (k == "bool") {
        column.type = Type::Bool;
        if (!put_bools(data, rows, column)) return false;
    } else {
        PyErr_Format(PyExc_ValueError, "arrow_table(): unknown column kind %R", PyTuple_GET_ITEM(spec, 0));
        return false;
    }
    return put_validity(nulls, rows, column);
}

// ---- capsules

template <class Struct>
void capsule_free(PyObject* capsule, const char* name) noexcept {
    auto* exported = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
    if (!exported) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    // A consumer that took the struct over left its release empty.
    if (exported->release) exported->release(exported);
    delete exported;
}

void stream_capsule_free(PyObject* capsule) noexcept { capsule_free<ArrowArrayStream>(capsule, "arrow_array_stream"); }
void schema_capsule_free(PyObject* capsule) noexcept { capsule_free<ArrowSchema>(capsule, "arrow_schema"); }

PyObject* ArrowTable_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        // A requested schema is a wish the protocol lets a producer pass over: the table's types
        // are the frame's.
        PyObject* requested = nullptr;
        if (!parse_args("__arrow_c_stream__", args, nargs, kwnames, {"requested_schema"}, &requested, 0))
            return nullptr;
        auto stream = std::make_unique<ArrowArrayStream>();
        export_stream(as_table(self)->table, as_table(self)->batch_rows, stream.get());
        Ref capsule = Ref::steal(PyCapsule_New(stream.get(), "arrow_array_stream", stream_capsule_free));
        if (!capsule) {
            stream->release(stream.get());
            return nullptr;
        }
        stream.release();
        return capsule.release();
    });
}

PyObject* ArrowTable_schema(PyObject* self, PyObject*) noexcept {
    return guard([&]() -> PyObject* {
        auto schema = std::make_unique<ArrowSchema>();
        export_schema(*as_table(self)->table, schema.get());
        Ref capsule = Ref::steal(PyCapsule_New(schema.get(), "arrow_schema", schema_capsule_free));
        if (!capsule) {
            schema->release(schema.get());
            return nullptr;
        }
        schema.release();
        return capsule.release();
    });
}

PyObject* ArrowTable_num_rows(PyObject* self, void*) noexcept {
    return PyLong_FromLongLong(as_table(self)->table->rows);
}

PyObject* ArrowTable_column_names(PyObject* self, void*) noexcept {
    return guard([&]() -> PyObject* {
        const Table& table = *as_table(self)->table;
        Ref names = Ref::steal(PyList_New(static_cast<Py_ssize_t>(table.columns.size())));
        if (!names) return nullptr;
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            const std::string& name = table.columns[i]->name;
            PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
            if (!text) return nullptr;
            PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), text);
        }
        return names.release();
    });
}

PyObject* ArrowTable_live(PyObject*, PyObject*) noexcept { return PyLong_FromLongLong(live_exports()); }

PyObject* ArrowTable_batch_rows(PyObject* self, void*) noexcept {
    return PyLong_FromLongLong(as_table(self)->batch_rows);
}

Py_ssize_t ArrowTable_len(PyObject* self) noexcept { return static_cast<Py_ssize_t>(as_table(self)->table->rows); }

PyObject* ArrowTable_repr(PyObject* self) noexcept {
    const Table& table = *as_table(self)->table;
    return PyUnicode_FromFormat("<ArrowTable: %lld rows, %zu columns>", static_cast<long long>(table.rows),
                                table.columns.size());
}

void ArrowTable_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    as_table(self)->table.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef arrow_table_methods[] = {
    {"__arrow_c_stream__", as_cfunc(ArrowTable_stream), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "A PyCapsule 'arrow_array_stream' of the table's record batches."},
    {"__arrow_c_schema__", ArrowTable_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nA PyCapsule 'arrow_schema' of the table's schema (a struct of its columns)."},
    {"_live", ArrowTable_live, METH_NOARGS | METH_STATIC,
     "_live()\n--\n\nThe exported Arrow structs (of every table) whose release has not run yet."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef arrow_table_getset[] = {
    {"num_rows", ArrowTable_num_rows, nullptr, "The number of rows.", nullptr},
    {"column_names", ArrowTable_column_names, nullptr, "The column names, in order.", nullptr},
    {"batch_rows", ArrowTable_batch_rows, nullptr, "The most rows a record batch of the stream holds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot arrow_table_slots[] = {
    {Py_tp_doc, const_cast<char*>("A table of typed columns, read through the Arrow PyCapsule protocol.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(ArrowTable_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(ArrowTable_repr)},
    {Py_tp_methods, arrow_table_methods},
    {Py_tp_getset, arrow_table_getset},
    {Py_sq_length, reinterpret_cast<void*>(ArrowTable_len)},
    {0, nullptr},
};

PyType_Spec arrow_table_spec = {
    .name = "_quillfen.ArrowTable",
    .basicsize = sizeof(ArrowTableObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = arrow_table_slots,
};

}  // namespace

PyObject* arrow_table_type() noexcept { return type_once(type_mutex, type_obj, arrow_table_spec); }

std::optional<StreamReader> read_capsule(PyObject* capsule, const char* fname) noexcept {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (!stream) return std::nullopt;
    if (!stream->release) {
        PyErr_Format(PyExc_ValueError, "%s(): the stream was already taken", fname);
        return std::nullopt;
    }
    auto frame = StreamReader::open(stream);  // the stream is ours from here, released on every path
    if (frame) return std::optional<StreamReader>(std::move(*frame));
    if (frame.error().unsupported) {
        raise_fallback("unsupported: a frame column type");
    } else {
        PyErr_Format(PyExc_RuntimeError, "the frame's stream failed: %s", frame.error().message.c_str());
    }
    return std::nullopt;
}

PyObject* arrow_table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[6] = {};
        if (!parse_args("arrow_table", args, nargs, kwnames,
                        {"names", "columns", "rows", "batch_rows", "dictionary", "text_of"}, a, 5))
            return nullptr;
        PyObject* text_of = a[5] ? a[5] : Py_None;
        std::int64_t rows = 0, batch_rows = 0;
        if (!require_type("arrow_table", "names", a[0], &PyList_Type) || !arg_int64("arrow_table", "rows", a[2], rows) ||
            !arg_int64("arrow_table", "batch_rows", a[3], batch_rows))
            return nullptr;
        if (rows < 0 || batch_rows < 1) {
            PyErr_SetString(PyExc_ValueError, "arrow_table(): rows must not be negative, batch_rows must be positive");
            return nullptr;
        }
        const int dictionary = PyObject_IsTrue(a[4]);
        if (dictionary < 0) return nullptr;
        // The names are copied first: the columns' iterator may run any code.
        auto table = std::make_shared<Table>();
        table->rows = rows;
        std::vector<std::string> names;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a[0]); ++i) {
            Ref name = Ref::steal(PyList_GetItemRef(a[0], i));
            if (!name) return nullptr;
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
            if (!utf8) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "arrow_table(): column names are str");
                return nullptr;
            }
            names.emplace_back(utf8, static_cast<std::size_t>(size));
        }
        Ref iter = Ref::steal(PyObject_GetIter(a[1]));
        if (!iter) return nullptr;
        for (std::string& name : names) {
            Ref spec = Ref::steal(PyIter_Next(iter.get()));
            if (!spec) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "arrow_table(): fewer columns than names");
                return nullptr;
            }
            auto column = std::make_shared<Column>();
            column->name = std::move(name);
            if (!make_column(spec.get(), rows, dictionary != 0, text_of, *column)) return nullptr;
            table->columns.push_back(std::move(column));
        }
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(arrow_table_type());
        if (!type) return nullptr;
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        new (&as_table(self)->table) std::shared_ptr<const Table>(std::move(table));
        as_table(self)->batch_rows = batch_rows;
        return self;
    });
}

}  // namespace qf::arrow
