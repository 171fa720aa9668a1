// The byte-level prescan: coordinate and integer forms, the raw attribute scanner's failure
// table, and whole scans whose results must not depend on how the input is cut.
#include "prescan/prescan.hpp"
#include "sheet/coord.hpp"

#include <gtest/gtest.h>

// GCC 12 reports false -Wrestrict overlaps for `"literal" + std::string` at -O3 (GCC PR 105329).
#pragma GCC diagnostic ignored "-Wrestrict"

#include <memory>
#include <string>
#include <vector>

namespace {

using qf::XmlErrorKind;
using qf::prescan::Corners;
using qf::prescan::RawAttr;
using qf::sheet::Coord;
using qf::sheet::fast_coordinate;
using qf::sheet::native_int;

TEST(Coord, FastCoordinate) {
    EXPECT_EQ(fast_coordinate("A1"), (Coord{1, 1}));
    EXPECT_EQ(fast_coordinate("B3"), (Coord{3, 2}));
    EXPECT_EQ(fast_coordinate("AA10"), (Coord{10, 27}));
    EXPECT_EQ(fast_coordinate("ZZZ999999999"), (Coord{999999999, 18278}));
    EXPECT_EQ(fast_coordinate("XFD1048576"), (Coord{1048576, 16384}));
    for (const char* text : {"", "A", "1", "A0", "A01", "a1", "$A$1", "AAAA1", "A1234567890", "A1 ", " A1",
                             "A-1", "A1B", "Ä1"}) {
        EXPECT_FALSE(fast_coordinate(text)) << text;
    }
}

// Comparing a coordinate's digits with the row's spelling reads what parsing them reads.
TEST(Coord, FastCoordinateInRow) {
    for (const char* row_text : {"1", "3", "10", "007", "999999999", "1234567890", "-1", ""}) {
        qf::sheet::RowDigits digits;
        digits.set(row_text);
        const auto row = native_int(row_text).value_or(0);
        for (const char* text : {"A1", "B3", "AA10", "ZZZ999999999", "A0", "A01", "A007", "a1", "AAAA1", "A1 ",
                                 "A1234567890", "AAAA10", "A-1", "A", "3", ""}) {
            EXPECT_EQ(qf::sheet::fast_coordinate_in_row(text, digits.view(), row), fast_coordinate(text))
                << row_text << " " << text;
        }
    }
}

TEST(Coord, NativeInt) {
    EXPECT_EQ(native_int("0"), 0);
    EXPECT_EQ(native_int("-12"), -12);
    EXPECT_EQ(native_int("007"), 7);
    EXPECT_EQ(native_int("999999999999999999"), 999999999999999999);
    EXPECT_EQ(native_int("-999999999999999999"), -999999999999999999);
    for (const char* text : {"", "-", "+1", "1.0", " 1", "1e3", "1000000000000000000", "١"}) {
        EXPECT_FALSE(native_int(text)) << text;
    }
}

std::string attrs_error(std::string_view tag) {
    std::vector<RawAttr> out;
    auto ok = qf::prescan::scan_attrs(tag, 3, out);
    if (ok) return "ok";
    return std::string(ok.error().kind == XmlErrorKind::Malformed ? "malformed: " : "unsupported: ") + ok.error().text;
}

TEST(ScanAttrs, FailureTable) {
    const std::pair<const char*, const char*> cases[] = {
        {R"(<row r="1" ht='2'/>)", "ok"},
        {"<row\n r = \"1\"\t>", "ok"},
        {"<row/>", "ok"},
        {R"(<row r="1"ht="2">)", "malformed: missing whitespace"},
        {R"(<row/ r="1">)", "malformed: missing whitespace"},
        {"<row ht>", "malformed: expected ="},
        {"<row ht x=\"1\">", "malformed: expected ="},
        {"<row ht=>", "malformed: expected quote"},
        {"<row ht=1>", "malformed: expected quote"},
        {R"(<row ht="1>)", "malformed: unterminated value"},
        {R"(<row ht='1">)", "malformed: unterminated value"},
        {R"(<row ht="a<b">)", "malformed: < in attribute"},
        {"<row ht=\"\x01\">", "malformed: invalid character"},
        {"<row ht=\"\xef\xbf\xbe\">", "malformed: invalid character"},
        {"<row ht=\"\xc3\">", "malformed: invalid utf-8"},
        {R"(<row ht="&x;">)", "malformed: undefined entity"},
        {R"(<row ht="&#0;">)", "malformed: invalid char ref"},
        {R"(<row ht="&amp">)", "malformed: bad reference"},
        {R"(<row a:b:c="1">)", "unsupported: qname"},
        {R"(<row :a="1">)", "unsupported: qname"},
        {R"(<row a:="1">)", "unsupported: qname"},
        {R"(<row h@t="1">)", "unsupported: attribute name"},
        {"<row h\xc3\xa9=\"1\">", "unsupported: attribute name"},
        {R"(<row 1a="1">)", "unsupported: attribute name"},
        {R"(<row ="1">)", "unsupported: attribute name"},
        {R"(<row xmlns="urn:a">)", "unsupported: namespace declaration"},
        {R"(<row xmlns:p="urn:a">)", "unsupported: namespace declaration"},
    };
    for (const auto& [tag, want] : cases) EXPECT_EQ(attrs_error(tag), want) << tag;
}

TEST(ScanAttrs, ListsAttributesInOrder) {
    std::vector<RawAttr> out;
    ASSERT_TRUE(qf::prescan::scan_attrs(R"(<row r="1" x:ht='a&amp;b' spans="1:2"/>)", 3, out));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_TRUE(out[0].unprefixed("r"));
    EXPECT_EQ(out[1].name, "x:ht");
    EXPECT_EQ(out[1].colon, 1u);
    EXPECT_EQ(out[1].value, "a&amp;b");
    EXPECT_FALSE(out[1].unprefixed("ht"));
}

// Records everything the scan reports, one line each.
class LogSink final : public qf::prescan::Sink {
public:
    std::string log;
    qf::XmlResult<void> element(bool tail, std::string_view snippet, const qf::prescan::Namespaces& ns) override {
        log += (tail ? "tail " : "head ") + std::string(snippet);
        for (const auto& [p, u] : ns) log += " " + std::string(p) + "=" + std::string(u);
        log += "\n";
        return {};
    }
    qf::XmlResult<void> row(std::int64_t row, std::span<const qf::prescan::RowAttr> attrs) override {
        log += "row " + std::to_string(row);
        for (const auto& a : attrs) log += " " + a.key + "=" + a.value;
        log += "\n";
        return {};
    }
    qf::XmlResult<std::int64_t> row_index(std::string_view text) override {
        log += "row_index " + std::string(text) + "\n";
        return 100;
    }
};

std::string run(std::string_view doc, bool want_rows, std::vector<Coord> wanted, std::vector<std::size_t> pieces) {
    qf::xml::Reader reader(std::make_unique<qf::xml::MemorySource>(doc, std::move(pieces)));
    Corners corners;
    for (const Coord& c : wanted) corners.add(c.row, c.col);
    LogSink sink;
    auto ok = qf::prescan::prescan(reader, want_rows, corners, sink);
    if (!ok) return sink.log + "error " + ok.error().text + " @" + std::to_string(ok.error().offset);
    for (const auto& c : corners.items()) {
        sink.log += "corner " + std::to_string(c.row) + "," + std::to_string(c.col) + "=" + c.style.value_or("-") + "\n";
    }
    return sink.log;
}

constexpr std::string_view DOC =
    R"(<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:x="urn:x">)"
    R"(<dimension ref="A1:C3"/><sheetData><row r="1" spans="1:3" x:d="1"><c r="A1" s="1"><v>1</v></c>)"
    R"(<c s="2"/><c r="C1"/></row><row r="1e0" ht="20"><c r="B100" s='&#51;'/></row><row customHeight="1">)"
    R"(<c s="4"/></row></sheetData><mergeCells><mergeCell ref="A1:B1"/></mergeCells></worksheet>)";

TEST(Prescan, ResultsDoNotDependOnCutting) {
    const std::string want =
        "head <dimension ref=\"A1:C3\"/> =http://schemas.openxmlformats.org/spreadsheetml/2006/main x=urn:x\n"
        "row_index 1e0\n"
        "row 100 r=1e0 ht=20\n"
        "row 101 customHeight=1\n"
        "tail <mergeCells><mergeCell ref=\"A1:B1\"/></mergeCells> "
        "=http://schemas.openxmlformats.org/spreadsheetml/2006/main x=urn:x\n"
        "corner 1,2=2\ncorner 1,3=-\ncorner 100,2=3\ncorner 101,1=4\ncorner 5,5=-\n";
    const std::vector<Coord> wanted = {{1, 2}, {1, 3}, {100, 2}, {101, 1}, {5, 5}};
    for (std::size_t piece = 1; piece <= 40; ++piece) {
        EXPECT_EQ(run(DOC, true, wanted, {piece}), want) << piece;
    }
    EXPECT_EQ(run(DOC, true, wanted, {3, 1, 7, 64, 2}), want);
}

TEST(Prescan, NothingAskedSkipsTheCellData) {
    const std::string want = run(DOC, false, {}, {65536});
    EXPECT_EQ(want.find("row"), std::string::npos);
    EXPECT_NE(want.find("tail <mergeCells>"), std::string::npos);
    // "</sheetData" and "<!" are found wherever a read ends, also right after the "<".
    const std::string commented = std::string(DOC).replace(DOC.find("</row>"), 0, "<!--x-->");
    for (std::size_t piece = 1; piece <= 40; ++piece) {
        EXPECT_EQ(run(DOC, false, {}, {piece}), want) << piece;
        EXPECT_NE(run(commented, false, {}, {piece}).find("error comment/cdata/pi in sheetData"), std::string::npos);
    }
}

TEST(Prescan, ErrorsAndTheirOffsets) {
    const std::string head = R"(<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>)";
    const auto at = [&](std::string_view rest) { return std::to_string(head.size() + rest.size()); };
    for (std::size_t piece : {1, 3, 65536}) {
        EXPECT_EQ(run(head + "<row r=\"1\"><!-- -->", false, {{1, 1}}, {piece}),
                  "error comment/cdata/pi in sheetData @" + at("<row r=\"1\">"));
        EXPECT_EQ(run(head + "<row r=\"1\"><c r=\"a1\"/>", false, {{1, 1}}, {piece}),
                  "error coordinate @" + at("<row r=\"1\">"));
        EXPECT_EQ(run(head + "<row><c r=\"A1\"/>", false, {{1, 1}}, {piece}), "error eof in element @" + at("<row><c r=\"A1\"/>"));
        EXPECT_EQ(run(head + "<row ht='1", true, {}, {piece}), "error eof in tag @" + at("<row ht='1"));
    }
}

}  // namespace
