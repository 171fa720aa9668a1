// The text routines without an interpreter: rule T, checked skipping, the forbid predicates and
// the rich-text reader with a scripted validator, each under several cuttings of the input.
#include "text/text.hpp"

#include "reader_cuts.hpp"

#include <gtest/gtest.h>

#pragma GCC diagnostic ignored "-Wrestrict"  // GCC PR 105329, as in the reader tests

#include <string>
#include <vector>

namespace {

using namespace qf;
using namespace qf::xml;
using namespace qf::text;
using namespace qf::xml::test_support;

std::string doc(const std::string& body) { return "<root xmlns=\"" + MAIN + "\">" + body + "</root>"; }

// Pulls events up to the first Start/Empty of an element with local name `local`.
void seek(Reader& r, std::string_view local) {
    for (;;) {
        auto ev = r.next();
        ASSERT_TRUE(ev.has_value());
        ASSERT_NE(*ev, XmlEvent::Eof) << "no element " << local;
        if ((*ev == XmlEvent::Start || *ev == XmlEvent::Empty) && r.local() == local) return;
    }
}

// The local name of the next Start/Empty after a routine returned ("" at the end).
std::string next_start(Reader& r) {
    for (;;) {
        auto ev = r.next();
        if (!ev || *ev == XmlEvent::Eof) return "";
        if (*ev == XmlEvent::Start || *ev == XmlEvent::Empty) return std::string(r.local());
    }
}

std::string describe(const XmlResult<std::optional<std::string>>& got) {
    if (!got) return std::string("!") + got.error().text;
    return *got ? "[" + **got + "]" : "none";
}

TEST(TextElement, RuleT) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"<v>12</v>", "[12]"},
        {"<v/>", "none"},
        {"<v></v>", "none"},
        {"<v><![CDATA[]]></v>", "none"},
        {"<v>a<x>in</x>b</v>", "[a]"},
        {"<v><x/>after</v>", "none"},
        {"<v>a<!--c-->b<?p?>c</v>", "[abc]"},
        {"<v> a<![CDATA[<&]]>&amp;&#x41;\r\nz </v>", "[ a<&&A\nz ]"},
        {"<v xml:space='default'>  </v>", "[  ]"},
        {"<v><row/></v>", "!nested element handled by dispatcher"},
        {"<v>1<x><mergeCells/></x></v>", "!nested element handled by dispatcher"},
        {"<v><o:row xmlns:o='urn:o'/><Row/><c/>1</v>", "none"},
    };
    for (const auto& cut : CUTS) {
        for (const auto& [body, want] : cases) {
            const std::string data = doc(body + "<after/>");
            Reader r(std::make_unique<MemorySource>(data, cut));
            seek(r, "v");
            auto got = element_text_checked(r, forbid_sheet);
            EXPECT_EQ(describe(got), want) << body;
            if (got) {
                EXPECT_EQ(next_start(r), "after") << body;
            }
        }
    }
}

TEST(TextElement, IntoAppendsWithTheSheetPredicate) {
    for (const auto& cut : CUTS) {
        const std::string data = doc("<v>1&lt;2</v><f/><v><sheetPr/></v>");
        Reader r(std::make_unique<MemorySource>(data, cut));
        std::string buffer = "x";
        seek(r, "v");
        ASSERT_TRUE(element_text_into(r, buffer).has_value());
        EXPECT_EQ(buffer, "x1<2");
        seek(r, "f");
        ASSERT_TRUE(element_text_into(r, buffer).has_value());
        EXPECT_EQ(buffer, "x1<2");
        seek(r, "v");
        auto err = element_text_into(r, buffer);
        ASSERT_FALSE(err.has_value());
        EXPECT_EQ(err.error().kind, XmlErrorKind::Unsupported);
        EXPECT_STREQ(err.error().text, NESTED_DISPATCH);
    }
}

TEST(TextSkip, ConsumesThroughTheEndAndChecksEveryTag) {
    for (const auto& cut : CUTS) {
        const std::string full = doc("<x a='1'><a><b>t</b><c/></a>tail</x><after/>");
        const std::string empty_x = doc("<x/><after/>");
        const std::string forbidden = doc("<x><a><si/></a></x>");
        Reader r(std::make_unique<MemorySource>(full, cut));
        seek(r, "x");
        ASSERT_TRUE(skip_checked(r, forbid_item).has_value());
        EXPECT_EQ(next_start(r), "after");

        Reader empty(std::make_unique<MemorySource>(empty_x, cut));
        seek(empty, "x");
        ASSERT_TRUE(skip_checked(empty, forbid_item).has_value());
        EXPECT_EQ(next_start(empty), "after");

        Reader bad(std::make_unique<MemorySource>(forbidden, cut));
        seek(bad, "x");
        auto err = skip_checked(bad, forbid_item);
        ASSERT_FALSE(err.has_value());
        EXPECT_STREQ(err.error().text, NESTED_DISPATCH);
    }
}

