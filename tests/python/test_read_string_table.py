"""read_string_table: the native shared string table against the pure-Python reader, the
per-item hand-over to si_content, the run-property verdicts, failures and exceptions."""

import gc
import glob
import io
import os
import sys
import xml.etree.ElementTree as ET
import zipfile

import pytest
from hypothesis import given, strategies as st

from conftest import CORPUS_DIR
from quillfen.reader import helpers as qh
from quillfen.package.errors import DoctypeRefused
from quillfen.reader.strings import read_string_table as pure_read

from support import MAIN, Pieces


def table(*items, root_attrs=f'xmlns="{MAIN}"'):
    return f'<sst {root_attrs}>{"".join(items)}</sst>'.encode()


class Recorder:
    """Wraps a helper and records its calls."""

    def __init__(self, fn):
        self.fn, self.calls = fn, []

    def __call__(self, *args):
        self.calls.append(args)
        return self.fn(*args)


def helpers(**changes):
    h = qh.reading_helpers()
    h.update(changes)
    return h


def native_read(native, xml, sizes=(65536,), **changes):
    return native.read_string_table(Pieces(xml, sizes), helpers(**changes))


def assert_agrees(native, xml, sizes=(65536,), may_fall_back=False):
    """Equal lists, or NativeFallback where allowed (always when the pure reader refuses)."""
    try:
        expected = pure_read(io.BytesIO(xml))
    except (ET.ParseError, DoctypeRefused):
        with pytest.raises(native.NativeFallback):
            native_read(native, xml, sizes)
        return None
    try:
        got = native_read(native, xml, sizes)
    except native.NativeFallback:
        assert may_fall_back, xml
        return None
    assert got == expected
    assert all(type(s) is str for s in got)
    return got


# --- values ------------------------------------------------------------------------------------

@pytest.mark.parametrize("item, value", [
    ("<si><t>a</t></si>", "a"),
    ('<si><t xml:space="preserve">  a </t></si>', "  a "),
    ("<si/>", ""),
    ("<si></si>", ""),
    ("<si><t/></si>", ""),
    ("<si><t>a</t><t>b</t></si>", "b"),
    ("<si><t>a</t><t/></si>", ""),
    ("<si><r><t>a</t></r><r><rPr><b/></rPr><t>b</t></r></si>", "ab"),
    ("<si><t>a_x005F_x000D_b</t></si>", "a_x000D_b"),
    ("<si><t>_x005F_x005F_</t></si>", "_x005F_"),
    ("<si><t>ax005F_b__x005F_</t></si>", "ax005F_b__"),
    ("<si><t>_x005F__x005F_x005F_</t></si>", "__x005F_"),
    ("<si><t>a<b/>c</t></si>", "a"),
    ("<si><t>a<!-- c -->b<?pi x?>c<x/>d</t></si>", "abc"),
    ("<si><r><t>a</t></r><t>b</t></si>", "ba"),
    ("<si>stray<t>a</t>text</si>", "a"),
    ("<si><r><t>a</t><t>b</t></r><r/><r><rPr/></r><r><t>c</t><t/></r></si>", "b"),
    ("<si><t><![CDATA[<x>&]]>&amp;&#x41;&#66;</t></si>", "<x>&&AB"),
    ("<si><t><![CDATA[]]></t></si>", ""),
    ("<si><t>a\r\nb&#13;\rc</t></si>", "a\nb\r\nc"),
    ("<si><t>\u00e9\u65e5\U0001F600&#x10FFFF;</t></si>", "\u00e9\u65e5\U0001F600\U0010FFFF"),
    ('<si xmlns:o="urn:o"><o:t>other ns</o:t><o:r><o:t>!</o:t></o:r></si>', "other ns!"),
    ('<si><ext xmlns="urn:x"><t>not direct</t></ext><t>d</t></si>', "d"),
])
def test_item_values(native, item, value):
    assert native_read(native, table(item)) == [value]
    assert_agrees(native, table(item))


