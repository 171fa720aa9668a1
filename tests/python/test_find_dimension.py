"""find_dimension end to end: results, every reader failure text, source errors, chunking,
captures across buffer compaction, a differential test against expat, and reference counts."""

import io
import sys
import xml.parsers.expat

import pytest
from hypothesis import assume, given, strategies as st

from faults import assert_no_leak
from support import MAIN, Pieces, cuts
WS = f'<worksheet xmlns="{MAIN}">'.encode()


def outcome(native, source):
    try:
        return ("ok", native.find_dimension(source))
    except native.NativeFallback as exc:
        return ("fallback", exc.args)


def run_all_cuts(native, data: bytes):
    results = {repr(outcome(native, src)) for src in cuts(data)}
    assert len(results) == 1, results
    return outcome(native, io.BytesIO(data))


# ---- results -------------------------------------------------------------------------------

@pytest.mark.parametrize("doc, want", [
    (WS + b'<dimension ref="A1:C3"/><sheetData/></worksheet>', (b'<dimension ref="A1:C3"/>', [("", MAIN)])),
    (f'<x:worksheet xmlns:x="{MAIN}"><x:dimension ref="A1"></x:dimension></x:worksheet>'.encode(),
     (b'<x:dimension ref="A1"></x:dimension>', [("x", MAIN)])),
    (WS + b'<dimension xmlns:q="urn:q" ref="A1"><!--c--><q:x>&amp;<![CDATA[<]]></q:x></dimension></worksheet>',
     (b'<dimension xmlns:q="urn:q" ref="A1"><!--c--><q:x>&amp;<![CDATA[<]]></q:x></dimension>', [("", MAIN)])),
    (b'\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
     b'<worksheet xmlns:r="urn:r" xmlns=""><d:dimension xmlns:d="' + MAIN.encode() + b'" ref="B2"/></worksheet>',
     (b'<d:dimension xmlns:d="' + MAIN.encode() + b'" ref="B2"/>', [("r", "urn:r"), ("", "")])),
    (b'<worksheet><dimension ref="A1"/></worksheet>', None),
    (b'<worksheet xmlns="urn:other"><dimension ref="A1"/></worksheet>', None),
    (WS + b'<sheetData></sheetData><dimension ref="A1"/></worksheet>', None),
    (WS + b'<sheetData/><dimension ref="A1"/></worksheet>', None),
    (WS + b'</worksheet>', None),
    (b'<a xml:lang="en"/>', None),
    (b'<a xmlns=""/>', None),
])
def test_results(native, doc, want):
    assert run_all_cuts(native, doc) == ("ok", want)


def test_docstring_and_keyword_call(native):
    assert native.find_dimension.__doc__ == (
        "Find the `dimension` element like `WorkSheetParser.parse_dimensions`.\n"
        "Returns (snippet, namespaces) or None.")
    assert native.find_dimension.__text_signature__ == "(source)"
    assert native.find_dimension(source=io.BytesIO(b"<a/>")) is None
    with pytest.raises(TypeError, match="source"):
        native.find_dimension()


# ---- every failure text --------------------------------------------------------------------

