// The Arrow table export read back by the engine's own stream reader: every type, batches cut at
// any row (views with offsets), missing values, dictionaries, and every exported struct released
// exactly once however the consumer ends.
#include "arrow/reader.hpp"
#include "arrow/table.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace qf::arrow;

namespace {

std::shared_ptr<Column> fixed(const char* name, Type type, const std::vector<std::int64_t>& values,
                              const std::vector<bool>& present = {}) {
    auto c = std::make_shared<Column>();
    c->name = name;
    c->type = type;
    c->length = static_cast<std::int64_t>(values.size());
    c->values.resize(values.size() * 8);
    if (!values.empty()) std::memcpy(c->values.data(), values.data(), values.size() * 8);
    if (!present.empty()) {
        c->validity.resize((values.size() + 7) / 8);
        std::memset(c->validity.data(), 0, c->validity.size());
        for (std::size_t i = 0; i < present.size(); ++i) {
            if (present[i]) set_bit(c->validity.data(), static_cast<std::int64_t>(i));
            else ++c->null_count;
        }
    }
    return c;
}

std::shared_ptr<Column> text(const char* name, const std::vector<std::optional<std::string>>& values, bool dictionary) {
    TextBuilder builder(static_cast<std::int64_t>(values.size()));
    for (const auto& v : values) {
        if (v) builder.add(*v);
        else builder.add_missing();
    }
    auto c = std::make_shared<Column>(builder.finish(dictionary));
    c->name = name;
    return c;
}

constexpr double DOUBLES[] = {0.5, -1.0, 2.25, 1e300, 0.0, -0.0, 3.0};

std::shared_ptr<const Table> sample() {
    auto t = std::make_shared<Table>();
    t->rows = 7;
    t->columns.push_back(fixed("n", Type::Int64, {1, -2, 3, 4, 5, 6, 7}, {true, true, false, true, true, true, false}));
    std::vector<std::int64_t> doubles;
    for (double d : DOUBLES) doubles.push_back(std::bit_cast<std::int64_t>(d));
    t->columns.push_back(fixed("x", Type::Float64, doubles));
    t->columns.push_back(fixed("when", Type::TimestampUs, {0, -1, 86400000000, 1, 2, 3, 4}));
    std::vector<std::optional<std::string>> words;
    for (int i = 0; i < 7; ++i) words.push_back(i == 3 ? std::nullopt : std::optional<std::string>("a long repeated value"));
    t->columns.push_back(text("words", words, true));
    t->columns.push_back(text("plain", {"a", "bb", std::nullopt, "", "\xc3\xa9", "x", "yz"}, true));
    auto nothing = std::make_shared<Column>();
    nothing->name = "nothing";
    nothing->length = 7;
    nothing->null_count = 7;
    t->columns.push_back(nothing);
    return t;
}

}  // namespace

TEST(ArrowTable, ReadsBackThroughTheStreamInAnyBatching) {
    const auto table = sample();
    ASSERT_EQ(table->columns[3]->type, Type::Dictionary);  // the repeated text is smaller encoded
    ASSERT_EQ(table->columns[4]->type, Type::Utf8);
    for (std::int64_t batch_rows : {1, 3, 7, 100}) {
        ArrowArrayStream stream;
        export_stream(table, batch_rows, &stream);
        auto reader = StreamReader::open(&stream);
        ASSERT_TRUE(reader.has_value());
        EXPECT_EQ(stream.release, nullptr);  // taken over
        EXPECT_EQ(reader->names(), (std::vector<std::string>{"n", "x", "when", "words", "plain", "nothing"}));
        std::int64_t row = 0;
        while (true) {
            auto more = reader->next();
            ASSERT_TRUE(more.has_value());
            if (!*more) break;
            EXPECT_LE(reader->rows(), batch_rows);
            for (std::int64_t r = 0; r < reader->rows(); ++r, ++row) {
                const InValue n = reader->value(0, r);
                EXPECT_EQ(n.kind, row == 2 || row == 6 ? InValue::EMPTY : InValue::INT) << row;
                if (n.kind == InValue::INT) {
                    EXPECT_EQ(n.i, row == 1 ? -2 : row + 1);
                }
                EXPECT_EQ(std::bit_cast<std::int64_t>(reader->value(1, r).d),
                          std::bit_cast<std::int64_t>(DOUBLES[static_cast<std::size_t>(row)]));
                EXPECT_EQ(reader->value(2, r).kind, InValue::DATETIME);
                const InValue w = reader->value(3, r);
                EXPECT_EQ(w.kind, row == 3 ? InValue::EMPTY : InValue::TEXT);
                if (row != 3) {
                    EXPECT_EQ(w.text, "a long repeated value");
                }
                const InValue p = reader->value(4, r);
                EXPECT_EQ(p.kind, row == 2 ? InValue::EMPTY : InValue::TEXT);
                EXPECT_EQ(reader->value(5, r).kind, InValue::EMPTY);
            }
        }
        EXPECT_EQ(row, 7);
    }
    EXPECT_EQ(live_exports(), 0);
}

