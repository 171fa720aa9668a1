// Reading a stream of record batches that another library exported through the interchange ABI
// (arrow/abi.hpp): the stream is taken over and released on every path, and each value of a
// batch is read in place, as the number, text or moment it is, without a Python object. Types
// the package writes natively are read here; any other is reported for the caller to hand the
// frame to the pure-Python path. Byte-level: no Python.h.
#pragma once

#include "arrow/abi.hpp"

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace qf::arrow {

// A value of a batch as a cell takes it.
struct InValue {
    enum Kind : std::uint8_t {
        EMPTY,     // missing
        INT,       // `i`
        FLOAT,     // `d`
        BOOL,      // `i` is 0 or 1
        TEXT,      // `text`, UTF-8 as the producer vouches for
        DATETIME,  // `i` microseconds since 1970
        DATE,      // `i` microseconds since 1970, a whole day
        OTHER,     // a value only Python can say (an int past 64 bits, a moment past them)
    } kind = EMPTY;
    std::int64_t i = 0;
    double d = 0;
    std::string_view text;
};

// Why a stream cannot be read: a type the reader does not take (the pure-Python path may), or
// the producer's own failure.
struct ReadError {
    bool unsupported = false;
    std::string message;
};

class StreamReader {
public:
    // Reads the stream's schema and takes the stream over (its release is left empty); a
    // stream it cannot read is left as it was.
    [[nodiscard]] static std::expected<StreamReader, ReadError> open(ArrowArrayStream* stream);
    StreamReader(StreamReader&& other) noexcept;
    StreamReader& operator=(StreamReader&&) = delete;
    ~StreamReader();

    const std::vector<std::string>& names() const noexcept { return names_; }
    // The next batch; false at the end.
    [[nodiscard]] std::expected<bool, ReadError> next();
    std::int64_t rows() const noexcept { return batch_.length; }
    InValue value(std::size_t column, std::int64_t row) const noexcept;

    // A column's type as read from its format.
    struct ColumnType {
        enum Kind : std::uint8_t { NUL, SINT, UINT, F32, F64, BOOL, UTF8, LARGE_UTF8, UTF8_VIEW, TIME, DATE32, DATE64 } kind = NUL;
        std::uint8_t width = 0;        // bytes of an int
        std::int64_t per_micro = 1;    // timestamps: units per microsecond (ns: 1000)
        std::int64_t micros_per = 1;   // timestamps: microseconds per unit (s: 1000000)
        bool dictionary = false;       // the values are indices (`kind` the index type) into text
        std::uint8_t text_kind = 0;    // the dictionary's text kind
    };

private:
    StreamReader() = default;
    void release_batch() noexcept;

    ArrowArrayStream stream_{};
    ArrowSchema schema_{};
    ArrowArray batch_{};
    std::vector<std::string> names_;
    std::vector<ColumnType> types_;
};

}  // namespace qf::arrow
