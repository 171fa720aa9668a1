// Formula tokenizer and translator: error kinds and messages, compilation and rendering.
#include "formula/formula.hpp"

#include <gtest/gtest.h>

using namespace qf::formula;

namespace {

std::string render(std::string_view f, Cell origin, std::optional<Cell> dest) {
    auto tr = Translator::create(f, origin.row, origin.col);
    if (!tr) return "error: " + tr.error().message;
    auto out = translate(*tr, dest);
    return out ? *out : "error: " + out.error().message;
}

struct ErrorCase {
    const char* formula;
    FormulaErrorKind kind;
    const char* message;
};

}  // namespace

TEST(FormulaTokenize, Errors) {
    const ErrorCase cases[] = {
        {"=\"abc", FormulaErrorKind::Tokenizer, "Reached end of formula while parsing string in =\"abc"},
        {"='abc", FormulaErrorKind::Tokenizer, "Reached end of formula while parsing link in ='abc"},
        {"=#FOO", FormulaErrorKind::Tokenizer, "Invalid error code at position 1 in '=#FOO'"},
        {"=(1}", FormulaErrorKind::Tokenizer, "Mismatched ( and { pair in '=(1}'"},
        {"={1)", FormulaErrorKind::Tokenizer, "Mismatched ( and { pair in '={1)'"},
        {"=1)", FormulaErrorKind::PopEmpty, ""},
        {"=}", FormulaErrorKind::PopEmpty, ""},
        {"=[1", FormulaErrorKind::Tokenizer, "Encountered unmatched '[' in =[1"},
        {"=A{", FormulaErrorKind::Tokenizer, "Unexpected character at position 2 in '=A{'"},
        {"=A1\"x\"", FormulaErrorKind::Tokenizer, "Unexpected character at position 3 in '=A1\"x\"'"},
        {"=A#N/A", FormulaErrorKind::Tokenizer, "Unexpected character at position 2 in '=A#N/A'"},
        {"=F\xc3\x9c(A'x')", FormulaErrorKind::Tokenizer,
         "Unexpected character at position 5 in '=F\xc3\x9c(A'x')'"},  // positions count characters
        {"=\xc3\x84" "B1", FormulaErrorKind::NeedPython, ""},
        {"=S!#REF!+\xc3\x84", FormulaErrorKind::NeedPython, ""},
    };
    for (const auto& c : cases) {
        auto r = tokenize(c.formula);
        ASSERT_FALSE(r) << c.formula;
        EXPECT_EQ(r.error().kind, c.kind) << c.formula;
        EXPECT_EQ(r.error().message, c.message) << c.formula;
    }
}

TEST(FormulaTokenize, AcceptsOddButValidText) {
    for (const char* f : {"=SUM(1", "=\"\xc3\x84\"&A1", "=F\xc3\x9c(1)", "=A1:\"x\"", "=Sheet1!#REF!", "=(1,2)"}) {
        EXPECT_TRUE(tokenize(f)) << f;
    }
}

TEST(FormulaTokenize, ScientificNumbersStayWhole) {
    for (const char* f : {"=1E+5", "=1.5E-3", "=9.25e+10"}) {
        auto r = tokenize(f);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->size(), 1u) << f;
        EXPECT_EQ((*r)[0].text, f + 1);
        EXPECT_EQ((*r)[0].subtype, TokenSubtype::Number);
    }
    auto r = tokenize("=0.5E-3");  // the mantissa must start with 1-9
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size(), 3u);
}

TEST(FormulaFloat, PythonFloatGrammar) {
    for (const char* s : {"1", "1.", ".5", "1_000", "1e5", "-1E-5", "inf", "-Infinity", "NaN", " 1\t", "1_0.0_1e1_0"}) {
        EXPECT_TRUE(is_float_literal(s)) << s;
    }
    for (const char* s : {"", ".", "1__0", "_1", "1_", "1_.5", "1._5", "1e_5", "1e", "e5", "+-1", "1\x1c", "0x1",
                          "infinit", "1 2"}) {
        EXPECT_FALSE(is_float_literal(s)) << s;
    }
}