TEST(ArrowTable, EveryReleaseRunsOnceWhateverTheConsumerKeeps) {
    const auto table = sample();
    ArrowSchema schema;
    export_schema(*table, &schema);
    ArrowArray batch;
    export_batch(table, 2, 4, &batch);
    EXPECT_EQ(batch.children[0]->offset, 2);
    EXPECT_EQ(batch.children[0]->null_count, 1);  // row 2 of rows 2..5
    // A consumer moves a child and a dictionary out, then drops the rest.
    ArrowArray child = *batch.children[3];
    batch.children[3]->release = nullptr;
    ArrowSchema field = *schema.children[3];
    schema.children[3]->release = nullptr;
    batch.release(&batch);
    schema.release(&schema);
    EXPECT_GT(live_exports(), 0);
    ASSERT_NE(child.dictionary, nullptr);
    child.release(&child);
    field.release(&field);
    EXPECT_EQ(live_exports(), 0);
    // A stream dropped before its end, and one never read.
    ArrowArrayStream stream;
    export_stream(table, 2, &stream);
    ArrowArray first;
    ASSERT_EQ(stream.get_next(&stream, &first), 0);
    stream.release(&stream);
    first.release(&first);
    export_stream(table, 2, &stream);
    stream.release(&stream);
    EXPECT_EQ(live_exports(), 0);
}

TEST(ArrowTable, AnEmptyTableStillSendsOneBatch) {
    auto table = std::make_shared<Table>();
    table->columns.push_back(fixed("n", Type::Int64, {}));
    ArrowArrayStream stream;
    export_stream(table, 10, &stream);
    ArrowArray batch;
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    ASSERT_NE(batch.release, nullptr);
    EXPECT_EQ(batch.length, 0);
    batch.release(&batch);
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    EXPECT_EQ(batch.release, nullptr);
    stream.release(&stream);
}

TEST(StreamReader, RefusesTypesItDoesNotWrite) {
    // A stream whose one field is a decimal: reported as unsupported, the stream released.
    static ArrowSchema field{};
    static ArrowSchema* fields[] = {&field};
    struct Fake {
        static int schema(ArrowArrayStream*, ArrowSchema* out) {
            field = ArrowSchema{.format = "d:10,2", .name = "price", .metadata = nullptr, .flags = 2, .n_children = 0,
                                .children = nullptr, .dictionary = nullptr, .release = nullptr, .private_data = nullptr};
            *out = ArrowSchema{.format = "+s", .name = "", .metadata = nullptr, .flags = 0, .n_children = 1,
                               .children = fields, .dictionary = nullptr, .release = [](ArrowSchema* s) { s->release = nullptr; },
                               .private_data = nullptr};
            return 0;
        }
        static int next(ArrowArrayStream*, ArrowArray* out) {
            out->release = nullptr;
            return 0;
        }
        static const char* error(ArrowArrayStream*) { return nullptr; }
        static void release(ArrowArrayStream* s) { *static_cast<int*>(s->private_data) += 1; s->release = nullptr; }
    };
    int released = 0;
    ArrowArrayStream stream{Fake::schema, Fake::next, Fake::error, Fake::release, &released};
    {
        auto reader = StreamReader::open(&stream);
        ASSERT_FALSE(reader.has_value());
        EXPECT_TRUE(reader.error().unsupported);
    }
    // Left to its owner, unread, for another reader to take; released once when the owner does.
    EXPECT_EQ(released, 0);
    ASSERT_NE(stream.release, nullptr);
    stream.release(&stream);
    EXPECT_EQ(released, 1);
}
