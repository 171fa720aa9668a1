// Export of a finished table through the interchange ABI (see table.hpp).
#include "arrow/table.hpp"

#include <algorithm>
#include <atomic>
#include <array>
#include <cstring>
#include <limits>
#include <unordered_map>

namespace qf::arrow {
namespace {

// Exported structs not yet released, for the tests that check every release runs once.
std::atomic<std::int64_t> live_nodes{0};

const char* format_of(Type type) noexcept {
    switch (type) {
        case Type::Null: return "n";
        case Type::Int64: return "l";
        case Type::Float64: return "g";
        case Type::Bool: return "b";
        case Type::TimestampUs: return "tsu:";
        case Type::Utf8: return "u";
        case Type::LargeUtf8: return "U";
        case Type::Dictionary: return "i";
    }
    return "n";
}

// ---- schema

// What an exported schema node owns: its name and its children (each of which owns itself).
struct SchemaNode {
    SchemaNode() noexcept { ++live_nodes; }
    ~SchemaNode() { --live_nodes; }
    std::string name;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_ptrs;
    std::unique_ptr<ArrowSchema> dictionary;
};

// Releases an exported schema or array: its children and dictionary first (one the consumer
// moved out has no release of its own any more), then what its node keeps.
template <class Struct, class Node>
void release_node(Struct* exported) noexcept {
    if (!exported || !exported->release) return;
    auto* node = static_cast<Node*>(exported->private_data);
    for (Struct* child : node->child_ptrs)
        if (child->release) child->release(child);
    if (node->dictionary && node->dictionary->release) node->dictionary->release(node->dictionary.get());
    delete node;
    exported->release = nullptr;
}

void release_schema(ArrowSchema* schema) noexcept { release_node<ArrowSchema, SchemaNode>(schema); }

void fill_schema(ArrowSchema* out, const char* format, std::string name, std::int64_t flags, SchemaNode* node) {
    node->name = std::move(name);
    *out = ArrowSchema{
        .format = format,
        .name = node->name.c_str(),
        .metadata = nullptr,
        .flags = flags,
        .n_children = static_cast<std::int64_t>(node->child_ptrs.size()),
        .children = node->child_ptrs.empty() ? nullptr : node->child_ptrs.data(),
        .dictionary = node->dictionary.get(),
        .release = release_schema,
        .private_data = node,
    };
}

void column_schema(const Column& column, ArrowSchema* out) {
    auto node = std::make_unique<SchemaNode>();
    if (column.type == Type::Dictionary) {
        node->dictionary = std::make_unique<ArrowSchema>();
        fill_schema(node->dictionary.get(), format_of(column.dictionary->type), "", ARROW_FLAG_NULLABLE, new SchemaNode());
    }
    fill_schema(out, format_of(column.type), column.name, ARROW_FLAG_NULLABLE, node.release());
}

// ---- arrays

// What an exported array node owns: a share of the column (or table) whose buffers it shows,
// the buffer pointers and its children (each of which owns itself).
struct ArrayNode {
    ArrayNode() noexcept { ++live_nodes; }
    ~ArrayNode() { --live_nodes; }
    std::shared_ptr<const void> keep;
    std::array<const void*, 3> buffers{};
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_ptrs;
    std::unique_ptr<ArrowArray> dictionary;
};

void release_array(ArrowArray* array) noexcept { release_node<ArrowArray, ArrayNode>(array); }

// Values missing among [start, start + length) of a validity bitmap.
std::int64_t nulls_in(const Column& column, std::int64_t start, std::int64_t length) noexcept {
    if (column.validity.empty()) return 0;
    if (start == 0 && length == column.length) return column.null_count;
    const std::uint8_t* bits = column.validity.data();
    std::int64_t present = 0;
    for (std::int64_t i = start; i < start + length; ++i) present += (bits[i >> 3] >> (i & 7)) & 1;
    return length - present;
}

void column_array(const std::shared_ptr<const Column>& column, std::int64_t start, std::int64_t length,
                  ArrowArray* out) {
    auto node = std::make_unique<ArrayNode>();
    node->keep = column;
    std::int64_t n_buffers = 2;
    std::int64_t null_count = 0;
    if (column->type == Type::Null) {
        n_buffers = 0;  // a null array has no buffers at all
        null_count = length;
    } else {
        null_count = nulls_in(*column, start, length);
        node->buffers[0] = column->validity.empty() ? nullptr : column->validity.data();
        node->buffers[1] = column->values.data();
        if (column->type == Type::Utf8 || column->type == Type::LargeUtf8) {
            n_buffers = 3;
            node->buffers[2] = column->text.data();
        }
        if (column->type == Type::Dictionary) {
            node->dictionary = std::make_unique<ArrowArray>();
            column_array(column->dictionary, 0, column->dictionary->length, node->dictionary.get());
        }
    }
    ArrayNode* raw = node.release();
    *out = ArrowArray{
        .length = length,
        .null_count = null_count,
        .offset = start,
        .n_buffers = n_buffers,
        .n_children = 0,
        .buffers = raw->buffers.data(),
        .children = nullptr,
        .dictionary = raw->dictionary.get(),
        .release = release_array,
        .private_data = raw,
    };
}

// ---- stream

struct StreamState {
    StreamState() noexcept { ++live_nodes; }
    ~StreamState() { --live_nodes; }
    std::shared_ptr<const Table> table;
    std::int64_t batch_rows = 1;
    std::int64_t next = 0;
    bool sent = false;  // at least one batch was handed out
    std::string error;
};

StreamState* state_of(ArrowArrayStream* stream) noexcept { return static_cast<StreamState*>(stream->private_data); }

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    try {
        export_schema(*state_of(stream)->table, out);
        return 0;
    } catch (...) {
        state_of(stream)->error = "out of memory";
        return 12;  // ENOMEM
    }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
    StreamState* st = state_of(stream);
    try {
        const std::int64_t rows = st->table->rows;
        if (st->next >= rows && st->sent) {
            out->release = nullptr;  // the end of the stream
            return 0;
        }
        const std::int64_t length = std::min(st->batch_rows, rows - st->next);
        export_batch(st->table, st->next, length, out);
        st->next += length;
        st->sent = true;
        return 0;
    } catch (...) {
        st->error = "out of memory";
        return 12;
    }
}

const char* stream_error(ArrowArrayStream* stream) noexcept {
    StreamState* st = state_of(stream);
    return st->error.empty() ? nullptr : st->error.c_str();
}

void stream_release(ArrowArrayStream* stream) noexcept {
    if (!stream || !stream->release) return;
    delete state_of(stream);
    stream->release = nullptr;
}

}  // namespace

