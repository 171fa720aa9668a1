// Helper table, parser settings and style-id sets (see helpers.hpp).
#include "helpers.hpp"

#include "core/frame.hpp"
#include "dates_py.hpp"

#include <algorithm>
#include <string>

namespace qf {
namespace {

XmlError raised() { return source_error(); }

// Iterates `value` into a NameSet; every item must be a str.
XmlResult<NameSet> name_set(PyObject* value, const char* key) {
    Ref iter = Ref::steal(PyObject_GetIter(value));
    if (!iter) return std::unexpected(raised());
    NameSet set;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (!PyUnicode_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "helper %s must hold str items, not %T", key, item.get());
            return std::unexpected(raised());
        }
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &len);
        if (!utf8) return std::unexpected(raised());
        set.insert(std::string_view(utf8, static_cast<std::size_t>(len)));
    }
    if (PyErr_Occurred()) return std::unexpected(raised());
    return set;
}

XmlResult<bool> truth_attr(PyObject* obj, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
    if (!value) return std::unexpected(raised());
    const int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return std::unexpected(raised());
    return truth == 1;
}

XmlResult<IdSet> int_set_attr(PyObject* obj, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
    if (!value) return std::unexpected(raised());
    return int_set(value.get());
}

}  // namespace

void NameSet::insert(std::string_view name) {
    auto it = std::lower_bound(names_.begin(), names_.end(), name);
    if (it == names_.end() || *it != name) names_.insert(it, std::string(name));
}

bool NameSet::contains(std::string_view name) const noexcept {
    auto it = std::lower_bound(names_.begin(), names_.end(), name);
    return it != names_.end() && *it == name;
}

void IdSet::insert(std::int64_t id) {
    auto it = std::lower_bound(ids_.begin(), ids_.end(), id);
    if (it == ids_.end() || *it != id) ids_.insert(it, id);
    if (id >= 0 && id < BITMAP_IDS) {
        const auto word = static_cast<std::size_t>(id) >> 6;
        if (word >= bits_.size()) bits_.resize(word + 1);
        bits_[word] |= std::uint64_t{1} << (id & 63);
    }
}

bool IdSet::contains_large(std::int64_t id) const noexcept {
    return std::binary_search(ids_.begin(), ids_.end(), id);
}

XmlResult<Ref> helper_item(PyObject* dict, const char* key) {
    Ref name = Ref::steal(PyUnicode_FromString(key));
    if (!name) return std::unexpected(raised());
    PyObject* found = nullptr;
    // PyDict_GetItemRef looks into the dict's own table: a subclass's __getitem__, get or
    // __missing__ is never consulted, so every entry point sees the same table.
    const int status = PyDict_GetItemRef(dict, name.get(), &found);
    if (status < 0) return std::unexpected(raised());
    if (status == 0) {
        PyErr_Format(PyExc_TypeError, "missing helper %s", key);
        return std::unexpected(raised());
    }
    return Ref::steal(found);
}

XmlResult<Helpers> Helpers::from_dict(PyObject* helpers) {
    if (!PyDict_Check(helpers)) {
        PyErr_Format(PyExc_TypeError, "helpers must be a dict, not %T", helpers);
        return std::unexpected(raised());
    }
    Helpers h;
    QF_TRY_SET(h.int_, helper_item(helpers, "int"));
    QF_TRY_SET(h.float_, helper_item(helpers, "float"));
    QF_TRY_SET(h.coordinate_to_tuple, helper_item(helpers, "coordinate_to_tuple"));
    QF_TRY_SET(h.row_index, helper_item(helpers, "row_index"));
    QF_TRY_SET(h.from_excel, helper_item(helpers, "from_excel"));
    QF_TRY_SET(h.from_iso8601, helper_item(helpers, "from_ISO8601"));
    QF_TRY_SET(h.date_warning, helper_item(helpers, "date_warning"));
    QF_TRY_SET(h.array_formula, helper_item(helpers, "ArrayFormula"));
    QF_TRY_SET(h.data_table_formula, helper_item(helpers, "DataTableFormula"));
    QF_TRY_SET(h.translator, helper_item(helpers, "Translator"));
    QF_TRY_SET(h.tokenizer_error, helper_item(helpers, "TokenizerError"));
    QF_TRY_SET(h.translator_error, helper_item(helpers, "TranslatorError"));
    QF_TRY_SET(h.text_content, helper_item(helpers, "text_content"));
    QF_TRY_SET(h.rich_inline, helper_item(helpers, "rich_inline"));
    QF_TRY_SET(h.validate_rpr, helper_item(helpers, "validate_rpr"));
    {
        PyObject* found = nullptr;
        if (PyDict_GetItemStringRef(helpers, "kept_runs", &found) < 0) return std::unexpected(raised());
        h.kept_runs = Ref::steal(found);
    }
    // Both names are looked up before either is iterated, so a missing key is reported as
    // such even when the other set is malformed.
    QF_TRY_SET(Ref text_dangerous, helper_item(helpers, "text_dangerous"));
    QF_TRY_SET(Ref rich_dangerous, helper_item(helpers, "rich_dangerous"));
    QF_TRY_SET(h.text_dangerous, name_set(text_dangerous.get(), "text_dangerous"));
    QF_TRY_SET(h.rich_dangerous, name_set(rich_dangerous.get(), "rich_dangerous"));
    return h;
}