TEST(FormulaTranslate, Shifts) {
    EXPECT_EQ(render("=A1+B$2", {1, 1}, Cell{3, 2}), "=B3+C$2");
    EXPECT_EQ(render("=$A$1", {1, 1}, Cell{70, 9}), "=$A$1");
    EXPECT_EQ(render("=a1", {1, 1}, std::nullopt), "=A1");
    EXPECT_EQ(render("=$a1", {1, 1}, Cell{2, 5}), "=$a2");
    EXPECT_EQ(render("=SUM(A1:A3)", {1, 1}, Cell{2, 1}), "=SUM(A2:A4)");
    EXPECT_EQ(render("=A:A", {1, 1}, Cell{1, 2}), "=B:B");
    EXPECT_EQ(render("=1:1", {1, 1}, Cell{2, 1}), "=2:2");
    EXPECT_EQ(render("=Z1", {1, 1}, Cell{1, 2}), "=AA1");
    EXPECT_EQ(render("=ZZ1", {1, 1}, Cell{1, 2}), "=AAA1");
    EXPECT_EQ(render("=A1", {1, 1}, Cell{INT64_MAX, 1}), "=A9223372036854775807");
}

TEST(FormulaTranslate, SheetParts) {
    EXPECT_EQ(render("=Sheet1!A1", {1, 1}, Cell{2, 2}), "=Sheet1!B2");
    EXPECT_EQ(render("='My Sheet'!A1", {1, 1}, Cell{2, 2}), "='My Sheet'!B2");
    EXPECT_EQ(render("=Sheet1!Name", {1, 1}, Cell{2, 2}), "=Sheet1!Name");
    EXPECT_EQ(render("=Sheet1!#REF!+1", {1, 1}, Cell{2, 2}), "=Sheet1!#REF!+1");
}

TEST(FormulaTranslate, WhitespaceRunsAndPlainForms) {
    EXPECT_EQ(render("=A1  +   B1", {1, 1}, std::nullopt), "=A1 + B1");
    EXPECT_EQ(render("abc", {1, 1}, Cell{9, 9}), "abc");
    EXPECT_EQ(render("", {1, 1}, Cell{9, 9}), "");
    EXPECT_EQ(render("=", {1, 1}, Cell{9, 9}), "");
}

TEST(FormulaTranslate, OutOfRange) {
    EXPECT_EQ(render("=A1", {1, 1}, Cell{0, 1}), "error: Formula out of range");
    EXPECT_EQ(render("=ZZZ1", {1, 1}, Cell{1, 2}), "error: Formula out of range");
    EXPECT_EQ(render("=B1", {1, 2}, Cell{1, 0}), "error: Formula out of range");
    auto tr = Translator::create("=B2+$A$1", 2, 2);
    ASSERT_TRUE(tr);
    EXPECT_TRUE(tr->shift_in_range({1, 1}));
    EXPECT_TRUE(tr->shift_in_range({1, 18278}));
    EXPECT_FALSE(tr->shift_in_range({1, 0}));
    EXPECT_FALSE(tr->shift_in_range({1, 18279}));
    EXPECT_FALSE(tr->shift_in_range({0, 1}));
}

TEST(FormulaCompile, TextIsMerged) {
    auto tr = Translator::create("=$A$1+SUM(B2, \"x\")", 1, 1);
    ASSERT_TRUE(tr);
    const auto& segs = tr->segs();
    ASSERT_EQ(segs.size(), 4u);
    EXPECT_EQ(segs[0].text, "=$A$1+SUM(");
    EXPECT_EQ(segs[1].kind, SegKind::Col);
    EXPECT_EQ(segs[2].kind, SegKind::Row);
    EXPECT_EQ(segs[3].text, ", \"x\")");
    EXPECT_TRUE(Translator::create("lit", 1, 1)->renders_plain());
    EXPECT_TRUE(Translator::create("", 1, 1)->segs().empty());
}
