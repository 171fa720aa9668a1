// The SheetWriter type and the writing of single cells and rows (see writer.hpp, state.hpp).
#include "writer/writer.hpp"

#include "arrow/arrow_py.hpp"
#include "core/borrow.hpp"
#include "core/frame.hpp"
#include "dates_py.hpp"
#include "helpers.hpp"
#include "store/fxhash.hpp"
#include "utils/pyint.hpp"
#include "writer/state.hpp"

#include <cmath>
#include <cstring>
#include <new>

namespace qf::writer {

namespace {

XmlResult<Ref> attr(PyObject* obj, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (!value) return std::unexpected(source_error());
    return value;
}

XmlResult<bool> truth(PyObject* obj) {
    const int t = PyObject_IsTrue(obj);
    if (t < 0) return std::unexpected(source_error());
    return t == 1;
}

// The first character of a str that XML cannot hold, as the package's writer finds it.
std::optional<Py_UCS4> first_forbidden(PyObject* str) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(str, i);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE ||
            c == 0xFFFF) {
            return c;
        }
    }
    return std::nullopt;
}

// The items of a buffer of C ints, when an object exposes one; held until destroyed.
class Int32Buffer {
public:
    explicit Int32Buffer(PyObject* obj) noexcept {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Clear();  // not a buffer of ints: the caller asks Python instead
            return;
        }
        held_ = true;
        ok_ = view_.itemsize == 4 && view_.format && std::strcmp(view_.format, "i") == 0;
    }
    ~Int32Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    Int32Buffer(const Int32Buffer&) = delete;
    Int32Buffer& operator=(const Int32Buffer&) = delete;

    explicit operator bool() const noexcept { return ok_; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len) / 4; }
    std::int32_t operator[](std::size_t i) const noexcept {
        std::int32_t v;
        std::memcpy(&v, static_cast<const char*>(view_.buf) + i * 4, 4);
        return v;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    bool ok_ = false;
};

}  // namespace

XmlResult<Ref> call(PyObject* fn, std::initializer_list<PyObject*> args) {
    Ref result = Ref::steal(PyObject_Vectorcall(fn, std::data(args), args.size(), nullptr));
    if (!result) return std::unexpected(source_error());
    return result;
}

std::optional<std::string_view> utf8_of(PyObject* str) noexcept {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(str, &n);
    if (!p) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(p, static_cast<std::size_t>(n));
}

XmlResult<bool> date_pair(PyObject* pair, const char* helper) {
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        PyErr_Format(PyExc_TypeError, "%s() must return a (bool, value) pair, not %T", helper, pair);
        return std::unexpected(source_error());
    }
    return truth(PyTuple_GET_ITEM(pair, 0));
}

void classify(PyObject* value, Classified& out) noexcept {
    out.other = false;
    out.value = Value{};
    if (value == Py_None) return;
    if (PyUnicode_CheckExact(value)) {
        if (auto text = utf8_of(value)) {
            out.value = Value{Value::TEXT, *text};
        } else {
            out.other = true;
        }
        return;
    }
    if (PyBool_Check(value)) {
        out.value = Value{Value::NUMBER, value == Py_True ? "1" : "0"};
        return;
    }
    if (PyLong_CheckExact(value)) {
        auto v = utils::exact_int(value);
        if (!v) {
            out.other = true;
            return;
        }
        out.value = Value{Value::NUMBER, std::string_view(out.number, utils::write_num_int(out.number, *v))};
        return;
    }
    if (PyFloat_CheckExact(value)) {
        const double x = PyFloat_AS_DOUBLE(value);
        const char* end = std::isfinite(x) ? utils::write_num_float(out.number, x) : out.number;
        out.value = Value{Value::NUMBER, std::string_view(out.number, end)};
        return;
    }
    out.other = true;
}

std::size_t StyleKeyHash::operator()(const StyleKey& key) const noexcept {
    FxHasher h;
    for (std::int32_t v : key) h.add(static_cast<std::uint32_t>(v));
    return static_cast<std::size_t>(h.finish());
}

