// The pull reader: event streams, every failure text with its kind, and invariance under the way
// the input is cut into reads (tokens, references and captures that straddle reads).
#include "xml/dimension.hpp"
#include "xml/reader.hpp"

#include "reader_cuts.hpp"

#include <gtest/gtest.h>

// GCC 12 reports false -Wrestrict overlaps for `"literal" + std::string` at -O3 (GCC PR 105329).
#pragma GCC diagnostic ignored "-Wrestrict"

#include <random>
#include <string>
#include <vector>

namespace {

using namespace qf;
using namespace qf::xml;
using namespace std::string_view_literals;
using namespace qf::xml::test_support;

// How events() pulls: every event, every event but with text left out of the log, or next_tag().
enum class Pull { All, IgnoreText, Tags };

// The event stream as text, or "!<kind>:<text>@<offset>" for the first error.
std::string events(std::string_view data, std::vector<std::size_t> pieces = {READ_CHUNK}, Pull pull = Pull::All) {
    Reader r(std::make_unique<MemorySource>(data, std::move(pieces)));
    std::string out, scratch;
    for (;;) {
        auto ev = pull == Pull::Tags ? r.next_tag() : r.next();
        if (!ev) {
            const char* kind = ev.error().kind == XmlErrorKind::Malformed ? "M" : "U";
            out += '!';
            out += kind;
            out += ':';
            out += ev.error().text;
            if (pull != Pull::All) out += "@" + std::to_string(ev.error().offset);
            return out;
        }
        switch (*ev) {
            case XmlEvent::Start:
            case XmlEvent::Empty:
                out += *ev == XmlEvent::Start ? "S(" : "E(";
                out += std::to_string(r.ns()) + ":" + std::string(r.local());
                for (const Attr& a : r.attrs()) out += " " + r.attr_key(a) + "=" + std::string(r.attr_value(a, scratch));
                out += ")";
                break;
            case XmlEvent::End:
                out += "/" + std::string(r.local());
                break;
            case XmlEvent::Text:
                if (pull == Pull::Tags) return out + "!unexpected text event";
                if (pull == Pull::All) out += "T[" + std::string(r.text_str(scratch)) + "]";
                break;
            case XmlEvent::Eof:
                return out + ".";
        }
    }
}

// Same result under every cutting; next_tag() agrees with next() on everything but text, errors
// and their offsets included, whatever it dropped unbuffered.
std::string events_all_cuts(std::string_view data) {
    const std::string first = events(data, CUTS[0]);
    const std::string tags = events(data, CUTS[0], Pull::IgnoreText);
    for (const auto& cut : CUTS) {
        EXPECT_EQ(events(data, cut), first) << "cut of " << cut.size() << " pieces: " << data;
        EXPECT_EQ(events(data, cut, Pull::Tags), tags) << "next_tag, cut of " << cut.size() << " pieces: " << data;
    }
    return first;
}

std::string error_of(std::string_view data) {
    const std::string log = events_all_cuts(data);
    const std::size_t bang = log.rfind('!');
    if (bang == std::string::npos) return "accepted: " + log;
    return log.substr(bang + 1);
}

struct Bad {
    std::string_view input;
    const char* error;  // "<kind>:<text>", M malformed, U unsupported
};

void expect_errors(const std::vector<Bad>& table) {
    for (const Bad& bad : table) EXPECT_EQ(error_of(bad.input), bad.error) << bad.input;
}

TEST(XmlReaderErrors, DocumentStartAndDeclaration) {
    expect_errors({
        {"\xFF\xFE<\0a\0/\0>\0"sv, "U:utf-16"},
        {"\xFE\xFF\0<\0a"sv, "U:utf-16"},
        {"<\0a\0"sv, "U:utf-16"},
        {"\0<a/>"sv, "U:utf-16"},
        {"<?xml version=\"1.0\"", "M:unclosed decl"},
        {"<?xml encoding=\"utf-8\" version=\"1.0\"?><a/>", "M:bad decl"},
        {"<?xml ?><a/>", "M:bad decl"},
        {"<?xml version=\"1.0\"encoding=\"utf-8\"?><a/>", "M:bad decl"},
        {"<?xml version=\"1.0\" standalone=\"yes\" encoding=\"utf-8\"?><a/>", "M:bad decl"},
        {"<?xml version=1.0?><a/>", "M:bad decl"},
        {"<?xml version=\"1.0\" foo=\"x\"?><a/>", "M:bad decl"},
        {"<?xml version=\"1.1\"?><a/>", "U:xml version"},
        {"<?xml version='1.0' encoding=\"latin-1\"?><a/>", "U:encoding"},
        {"<?xml version='1.0' encoding=''?><a/>", "U:encoding"},
        {"<?xml version='1.0' standalone='maybe'?><a/>", "M:bad standalone"},
        {" <?xml version='1.0'?><a/>", "M:misplaced xml declaration"},
        {"", "M:no element found"},
        {"  <!-- only a comment -->  ", "M:no element found"},
    });
}

TEST(XmlReaderErrors, StructureAndText) {
    expect_errors({
        {"<a>", "M:unclosed element"},
        {"<a><b></b>", "M:unclosed element"},
        {"<a></a><", "M:unclosed token"},
        {"x<a/>", "M:junk outside root"},
        {"<a>x</a>y", "M:junk outside root"},
        {"<a/><b/>", "M:junk after document element"},
        {"<a>x]]>y</a>", "M:]]> in text"},
        {"<a>\x01</a>", "M:invalid character"},
        {"<a>\xEF\xBF\xBF</a>", "M:invalid character"},
        {"<a>\xEF\xBF\xBE</a>", "M:invalid character"},
        {"<a>\xC0\x80</a>", "M:invalid utf-8"},
        {"<a>\xED\xA0\x80</a>", "M:invalid utf-8"},
        {"<a>\xF4\x90\x80\x80</a>", "M:invalid utf-8"},
        {"<a>\xE2\x82</a>", "M:invalid utf-8"},
        {"<a>\x01\xFF</a>", "M:invalid character"},  // control bytes are reported before UTF-8
        {"<a><!-- x", "M:unclosed comment"},
        {"<a><!-- a -- b --></a>", "M:-- in comment"},
        {"<a><!-- a ---></a>", "M:-- in comment"},
        {"<!-- \x02 --><a/>", "M:invalid character"},
        {"<![CDATA[x]]><a/>", "M:cdata outside root"},
        {"<a><![CDATA[x</a>", "M:unclosed cdata"},
        {"<a><![CDATA[\x0B]]></a>", "M:invalid character"},
        {"<!DOCTYPE a><a/>", "U:doctype"},
        {"<a><!DOCTYPE a></a>", "U:doctype"},
        {"<a><!ELEMENT a></a>", "M:bad markup declaration"},
        {"<a><!x", "M:bad markup declaration"},
        {"<a><?pi x", "M:unclosed pi"},
        {"<a><?" "?></a>", "M:bad pi"},
        {"<a><?1x?></a>", "M:bad pi"},
        {"<a><?x/y?></a>", "M:bad pi"},
        {"<a><?XmL x?></a>", "M:misplaced xml declaration"},
        {"<a><?a:b?></a>", "M:colon in pi target"},
        {"<a><?x \x01?></a>", "M:invalid character"},
    });
}

TEST(XmlReaderErrors, Tags) {
    expect_errors({
        {"<a></a", "M:unclosed end tag"},
        {"<a></a x>", "M:bad end tag"},
        {"<a></b>", "M:mismatched tag"},
        {"<a><b></a></b>", "M:mismatched tag"},
        {"<a b='1'", "M:unclosed tag"},
        {"<a b='>", "M:unclosed tag"},
        {"<a b='<' c>", "M:< in attribute"},
        {"<a b='1'c='2'/>", "M:missing whitespace between attributes"},
        {"<a b/>", "M:expected =", },
        {"<a b c='1'/>", "M:expected ="},
        {"<a b=1/>", "M:expected quote"},
        {"<a b=/>", "M:expected quote"},
        {"<a b='\x01'/>", "M:invalid character"},
        {"<a b='\xC3'/>", "M:invalid utf-8"},
        {"<a b='1' b='2'/>", "M:duplicate attribute"},
        {"<a xmlns:p='u' xmlns:q='u' p:b='1' q:b='2'/>", "M:duplicate attribute"},
        {"< a/>", "M:expected name"},
        {"<a></>", "M:expected name"},
        {"<a =''/>", "M:expected name"},
        {"<1a/>", "M:bad name"},
        {"<a -b=''/>", "M:bad name"},
        {"<\xC3\xA9/>", "U:non-ascii name"},
        {"<a b\xC3\xA9=''/>", "U:non-ascii name"},
        {"<a><b/><c/></a><d/>", "M:junk after document element"},
    });
}

TEST(XmlReaderErrors, ReferencesInTextAndAttributes) {
    expect_errors({
        {"<a>a &amp b;</a>", "M:undefined entity"},
        {"<a>a & b</a>", "M:bad reference"},
        {"<a b='&#X41;'/>", "M:bad char ref"},
        {"<a>&#x;</a>", "M:bad char ref"},
        {"<a>&#00000000065;</a>", "M:bad char ref"},
        {"<a>&#0;</a>", "M:invalid char ref"},
        {"<a>&#xFFFE;</a>", "M:invalid char ref"},
        {"<a>&#;</a>", "M:undefined entity"},
        {"<a>&nbsp;</a>", "M:undefined entity"},
        {"<a b='&'/>", "M:bad reference"},
    });
}

TEST(XmlReaderErrors, Namespaces) {
    expect_errors({
        {"<a:b:c/>", "M:bad qname"},
        {"<:a/>", "M:bad qname"},
        {"<a:/>", "M:bad qname"},
        {"<a b:='1'/>", "M:bad qname"},
        {"<p:a/>", "M:unbound prefix"},
        {"<a p:b='1'/>", "M:unbound prefix"},
        {"<a xmlns='u' b:c='1'/>", "M:unbound prefix"},
        {"<a xmlns:xmlns='u'/>", "M:xmlns prefix"},
        {"<a xmlns:xml='u'/>", "M:xml prefix"},
        {"<a xmlns:p='http://www.w3.org/XML/1998/namespace'/>", "M:reserved namespace"},
        {"<a xmlns='http://www.w3.org/2000/xmlns/'/>", "M:reserved namespace"},
        {"<a xmlns:p=''/>", "M:empty prefixed namespace"},
        {"<a xmlns:p='u}'/>", "U:brace in namespace"},
        {"<a xmlns='&#x7D;'/>", "U:brace in namespace"},
        {"<p:a xmlns:p='u'><b/></a>", "M:mismatched tag"},
    });
}

TEST(XmlReaderEvents, BasicStreams) {
    EXPECT_EQ(events_all_cuts("<a/>"), "E(0:a)/a.");
    EXPECT_EQ(events_all_cuts("\xEF\xBB\xBF<a/>"), "E(0:a)/a.");
    EXPECT_EQ(events_all_cuts("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<a/>\n<!-- c --><?pi?> "),
              "E(0:a)/a.");
    EXPECT_EQ(events_all_cuts("<a b=\"x>y\" c='\"'>t</a>"), "S(0:a b=x>y c=\")T[t]/a.");
    EXPECT_EQ(events_all_cuts("<a>1<!--c-->2<?p x?>3</a>"), "S(0:a)T[1]T[2]T[3]/a.");
    EXPECT_EQ(events_all_cuts("<a><![CDATA[<&x>]]>&lt;&#65;&#x42;&#x10FFFF;</a>"),
              "S(0:a)T[<&x>]T[<AB\xF4\x8F\xBF\xBF]/a.");
    // Line ends: CR LF and CR become LF in text and CDATA, one space in attributes.
    EXPECT_EQ(events_all_cuts("<a b='a\tb\r\nc&#9;d&#10;'>x\r\ny\rz<![CDATA[\r\n]]></a>"),
              "S(0:a b=a b c\td\n)T[x\ny\nz]T[\n]/a.");
    EXPECT_EQ(events_all_cuts("<a xml:lang='en' xmlns:p='u' p:q='1'><p:b/></a>"),
              "S(0:a {http://www.w3.org/XML/1998/namespace}lang=en {u}q=1)E(3:b)/b/a.");
    EXPECT_EQ(events_all_cuts("<a xmlns='" + MAIN + "'><b xmlns=''/></a>"), "S(2:a)E(0:b)/b/a.");
    // An element with a prefix resolves with its own declarations in scope.
    EXPECT_EQ(events_all_cuts("<p:a xmlns:p='v' xmlns:xml='http://www.w3.org/XML/1998/namespace'/>"), "E(3:a)/a.");
}

TEST(XmlReaderEvents, EofRepeatsAndLongText) {
    Reader r(std::make_unique<MemorySource>("<a/>"));
    for (XmlEvent want : {XmlEvent::Empty, XmlEvent::End, XmlEvent::Eof, XmlEvent::Eof}) EXPECT_EQ(*r.next(), want);

    std::string big = "<a>" + std::string(200000, 'x') + "</a>";
    for (const auto& cut : CUTS) {
        Reader long_text(std::make_unique<MemorySource>(big, cut));
        ASSERT_EQ(*long_text.next(), XmlEvent::Start);
        ASSERT_EQ(*long_text.next(), XmlEvent::Text);
        EXPECT_EQ(long_text.text_raw().size(), 200000u);
        EXPECT_EQ(*long_text.next(), XmlEvent::End);
    }
}

// issue 24: release() after a token larger than the buffer keeps frees it, never what a capture
// or the rest of the stream still needs; offsets and events are those of a reader that keeps all.
TEST(XmlReaderEvents, ReleaseAfterLongTokens) {
    const std::string body(3 << 20, 'y');
    const std::string doc = "<a><b k='v'>" + body + "</b><c>" + body + "</c><d/></a>";
    for (const auto& cut : CUTS) {
        Reader r(std::make_unique<MemorySource>(doc, cut));
        ASSERT_EQ(*r.next(), XmlEvent::Start);
        ASSERT_EQ(*r.next(), XmlEvent::Start);
        r.start_capture();
        ASSERT_EQ(*r.next(), XmlEvent::Text);
        r.release();  // the capture holds everything from <b on
        EXPECT_EQ(r.text_raw().size(), body.size());
        ASSERT_EQ(*r.next(), XmlEvent::End);
        EXPECT_EQ(r.end_capture(), "<b k='v'>" + body + "</b>");
        ASSERT_EQ(*r.next(), XmlEvent::Start);
        ASSERT_EQ(*r.next(), XmlEvent::Text);
        ASSERT_EQ(*r.next(), XmlEvent::End);
        r.release();
        EXPECT_LT(r.buffered() - r.pos(), std::size_t{4} * READ_CHUNK);
        EXPECT_EQ(r.offset(), doc.size() - std::string_view("<d/></a>").size());
        for (XmlEvent want : {XmlEvent::Empty, XmlEvent::End, XmlEvent::End, XmlEvent::Eof}) EXPECT_EQ(*r.next(), want);
    }
}

TEST(XmlReaderEvents, ManyAttributesStayLinear) {
    std::string tag = "<a";
    for (int i = 0; i < 5000; ++i) tag += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    EXPECT_EQ(events(tag + "/>").substr(0, 10), "E(0:a a0=0");
    EXPECT_EQ(events(tag + " a17='x'/>"), "!M:duplicate attribute");
    std::string prefixed = "<a xmlns:p='u' xmlns:q='u'";
    for (int i = 0; i < 100; ++i) prefixed += " p:a" + std::to_string(i) + "='1'";
    EXPECT_EQ(events(prefixed + " q:a99='2'/>"), "!M:duplicate attribute");
}

// Captured elements are byte-exact slices of the input, also when the buffer was compacted under
// them and when the capture itself is larger than several reads.
TEST(XmlReaderCapture, ExactAcrossCompaction) {
    std::string filler;
    for (int i = 0; i < 6000; ++i) filler += "<row r=\"" + std::to_string(i) + "\"><c><v>1</v></c></row>";
    std::string big_child = "<x:ext xmlns:x='v'><![CDATA[]]>&amp;<!-- c -->" + std::string(150000, 'z') + "</x:ext>";
    const std::string snippet = "<dimension ref=\"A1:B2\">\r\n" + big_child + "</dimension>";
    const std::string doc = "<worksheet xmlns='" + MAIN + "' xmlns:r='rel'><sheetViews/>" + filler + snippet +
                            "<sheetData/></worksheet>";
    ASSERT_GT(doc.size(), 2u * 128 * 1024);
    for (const auto& cut : CUTS) {
        Reader r(std::make_unique<MemorySource>(doc, cut));
        auto found = find_dimension(r);
        ASSERT_TRUE(found && *found);
        EXPECT_EQ((*found)->snippet, snippet);
        std::vector<std::pair<std::string, std::string>> want = {{"", MAIN}, {"r", "rel"}};
        EXPECT_EQ((*found)->namespaces, want);
    }
}

TEST(XmlReaderCapture, InScopeNamespacesOrder) {
    Reader r(std::make_unique<MemorySource>("<a xmlns='u1' xmlns:p='u2'><b xmlns:p='u3' xmlns=''><c/></b></a>"));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(r.next());
    auto ns = r.in_scope_namespaces();
    ASSERT_EQ(ns.size(), 2u);
    EXPECT_EQ(ns[0], (std::pair<std::string_view, std::string_view>("", "")));
    EXPECT_EQ(ns[1], (std::pair<std::string_view, std::string_view>("p", "u3")));
}

TEST(FindDimension, Cases) {
    auto run = [](const std::string& doc) -> std::string {
        Reader r(std::make_unique<MemorySource>(doc));
        auto found = find_dimension(r);
        if (!found) return std::string("!") + found.error().text;
        if (!*found) return "none";
        return (*found)->snippet + "|" + std::to_string((*found)->namespaces.size());
    };
    const std::string open = "<worksheet xmlns='" + MAIN + "'>";
    EXPECT_EQ(run(open + "<dimension ref='A1'/><sheetData/></worksheet>"), "<dimension ref='A1'/>|1");
    EXPECT_EQ(run(open + "<dimension xmlns:q='z' ref='A1'></dimension></worksheet>"),
              "<dimension xmlns:q='z' ref='A1'></dimension>|1");
    EXPECT_EQ(run("<worksheet><dimension ref='A1'/></worksheet>"), "none");
    EXPECT_EQ(run(open + "<sheetData></sheetData><dimension ref='A1'/></worksheet>"), "none");
    EXPECT_EQ(run(open + "<dimension><x><sheetData/></x></dimension></worksheet>"),
              "!nested element handled by dispatcher");
    EXPECT_EQ(run(open + "<dimension><dimension/></dimension></worksheet>"), "!nested element handled by dispatcher");
    EXPECT_EQ(run(open + "<dimension>"), "!unclosed element");
}

TEST(FastAttrs, CellAndFormulaMatchers) {
    // Each scan starts from empty slots: the matcher refuses a name whose slot is taken.
    auto cell = [](std::string_view tag, FastSlots& slots) {
        slots = FastSlots{};
        return fast_attrs(tag.data(), tag.size(), 2, CellMatcher{slots});
    };
    FastSlots s;
    std::string_view tag = "<c r=\"A1\"  s=\"3\" t=\"s\">";
    FastScan scan = cell(tag, s);
    EXPECT_EQ(scan.outcome, FastOutcome::Open);
    EXPECT_EQ(scan.next, tag.size());
    EXPECT_EQ(tag.substr(s.start[0], s.end[0] - s.start[0]), "A1");
    EXPECT_EQ(tag.substr(s.start[2], s.end[2] - s.start[2]), "s");
    EXPECT_EQ(cell("<c r=\"A1\"/>", s).outcome, FastOutcome::SelfClosing);
    for (std::string_view odd : {"<c r='A1'>", "<c\tr=\"A1\">", "<c r=\"A&amp;\">", "<c r=\"A1\" r=\"B\">",
                                 "<c xmlns=\"u\">", "<c r=\"A1\"", "<c r = \"1\">", "<c r=\"\xC3\xA9\">",
                                 "<c r=\"A1\" cm=\"1\">", "<c/ >"})
        EXPECT_EQ(cell(odd, s).outcome, FastOutcome::NotHandled) << odd;
    FastSlots f;
    std::string_view ftag = "<f t=\"shared\" ref=\"A1:A3\" si=\"0\">";
    EXPECT_EQ(fast_attrs(ftag.data(), ftag.size(), 2, FormulaMatcher{f}).outcome, FastOutcome::Open);
    EXPECT_EQ(ftag.substr(f.start[1], f.end[1] - f.start[1]), "A1:A3");
    std::string_view other = "<f aca=\"1\">";
    EXPECT_EQ(fast_attrs(other.data(), other.size(), 2, FormulaMatcher{f}).outcome, FastOutcome::NotHandled);
}

// Random cuttings of documents whose tokens straddle reads everywhere.
TEST(XmlReaderChunking, RandomCutsGiveIdenticalStreams) {
    const std::string doc = "<?xml version='1.0'?>\n<w xmlns='" + MAIN + "' xmlns:r='rel'><!-- a comment -->"
                            "<c r='A1' t='s' r:id='x&amp;y'><v>1&#x20AC;2</v><![CDATA[a]]b]]></c>"
                            "<?target data?><is><t xml:space='preserve'> \xC3\xA9\r\n</t></is></w>";
    const std::string want = events(doc);
    ASSERT_EQ(want.find('!'), std::string::npos) << want;
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::size_t> cut;
        for (int i = 0; i < 16; ++i) cut.push_back(1 + rng() % 11);
        ASSERT_EQ(events(doc, cut), want);
    }
}

}  // namespace

