// Reading another library's record batches in place (see reader.hpp).
#include "arrow/reader.hpp"

#include <cstring>
#include <limits>
#include <utility>

namespace qf::arrow {
namespace {

using ColumnType = StreamReader::ColumnType;

bool bit(const void* bits, std::int64_t i) noexcept {
    return (static_cast<const std::uint8_t*>(bits)[i >> 3] >> (i & 7)) & 1;
}

template <class T>
T load(const void* buffer, std::int64_t i) noexcept {
    T v;
    std::memcpy(&v, static_cast<const std::uint8_t*>(buffer) + i * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
    return v;
}

bool is_text(std::string_view f) noexcept { return f == "u" || f == "U" || f == "vu"; }

std::uint8_t text_kind(std::string_view f) noexcept {
    return f == "u" ? ColumnType::UTF8 : f == "U" ? ColumnType::LARGE_UTF8 : ColumnType::UTF8_VIEW;
}

// The reader's type of a field's format, or an error naming what it cannot read.
std::expected<ColumnType, ReadError> type_of(const ArrowSchema& field) {
    const std::string_view f(field.format ? field.format : "");
    ColumnType t;
    auto ints = [&](std::string_view code) -> bool {
        static constexpr std::string_view SIGNED = "csil", UNSIGNED = "CSIL";
        static constexpr std::uint8_t WIDTHS[] = {1, 2, 4, 8};
        if (code.size() != 1) return false;
        if (auto at = SIGNED.find(code[0]); at != std::string_view::npos) {
            t.kind = ColumnType::SINT;
            t.width = WIDTHS[at];
            return true;
        }
        if (auto at = UNSIGNED.find(code[0]); at != std::string_view::npos) {
            t.kind = ColumnType::UINT;
            t.width = WIDTHS[at];
            return true;
        }
        return false;
    };
    if (field.dictionary) {
        const std::string_view values(field.dictionary->format ? field.dictionary->format : "");
        if (!ints(f) || !is_text(values)) return std::unexpected(ReadError{true, "a dictionary of " + std::string(values)});
        t.dictionary = true;
        t.text_kind = text_kind(values);
        return t;
    }
    if (ints(f)) return t;
    if (f == "n") t.kind = ColumnType::NUL;
    else if (f == "f") t.kind = ColumnType::F32;
    else if (f == "g") t.kind = ColumnType::F64;
    else if (f == "b") t.kind = ColumnType::BOOL;
    else if (is_text(f)) t.kind = static_cast<ColumnType::Kind>(text_kind(f));
    else if (f == "tdD") t.kind = ColumnType::DATE32;
    else if (f == "tdm") t.kind = ColumnType::DATE64;
    else if (f.size() >= 4 && f.substr(0, 2) == "ts" && f[3] == ':') {
        if (f.size() > 4) return std::unexpected(ReadError{true, "time stamps with a time zone"});
        t.kind = ColumnType::TIME;
        switch (f[2]) {
            case 's': t.micros_per = 1000000; break;
            case 'm': t.micros_per = 1000; break;
            case 'u': break;
            case 'n': t.per_micro = 1000; break;
            default: return std::unexpected(ReadError{true, "the format " + std::string(f)});
        }
    } else {
        return std::unexpected(ReadError{true, "the format " + std::string(f)});
    }
    return t;
}

// The text at `index` of a text array of kind `kind`.
std::string_view text_at(const ArrowArray& a, std::uint8_t kind, std::int64_t index) noexcept {
    const std::int64_t i = index + a.offset;
    if (kind == ColumnType::UTF8) {
        const auto from = load<std::int32_t>(a.buffers[1], i), to = load<std::int32_t>(a.buffers[1], i + 1);
        return {static_cast<const char*>(a.buffers[2]) + from, static_cast<std::size_t>(to - from)};
    }
    if (kind == ColumnType::LARGE_UTF8) {
        const auto from = load<std::int64_t>(a.buffers[1], i), to = load<std::int64_t>(a.buffers[1], i + 1);
        return {static_cast<const char*>(a.buffers[2]) + from, static_cast<std::size_t>(to - from)};
    }
    // A view: 4 bytes of length, then up to 12 bytes inline, or a prefix, a buffer and an offset.
    const auto* view = static_cast<const std::uint8_t*>(a.buffers[1]) + i * 16;
    std::int32_t length;
    std::memcpy(&length, view, 4);
    if (length <= 12) return {reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(length)};
    std::int32_t buffer, offset;
    std::memcpy(&buffer, view + 8, 4);
    std::memcpy(&offset, view + 12, 4);
    return {static_cast<const char*>(a.buffers[2 + buffer]) + offset, static_cast<std::size_t>(length)};
}

std::int64_t int_at(const void* buffer, std::uint8_t width, std::int64_t i) noexcept {
    switch (width) {
        case 1: return load<std::int8_t>(buffer, i);
        case 2: return load<std::int16_t>(buffer, i);
        case 4: return load<std::int32_t>(buffer, i);
        default: return load<std::int64_t>(buffer, i);
    }
}

std::uint64_t uint_at(const void* buffer, std::uint8_t width, std::int64_t i) noexcept {
    switch (width) {
        case 1: return load<std::uint8_t>(buffer, i);
        case 2: return load<std::uint16_t>(buffer, i);
        case 4: return load<std::uint32_t>(buffer, i);
        default: return load<std::uint64_t>(buffer, i);
    }
}

// Floor division, as Python's: a moment before 1970 stays before it.
std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

constexpr std::int64_t MICROS_PER_DAY = 86400000000;

ReadError producer_error(ArrowArrayStream& stream, int code) {
    const char* message = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
    return ReadError{false, message ? std::string(message) : "error " + std::to_string(code)};
}

}  // namespace

std::expected<StreamReader, ReadError> StreamReader::open(ArrowArrayStream* stream) {
    // The schema is read and checked before the stream is taken over: a stream of types the
    // reader does not take is left to its owner, whose other reader may take it (a producer
    // whose stream can be read once has nothing else to give).
    StreamReader reader;
    if (int code = stream->get_schema(stream, &reader.schema_)) return std::unexpected(producer_error(*stream, code));
    const ArrowSchema& s = reader.schema_;
    if (!s.format || std::string_view(s.format) != "+s")
        return std::unexpected(ReadError{true, "a stream of " + std::string(s.format ? s.format : "?")});
    for (std::int64_t i = 0; i < s.n_children; ++i) {
        const ArrowSchema& field = *s.children[i];
        auto type = type_of(field);
        if (!type) return std::unexpected(std::move(type.error()));
        reader.types_.push_back(*type);
        reader.names_.emplace_back(field.name ? field.name : "");
    }
    reader.stream_ = *stream;
    stream->release = nullptr;  // moved: ours to release
    return reader;
}

StreamReader::StreamReader(StreamReader&& other) noexcept
    : stream_(std::exchange(other.stream_, {})), schema_(std::exchange(other.schema_, {})),
      batch_(std::exchange(other.batch_, {})), names_(std::move(other.names_)), types_(std::move(other.types_)) {}

StreamReader::~StreamReader() {
    release_batch();
    if (schema_.release) schema_.release(&schema_);
    if (stream_.release) stream_.release(&stream_);
}

void StreamReader::release_batch() noexcept {
    if (batch_.release) batch_.release(&batch_);
    batch_ = ArrowArray{};
}

std::expected<bool, ReadError> StreamReader::next() {
    release_batch();
    if (int code = stream_.get_next(&stream_, &batch_)) return std::unexpected(producer_error(stream_, code));
    if (!batch_.release) return false;
    if (batch_.n_children != static_cast<std::int64_t>(types_.size()))
        return std::unexpected(ReadError{false, "a batch whose columns are not the schema's"});
    // A struct batch with its own missing rows or offset is not a table's.
    if (batch_.offset != 0 || (batch_.n_buffers > 0 && batch_.buffers[0] && batch_.null_count != 0))
        return std::unexpected(ReadError{true, "a batch with missing rows"});
    for (std::int64_t i = 0; i < batch_.n_children; ++i)
        if (batch_.children[i]->length < batch_.length)
            return std::unexpected(ReadError{false, "a column shorter than its batch"});
    return true;
}

InValue StreamReader::value(std::size_t column, std::int64_t row) const noexcept {
    const ArrowArray& a = *batch_.children[column];
    const ColumnType& t = types_[column];
    InValue v;
    if (t.kind == ColumnType::NUL && !t.dictionary) return v;
    const std::int64_t i = row + a.offset;
    if (a.null_count != 0 && a.buffers[0] && !bit(a.buffers[0], i)) return v;
    if (t.dictionary) {
        const std::int64_t index = t.kind == ColumnType::UINT ? static_cast<std::int64_t>(uint_at(a.buffers[1], t.width, i))
                                                              : int_at(a.buffers[1], t.width, i);
        const ArrowArray& values = *a.dictionary;
        if (index < 0 || index >= values.length) return v;
        if (values.null_count != 0 && values.buffers[0] && !bit(values.buffers[0], index + values.offset)) return v;
        v.kind = InValue::TEXT;
        v.text = text_at(values, t.text_kind, index);
        return v;
    }
    switch (t.kind) {
        case ColumnType::SINT:
            v.kind = InValue::INT;
            v.i = int_at(a.buffers[1], t.width, i);
            break;
        case ColumnType::UINT: {
            const std::uint64_t u = uint_at(a.buffers[1], t.width, i);
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                v.kind = InValue::OTHER;
            } else {
                v.kind = InValue::INT;
                v.i = static_cast<std::int64_t>(u);
            }
            break;
        }
        case ColumnType::F32:
            v.kind = InValue::FLOAT;
            v.d = load<float>(a.buffers[1], i);
            break;
        case ColumnType::F64:
            v.kind = InValue::FLOAT;
            v.d = load<double>(a.buffers[1], i);
            break;
        case ColumnType::BOOL:
            v.kind = InValue::BOOL;
            v.i = bit(a.buffers[1], i);
            break;
        case ColumnType::UTF8:
        case ColumnType::LARGE_UTF8:
        case ColumnType::UTF8_VIEW:
            v.kind = InValue::TEXT;
            v.text = text_at(a, t.kind, row);
            break;
        case ColumnType::TIME: {
            const std::int64_t n = load<std::int64_t>(a.buffers[1], i);
            v.kind = InValue::DATETIME;
            if (t.per_micro > 1) v.i = floor_div(n, t.per_micro);
            else if (__builtin_mul_overflow(n, t.micros_per, &v.i)) v.kind = InValue::OTHER;
            break;
        }
        case ColumnType::DATE32:
            v.kind = InValue::DATE;
            v.i = static_cast<std::int64_t>(load<std::int32_t>(a.buffers[1], i)) * MICROS_PER_DAY;
            break;
        case ColumnType::DATE64:
            v.kind = InValue::DATE;
            v.i = floor_div(load<std::int64_t>(a.buffers[1], i), 86400000) * MICROS_PER_DAY;
            break;
        default: break;
    }
    return v;
}

}  // namespace qf::arrow