XmlResult<void> Writer::init(PyObject* ws, PyObject* write, bool lxml, PyObject* helpers) {
    lxml_ = lxml;
    buf_.reserve(BUFFER_CAPACITY);
    struct {
        Ref* slot;
        const char* text;
    } names[] = {{&names_.hyperlink, "hyperlink"}, {&names_.get, "get"}, {&names_.keys, "keys"},
                 {&names_.update, "update"}, {&names_.append, "append"}, {&names_.add, "add"},
                 {&names_.r, "r"}, {&names_.row_dimensions, "row_dimensions"}, {&names_.cells, "_cells"}};
    for (auto& [slot, text] : names) {
        *slot = Ref::steal(PyUnicode_InternFromString(text));
        if (!*slot) return std::unexpected(source_error());
    }
    for (std::size_t i = 0; i < CELL_ATTRS; ++i) {
        names_.cell[i] = Ref::steal(PyUnicode_InternFromString(CELL_ATTR_NAMES[i]));
        if (!names_.cell[i]) return std::unexpected(source_error());
    }
    ws_ = Ref::borrow(ws);
    write_ = Ref::borrow(write);
    // The workbook is read once, for its styles, epoch and date mode.
    Ref parent = Ref::steal(PyObject_GetAttrString(ws, "parent"));
    if (!parent) return std::unexpected(source_error());
    cell_styles_ = Ref::steal(PyObject_GetAttrString(parent.get(), "_cell_styles"));
    if (!cell_styles_) return std::unexpected(source_error());
    QF_TRY_SET(style_array_cls_, helper_item(helpers, "StyleArray"));
    hyperlinks_ = Ref::steal(PyObject_GetAttrString(ws, "_hyperlinks"));
    if (!hyperlinks_) return std::unexpected(source_error());
    QF_TRY_SET(add_comment_, helper_item(helpers, "add_comment"));
    QF_TRY_SET(write_cell_, helper_item(helpers, "write_cell"));
    QF_TRY_SET(date_value_, helper_item(helpers, "date_value"));
    QF_TRY_SET(date_value_raw_, helper_item(helpers, "date_value_raw"));
    Ref epoch = Ref::steal(PyObject_GetAttrString(parent.get(), "epoch"));
    if (!epoch) return std::unexpected(source_error());
    QF_TRY_SET(epoch_, read_epoch(epoch.get()));
    Ref iso = Ref::steal(PyObject_GetAttrString(parent.get(), "iso_dates"));
    if (!iso) return std::unexpected(source_error());
    QF_TRY_SET(iso_dates_, truth(iso.get()));
    QF_TRY_SET(safe_string_, helper_item(helpers, "safe_string"));
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return std::unexpected(source_error());
    any_ = Ref::steal(PyObject_GetAttrString(builtins.get(), "any"));
    if (!any_) return std::unexpected(source_error());
    return {};
}

XmlResult<bool> Writer::has_style(PyObject* style) {
    if (style == Py_None) return false;
    if (reinterpret_cast<PyObject*>(Py_TYPE(style)) == style_array_cls_.get()) {
        if (Int32Buffer ids{style}) {
            for (std::size_t i = 0; i < ids.size(); ++i) {
                if (ids[i] != 0) return true;
            }
            return false;
        }
    }
    QF_TRY_SET(Ref any, call(any_.get(), {style}));
    return truth(any.get());
}

XmlResult<Ref> Writer::style_id(PyObject* style) {
    std::optional<StyleKey> key;
    if (reinterpret_cast<PyObject*>(Py_TYPE(style)) == style_array_cls_.get()) {
        Int32Buffer ids{style};
        if (ids && ids.size() == std::tuple_size_v<StyleKey>) {
            key.emplace();
            for (std::size_t i = 0; i < key->size(); ++i) (*key)[i] = ids[i];
        }
    }
    if (key) {
        if (auto it = style_ids_.find(*key); it != style_ids_.end()) return it->second.clone();
    }
    Ref id = Ref::steal(PyObject_CallMethodOneArg(cell_styles_.get(), names_.add.get(), style));
    if (!id) return std::unexpected(source_error());
    if (key) style_ids_.emplace(*key, id.clone());
    return id;
}

XmlResult<bool> Writer::emit(CellXml cell, std::string_view data_type, const Value& value, PyObject* hyperlink,
                             const CachedResult* cached) {
    const auto body = choose_body(data_type, value);
    if (!body) return false;
    cell.body = *body;
    cell.text = value.text;
    // A string cell without a value (as read): "inlineStr" would change its type.
    if (*body == Body::EMPTY && data_type == "s") cell.t = "s";
    if (cached && *body == Body::FORMULA) {
        if (forbidden_char(cached->v) != std::string_view::npos) return false;
        cell.t = cached->t;
        cell.cached = cached->v;
    }
    QF_TRY(emit_xml(cell, hyperlink));
    return true;
}