std::int64_t live_exports() noexcept { return live_nodes.load(); }

void export_schema(const Table& table, ArrowSchema* out) {
    auto node = std::make_unique<SchemaNode>();
    node->children.resize(table.columns.size());
    for (ArrowSchema& child : node->children) child.release = nullptr;
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        column_schema(*table.columns[i], &node->children[i]);  // a failure leaves the made ones to the node
        node->child_ptrs.push_back(&node->children[i]);
    }
    fill_schema(out, "+s", "", 0, node.release());
}

void export_batch(const std::shared_ptr<const Table>& table, std::int64_t start, std::int64_t length,
                  ArrowArray* out) {
    auto node = std::make_unique<ArrayNode>();
    node->keep = table;
    node->children.resize(table->columns.size());
    for (ArrowArray& child : node->children) child.release = nullptr;
    for (std::size_t i = 0; i < table->columns.size(); ++i) {
        column_array(table->columns[i], start, length, &node->children[i]);
        node->child_ptrs.push_back(&node->children[i]);
    }
    ArrayNode* raw = node.release();
    *out = ArrowArray{
        .length = length,
        .null_count = 0,
        .offset = 0,
        .n_buffers = 1,  // a struct array's validity only: every row is there
        .n_children = static_cast<std::int64_t>(raw->child_ptrs.size()),
        .buffers = raw->buffers.data(),
        .children = raw->child_ptrs.empty() ? nullptr : raw->child_ptrs.data(),
        .dictionary = nullptr,
        .release = release_array,
        .private_data = raw,
    };
}

