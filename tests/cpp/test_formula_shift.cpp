// Reference shifting for grid edits: what is rewritten, what stays byte for byte, and what is
// left to Python. (Random formulas are compared with the host's shifting in the Python suite.)
#include "formula/formula.hpp"

#include <gtest/gtest.h>

using namespace qf::formula;

namespace {

GridEdit lines(GridEdit::Kind kind, bool rows, std::int64_t start, std::int64_t count) {
    GridEdit e;
    e.kind = kind;
    e.rows = rows;
    e.start = start;
    e.count = count;
    e.title = "Data";
    e.folded = "data";
    e.others = {"\xc3\x9c" "ber"};  // "Über"
    return e;
}

std::string shifted(std::string_view f, const GridEdit& e, bool host = true) {
    auto r = shift_formula(f, e, host);
    if (!r) return "NeedPython";
    return *r ? **r : std::string(f);
}

}  // namespace

TEST(FormulaShift, RewritesOnlyWhatMoves) {
    const GridEdit del = lines(GridEdit::Kind::Delete, true, 5, 2);
    // Whitespace runs, case and unrelated text stay as written.
    EXPECT_EQ(shifted("=SUM( a3:a9 ,  $B$7 )+\"A7\"", del), "=SUM( a3:a7 ,  $B$5 )+\"A7\"");
    EXPECT_EQ(shifted("=A5+SUM(A5:A6)+A4:A6+5:6", del), "=#REF!+SUM(#REF!)+A4:A4+#REF!");
    EXPECT_EQ(shifted("=data!A9+'Data'!A9+Other!A9+Data:Other!A9+[1]Data!A9", del, false),
              "=data!A7+'Data'!A7+Other!A9+Data:Other!A9+[1]Data!A9");
    EXPECT_EQ(shifted("=A9", del, false), "=A9");
    EXPECT_EQ(shifted("=A9+\"x", del), "=A9+\"x");  // does not tokenize: left as it is
    const GridEdit ins = lines(GridEdit::Kind::Insert, false, 2, 3);
    EXPECT_EQ(shifted("=A1:B2+B:C+XFD1+\xc3\x84" "B1+'\xc3\x9c" "ber'!B1", ins),
              "=A1:E2+E:F+#REF!+\xc3\x84" "B1+'\xc3\x9c" "ber'!B1");
}

TEST(FormulaShift, SheetNamesBeyondAsciiAreComparedByPython) {
    const GridEdit del = lines(GridEdit::Kind::Delete, true, 5, 2);
    EXPECT_EQ(shifted("='\xc3\x9c" "BER'!A9", del, false), "NeedPython");
    EXPECT_EQ(shifted("='\xc3\x9c" "ber'!A9", del, false), "='\xc3\x9c" "ber'!A9");  // another sheet's title
}

TEST(FormulaShift, OffsetAndMove) {
    GridEdit off;
    off.kind = GridEdit::Kind::Offset;
    off.drow = -2;
    off.dcol = 1;
    EXPECT_EQ(shifted("=A3+$A$1+Other!B2:C$1", off), "=B1+$A$1+#REF!");
    GridEdit move = lines(GridEdit::Kind::Delete, true, 1, 1);
    move.kind = GridEdit::Kind::Move;
    move.min_row = 2, move.min_col = 1, move.max_row = 3, move.max_col = 2;
    move.drow = 10, move.dcol = 0;
    EXPECT_EQ(shifted("=A2+B3+A2:B3+A2:B4+2:3", move), "=A12+B13+A12:B13+A2:B4+2:3");
}