def test_inline_underscore_rule_is_the_hosts(native):
    # Plain items take the same "_x005F_" rule as the pure reader; a dispatched item gets the
    # rule from si_content, so both halves agree too.
    xml = table("<si><t>_x005F_x005F_</t></si>", "<si><t>_x005F_x005F_</t><rPh><t>p</t></rPh></si>")
    assert native_read(native, xml) == ["_x005F_", "_x005F_"]


def test_items_by_namespace_and_prefix(native):
    assert_agrees(native, table('<x:si xmlns:x="urn:other"><x:t>no</x:t></x:si>', "<si><t>1</t></si>",
                                "<m:si><m:t>2</m:t></m:si>", root_attrs=f'xmlns:m="{MAIN}" xmlns="{MAIN}"'))
    assert native_read(native, f'<m:sst xmlns:m="{MAIN}"><m:si><m:t>p</m:t></m:si></m:sst>'.encode()) == ["p"]
    assert native_read(native, b"<sst><si><t>no namespace</t></si></sst>") == []
    # A root of any name; an si rebinding the default namespace to another URI is not an item.
    assert native_read(native, f'<x xmlns="{MAIN}"><si xmlns="urn:o"><t>a</t></si><si/></x>'.encode()) == [""]


def test_declaration_bom_and_whitespace_around_items(native):
    xml = b'\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n' + table(
        "\n  <si><t>a</t></si>\n  ", root_attrs=f'xmlns="{MAIN}" count="1" uniqueCount="1"')
    assert native_read(native, xml) == ["a"]


# --- hand-over to si_content -------------------------------------------------------------------

@pytest.mark.parametrize("item, dispatched", [
    ("<si><t>a</t></si>", False),
    ("<si><r><rPr><b/></rPr><t>a</t></r></si>", False),
    ('<si><r><rPr><b val="maybe"/></rPr><t>a</t></r></si>', True),
    ("<si><t>x</t><rPh sb='0' eb='1'><t>p</t></rPh></si>", True),
    ("<si><t>x</t><phoneticPr fontId='1'/></si>", True),
    ('<si count="1"><t>a</t></si>', True),
    ('<si xml:lang="en"><t>a</t></si>', False),
    ('<si><r foo="1"><t>a</t></r></si>', True),
    ('<si xmlns:q="urn:q"><r q:foo="1"><t>a</t></r></si>', False),
    ("<si/>", False),
    ('<si a="1"/>', True),
])
def test_items_needing_the_package_go_to_si_content(native, item, dispatched):
    si_content = Recorder(qh.si_content)
    xml = table(item)
    assert native_read(native, xml, si_content=si_content) == pure_read(io.BytesIO(xml))
    assert len(si_content.calls) == int(dispatched)
    if dispatched:
        snippet, namespaces = si_content.calls[0]
        assert snippet == item.encode() and namespaces == [("", MAIN)]


def test_si_content_result_is_stored_as_it_is(native):
    marker = object()
    got = native_read(native, table("<si><t>a</t></si>", "<si><rPh/></si>"), si_content=lambda *a: marker)
    assert got[0] == "a" and got[1] is marker


def test_dangerous_names_force_the_package(native):
    si_content = Recorder(qh.si_content)
    xml = table("<si><t>a</t><foo/></si>", "<si><r><bar/><t>b</t></r></si>",
                "<si><r><foo/><t>c</t></r></si>", "<si><bar/><t>d</t></si>")
    got = native_read(native, xml, si_content=si_content, text_dangerous=["foo"], rich_dangerous=("bar",))
    assert got == ["a", "b", "c", "d"]
    assert [s for s, _ in si_content.calls] == [b"<si><t>a</t><foo/></si>", b"<si><r><bar/><t>b</t></r></si>"]