XmlResult<void> Writer::emit_xml(const CellXml& cell, PyObject* hyperlink) {
    if (hyperlink) {
        QF_TRY_SET(bool linked, truth(hyperlink));
        if (linked) {
            Ref done = Ref::steal(PyObject_CallMethodOneArg(hyperlinks_.get(), names_.append.get(), hyperlink));
            if (!done) return std::unexpected(source_error());
        }
    }
    emit_cell(buf_, lxml_, cell);
    return {};
}

namespace {

// The (t, text) of a kept cached result: t None or a str, the text a str.
std::optional<CachedResult> cached_result(PyObject* pair) {
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) return std::nullopt;
    PyObject* t = PyTuple_GET_ITEM(pair, 0);
    PyObject* v = PyTuple_GET_ITEM(pair, 1);
    if (!PyUnicode_CheckExact(v) || (t != Py_None && !PyUnicode_CheckExact(t))) return std::nullopt;
    CachedResult result;
    const auto v_text = utf8_of(v);
    if (!v_text) return std::nullopt;
    result.v = *v_text;
    if (t != Py_None) {
        result.t = utf8_of(t);
        if (!result.t || forbidden_char(*result.t) != std::string_view::npos) return std::nullopt;
    }
    return result;
}

}  // namespace

XmlResult<bool> Writer::emit_loaded(CellXml cell, std::string_view data_type, PyObject* value, PyObject* loaded,
                                    PyObject* cell_obj) {
    if (value == Py_None) return false;
    if (PyLong_CheckExact(loaded)) {
        // Unchanged since loading: its item of the shared string table, which the saved
        // workbook keeps as it was, with whatever formatting and phonetic runs it has.
        const auto index = utils::exact_int(loaded);
        if (data_type != "s" || !index || *index < 0) return false;
        char digits[utils::NUM_MAX];
        cell.t = "s";
        cell.body = Body::VALUE;
        cell.text = std::string_view(digits, utils::write_num_int(digits, *index));
        QF_TRY_SET(Ref hyperlink, attr(cell_obj, names_.hyperlink.get()));
        QF_TRY(emit_xml(cell, hyperlink.get()));
        return true;
    }
    // (attributes, shared string index, cached result, runs): only a formula's cached result
    // alone is written here; attributes and runs are the package's to write.
    if (!PyTuple_CheckExact(loaded) || PyTuple_GET_SIZE(loaded) != 4 || data_type != "f") return false;
    PyObject* attrs = PyTuple_GET_ITEM(loaded, 0);
    if (!PyTuple_CheckExact(attrs) || PyTuple_GET_SIZE(attrs) != 0 || PyTuple_GET_ITEM(loaded, 1) != Py_None ||
        PyTuple_GET_ITEM(loaded, 3) != Py_None) {
        return false;
    }
    const auto cached = cached_result(PyTuple_GET_ITEM(loaded, 2));
    if (!cached) return false;
    Classified c;
    classify(value, c);
    if (c.other) return false;
    QF_TRY_SET(Ref hyperlink, attr(cell_obj, names_.hyperlink.get()));
    return emit(cell, data_type, c.value, hyperlink.get(), &*cached);
}

XmlResult<void> Writer::push_fallback(PyObject* cell, bool styled) {
    QF_TRY_SET(Ref xml, call(write_cell_.get(), {ws_.get(), cell, styled ? Py_True : Py_False}));
    if (lxml_) {
        if (!PyBytes_Check(xml.get())) {
            PyErr_Format(PyExc_TypeError, "write_cell() must return bytes, not %T", xml.get());
            return std::unexpected(source_error());
        }
        buf_.append(PyBytes_AS_STRING(xml.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(xml.get())));
        return {};
    }
    if (!PyUnicode_Check(xml.get())) {
        PyErr_Format(PyExc_TypeError, "write_cell() must return str, not %T", xml.get());
        return std::unexpected(source_error());
    }
    if (auto text = utf8_of(xml.get())) {
        buf_.append(*text);
        return {};
    }
    // Text with no UTF-8 form cannot join the buffer: it goes to `write` as it is, in its place.
    QF_TRY(flush_buf());
    QF_TRY_SET(Ref done, call(write_.get(), {xml.get()}));
    return {};
}