FAILURES = [
    # document start and declaration
    (b"\xff\xfe<\x00a\x00/\x00>\x00", "unsupported: utf-16"),
    (b"\xfe\xff\x00<", "unsupported: utf-16"),
    (b"<\x00a\x00", "unsupported: utf-16"),
    (b'<?xml version="1.0"', "malformed: unclosed decl"),
    (b'<?xml encoding="utf-8" version="1.0"?><a/>', "malformed: bad decl"),
    (b'<?xml ?><a/>', "malformed: bad decl"),
    (b'<?xml version="1.1"?><a/>', "unsupported: xml version"),
    (b"<?xml version='1.0' encoding=\"latin-1\"?><a/>", "unsupported: encoding"),
    (b"<?xml version='1.0' standalone='maybe'?><a/>", "malformed: bad standalone"),
    (b" <?xml version='1.0'?><a/>", "malformed: misplaced xml declaration"),
    # structure
    (b"<a>", "malformed: unclosed element"),
    (b"", "malformed: no element found"),
    (b"<a></a><", "malformed: unclosed token"),
    (b"<a>x</a>y", "malformed: junk outside root"),
    (b"<a/><b/>", "malformed: junk after document element"),
    (b"<a>x]]>y</a>", "malformed: ]]> in text"),
    (b"<a>\x01</a>", "malformed: invalid character"),
    (b"<a>\xef\xbf\xbf</a>", "malformed: invalid character"),
    (b"<a>\xc0\x80</a>", "malformed: invalid utf-8"),
    (b"<a><!-- x", "malformed: unclosed comment"),
    (b"<a><!-- a -- b --></a>", "malformed: -- in comment"),
    (b"<![CDATA[x]]><a/>", "malformed: cdata outside root"),
    (b"<a><![CDATA[x</a>", "malformed: unclosed cdata"),
    (b"<!DOCTYPE a><a/>", "unsupported: doctype"),
    (b"<a><!ELEMENT a></a>", "malformed: bad markup declaration"),
    (b"<a><?pi x", "malformed: unclosed pi"),
    (b"<a><?1x?></a>", "malformed: bad pi"),
    (b"<a><?XmL x?></a>", "malformed: misplaced xml declaration"),
    (b"<a><?a:b?></a>", "malformed: colon in pi target"),
    # tags
    (b"<a></a", "malformed: unclosed end tag"),
    (b"<a></a x>", "malformed: bad end tag"),
    (b"<a></b>", "malformed: mismatched tag"),
    (b"<a b='>", "malformed: unclosed tag"),
    (b"<a b='1'c='2'/>", "malformed: missing whitespace between attributes"),
    (b"<a b/>", "malformed: expected ="),
    (b"<a b=1/>", "malformed: expected quote"),
    (b"<a b='<'/>", "malformed: < in attribute"),
    (b"<a b='1' b='2'/>", "malformed: duplicate attribute"),
    (b"<a xmlns:p='u' xmlns:q='u' p:b='1' q:b='2'/>", "malformed: duplicate attribute"),
    (b"< a/>", "malformed: expected name"),
    (b"<\xc3\xa9/>", "unsupported: non-ascii name"),
    (b"<1a/>", "malformed: bad name"),
    # references
    (b"<a>a & b</a>", "malformed: bad reference"),
    (b"<a b='&#X41;'/>", "malformed: bad char ref"),
    (b"<a>&#x;</a>", "malformed: bad char ref"),
    (b"<a>&#00000000065;</a>", "malformed: bad char ref"),
    (b"<a>&#0;</a>", "malformed: invalid char ref"),
    (b"<a>&#xFFFE;</a>", "malformed: invalid char ref"),
    (b"<a>&#;</a>", "malformed: undefined entity"),
    (b"<a>&nbsp;</a>", "malformed: undefined entity"),
    # namespaces
    (b"<a:b:c/>", "malformed: bad qname"),
    (b"<:a/>", "malformed: bad qname"),
    (b"<a:/>", "malformed: bad qname"),
    (b"<r xmlns:-p='u'/>", "malformed: bad qname"),
    (b"<a xmlns:xmlns='u'/>", "malformed: xmlns prefix"),
    (b"<a xmlns:xml='u'/>", "malformed: xml prefix"),
    (b"<a xmlns='http://www.w3.org/XML/1998/namespace'/>", "malformed: reserved namespace"),
    (b"<a xmlns:p='http://www.w3.org/2000/xmlns/'/>", "malformed: reserved namespace"),
    (b"<a xmlns:p=''/>", "malformed: empty prefixed namespace"),
    (b"<a xmlns='urn:}'/>", "unsupported: brace in namespace"),
    (b"<p:a/>", "malformed: unbound prefix"),
    (WS + b"<dimension><x><sheetData/></x></dimension></worksheet>",
     "unsupported: nested element handled by dispatcher"),
    (WS + b"<dimension><dimension/></dimension></worksheet>", "unsupported: nested element handled by dispatcher"),
]


@pytest.mark.parametrize("doc, message", FAILURES)
def test_failures(native, doc, message):
    assert run_all_cuts(native, doc) == ("fallback", (message,))


def test_a_dimension_ends_the_read_before_later_faults(native):
    doc = WS + b'<dimension ref="A1"/><sheetData/></worksheet><junk'
    assert run_all_cuts(native, doc)[1][0] == b'<dimension ref="A1"/>'