def test_rpr_verdicts_are_cached_per_byte_sequence(native):
    validate = Recorder(qh.validate_rpr)
    runs = [f'<si><r><rPr><b/></rPr><t>{i}</t></r><r><rPr><i/></rPr><t>x</t></r></si>' for i in range(300)]
    runs.append('<si><r><rPr ><b/></rPr><t>y</t></r></si>')  # other bytes, same meaning
    got = native_read(native, table(*runs), sizes=(7, 300), validate_rpr=validate)
    assert got == [f"{i}x" for i in range(300)] + ["y"]
    assert [c[0] for c in validate.calls] == [b"<rPr><b/></rPr>", b"<rPr><i/></rPr>", b"<rPr ><b/></rPr>"]
    assert validate.calls[0][1] == [("", MAIN)]


def test_rpr_namespaces_in_scope(native):
    validate = Recorder(lambda *a: True)
    xml = table('<si xmlns:a="urn:a"><r xmlns:b="urn:b"><a:rPr/></r></si>',
                root_attrs=f'xmlns="{MAIN}" xmlns:a="urn:root"')
    assert native_read(native, xml, validate_rpr=validate) == [""]
    assert validate.calls == [(b"<a:rPr/>", [("", MAIN), ("a", "urn:a"), ("b", "urn:b")])]


def test_validator_truth_value_is_taken(native):
    class Falsy:
        def __bool__(self):
            return False

    si_content = Recorder(qh.si_content)
    assert native_read(native, table("<si><r><rPr/><t>a</t></r></si>"), validate_rpr=lambda *a: Falsy(),
                       si_content=si_content) == ["a"]
    assert len(si_content.calls) == 1


# --- exceptions from Python ----------------------------------------------------------------------

def test_helper_exceptions_reach_the_caller_unchanged(native):
    error = KeyError("si_content")

    def failing(*args):
        raise error

    with pytest.raises(KeyError) as info:
        native_read(native, table("<si><t>a</t></si>", "<si><rPh/></si>"), si_content=failing)
    assert info.value is error

    # validate_rpr's exception waits for the end of its item, then wins over the value.
    seen = []
    with pytest.raises(KeyError) as info:
        native_read(native, table("<si><r><rPr/><t>a</t></r><rPh/></si>"), validate_rpr=failing,
                    si_content=lambda *a: seen.append(a))
    assert info.value is error and seen == []

    class BadBool:
        def __bool__(self):
            raise error

    with pytest.raises(KeyError) as info:
        native_read(native, table("<si><r><rPr/></r></si>"), validate_rpr=lambda *a: BadBool())
    assert info.value is error


def test_reader_error_before_the_item_end_wins_over_validator(native):
    def failing(*args):
        raise KeyError("late")

    with pytest.raises(native.NativeFallback, match="nested element handled by dispatcher"):
        native_read(native, table("<si><r><rPr/></r><r><si/></r></si>"), validate_rpr=failing)


def test_source_errors_propagate(native):
    error = ValueError("disk")

    class Broken:
        def read(self, n):
            raise error

    with pytest.raises(ValueError) as info:
        native.read_string_table(Broken(), helpers())
    assert info.value is error

    class NotBytes:
        def read(self, n):
            return "text"

    with pytest.raises(TypeError):
        native.read_string_table(NotBytes(), helpers())


def test_caller_errors(native):
    h = helpers()
    del h["si_content"]
    with pytest.raises(TypeError, match="^missing helper si_content$"):
        native.read_string_table(io.BytesIO(table()), h)
    h = helpers()
    del h["validate_rpr"]
    with pytest.raises(TypeError, match="^missing helper validate_rpr$"):
        native.read_string_table(io.BytesIO(table()), h)
    with pytest.raises(TypeError):
        native.read_string_table(io.BytesIO(table()), list(helpers().items()))
    with pytest.raises(TypeError):
        native.read_string_table(io.BytesIO(table()), helpers(text_dangerous=[1]))
    with pytest.raises(TypeError):
        native.read_string_table(io.BytesIO(table()))
    assert native.read_string_table(source=io.BytesIO(table("<si/>")), helpers=helpers()) == [""]
    assert native.read_string_table.__text_signature__ == "(source, helpers)"
    assert native.read_string_table.__doc__ == "read_string_table(source, helpers) -> list"