// Skipped text, comments and CDATA are checked piece by piece as they stream past; random
// stretches of the pieces that make those checks hard, under random cuttings, must give the
// verdicts (text and offset) that checking the whole stretch gives.
TEST(XmlReaderSkipping, StreamedChecksMatchWholeChecks) {
    const std::vector<std::string> parts = {" ", "a", "\n", "\r", "&amp;", "&#x41;", "&#", "&", ";", "x;",
                                            "&#1234567890123;", "&abcdefghijklmnopqrs;", "]", "]]", ">",
                                            "-", "--", "\x01", "\xC3\xA9", "\xEF\xBF\xBE", "\xE0", "\x80"};
    std::mt19937 rng(2024);
    for (int round = 0; round < 3000; ++round) {
        std::string body;
        for (int n = 1 + static_cast<int>(rng() % 8); n > 0; --n) body += parts[rng() % parts.size()];
        std::string doc;
        switch (round % 4) {
            case 0: doc = "<a><b/>" + body + "<b/></a>"; break;
            case 1: doc = "<a><!--" + body + "--><b/></a>"; break;
            case 2: doc = "<a><![CDATA[" + body + "]]><b/></a>"; break;
            default: doc = body + "<a/>" + body; break;
        }
        const std::string want = events(doc, CUTS[0], Pull::IgnoreText);
        std::vector<std::size_t> cut;
        for (int i = 0; i < 8; ++i) cut.push_back(1 + rng() % 5);
        ASSERT_EQ(events(doc, cut, Pull::Tags), want) << doc;
    }
}
