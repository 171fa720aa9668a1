// A finished table of typed columns and its export through the columnar interchange ABI
// (arrow/abi.hpp): the schema, record batches of a bounded number of rows, and a stream of them.
// Batches are views into the columns' buffers (an offset and a length each), so a table is held
// once however it is batched; every exported struct keeps what it shows alive by itself and
// frees only native memory when released, which needs no interpreter (a consumer may release on
// any thread, or after the interpreter is gone). Making the columns from Python objects is
// arrow_py's business.
#pragma once

#include "arrow/abi.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qf::arrow {

enum class Type : std::uint8_t {
    Null,         // "n": a column without any value
    Int64,        // "l"
    Float64,      // "g"
    Bool,         // "b": bit-packed
    TimestampUs,  // "tsu:": microseconds since 1970, no time zone
    Utf8,         // "u": int32 offsets
    LargeUtf8,    // "U": int64 offsets, when the text passes 2 GiB
    Dictionary,   // int32 indices ("i") into `dictionary`, a text column of the distinct values
};

// Bytes kept 8-aligned (every buffer the ABI reads here holds 1-, 4- or 8-byte items).
class Buffer {
public:
    // Never without storage once sized: an empty buffer still has an address to copy 0 bytes to.
    void resize(std::size_t bytes) { words_.resize(bytes ? (bytes + 7) / 8 : 1); bytes_ = bytes; }
    std::uint8_t* data() noexcept { return reinterpret_cast<std::uint8_t*>(words_.data()); }
    const std::uint8_t* data() const noexcept { return reinterpret_cast<const std::uint8_t*>(words_.data()); }
    std::size_t size() const noexcept { return bytes_; }
    bool empty() const noexcept { return bytes_ == 0; }

private:
    std::vector<std::uint64_t> words_;
    std::size_t bytes_ = 0;
};

struct Column {
    std::string name;
    Type type = Type::Null;
    std::int64_t length = 0;
    std::int64_t null_count = 0;
    Buffer validity;  // a bit per value, 1 where present; empty when nothing is missing
    Buffer values;    // the fixed-width values (bits for Bool), or the text's offsets
    std::string text;  // the text's bytes (Utf8, LargeUtf8), moved from the builder: never copied
    std::shared_ptr<const Column> dictionary;  // Dictionary: the distinct values, as Utf8
};

struct Table {
    std::vector<std::shared_ptr<const Column>> columns;
    std::int64_t rows = 0;
};

// Fills `out` with the table's schema: a struct of one field per column.
void export_schema(const Table& table, ArrowSchema* out);
// Fills `out` with rows [start, start + length) of the table as a struct array (a record batch).
void export_batch(const std::shared_ptr<const Table>& table, std::int64_t start, std::int64_t length,
                  ArrowArray* out);
// Fills `out` with a stream of the table's rows, `batch_rows` at a time (at least one batch,
// empty for a table without rows, so that a consumer always sees the schema's types).
void export_stream(std::shared_ptr<const Table> table, std::int64_t batch_rows, ArrowArrayStream* out);

// The exported schemas, arrays and streams whose release has not run yet (each child counts).
std::int64_t live_exports() noexcept;

// Dictionary-encodes a text column as its values come: an int32 index a row (0 where missing)
// into the distinct values, in order of first appearance; worth it only while it takes at most
// half the bytes of the plain column (`plain_bytes`: its text and 32-bit offsets).
class DictionaryEncoder {
public:
    DictionaryEncoder(std::int64_t length, std::size_t plain_bytes);
    // Whether the encoding is still worth it: once not, it never is again (it only grows) and
    // the caller makes the plain column.
    bool smaller() const noexcept { return smaller_; }
    void add(std::string_view value);
    void add_missing() noexcept { ++at_; }
    // The finished column (named by the caller), its validity `validity` unless none is missing.
    [[nodiscard]] Column finish(Buffer validity, std::int64_t null_count);

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, std::int32_t, Hash, std::equal_to<>> seen_;
    std::vector<std::int64_t> distinct_{0};
    std::string distinct_bytes_;
    Buffer indices_;
    std::size_t plain_bytes_;
    std::int64_t at_ = 0;
    bool smaller_ = true;
};

// Builds a text column from its values, as Utf8, LargeUtf8 or, with `dictionary`, dictionary-
// encoded when that takes fewer bytes.
class TextBuilder {
public:
    // `bytes`: the text's size when known, taken at once rather than grown.
    explicit TextBuilder(std::int64_t length, std::size_t bytes = 0);
    void add(std::string_view value);  // the next value
    void add_missing();
    std::int64_t null_count() const noexcept { return null_count_; }
    // The finished column (named by the caller).
    [[nodiscard]] Column finish(bool dictionary);

private:
    std::vector<std::int64_t> offsets_;
    std::string bytes_;
    Buffer validity_;
    std::int64_t at_ = 0;
    std::int64_t null_count_ = 0;
};

// Sets bit `i` of a validity (or boolean) bitmap.
inline void set_bit(std::uint8_t* bits, std::int64_t i) noexcept {
    bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
}

}  // namespace qf::arrow