def test_no_reference_leaks(native):
    si_content = lambda *a: "d"  # noqa: E731
    validate = lambda *a: False  # noqa: E731
    h = helpers(si_content=si_content, validate_rpr=validate)
    xml = table(*["<si><t>a</t></si>", "<si><r><rPr/><t>b</t></r></si>", "<si><rPh/></si>"] * 50)
    bad = table("<si><t>a</t></si>", "<si><si/></si>")
    for _ in range(3):
        native.read_string_table(io.BytesIO(xml), h)
    gc.collect()
    before = (sys.getrefcount(si_content), sys.getrefcount(validate), sys.getrefcount(h))
    for _ in range(20):
        native.read_string_table(io.BytesIO(xml), h)
        with pytest.raises(native.NativeFallback):
            native.read_string_table(io.BytesIO(bad), h)
    gc.collect()
    assert (sys.getrefcount(si_content), sys.getrefcount(validate), sys.getrefcount(h)) == before


# --- failures ------------------------------------------------------------------------------------

@pytest.mark.parametrize("xml, message", [
    (table("<extLst><si><t>a</t></si></extLst>"), "unsupported: nested si"),
    (f'<si xmlns="{MAIN}"><t>root</t></si>'.encode(), "unsupported: nested si"),
    (table("<si><si><t>a</t></si></si>"), "unsupported: nested element handled by dispatcher"),
    (table("<si><r><si/></r></si>"), "unsupported: nested element handled by dispatcher"),
    (table("<si><r><rPr><si/></rPr></r></si>"), "unsupported: nested element handled by dispatcher"),
    (table("<si><t>a<si/></t></si>"), "unsupported: nested element handled by dispatcher"),
    (table("<si><rPh><x><si/></x></rPh></si>"), "unsupported: nested element handled by dispatcher"),
    (table("<si><t>a</t></si>")[:-11], "malformed: unclosed element"),
    (table("<si><t>a</si>"), "malformed: mismatched tag"),
    (b'<!DOCTYPE sst><sst/>', "unsupported: doctype"),
])
def test_failures(native, xml, message):
    with pytest.raises(native.NativeFallback) as info:
        native_read(native, xml)
    assert str(info.value) == message


def test_nested_si_elsewhere_is_not_an_item_for_the_pure_reader_either(native):
    # The pure reader would append both; the engine declines the table rather than guess.
    xml = table("<si><t>a</t></si>", "<x><si><t>b</t></si></x>")
    assert pure_read(io.BytesIO(xml)) == ["a", "b"]
    assert_agrees(native, xml, may_fall_back=True)


# --- the corpus and generated tables -------------------------------------------------------------

def _corpus_tables():
    for path in sorted(glob.glob(os.path.join(CORPUS_DIR, "*.xlsx"))):
        if zipfile.is_zipfile(path):
            with zipfile.ZipFile(path) as z:
                if "xl/sharedStrings.xml" in z.namelist():
                    yield os.path.basename(path), z.read("xl/sharedStrings.xml")


CORPUS = list(_corpus_tables())


@pytest.mark.parametrize("name, xml", CORPUS, ids=[n for n, _ in CORPUS])
def test_corpus_tables_agree(native, name, xml):
    assert_agrees(native, xml)
    if len(xml) < 200_000:
        assert_agrees(native, xml, sizes=(1, 2, 3, 5, 64, 4093))