const SlotClass* Writer::slots_of(PyObject* cell) {
    PyTypeObject* type = Py_TYPE(cell);
    if (cell_slots_ && cell_slots_->describes(reinterpret_cast<PyObject*>(type))) return &*cell_slots_;
    if (unslotted_.get() == reinterpret_cast<PyObject*>(type)) return nullptr;
    // Only with generic attribute access is a slot's content what getattr gives.
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        auto slots = SlotClass::make(reinterpret_cast<PyObject*>(type), CELL_ATTR_NAMES, LOADED);
        if (slots) {
            cell_slots_ = std::move(*slots);
            return &*cell_slots_;
        }
    }
    unslotted_ = Ref::borrow(reinterpret_cast<PyObject*>(type));
    return nullptr;
}

XmlResult<Ref> Writer::cell_attr(PyObject* cell, CellAttr which) {
    const SlotClass* slots = slots_of(cell);
    if (slots) {
        if (PyObject* value = slots->get(cell, which)) return Ref::borrow(value);
    }
    if (which == LOADED) {
        // What a cell was read with is None for cells of classes without it.
        if (slots && !slots->has(LOADED)) return Ref::borrow(Py_None);
        PyObject* found = nullptr;
        if (PyObject_GetOptionalAttr(cell, names_.cell[which].get(), &found) < 0) {
            return std::unexpected(source_error());
        }
        return found ? Ref::steal(found) : Ref::borrow(Py_None);
    }
    // Not a plain slot, or an unset one: getattr gives the value or the error.
    return attr(cell, names_.cell[which].get());
}

XmlResult<void> Writer::write_one(PyObject* cell) {
    QF_TRY_SET(Ref comment, cell_attr(cell, COMMENT));
    if (comment.get() != Py_None) {
        QF_TRY_SET(Ref done, call(add_comment_.get(), {ws_.get(), cell}));
    }
    QF_TRY_SET(Ref value, cell_attr(cell, VALUE));
    QF_TRY_SET(Ref style, cell_attr(cell, STYLE));
    QF_TRY_SET(Ref loaded, cell_attr(cell, LOADED));
    QF_TRY_SET(const bool styled, has_style(style.get()));
    // A cell without a value is written when it has a format (a loaded one, even the default,
    // so that it does not take its row's or column's), kept data or a comment.
    if (value.get() == Py_None && style.get() == Py_None && loaded.get() == Py_None) {
        QF_TRY_SET(const bool commented, truth(comment.get()));
        if (!commented) return {};
    }
    QF_TRY_SET(Ref data_type, cell_attr(cell, DATA_TYPE));
    QF_TRY_SET(Ref row_obj, cell_attr(cell, ROW));
    QF_TRY_SET(Ref col_obj, cell_attr(cell, COLUMN));
    const auto row = utils::exact_int(row_obj.get());
    const auto col = utils::exact_int(col_obj.get());
    std::optional<std::string_view> dtype;
    if (PyUnicode_Check(data_type.get())) dtype = utf8_of(data_type.get());
    if (!row || !col || *col < 1 || *col > MAX_COLUMN || !dtype ||
        forbidden_char(*dtype) != std::string_view::npos) {
        return push_fallback(cell, styled);
    }
    CellXml xml{*row, static_cast<std::uint32_t>(*col), std::nullopt, t_of(*dtype), Body::EMPTY, {}, {}};
    Ref style_text;
    if (styled) {
        QF_TRY_SET(Ref id, style_id(style.get()));
        style_text = Ref::steal(PyObject_Str(id.get()));
        if (!style_text) return std::unexpected(source_error());
        xml.s = utf8_of(style_text.get());
        if (!xml.s || forbidden_char(*xml.s) != std::string_view::npos) return push_fallback(cell, styled);
    }
    if (loaded.get() != Py_None) {
        QF_TRY_SET(const bool written, emit_loaded(xml, *dtype, value.get(), loaded.get(), cell));
        if (!written) return push_fallback(cell, styled);
        return {};
    }
    Ref pair;
    PyObject* to_write = value.get();
    if (*dtype == "d") {
        QF_TRY_SET(pair, call(date_value_.get(), {ws_.get(), cell}));
        QF_TRY_SET(const bool iso, date_pair(pair.get(), "date_value"));
        if (!iso) xml.t = "n";
        to_write = PyTuple_GET_ITEM(pair.get(), 1);
    }
    Classified c;
    classify(to_write, c);
    if (c.other) return push_fallback(cell, styled);
    QF_TRY_SET(Ref hyperlink, attr(cell, names_.hyperlink.get()));
    QF_TRY_SET(const bool written, emit(xml, *dtype, c.value, hyperlink.get()));
    if (!written) return push_fallback(cell, styled);
    return {};
}