namespace {

// An optional flag of the parser: only a missing attribute means "off", as
// getattr(parser, name, False) has it; any other error of the lookup is the caller's.
XmlResult<bool> optional_truth_attr(PyObject* parser, const char* name) {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(parser, name, &found) < 0) return std::unexpected(raised());
    Ref held = Ref::steal(found);
    if (!held) return false;
    const int truth = PyObject_IsTrue(held.get());
    if (truth < 0) return std::unexpected(raised());
    return truth == 1;
}

}  // namespace

XmlResult<Settings> Settings::from_parser(PyObject* parser) {
    // Each attribute is read once: a property that answered differently on a second read
    // would leave the native length of the strings and the list they index out of step.
    Settings s;
    s.epoch_obj = Ref::steal(PyObject_GetAttrString(parser, "epoch"));
    if (!s.epoch_obj) return std::unexpected(raised());
    QF_TRY_SET(s.epoch, read_epoch(s.epoch_obj.get()));
    QF_TRY_SET(s.formula_and_value, optional_truth_attr(parser, "formula_and_value"));
    s.shared_strings = Ref::steal(PyObject_GetAttrString(parser, "shared_strings"));
    if (!s.shared_strings) return std::unexpected(raised());
    // Only an exact list may be indexed natively; anything else is indexed through Python.
    s.shared_strings_len = PyList_CheckExact(s.shared_strings.get())
                               ? static_cast<std::size_t>(PyList_GET_SIZE(s.shared_strings.get()))
                               : 0;
    QF_TRY_SET(s.data_only, truth_attr(parser, "data_only"));
    QF_TRY_SET(s.rich_text, truth_attr(parser, "rich_text"));
    QF_TRY_SET(s.date_formats, int_set_attr(parser, "date_formats"));
    QF_TRY_SET(s.timedelta_formats, int_set_attr(parser, "timedelta_formats"));
    {
        PyObject* found = nullptr;
        if (PyObject_GetOptionalAttrString(parser, "time_formats", &found) < 0) return std::unexpected(raised());
        Ref held = Ref::steal(found);
        if (held) {
            QF_TRY_SET(s.time_formats, int_set(held.get()));
        }
    }
    QF_TRY_SET(s.keep_cells, optional_truth_attr(parser, "keep_cells"));
    if (s.keep_cells) {
        PyObject* found = nullptr;
        if (PyObject_GetOptionalAttrString(parser, "kept_styles", &found) < 0) return std::unexpected(raised());
        Ref kept_styles = Ref::steal(found);
        if (kept_styles) {
            QF_TRY_SET(s.kept_styles, int_set(kept_styles.get()));
        }
    }
    return s;
}

XmlResult<IdSet> int_set(PyObject* obj) {
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) return std::unexpected(raised());
    IdSet set;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        // Only real ints count, checked first: the integer protocol would also take bools and
        // run the __index__ of any other object, whose errors would then have to be swallowed.
        if (!PyLong_Check(item.get()) || PyBool_Check(item.get())) continue;
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(item.get(), &overflow);
        if (overflow != 0) continue;  // beyond 64 bits: not a style id
        if (v == -1 && PyErr_Occurred()) return std::unexpected(raised());
        set.insert(static_cast<std::int64_t>(v));
    }
    if (PyErr_Occurred()) return std::unexpected(raised());
    return set;
}

}  // namespace qf