TEST(TextForbid, Predicates) {
    const char* sheet[] = {"col", "row", "extLst", "sheetPr", "rowBreaks", "colBreaks", "pageSetup",
                           "scenarios", "autoFilter", "sheetViews", "tableParts", "hyperlinks",
                           "mergeCells", "pageMargins", "printOptions", "headerFooter", "legacyDrawing",
                           "sheetFormatPr", "dataValidations", "sheetProtection", "customSheetViews",
                           "conditionalFormatting"};
    for (const char* name : sheet) {
        EXPECT_TRUE(forbid_sheet(NS_MAIN, name)) << name;
        EXPECT_FALSE(forbid_sheet(NS_NONE, name)) << name;
        EXPECT_FALSE(forbid_item(NS_MAIN, name)) << name;
    }
    for (const char* name : {"c", "v", "f", "is", "si", "Row", "cols", "sheetData", "dimension", ""})
        EXPECT_FALSE(forbid_sheet(NS_MAIN, name)) << name;
    EXPECT_TRUE(forbid_item(NS_MAIN, "si"));
    EXPECT_FALSE(forbid_item(3, "si"));
    EXPECT_FALSE(forbid_item(NS_MAIN, "sst"));
}

// A validator that refuses rPr bytes containing "bad", fails on "boom" and records every call.
class Scripted final : public RprValidator {
public:
    std::vector<std::string> calls;
    XmlResult<bool> validate(std::string_view rpr, const Reader&) override {
        calls.emplace_back(rpr);
        if (rpr.find("boom") != std::string_view::npos) return std::unexpected(XmlError::unsupported("boom"));
        return rpr.find("bad") == std::string_view::npos;
    }
};

// Every main-namespace si of the document through parse_text: "P[text]", "D[snippet]" or "!error".
std::vector<std::string> parse_items(const std::string& body, const std::vector<std::size_t>& cut,
                                     std::vector<std::string>* calls = nullptr, Names text_dangerous = {},
                                     Names rich_dangerous = {}) {
    auto validator = std::make_unique<Scripted>();
    Scripted* script = validator.get();
    RichContext ctx(std::move(text_dangerous), std::move(rich_dangerous), forbid_item, std::move(validator));
    const std::string data = doc(body);
    Reader r(std::make_unique<MemorySource>(data, cut));
    std::vector<std::string> out;
    TextItem item;
    for (;;) {
        auto ev = r.next();
        if (!ev) { out.push_back(std::string("!") + ev.error().text); break; }
        if (*ev == XmlEvent::Eof) break;
        if ((*ev != XmlEvent::Start && *ev != XmlEvent::Empty) || r.local() != "si") continue;
        auto done = parse_text(r, ctx, item);
        if (!done) { out.push_back(std::string("!") + done.error().text); break; }
        out.push_back(item.dispatch ? "D[" + item.captured.snippet + "]" : "P[" + item.text + "]");
    }
    if (calls) *calls = script->calls;
    return out;
}

TEST(TextItems, PlainAndDispatch) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"<si><t>a</t></si>", "P[a]"},
        {"<si/>", "P[]"},
        {"<si a='1'/>", "D[<si a='1'/>]"},
        {"<si><t>a</t><t>b</t></si>", "P[b]"},
        {"<si><t>a</t><t/></si>", "P[]"},
        {"<si><r><t>a</t></r><t>b</t><r><t>c</t></r></si>", "P[bac]"},
        {"<si><r><t>a</t><t/></r><r/><r><t>c</t></r></si>", "P[c]"},
        {"<si><r><rPr><b/></rPr><t>a</t></r></si>", "P[a]"},
        {"<si><r><rPr><bad/></rPr><t>a</t></r></si>", "D[<si><r><rPr><bad/></rPr><t>a</t></r></si>]"},
        {"<si><r x='1'><t>a</t></r></si>", "D[<si><r x='1'><t>a</t></r></si>]"},
        {"<si xml:space='preserve'><r xml:lang='en'><t>a</t></r></si>", "P[a]"},
        {"<si><t>a</t><rPh/></si>", "D[<si><t>a</t><rPh/></si>]"},
        {"<si><phoneticPr/><t>a</t></si>", "D[<si><phoneticPr/><t>a</t></si>]"},
        {"<si>x<t>_x005F_</t>y</si>", "P[_]"},
        // Escapes are undone per text: one split over two runs stays as it is.
        {"<si><t>a_x000d_b_xD83D__xDE00__xD83D_</t><r><t>_x00</t></r><r><t>41_</t></r></si>",
         "P[a\rb\xF0\x9F\x98\x80_xD83D__x0041_]"},
    };
    for (const auto& cut : CUTS) {
        for (const auto& [body, want] : cases) {
            auto got = parse_items(body + "<si><t>next</t></si>", cut);
            ASSERT_EQ(got.size(), 2u) << body;
            EXPECT_EQ(got[0], want) << body;
            EXPECT_EQ(got[1], "P[next]") << body;
        }
    }
}