XmlResult<void> Writer::append_row_attr(PyObject* row_text, PyObject* name, PyObject* value) {
    if (!PyUnicode_Check(name) || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "row %U: attribute names and values must be str, not %T", row_text,
                     PyUnicode_Check(name) ? value : name);
        return std::unexpected(source_error());
    }
    const auto name_text = utf8_of(name);
    if (!name_text || !utils::plain_name(*name_text)) {
        PyErr_Format(PyExc_ValueError, "row %U: cannot write the attribute name %R", row_text, name);
        return std::unexpected(source_error());
    }
    const auto value_text = utf8_of(value);
    if (!value_text || forbidden_char(*value_text) != std::string_view::npos) {
        Ref bad = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(first_forbidden(value).value_or(0))));
        if (bad) {
            PyErr_Format(PyExc_ValueError, "row %U: cannot write %R, a character XML does not allow", row_text,
                         bad.get());
        }
        return std::unexpected(source_error());
    }
    buf_.push_back(' ');
    buf_.append(*name_text);
    buf_.append("=\"");
    utils::esc_attr(buf_, *value_text, lxml_);
    buf_.push_back('"');
    return {};
}

XmlResult<void> Writer::write_row_start(PyObject* row_text, PyObject* dims) {
    buf_.append("<row");
    if (!dims) {
        QF_TRY(append_row_attr(row_text, names_.r.get(), row_text));
        buf_.push_back('>');
        return {};
    }
    // As {"r": row}.update(dims): "r" first, and a dims entry "r" takes its place.
    Ref attrs = Ref::steal(PyDict_New());
    if (!attrs || PyDict_SetItem(attrs.get(), names_.r.get(), row_text) < 0) return std::unexpected(source_error());
    Ref done = Ref::steal(PyObject_CallMethodOneArg(attrs.get(), names_.update.get(), dims));
    if (!done) return std::unexpected(source_error());
    // The dict is this call's own: nothing else can change it while it is walked.
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(attrs.get(), &pos, &key, &value)) {
        QF_TRY(append_row_attr(row_text, key, value));
    }
    buf_.push_back('>');
    return {};
}

XmlResult<void> Writer::write_row_start(std::int64_t row, PyObject* dims) {
    if (dims) {
        Ref text = Ref::steal(PyUnicode_FromFormat("%lld", static_cast<long long>(row)));
        if (!text) return std::unexpected(source_error());
        return write_row_start(text.get(), dims);
    }
    // Digits alone need neither escaping nor checking.
    buf_.append("<row r=\"");
    utils::append_int(buf_, row);
    buf_.append("\">");
    return {};
}

XmlResult<void> Writer::end_row() {
    buf_.append("</row>");
    if (buf_.size() >= FLUSH_THRESHOLD) return flush_buf();
    return {};
}

XmlResult<void> Writer::flush_buf() {
    if (buf_.empty()) return {};
    const auto n = static_cast<Py_ssize_t>(buf_.size());
    Ref text = Ref::steal(lxml_ ? PyBytes_FromStringAndSize(buf_.data(), n) : PyUnicode_DecodeUTF8(buf_.data(), n, nullptr));
    if (!text) return std::unexpected(source_error());
    QF_TRY_SET(Ref done, call(write_.get(), {text.get()}));
    buf_.clear();  // the capacity stays for the next piece
    return {};
}

XmlResult<Ref> Writer::dims_get(PyObject* dims, PyObject* row) {
    Ref found = Ref::steal(PyObject_CallMethodOneArg(dims, names_.get.get(), row));
    if (!found) return std::unexpected(source_error());
    if (found.get() == Py_None) return Ref{};
    return found;
}

XmlResult<Ref> Writer::dims_get(PyObject* dims, std::int64_t row) {
    // PERF NOTE: an exact dict is read without a method call, and an empty one not at all.
    if (PyDict_CheckExact(dims) && PyDict_GET_SIZE(dims) == 0) return Ref{};
    Ref row_int = Ref::steal(PyLong_FromLongLong(row));
    if (!row_int) return std::unexpected(source_error());
    if (!PyDict_CheckExact(dims)) return dims_get(dims, row_int.get());
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(dims, row_int.get(), &found) < 0) return std::unexpected(source_error());
    Ref dims_row = Ref::steal(found);
    if (dims_row.get() == Py_None) return Ref{};
    return dims_row;
}

