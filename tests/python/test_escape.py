"""XML escaping in both serialiser styles against the serialisers themselves, and py_strip."""

import xml.etree.ElementTree as ET

import pytest
from hypothesis import example, given, strategies as st

# Every code point except surrogates, weighted towards the characters that matter.
texts = st.text(st.one_of(
    st.characters(exclude_categories=("Cs",)),
    st.sampled_from('&<>"\'\t\r\n\x01\x7f\x80\xe9\u2028\U0001F600'),
))

WHITESPACE = ("\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005"
              "\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000")


def et_text(s):
    # The writer's ElementTree mode keeps a carriage return as a reference, which ElementTree
    # itself leaves raw (and a parser would read back as a line feed).
    e = ET.Element("a")
    e.text = s
    return ET.tostring(e, encoding="unicode")[3:-4].replace("\r", "&#13;")


def et_attr(s):
    return ET.tostring(ET.Element("a", b=s), encoding="unicode")[6:-4]


@given(texts)
@example("x>y\r\nzé")
def test_elementtree_style(testing, s):
    assert testing.esc_text(s, False) == et_text(s)
    assert testing.esc_attr(s, False) == et_attr(s)


def xml_compatible(s):
    return all(c in "\t\n\r" or 0x20 <= ord(c) <= 0xD7FF or 0xE000 <= ord(c) <= 0xFFFD or ord(c) >= 0x10000
               for c in s)


@given(texts.filter(xml_compatible))
@example("a<b & \"c\"\t")
@example("\U0001F600")
def test_lxml_style(testing, s):
    etree = pytest.importorskip("lxml.etree")
    e = etree.Element("a", b=s)
    e.text = s
    out = etree.tostring(e, encoding="ascii").decode("ascii")
    assert out == f'<a b="{testing.esc_attr(s, True)}">{testing.esc_text(s, True)}</a>'


@pytest.mark.parametrize("fn, s, et, lx", [
    ("esc_attr", 'a<b & "c"\t', "a&lt;b &amp; &quot;c&quot;&#09;", "a&lt;b &amp; &quot;c&quot;&#9;"),
    ("esc_text", "x>y\r\nzé", "x&gt;y&#13;\nzé", "x&gt;y&#13;\nz&#233;"),
    ("esc_text", "\U0001F600", "\U0001F600", "&#128512;"),
    ("esc_text", "\ttab'\x01", "\ttab'\x01", "\ttab'\x01"),
    ("esc_attr", "\r'\x01", "&#13;'\x01", "&#13;'\x01"),
    ("esc_text", "", "", ""),
])
def test_escape_examples(testing, fn, s, et, lx):
    assert getattr(testing, fn)(s, False) == et
    assert getattr(testing, fn)(s, True) == lx


@given(st.text(st.one_of(st.sampled_from(WHITESPACE + "\u200b\u180ex"), st.characters(exclude_categories=("Cs",)))))
@example("\xa0\u3000")
@example("\u200b")
def test_py_strip(testing, s):
    assert testing.py_strip(s) == s.strip()


def test_whitespace_set_is_pythons():
    assert "".join(c for c in map(chr, range(0x110000)) if c.isspace()) == WHITESPACE


# ---- whole parts in lxml's form, written without lxml -------------------------------------

_URIS = ["http://schemas.openxmlformats.org/spreadsheetml/2006/main",
         "http://schemas.openxmlformats.org/officeDocument/2006/relationships",
         "http://www.w3.org/XML/1998/namespace", "urn:other", ""]
_names = st.builds(lambda uri, local: "{%s}%s" % (uri, local) if uri else local,
                   st.sampled_from(_URIS[:2] + _URIS[3:]), st.sampled_from(["a", "row", "x-y"]))
_attr_names = st.builds(lambda uri, local: "{%s}%s" % (uri, local) if uri else local,
                        st.sampled_from(_URIS), st.sampled_from(["id", "space", "v"]))
_maybe_text = st.one_of(st.none(), st.just(""), texts)


@st.composite
def trees(draw, depth=0):
    node = ET.Element(draw(_names), draw(st.dictionaries(_attr_names, texts, max_size=3)))
    node.text, node.tail = draw(_maybe_text), draw(_maybe_text) if depth else None
    if depth < 3:
        node.extend(draw(st.lists(trees(depth + 1), max_size=3)))
    return node


def _lxml_bytes(etree, root, prefixes):
    def copy(node, parent=None):
        made = (etree.Element(node.tag, node.attrib, nsmap={p or None: u for u, p in prefixes.items()})
                if parent is None else etree.SubElement(parent, node.tag, node.attrib))
        made.text, made.tail = node.text, node.tail
        for child in node:
            copy(child, made)
        return made
    return etree.tostring(copy(root), encoding="UTF-8", xml_declaration=False)


def _collision():
    # An attribute in the root's own namespace beside another namespace: both were given the
    # prefix "ns1", declared twice in one tag.
    return ET.Element("{%s}a" % _URIS[0], {"{urn:other}id": "", "{%s}v" % _URIS[0]: ""})


@given(trees())
@example(_collision())
def test_parts_are_written_as_lxml_writes_them(root):
    """lxml mode writes what lxml would, and refuses what it refuses; either mode writes a
    document that reads back."""
    etree = pytest.importorskip("lxml.etree")
    from quillfen.writer.xml import DECLARATION, _prefixes, to_bytes

    try:
        want = DECLARATION.encode() + _lxml_bytes(etree, root, _prefixes(root))
    except (ValueError, UnicodeEncodeError) as exc:
        with pytest.raises(type(exc)):
            to_bytes(root, True)
        return
    assert to_bytes(root, True) == want
    for lxml in (False, True):
        assert ET.fromstring(to_bytes(root, lxml)).tag == root.tag


@given(texts)
@example("a\"b'c\n\r\t<&>")
def test_attributes_quoted_as_saxutils_quotes_them(s):
    from xml.sax.saxutils import quoteattr

    from quillfen.package.xmlparts import quote_attr

    assert quote_attr(s) == quoteattr(s)