TEST(TextItems, DangerousNames) {
    auto got = parse_items("<si><foo/><t>a</t></si><si><r><foo/><t>b</t></r></si><si><r><bar/></r></si>"
                           "<si><bar/><t>c</t></si>",
                           {READ_CHUNK}, nullptr, Names({"foo"}), Names({"bar", "bar"}));
    EXPECT_EQ(got, (std::vector<std::string>{"D[<si><foo/><t>a</t></si>]", "P[b]",
                                             "D[<si><r><bar/></r></si>]", "P[c]"}));
}

TEST(TextItems, VerdictsAreCachedByExactBytesAcrossReads) {
    // Long items between the runs make the reader compact its buffer while items are captured.
    std::string body;
    std::string expect_text;
    for (int i = 0; i < 300; ++i) {
        body += "<si><t>" + std::string(static_cast<std::size_t>(i % 53) * 31, 'x') + "</t><r><rPr><b/></rPr><t>" +
                std::to_string(i) + "</t></r><r><rPr ><i/></rPr></r></si>";
    }
    for (const auto& cut : CUTS) {
        std::vector<std::string> calls;
        auto got = parse_items(body, cut, &calls);
        ASSERT_EQ(got.size(), 300u);
        for (int i = 0; i < 300; ++i)
            EXPECT_EQ(got[i], "P[" + std::string(static_cast<std::size_t>(i % 53) * 31, 'x') + std::to_string(i) + "]");
        EXPECT_EQ(calls, (std::vector<std::string>{"<rPr><b/></rPr>", "<rPr ><i/></rPr>"}));
    }
}

TEST(TextItems, ValidatorErrorWaitsForTheItemEnd) {
    for (const auto& cut : CUTS) {
        std::vector<std::string> calls;
        // The error is reported at the end of its item, and no later rPr of the item is validated.
        auto got = parse_items("<si><r><rPr><boom/></rPr></r><r><rPr><b/></rPr></r><rPh/></si><si/>", cut, &calls);
        EXPECT_EQ(got, (std::vector<std::string>{"!boom"}));
        EXPECT_EQ(calls, (std::vector<std::string>{"<rPr><boom/></rPr>"}));
        // A reader error met before the item's end wins.
        got = parse_items("<si><r><rPr><boom/></rPr></r><r><si/></r></si>", cut);
        EXPECT_EQ(got, (std::vector<std::string>{"!nested element handled by dispatcher"}));
        // A refused rPr already sends the item to Python: later ones are not asked about.
        got = parse_items("<si><r><rPr><bad/></rPr></r><r><rPr><boom/></rPr></r></si>", cut, &calls);
        EXPECT_EQ(got.size(), 1u);
        EXPECT_EQ(calls, (std::vector<std::string>{"<rPr><bad/></rPr>"}));
    }
}

TEST(TextItems, DispatchCarriesNamespacesInScope) {
    auto validator = std::make_unique<Scripted>();
    RichContext ctx({}, {}, forbid_item, std::move(validator));
    const std::string data = "<m:sst xmlns:m='" + MAIN + "' xmlns:a='urn:a'><m:si xmlns:b='urn:b'><m:rPh/></m:si></m:sst>";
    Reader r(std::make_unique<MemorySource>(data));
    seek(r, "si");
    TextItem item;
    ASSERT_TRUE(parse_text(r, ctx, item).has_value());
    ASSERT_TRUE(item.dispatch);
    EXPECT_EQ(item.captured.snippet, "<m:si xmlns:b='urn:b'><m:rPh/></m:si>");
    ASSERT_GE(item.captured.namespaces.size(), 2u);
    EXPECT_EQ(item.captured.namespaces[0], (std::pair<std::string, std::string>{"m", MAIN}));
    EXPECT_EQ(item.captured.namespaces[1], (std::pair<std::string, std::string>{"a", "urn:a"}));
    EXPECT_FALSE(r.capturing());
}

}  // namespace