XmlResult<void> Writer::write_row(PyObject* cells, std::int64_t row) {
    QF_TRY_SET(Ref dims, attr(ws_.get(), names_.row_dimensions.get()));
    QF_TRY_SET(Ref row_dims, dims_get(dims.get(), row));
    QF_TRY(write_row_start(row, row_dims.get()));
    Ref it = Ref::steal(PyObject_GetIter(cells));
    if (!it) return std::unexpected(source_error());
    while (Ref cell = Ref::steal(PyIter_Next(it.get()))) {
        QF_TRY(write_one(cell.get()));
    }
    if (PyErr_Occurred()) return std::unexpected(source_error());
    return end_row();
}

int Writer::traverse(visitproc visit, void* arg) const {
    for (const Ref* r : {&ws_, &write_, &cell_styles_, &style_array_cls_, &hyperlinks_, &add_comment_, &write_cell_,
                         &date_value_, &date_value_raw_, &safe_string_, &any_}) {
        Py_VISIT(r->get());
    }
    for (const auto& [key, id] : style_ids_) Py_VISIT(id.get());
    if (cell_slots_) Py_VISIT(cell_slots_->cls());
    Py_VISIT(unslotted_.get());
    return 0;
}

std::vector<Ref> Writer::take_refs() {
    std::vector<Ref> refs;
    for (Ref* r : {&ws_, &write_, &cell_styles_, &style_array_cls_, &hyperlinks_, &add_comment_, &write_cell_,
                   &date_value_, &date_value_raw_, &safe_string_, &any_}) {
        refs.push_back(std::move(*r));
    }
    for (auto& [key, id] : style_ids_) refs.push_back(std::move(id));
    style_ids_.clear();
    if (cell_slots_) refs.push_back(Ref::borrow(cell_slots_->cls()));
    cell_slots_.reset();
    refs.push_back(std::move(unslotted_));
    return refs;
}

// ---- the Python type ----

namespace {

struct SheetWriterObject {
    PyObject_HEAD
    BorrowFlag borrow;
    Writer w;
};

SheetWriterObject* as_writer(PyObject* self) noexcept { return reinterpret_cast<SheetWriterObject*>(self); }

PyObject* finish(XmlResult<void>&& done) noexcept {
    if (!done) return fallback_err(std::move(done.error()));
    Py_RETURN_NONE;
}

PyObject* SheetWriter_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    return guard([&]() -> PyObject* {
        static const char* kwlist[] = {"ws", "write", "lxml", "helpers", nullptr};
        PyObject *ws, *write, *lxml, *helpers;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO:SheetWriter", const_cast<char**>(kwlist), &ws, &write,
                                         &lxml, &helpers)) {
            return nullptr;
        }
        if (!require_type("SheetWriter", "lxml", lxml, &PyBool_Type)) return nullptr;
        if (!require_dict("SheetWriter", "helpers", helpers)) return nullptr;
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        // Built in place before anything can fail, so dealloc always finds a whole object.
        SheetWriterObject* obj = as_writer(self.get());
        new (&obj->borrow) BorrowFlag();
        new (&obj->w) Writer();
        auto ready = obj->w.init(ws, write, lxml == Py_True, helpers);
        if (!ready) return fallback_err(std::move(ready.error()));
        return self.release();
    });
}

PyObject* SheetWriter_write_sheet_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* rows_fallback = nullptr;
        if (!parse_args("write_sheet_data", args, nargs, kwnames, {"rows_fallback"}, &rows_fallback)) return nullptr;
        auto borrow = Borrow::exclusive(as_writer(self)->borrow);
        if (!borrow) return nullptr;
        return finish(as_writer(self)->w.write_sheet_data(rows_fallback));
    });
}

PyObject* SheetWriter_write_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[2];
        if (!parse_args("write_row", args, nargs, kwnames, {"cells", "row_idx"}, a)) return nullptr;
        std::int64_t row = 0;
        if (!arg_int64("write_row", "row_idx", a[1], row)) return nullptr;
        auto borrow = Borrow::exclusive(as_writer(self)->borrow);
        if (!borrow) return nullptr;
        return finish(as_writer(self)->w.write_row(a[0], row));
    });
}

