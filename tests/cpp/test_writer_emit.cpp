// Cell element bytes in both serialiser styles, the choice of a cell's body and the test for
// text XML cannot hold: tables of inputs with the exact bytes expected.
#include "writer/emit.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using qf::writer::Body;
using qf::writer::CellXml;
using qf::writer::Value;

constexpr auto NPOS = std::string_view::npos;

TEST(WriterForbidden, ControlsAndNonCharacters) {
    const struct {
        std::string_view text;
        std::size_t at;
    } cases[] = {
        {"", NPOS}, {"plain", NPOS}, {"\t\n\r", NPOS}, {"\x7f\xc2\x85", NPOS}, {"\x01", 0}, {"a\x1f", 1},
        {"\x0b", 0}, {"\xc3\xa9\x0c", 2}, {"\xef\xbf\xbe", 0}, {"x\xef\xbf\xbf", 1}, {"\xef\xbf\xbd", NPOS},
        {"\xef\xbb\xbf", NPOS}, {"\xef\xbf", NPOS},
    };
    for (const auto& c : cases) EXPECT_EQ(qf::writer::forbidden_char(c.text), c.at) << c.text;
}

TEST(WriterBody, ByDataTypeAndValue) {
    const Value none{}, text{Value::TEXT, "x"}, empty{Value::TEXT, ""}, number{Value::NUMBER, "1"},
        no_number{Value::NUMBER, ""}, control{Value::TEXT, "a\x01"};
    const struct {
        std::string_view dtype;
        Value value;
        std::optional<Body> body;
    } cases[] = {
        {"n", none, Body::EMPTY}, {"f", none, Body::EMPTY},     {"n", number, Body::VALUE},
        {"n", no_number, Body::VALUE}, {"f", number, std::nullopt}, {"s", number, std::nullopt},
        {"f", text, Body::FORMULA}, {"s", text, Body::INLINE},   {"e", text, Body::VALUE},
        {"", text, Body::VALUE},    {"s", empty, Body::INLINE},   {"str", empty, Body::EMPTY},
        {"s", control, std::nullopt}, {"str", control, std::nullopt}, {"ff", text, Body::VALUE},
    };
    for (const auto& c : cases) EXPECT_EQ(qf::writer::choose_body(c.dtype, c.value), c.body) << c.dtype;
    EXPECT_EQ(qf::writer::t_of("f"), std::nullopt);
    EXPECT_EQ(qf::writer::t_of("s"), "inlineStr");
    EXPECT_EQ(qf::writer::t_of(""), "");
}

TEST(WriterColumn, BijectiveBase26) {
    for (auto [col, letters] : {std::pair{1u, "A"}, {26u, "Z"}, {27u, "AA"}, {702u, "ZZ"}, {703u, "AAA"}, {18278u, "ZZZ"}}) {
        std::string out;
        qf::writer::append_column(out, col);
        EXPECT_EQ(out, letters);
    }
}

std::string emitted(const CellXml& cell, bool lxml) {
    std::string out;
    qf::writer::emit_cell(out, lxml, cell);
    return out;
}

TEST(WriterEmit, BothStyles) {
    const struct {
        CellXml cell;
        const char* etree;
        const char* lxml;
    } cases[] = {
        {{7, 2, "4", "n", Body::VALUE, "3.5", {}}, R"(<c r="B7" s="4" t="n"><v>3.5</v></c>)",
         R"(<c r="B7" s="4" t="n"><v>3.5</v></c>)"},
        {{1, 3, {}, {}, Body::FORMULA, "=SUM(A1:A3)", {}}, R"(<c r="C1"><f>SUM(A1:A3)</f><v /></c>)",
         R"(<c r="C1"><f>SUM(A1:A3)</f><v></v></c>)"},
        {{1, 1, {}, {}, Body::FORMULA, "\xc3\xa9", {}}, R"(<c r="A1"><f /><v /></c>)", R"(<c r="A1"><f></f><v></v></c>)"},
        {{2, 1, {}, "inlineStr", Body::INLINE, " x", {}},
         R"(<c r="A2" t="inlineStr"><is><t xml:space="preserve"> x</t></is></c>)",
         R"(<c r="A2" t="inlineStr"><is><t xml:space="preserve"> x</t></is></c>)"},
        {{2, 1, {}, "inlineStr", Body::INLINE, "  ", {}}, R"(<c r="A2" t="inlineStr"><is><t>  </t></is></c>)",
         R"(<c r="A2" t="inlineStr"><is><t xml:space="preserve">  </t></is></c>)"},
        {{1, 1, "1", "n", Body::EMPTY, {}, {}}, R"(<c r="A1" s="1" t="n" />)", R"(<c r="A1" s="1" t="n"></c>)"},
        {{-3, 18278, {}, "n", Body::VALUE, "", {}}, R"(<c r="ZZZ-3" t="n"><v /></c>)", R"(<c r="ZZZ-3" t="n"><v></v></c>)"},
        {{1, 1, {}, "e\t\"", Body::VALUE, "a<\r\xc3\xa9", {}}, "<c r=\"A1\" t=\"e&#09;&quot;\"><v>a&lt;&#13;\xc3\xa9</v></c>",
         R"(<c r="A1" t="e&#9;&quot;"><v>a&lt;&#13;&#233;</v></c>)"},
        {{1, 3, {}, "str", Body::FORMULA, "=A1&\"<\"", "a<b"}, R"(<c r="C1" t="str"><f>A1&amp;"&lt;"</f><v>a&lt;b</v></c>)",
         R"(<c r="C1" t="str"><f>A1&amp;"&lt;"</f><v>a&lt;b</v></c>)"},
        {{2, 1, {}, "inlineStr", Body::INLINE, "", {}}, R"(<c r="A2" t="inlineStr"><is><t /></is></c>)",
         R"(<c r="A2" t="inlineStr"><is><t></t></is></c>)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(emitted(c.cell, false), c.etree);
        EXPECT_EQ(emitted(c.cell, true), c.lxml);
    }
}

}  // namespace