void export_stream(std::shared_ptr<const Table> table, std::int64_t batch_rows, ArrowArrayStream* out) {
    auto st = std::make_unique<StreamState>();
    st->table = std::move(table);
    st->batch_rows = std::max<std::int64_t>(batch_rows, 1);
    *out = ArrowArrayStream{
        .get_schema = stream_schema,
        .get_next = stream_next,
        .get_last_error = stream_error,
        .release = stream_release,
        .private_data = st.release(),
    };
}

// ---- text

TextBuilder::TextBuilder(std::int64_t length, std::size_t bytes) {
    bytes_.reserve(bytes);
    offsets_.reserve(static_cast<std::size_t>(length) + 1);
    offsets_.push_back(0);
    validity_.resize(static_cast<std::size_t>((length + 7) / 8));
    std::memset(validity_.data(), 0, validity_.size());
}

void TextBuilder::add(std::string_view value) {
    bytes_.append(value);
    offsets_.push_back(static_cast<std::int64_t>(bytes_.size()));
    set_bit(validity_.data(), at_++);
}

void TextBuilder::add_missing() {
    offsets_.push_back(static_cast<std::int64_t>(bytes_.size()));
    ++at_;
    ++null_count_;
}

namespace {

// Offsets as the column's type stores them: 32-bit unless the text passes what they can count.
Type put_offsets(Buffer& out, const std::vector<std::int64_t>& offsets) {
    if (offsets.back() <= std::numeric_limits<std::int32_t>::max()) {
        out.resize(offsets.size() * 4);
        auto* to = reinterpret_cast<std::int32_t*>(out.data());
        for (std::int64_t o : offsets) *to++ = static_cast<std::int32_t>(o);
        return Type::Utf8;
    }
    out.resize(offsets.size() * 8);
    std::memcpy(out.data(), offsets.data(), out.size());
    return Type::LargeUtf8;
}

}  // namespace

DictionaryEncoder::DictionaryEncoder(std::int64_t length, std::size_t plain_bytes) : plain_bytes_(plain_bytes) {
    indices_.resize(static_cast<std::size_t>(length) * 4);  // the column's own values if it is encoded
    std::memset(indices_.data(), 0, indices_.size());
    smaller_ = (4 + indices_.size()) * 2 <= plain_bytes_;
}

void DictionaryEncoder::add(std::string_view value) {
    auto it = seen_.find(value);
    if (it == seen_.end()) {
        it = seen_.emplace(std::string(value), static_cast<std::int32_t>(seen_.size())).first;
        distinct_bytes_.append(value);
        distinct_.push_back(static_cast<std::int64_t>(distinct_bytes_.size()));
        smaller_ = (distinct_bytes_.size() + distinct_.size() * 4 + indices_.size()) * 2 <= plain_bytes_;
    }
    reinterpret_cast<std::int32_t*>(indices_.data())[at_++] = it->second;
}

Column DictionaryEncoder::finish(Buffer validity, std::int64_t null_count) {
    auto values = std::make_shared<Column>();
    values->length = static_cast<std::int64_t>(distinct_.size()) - 1;
    values->type = put_offsets(values->values, distinct_);
    values->text = std::move(distinct_bytes_);
    Column column;
    column.type = Type::Dictionary;
    column.length = at_;
    column.null_count = null_count;
    if (null_count) column.validity = std::move(validity);
    column.values = std::move(indices_);
    column.dictionary = std::move(values);
    return column;
}

Column TextBuilder::finish(bool dictionary) {
    if (dictionary && at_ > 0) {
        DictionaryEncoder encoder(at_, bytes_.size() + offsets_.size() * 4);
        const std::uint8_t* bits = validity_.data();
        for (std::int64_t i = 0; i < at_ && encoder.smaller(); ++i) {
            if (!((bits[i >> 3] >> (i & 7)) & 1)) {
                encoder.add_missing();
                continue;
            }
            const auto from = offsets_[static_cast<std::size_t>(i)], to = offsets_[static_cast<std::size_t>(i) + 1];
            encoder.add({bytes_.data() + from, static_cast<std::size_t>(to - from)});
        }
        if (encoder.smaller()) return encoder.finish(std::move(validity_), null_count_);
    }
    Column column;
    column.length = at_;
    column.null_count = null_count_;
    if (null_count_) column.validity = std::move(validity_);
    column.type = put_offsets(column.values, offsets_);
    column.text = std::move(bytes_);
    return column;
}

}  // namespace qf::arrow