// write_frame(stream, first_row, header, style_of) -> (rows, columns)
PyObject* SheetWriter_write_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
        PyObject* a[4];
        if (!parse_args("write_frame", args, nargs, kwnames, {"stream", "first_row", "header", "style_of"}, a))
            return nullptr;
        std::int64_t first_row = 0;
        if (!arg_int64("write_frame", "first_row", a[1], first_row)) return nullptr;
        const int header = PyObject_IsTrue(a[2]);
        if (header < 0) return nullptr;
        auto frame = arrow::read_capsule(a[0], "write_frame");
        if (!frame) return nullptr;
        auto borrow = Borrow::exclusive(as_writer(self)->borrow);
        if (!borrow) return nullptr;
        Writer& w = as_writer(self)->w;
        auto written = w.write_frame(*frame, first_row, header != 0, a[3]);
        if (!written) {
            w.discard_buf();  // the caller drops what reached `write`
            return fallback_err(std::move(written.error()));
        }
        return Py_BuildValue("(LL)", static_cast<long long>(written->first), static_cast<long long>(written->second));
    });
}

PyObject* SheetWriter_flush(PyObject* self, PyObject*) noexcept {
    return guard([&]() -> PyObject* {
        auto borrow = Borrow::exclusive(as_writer(self)->borrow);
        if (!borrow) return nullptr;
        return finish(as_writer(self)->w.flush_buf());
    });
}

int SheetWriter_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    SheetWriterObject* obj = as_writer(self);
    // A running method may be adding to the style cache.
    if (obj->borrow.is_exclusive()) return 0;
    return obj->w.traverse(visit, arg);
}

int SheetWriter_clear(PyObject* self) noexcept {
    return guard([&]() -> int {
        SheetWriterObject* obj = as_writer(self);
        if (!obj->borrow.is_idle()) return 0;
        // Moved out first, dropped last: dropping runs arbitrary code.
        std::vector<Ref> dropped = obj->w.take_refs();
        return 0;
    }, -1);
}

void SheetWriter_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    SheetWriter_clear(self);
    as_writer(self)->w.~Writer();
    as_writer(self)->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef sheet_writer_methods[] = {
    {"write_sheet_data", as_cfunc(SheetWriter_write_sheet_data), METH_FASTCALL | METH_KEYWORDS,
     "write_sheet_data($self, rows_fallback)\n--\n\nWrite the whole `<sheetData>` element for `ws` "
     "(WorksheetWriter.write_rows).\n`rows_fallback` is `WorksheetWriter.rows` used when cell keys are not\n"
     "plain integer tuples."},
    {"write_row", as_cfunc(SheetWriter_write_row), METH_FASTCALL | METH_KEYWORDS,
     "write_row($self, cells, row_idx)\n--\n\nWrite one `<row>` from an iterable of cells (write-only worksheets)."},
    {"flush", as_cfunc(SheetWriter_flush), METH_NOARGS, "flush($self)\n--\n\n"},
    {"write_frame", as_cfunc(SheetWriter_write_frame), METH_FASTCALL | METH_KEYWORDS,
     "write_frame($self, stream, first_row, header, style_of)\n--\n\n"
     "Write the rows of a frame from a PyCapsule 'arrow_array_stream' (write-only worksheets):\n"
     "its column names first when `header`, from row `first_row` on; style_of(\"datetime\") and\n"
     "style_of(\"date\") give the style ids of dates. Returns (rows, columns).\n"
     "On an error nothing more is written and the text not yet handed to `write` is dropped."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sheet_writer_slots[] = {
    {Py_tp_doc, const_cast<char*>("SheetWriter(ws, write, lxml, helpers)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(SheetWriter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(SheetWriter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(SheetWriter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(SheetWriter_clear)},
    {Py_tp_methods, sheet_writer_methods},
    {0, nullptr},
};

PyType_Spec sheet_writer_spec = {
    .name = "_quillfen.SheetWriter",
    .basicsize = sizeof(SheetWriterObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = sheet_writer_slots,
};

PyMutex type_mutex;
PyObject* type_obj = nullptr;

}  // namespace

PyObject* sheet_writer_type() noexcept { return type_once(type_mutex, type_obj, sheet_writer_spec); }

}  // namespace qf::writer
