// Rows of a frame written straight from another library's record batches (see state.hpp):
// each value is read in place and becomes the cell the package writes for the same Python value
// (ints and floats in the writer's number text, booleans as "b" cells, text inline, date-times
// and dates as serial numbers with a date style), with no Python object per cell.
#include "writer/state.hpp"

#include "core/frame.hpp"

#include <cmath>

namespace qf::writer {
namespace {

constexpr std::int64_t MAX_ROW = 1048576;
constexpr std::int64_t MAX_SHEET_COLUMN = 16384;
constexpr std::size_t MAX_TEXT = 32767;  // characters a cell holds
constexpr std::int64_t MICROS_PER_DAY = 86400000000;
// The moments a Python datetime holds: 0001-01-01 to the last microsecond of 9999-12-31.
constexpr std::int64_t FIRST_MICROS = -62135596800000000;
constexpr std::int64_t LAST_MICROS = 253402300799999999;

XmlError value_error(std::string_view name, std::int64_t row, const char* what) {
    PyErr_Format(PyExc_ValueError, "column %.200s, row %lld: %s", std::string(name).c_str(),
                 static_cast<long long>(row), what);
    return source_error();
}

}  // namespace

// The style id texts of date-time and date cells, asked for once each.
struct Writer::FrameStyles {
    PyObject* style_of;
    std::optional<std::string> datetime, date;

    XmlResult<std::string_view> get(bool whole_date) {
        std::optional<std::string>& text = whole_date ? date : datetime;
        if (!text) {
            Ref kind = Ref::steal(PyUnicode_FromString(whole_date ? "date" : "datetime"));
            if (!kind) return std::unexpected(source_error());
            QF_TRY_SET(Ref id, call(style_of, {kind.get()}));
            auto utf8 = PyUnicode_Check(id.get()) ? utf8_of(id.get()) : std::nullopt;
            if (!utf8) {
                PyErr_SetString(PyExc_TypeError, "write_frame(): style_of() must return str");
                return std::unexpected(source_error());
            }
            text.emplace(*utf8);
        }
        return std::string_view(*text);
    }
};

XmlResult<void> Writer::frame_cell(const arrow::InValue& value, CellXml& cell, std::string_view name,
                                   FrameStyles& styles) {
    using arrow::InValue;
    char number[utils::NUM_MAX];
    Value written;
    std::string_view data_type = "n";
    switch (value.kind) {
        case InValue::INT:
            written = Value{Value::NUMBER, std::string_view(number, utils::write_num_int(number, value.i))};
            break;
        case InValue::FLOAT:
            // A file holds no NaN or infinity: the cell stays empty, as pandas' missing values do.
            if (!std::isfinite(value.d)) return {};
            written = Value{Value::NUMBER, std::string_view(number, utils::write_num_float(number, value.d))};
            break;
        case InValue::BOOL:
            data_type = "b";
            written = Value{Value::NUMBER, value.i ? "1" : "0"};
            break;
        case InValue::TEXT:
            if (utils::count_code_points(value.text) > MAX_TEXT)
                return std::unexpected(value_error(name, cell.row, "text longer than a cell holds (32767 characters)"));
            data_type = "s";
            written = Value{Value::TEXT, value.text};
            break;
        case InValue::DATETIME:
        case InValue::DATE: {
            std::optional<double> serial;
            if (epoch_ && value.i >= FIRST_MICROS && value.i <= LAST_MICROS)
                serial = to_serial(*epoch_, unix_micros_date_time(value.i));
            if (!serial) return std::unexpected(value_error(name, cell.row, "a date the workbook's epoch cannot hold"));
            // Whole days are written as ints, as the package's to_excel gives them.
            const bool whole = value.i % MICROS_PER_DAY == 0;
            const char* end = whole ? utils::write_num_int(number, static_cast<std::int64_t>(*serial))
                                    : utils::write_num_float(number, *serial);
            written = Value{Value::NUMBER, std::string_view(number, end)};
            QF_TRY_SET(cell.s, styles.get(value.kind == InValue::DATE));
            break;
        }
        case InValue::OTHER:
            return std::unexpected(value_error(name, cell.row, "a number beyond what a cell holds"));
        default:
            return {};
    }
    cell.t = t_of(data_type);
    const auto body = choose_body(data_type, written);
    if (!body) return std::unexpected(value_error(name, cell.row, "text with characters a file cannot hold"));
    cell.body = *body;
    cell.text = written.text;
    emit_cell(buf_, lxml_, cell);
    cell.s.reset();
    return {};
}

XmlResult<std::pair<std::int64_t, std::int64_t>> Writer::write_frame(arrow::StreamReader& frame,
                                                                      std::int64_t first_row, bool header,
                                                                      PyObject* style_of) {
    FrameStyles styles{style_of, {}, {}};
    const auto& names = frame.names();
    const auto width = static_cast<std::int64_t>(names.size());
    if (width > MAX_SHEET_COLUMN) {
        PyErr_Format(PyExc_ValueError, "a frame of %lld columns: a sheet has at most %lld", static_cast<long long>(width),
                     static_cast<long long>(MAX_SHEET_COLUMN));
        return std::unexpected(source_error());
    }
    if (iso_dates_) return std::unexpected(XmlError::unsupported("frames of workbooks that write ISO dates"));
    std::int64_t row = first_row;
    auto full = [&](std::int64_t rows) -> XmlResult<void> {
        if (row - 1 + rows <= MAX_ROW) return {};
        PyErr_Format(PyExc_ValueError, "the frame does not fit: a sheet has at most %lld rows",
                     static_cast<long long>(MAX_ROW));
        return std::unexpected(source_error());
    };
    if (header) {
        QF_TRY(full(1));
        QF_TRY(write_row_start(row, nullptr));
        for (std::int64_t c = 0; c < width; ++c) {
            CellXml cell;
            cell.row = row;
            cell.col = static_cast<std::uint32_t>(c + 1);
            arrow::InValue name;
            name.kind = arrow::InValue::TEXT;
            name.text = names[static_cast<std::size_t>(c)];
            QF_TRY(frame_cell(name, cell, "names", styles));
        }
        QF_TRY(end_row());
        ++row;
    }
    while (true) {
        auto more = frame.next();
        if (!more) {
            PyErr_Format(PyExc_RuntimeError, "the frame's stream failed: %s", more.error().message.c_str());
            return std::unexpected(source_error());
        }
        if (!*more) break;
        const std::int64_t rows = frame.rows();
        QF_TRY(full(rows));
        for (std::int64_t r = 0; r < rows; ++r, ++row) {
            QF_TRY(write_row_start(row, nullptr));
            for (std::int64_t c = 0; c < width; ++c) {
                CellXml cell;
                cell.row = row;
                cell.col = static_cast<std::uint32_t>(c + 1);
                const auto column = static_cast<std::size_t>(c);
                QF_TRY(frame_cell(frame.value(column, r), cell, names[column], styles));
            }
            QF_TRY(end_row());
        }
    }
    return std::pair{row - first_row, width};
}

}  // namespace qf::writer
