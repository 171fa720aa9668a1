// XML escaping in both serialiser styles, and Python-compatible stripping.
#include "utils/utils.hpp"

#include <gtest/gtest.h>

#include <string>

using qf::utils::esc_attr;
using qf::utils::esc_text;
using qf::utils::py_strip;

namespace {

std::string attr(std::string_view s, bool lxml) {
    std::string out = "prefix:";
    esc_attr(out, s, lxml);
    return out.substr(7);
}

std::string text(std::string_view s, bool lxml) {
    std::string out = "prefix:";
    esc_text(out, s, lxml);
    return out.substr(7);
}

}  // namespace

TEST(Escape, AttributeModesDifferOnTabAndNonAscii) {
    EXPECT_EQ(attr("a<b & \"c\"\t", false), "a&lt;b &amp; &quot;c&quot;&#09;");
    EXPECT_EQ(attr("a<b & \"c\"\t", true), "a&lt;b &amp; &quot;c&quot;&#9;");
    EXPECT_EQ(attr("\r\n'>", false), "&#13;&#10;'&gt;");
    EXPECT_EQ(attr("\r\n'>", true), "&#13;&#10;'&gt;");
    EXPECT_EQ(attr("z\xc3\xa9", false), "z\xc3\xa9");
    EXPECT_EQ(attr("z\xc3\xa9", true), "z&#233;");
}

TEST(Escape, TextCarriageReturnOnlyInLxmlStyle) {
    EXPECT_EQ(text("x>y\r\nz\xc3\xa9", false), "x&gt;y&#13;\nz\xc3\xa9");
    EXPECT_EQ(text("x>y\r\nz\xc3\xa9", true), "x&gt;y&#13;\nz&#233;");
    EXPECT_EQ(text("\t\"'", true), "\t\"'");
}

TEST(Escape, CodePointsOfEveryLength) {
    EXPECT_EQ(text("\xc2\x80", true), "&#128;");
    EXPECT_EQ(text("\xe2\x80\xa8", true), "&#8232;");
    EXPECT_EQ(text("\xef\xbf\xbf", true), "&#65535;");
    EXPECT_EQ(text("\xf0\x9f\x98\x80", true), "&#128512;");
    EXPECT_EQ(text("\xf4\x8f\xbf\xbf", true), "&#1114111;");
    EXPECT_EQ(text("\xf0\x9f\x98\x80", false), "\xf0\x9f\x98\x80");
}

TEST(Escape, ForbiddenControlsPassThrough) {
    EXPECT_EQ(text(std::string_view("\x01\x00\x7f", 3), true), std::string("\x01\x00\x7f", 3));
    EXPECT_EQ(attr("\x01", false), "\x01");
}

TEST(Escape, RunsAroundSpecials) {
    EXPECT_EQ(text("", false), "");
    EXPECT_EQ(text("plain text", false), "plain text");
    EXPECT_EQ(text("&&", false), "&amp;&amp;");
    EXPECT_EQ(text("a&b<c>d", true), "a&amp;b&lt;c&gt;d");
    EXPECT_EQ(attr("\xc3\xa9\xc3\xa9x", true), "&#233;&#233;x");
}

TEST(PyStrip, WhitespaceSet) {
    EXPECT_EQ(py_strip(" \t\n\x0b\x0c\r\x1c\x1d\x1e\x1fx\x1f "), "x");
    EXPECT_EQ(py_strip("\xc2\x85\xc2\xa0x\xe1\x9a\x80"), "x");               // U+0085, U+00A0, U+1680
    EXPECT_EQ(py_strip("\xe2\x80\x80\xe2\x80\x8ax\xe2\x80\xa8\xe2\x80\xa9"), "x");  // U+2000..200A, 2028/9
    EXPECT_EQ(py_strip("\xe2\x80\xafx\xe2\x81\x9f\xe3\x80\x80"), "x");       // U+202F, U+205F, U+3000
}

TEST(PyStrip, NearMissesAndEmpty) {
    EXPECT_EQ(py_strip("\xe2\x80\x8bx"), "\xe2\x80\x8bx");  // U+200B is not whitespace
    EXPECT_EQ(py_strip("\xe1\xa0\x8ex"), "\xe1\xa0\x8ex");  // U+180E neither
    EXPECT_EQ(py_strip("\xc2\xa0\xe3\x80\x80"), "");
    EXPECT_EQ(py_strip(""), "");
    std::string_view s = "  ";
    EXPECT_EQ(py_strip(s).data(), s.data());  // an all-whitespace text: empty slice at its start
    EXPECT_EQ(py_strip(" a b "), "a b");
}
