// References, attribute normalisation, the character rule and qualified names.
#include "xml/names.hpp"
#include "xml/refs.hpp"

#include <gtest/gtest.h>

namespace {

using namespace qf;
using namespace qf::xml;

std::string ref_result(std::string_view body) {
    auto cp = resolve_ref(body);
    return cp ? std::to_string(*cp) : std::string("!") + cp.error().text;
}

TEST(ResolveRef, NamedAndNumeric) {
    const std::pair<const char*, const char*> table[] = {
        {"lt", "60"}, {"gt", "62"}, {"amp", "38"}, {"quot", "34"}, {"apos", "39"},
        {"#x41", "65"}, {"#65", "65"}, {"#x10FFFF", "1114111"}, {"#xd7ff", "55295"}, {"#9", "9"},
        {"LT", "!undefined entity"}, {"nbsp", "!undefined entity"}, {"", "!undefined entity"},
        {"#", "!undefined entity"}, {"#X41", "!bad char ref"}, {"#x", "!bad char ref"},
        {"#00000000065", "!bad char ref"}, {"#xFFFFFFFFF", "!bad char ref"}, {"#4294967296", "!bad char ref"},
        {"#1a", "!bad char ref"}, {"#0", "!invalid char ref"}, {"#xFFFE", "!invalid char ref"},
        {"#xD800", "!invalid char ref"}, {"#x110000", "!invalid char ref"}, {"#8", "!invalid char ref"},
    };
    for (const auto& [body, want] : table) EXPECT_EQ(ref_result(body), want) << body;
}

TEST(ValidateRefs, FirstOffenceReported) {
    EXPECT_TRUE(validate_refs("plain"));
    EXPECT_TRUE(validate_refs("&amp;&#65;"));
    EXPECT_STREQ(validate_refs("a & b").error().text, "bad reference");
    EXPECT_STREQ(validate_refs("&nbsp; &#0;").error().text, "undefined entity");
}

TEST(DecodeAttr, NormalisesWhitespaceNotReferences) {
    std::string scratch;
    EXPECT_EQ(decode_attr("a\tb\r\nc", scratch), "a b c");
    EXPECT_EQ(decode_attr("a\r\rb\n", scratch), "a  b ");
    EXPECT_EQ(decode_attr("a&#9;b&#10;&#13;", scratch), "a\tb\n\r");
    EXPECT_EQ(decode_attr("&lt;&#x20AC;&#x1F600;", scratch), "<\xE2\x82\xAC\xF0\x9F\x98\x80");
    const std::string_view plain = "no change";
    EXPECT_EQ(decode_attr(plain, scratch).data(), plain.data());  // borrowed, not copied
    EXPECT_EQ(decode_text("a\r\nb\rc&amp;", false, scratch), "a\nb\nc&");
    EXPECT_EQ(decode_text("a\r\n&amp;", true, scratch), "a\n&amp;");
}

TEST(ValidateChars, Rule) {
    EXPECT_TRUE(validate_chars("tab\there\nand\r"));
    EXPECT_TRUE(validate_chars("\xC2\x80\xEF\xBF\xBD\xF0\x90\x80\x80"));
    EXPECT_STREQ(validate_chars("\x7F\x0C").error().text, "invalid character");
    EXPECT_STREQ(validate_chars("\xE0\x80\x80").error().text, "invalid utf-8");   // overlong
    EXPECT_STREQ(validate_chars("\xF0\x80\x80\x80").error().text, "invalid utf-8");
    EXPECT_STREQ(validate_chars("\x80").error().text, "invalid utf-8");
    EXPECT_STREQ(validate_chars("\xEF\xBF\xBE and \xC3").error().text, "invalid utf-8");
    EXPECT_STREQ(validate_chars("long ascii prefix \xEF\xBF\xBF").error().text, "invalid character");
}

TEST(Names, SplitInternLookup) {
    auto q = split_qname("p:local");
    ASSERT_TRUE(q);
    EXPECT_EQ(q->prefix, "p");
    EXPECT_EQ(q->local, "local");
    EXPECT_EQ(split_qname("plain")->prefix, "");
    for (std::string_view bad : {":a", "a:", "a:b:c", "a:1b", "a:-b", "a:.b"}) EXPECT_STREQ(split_qname(bad).error().text, "bad qname");

    UriTable uris;
    EXPECT_EQ(uris.intern_uri(""), NS_NONE);
    EXPECT_EQ(uris.intern_uri(XML_NS_URI), NS_XML);
    EXPECT_EQ(uris.intern_uri(MAIN_NS_URI), NS_MAIN);
    EXPECT_EQ(uris.intern_uri("u"), 3u);
    EXPECT_EQ(uris.intern_uri("v"), 4u);
    EXPECT_EQ(uris.intern_uri("u"), 3u);

    std::vector<Binding> b = {{"", 2}, {"p", 3}, {"p", 4}};
    EXPECT_EQ(lookup_prefix(b, "p"), 4u);
    EXPECT_EQ(lookup_prefix(b, ""), 2u);
    EXPECT_EQ(lookup_prefix(b, "xml"), NS_XML);
    EXPECT_EQ(lookup_prefix(b, "q"), std::nullopt);
    EXPECT_EQ(lookup_prefix({}, ""), NS_NONE);
}

}  // namespace