# ---- the source ----------------------------------------------------------------------------

class Raising:
    def __init__(self, exc, after=0):
        self.exc, self.after = exc, after

    def read(self, n):
        assert n == 65536 and type(n) is int
        if self.after:
            self.after -= 1
            return b"<worksheet>"
        raise self.exc


@pytest.mark.parametrize("after", [0, 2])
def test_read_exception_is_raised_unchanged(native, after):
    exc = ValueError("disk gone")
    with pytest.raises(ValueError) as info:
        native.find_dimension(Raising(exc, after))
    assert info.value is exc


def test_bytes_subclass_and_missing_read(native):
    class B(bytes):
        pass

    class Source:
        done = False

        def read(self, n):
            if self.done:
                return B()
            self.done = True
            return B(WS + b'<dimension ref="A1"/></worksheet>')
    assert native.find_dimension(Source())[0] == b'<dimension ref="A1"/>'
    with pytest.raises(AttributeError):
        native.find_dimension(object())


# ---- large inputs: text runs and captures across compaction --------------------------------

def big_sheet(rows: int, dimension: bytes) -> bytes:
    body = b"".join(b'<row r="%d"><c r="A%d"><v>%d</v></c></row>' % (i, i, i) for i in range(1, rows))
    return (WS[:-1] + b' xmlns:r="urn:r"><sheetPr/>' + b"<extLst>" + body + b"</extLst>" + dimension +
            b"<sheetData/></worksheet>")


@pytest.mark.parametrize("filler", [8000, 20000])
def test_late_dimension_is_byte_exact_after_compaction(native, filler):
    dimension = (b'<dimension ref="A1:Z9"><!-- \xc3\xa9 --><x:y xmlns:x="urn:x">' + b"&amp;" * 30000 +
                 b"<![CDATA[]]]]></x:y>\r\n</dimension>")
    doc = big_sheet(filler, dimension)
    assert len(doc) > 2 * 128 * 1024
    for src in [io.BytesIO(doc), Pieces(doc, [7, 65536, 1, 4093]), Pieces(doc, [65535])]:
        assert native.find_dimension(src) == (dimension, [("", MAIN), ("r", "urn:r")])


def test_long_text_run(native):
    doc = b"<a>" + b"x" * 200000 + b"&amp;</a>"
    assert run_all_cuts(native, doc) == ("ok", None)


# ---- differential against expat ------------------------------------------------------------

def expat_accepts(doc: bytes) -> bool:
    # "}" as the package's own parser uses it (it also makes expat refuse URIs holding one).
    parser = xml.parsers.expat.ParserCreate(namespace_separator="}")
    try:
        parser.Parse(doc, True)
        return True
    except xml.parsers.expat.ExpatError:
        return False


FRAGMENTS = [
    b"<a>", b"</a>", b"<b/>", b"<b>", b"</b>", b"<p:c>", b"</p:c>", b"<a x='1'>", b'<b y="&amp;" z="2"/>',
    b"<a p:x='1' xmlns:p='urn:p'>", b"<b xmlns='urn:d'>", b"<b xmlns=''>", b"<b xmlns:p=''>",
    b"<a xml:lang='en'>", b"text", b" ", b"\r\n", b"\t", b"&lt;", b"&#65;", b"&#x10FFFF;", b"&#xD800;", b"&bogus;",
    b"&", b";", b"<![CDATA[ <x> ]]>", b"]]>", b"]", b"<!-- c -->", b"<!-- - -->", b"--", b"<?pi data?>",
    b"<?xml version='1.0'?>", b"<!DOCTYPE a>", b"\xc3\xa9", b"\xc3", b"\xef\xbf\xbe", b"\x00", b"\x0b", b"\x7f",
    b"<", b">", b"/", b"=", b"'", b'"', b"<a b='x'c='y'>", b"<a b='1' b='2'>", b"</ a>", b"<a >", b"</a >",
    b"<1>", b"<a:b:c>", b"<b xmlns:q='u}'>", b"<xmlns:a>", b"<a xmlns:xml='http://www.w3.org/XML/1998/namespace'>",
]