_TEXT_PIECES = st.sampled_from([
    "a", "Zz", " ", "  ", "\t", "\n", "\r\n", "\r", "&amp;", "&lt;", "&gt;", "&quot;", "&apos;",
    "&#65;", "&#x1F600;", "&#13;", "&#xA;", "_x005F_", "x005F_", "_x005F_x005F_", "_x000D_", "_",
    "_x000d_", "_x0001_", "_xD83D_", "_xde00_", "_x00", "41_", "&#95;x0041_",
    "\u00e9", "\u65e5\u672c", "\U0001F600", "<![CDATA[c&<]]>", "<![CDATA[]]>", "<!--c-->", "<?p i?>",
    "<b/>", '<u x="1">in</u>',
])
_TEXT = st.lists(_TEXT_PIECES, max_size=6).map("".join)
_RPR = st.sampled_from([
    "<rPr/>", "<rPr><b/></rPr>", '<rPr><sz val="11"/><color rgb="FF0000FF"/></rPr>',
    '<rPr><b val="maybe"/></rPr>', '<rPr><x:ext xmlns:x="urn:x"/></rPr>', '<rPr><vertAlign val="sideways"/></rPr>',
    '<o:rPr xmlns:o="urn:o"><o:b/></o:rPr>',
])
_T_ATTRS = st.sampled_from(["", ' xml:space="preserve"', ' q:x="1"', ' v="1"'])


@st.composite
def t_element(draw, prefix=""):
    text = draw(_TEXT)
    attrs = draw(_T_ATTRS)
    return f"<{prefix}t{attrs}/>" if not text and draw(st.booleans()) else f"<{prefix}t{attrs}>{text}</{prefix}t>"


@st.composite
def run(draw):
    attrs = draw(st.sampled_from(["", "", ' q:a="1"', ' a="1"']))
    parts = draw(st.lists(st.one_of(t_element(), _RPR, st.sampled_from(["<foo/>", "text", "<!--c-->"])), max_size=3))
    return f"<r{attrs}>{''.join(parts)}</r>" if parts or draw(st.booleans()) else f"<r{attrs}/>"


@st.composite
def item(draw):
    attrs = draw(st.sampled_from(["", "", "", ' q:a="1"', ' count="2"', ' xml:space="preserve"']))
    children = draw(st.lists(st.one_of(
        t_element(), run(), t_element("q:"),
        st.sampled_from(["<rPh sb='0' eb='1'><t>p</t></rPh>", "<phoneticPr fontId='1'/>", "stray",
                         "<foo><t>x</t></foo>", "<q:ext/>"])), max_size=4))
    prefix = draw(st.sampled_from(["", "", "m:"]))
    if not children and draw(st.booleans()):
        return f"<{prefix}si{attrs}/>"
    return f"<{prefix}si{attrs}>{''.join(children)}</{prefix}si>"


@st.composite
def tables(draw):
    items = draw(st.lists(st.one_of(item(), st.sampled_from(["\n", "<x/>", '<q:si><t>q</t></q:si>'])), max_size=12))
    root = draw(st.sampled_from([
        f'<sst xmlns="{MAIN}" xmlns:q="urn:q" xmlns:m="{MAIN}">',
        f'<m:sst xmlns="{MAIN}" xmlns:m="{MAIN}" xmlns:q="urn:q">',
    ]))
    close = "</m:sst>" if root.startswith("<m:") else "</sst>"
    return (root + "".join(items) + close).encode()


_SIZES = st.lists(st.integers(1, 80), min_size=1, max_size=4).map(tuple)


@given(tables(), _SIZES)
def test_generated_tables_agree(native, xml, sizes):
    assert_agrees(native, xml, sizes)


@given(st.lists(item(), min_size=1, max_size=3), st.integers(0, 2))
def test_generated_nested_items_fall_back(native, items, where):
    outer = ["<si>{}</si>", "<si><r>{}</r></si>", "<x>{}</x>"][where]
    xml = table(outer.format("".join(items)), root_attrs=f'xmlns="{MAIN}" xmlns:q="urn:q" xmlns:m="{MAIN}"')
    with pytest.raises(native.NativeFallback, match="^unsupported: nested"):
        native_read(native, xml)