@st.composite
def documents(draw):
    parts = draw(st.lists(st.sampled_from(FRAGMENTS), max_size=14))
    doc = b"".join(parts)
    if draw(st.booleans()):
        doc = b"<r xmlns:p='urn:p'>" + doc + b"</r>"
    if draw(st.booleans()):
        doc = draw(st.sampled_from([b"<?xml version='1.0' encoding='UTF-8'?>", b"\xef\xbb\xbf", b"<?xml version='1.0'?>\n"])) + doc
    # Byte-level mutations of the structured document.
    for _ in range(draw(st.integers(0, 3))):
        if not doc:
            break
        at = draw(st.integers(0, len(doc) - 1))
        op = draw(st.sampled_from(["delete", "insert", "replace"]))
        byte = bytes([draw(st.integers(0, 255))])
        doc = doc[:at] + (b"" if op == "delete" else byte) + doc[at + (op != "insert"):]
    return doc


@given(documents())
def test_accepted_documents_are_accepted_by_expat(native, doc):
    try:
        result = native.find_dimension(io.BytesIO(doc))
    except native.NativeFallback:
        return  # the pure-Python path decides; nothing to compare
    assert result is None
    assert expat_accepts(doc), doc


@given(documents(), st.lists(st.integers(1, 40), min_size=1, max_size=8))
def test_chunking_never_changes_the_outcome(native, doc, sizes):
    assume(doc)
    assert outcome(native, Pieces(doc, sizes)) == outcome(native, io.BytesIO(doc))


# ---- references and memory -----------------------------------------------------------------

@pytest.mark.parametrize("doc", [WS + b'<dimension ref="A1"/></worksheet>', b"<a><b></a>", b"<a/>"])
def test_source_refcount_is_unchanged(native, doc):
    src = io.BytesIO(doc)
    before = sys.getrefcount(src)
    try:
        native.find_dimension(src)
    except native.NativeFallback:
        pass
    assert sys.getrefcount(src) == before


def test_repeated_calls_do_not_grow_memory(native):
    docs = [WS + b'<dimension ref="A1"/></worksheet>', b"<a><b></a>", big_sheet(3000, b"")]
    sources = [lambda d=d: io.BytesIO(d) for d in docs] + [lambda: Raising(ValueError("x"), 1)]

    def round_():
        for make in sources:
            try:
                native.find_dimension(make())
            except (native.NativeFallback, ValueError):
                pass
    assert_no_leak(round_, 200, warm=20, runs_per_step=len(sources))


# ---- real workbooks ------------------------------------------------------------------------

def corpus_sheets():
    import glob
    import os
    import zipfile
    from conftest import CORPUS_DIR
    for book in sorted(glob.glob(os.path.join(CORPUS_DIR, "*.xlsx"))):
        try:
            with zipfile.ZipFile(book) as z:
                for name in z.namelist():
                    if name.startswith("xl/worksheets/") and name.endswith(".xml"):
                        yield os.path.basename(book) + ":" + name, z.read(name)
        except zipfile.BadZipFile:
            continue


def oracle_dimension(data: bytes):
    """The dimension's attributes as ElementTree sees them, or None (same stopping rules)."""
    import xml.etree.ElementTree as ET
    for event, elem in ET.iterparse(io.BytesIO(data), events=("start", "end")):
        if event == "start" and elem.tag == f"{{{MAIN}}}dimension":
            return dict(elem.attrib)
        if event == "end" and elem.tag == f"{{{MAIN}}}sheetData":
            return None
    return None


def test_corpus_worksheets_match_elementtree(native):
    import xml.etree.ElementTree as ET
    checked = 0
    for name, data in corpus_sheets():
        try:
            found = native.find_dimension(io.BytesIO(data))
        except native.NativeFallback:
            continue  # the pure-Python path takes these
        want = oracle_dimension(data)
        if want is None:
            assert found is None, name
            continue
        snippet, namespaces = found
        decls = "".join(f' xmlns{":" + p if p else ""}="{u}"' for p, u in namespaces)
        # Re-parse the snippet inside its namespace context, as the package does.
        wrapper = f"<w{decls}>".encode() + snippet + b"</w>"
        assert dict(ET.fromstring(wrapper)[0].attrib) == want, name
        checked += 1
    if checked == 0:
        pytest.skip("no corpus")
