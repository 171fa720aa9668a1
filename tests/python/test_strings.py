"""The shared string table: the pure-Python reader that defines every item's value, the helpers
that must agree with it item by item, and the host's entry point with its fallback."""

import glob
import io
import json
import os
import re
import zipfile
import xml.etree.ElementTree as ET

import pytest

from conftest import CORPUS_DIR
from quillfen import _native
from quillfen.reader import helpers as qh
from quillfen.package.errors import DoctypeRefused
from quillfen.reader.strings import read_shared_strings, read_string_table
from quillfen.model.richtext import InlineFont

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


def table(*items, root_attrs=f'xmlns="{MAIN}"'):
    return f'<sst {root_attrs}>{"".join(items)}</sst>'.encode()


def read(xml: bytes):
    return read_string_table(io.BytesIO(xml))


@pytest.mark.parametrize("item, value", [
    ("<si><t>a</t></si>", "a"),
    ('<si><t xml:space="preserve">  a </t></si>', "  a "),
    ("<si/>", ""),
    ("<si><t/></si>", ""),
    ("<si><t>a</t><t>b</t></si>", "b"),
    ("<si><t>a</t><t/></si>", ""),
    ("<si><r><t>a</t></r><r><rPr><b/></rPr><t>b</t></r></si>", "ab"),
    ("<si><t>a_x005F_x000D_b</t></si>", "a_x000D_b"),
    ("<si><t>_x005F_x005F_</t></si>", "_x005F_"),  # the literal text "_x005F_", not "_"
    ("<si><t>ax005F_b__x005F_</t></si>", "ax005F_b__"),
    ("<si><t>a<b/>c</t></si>", "a"),
    ("<si><r><t>a</t></r><t>b</t></si>", "ba"),
    ("<si><t>\u65e5</t><rPh sb='0' eb='1'><t>\u306b</t></rPh><phoneticPr fontId='1'/></si>", "\u65e5"),
    ("<si>stray<t>a</t>text</si>", "a"),
    ("<si><r><t>a</t><t>b</t></r><r/><r><rPr/></r></si>", "b"),
    ("<si><t><![CDATA[<x>&]]>&amp;&#x41;</t></si>", "<x>&&A"),
    ("<si><t>a\r\nb&#13;</t></si>", "a\nb\r"),
    ('<si xmlns:o="urn:o"><o:t>other ns</o:t><o:r><o:t>!</o:t></o:r></si>', "other ns!"),
    ('<si count="1"><r foo="1"><t>attrs</t></r></si>', "attrs"),
])
def test_item_values(item, value):
    assert read(table(item)) == [value]


def test_items_are_matched_by_namespace_and_position():
    xml = table('<x:si xmlns:x="urn:other"><x:t>no</x:t></x:si>', "<si><t>1</t></si>",
                "<extLst><si><t>2</t></si></extLst>", root_attrs=f'xmlns:m="{MAIN}" xmlns="{MAIN}"')
    assert read(xml) == ["1", "2"]
    assert read(f'<m:sst xmlns:m="{MAIN}"><m:si><m:t>p</m:t></m:si></m:sst>'.encode()) == ["p"]
    assert read(b"<sst><si><t>no namespace</t></si></sst>") == []


def test_reader_streams_in_chunks():
    items = [f"<si><t>{'x' * (i % 97)}{i}</t></si>" for i in range(5000)]
    assert read(table(*items)) == [f"{'x' * (i % 97)}{i}" for i in range(5000)]


def test_reader_rejects_malformed_and_hostile_input():
    with pytest.raises(ET.ParseError):
        read(b"<sst><si><t>a</si></sst>")
    bomb = (b'<!DOCTYPE s [<!ENTITY a "aaaaaaaaaa">' + b"".join(
        b'<!ENTITY %c "%s">' % (98 + i, (b"&%c;" % (97 + i)) * 10) for i in range(8)) +
        b"]><sst><si><t>&i;</t></si></sst>")
    with pytest.raises(DoctypeRefused):  # before a single entity is declared
        read(bomb)


# --- helpers against the reader ----------------------------------------------------------------

def _items_and_namespaces(xml: bytes):
    """The raw bytes of each item of a table and the declarations on its root (test splitter)."""
    text = xml.decode("utf-8-sig")
    root = re.search(r"<([\w.-]+:)?sst\b([^>]*)>", text)
    namespaces = re.findall(r'xmlns(?::([\w.-]+))?\s*=\s*["\']([^"\']*)["\']', root.group(2)) if root else []
    pattern = re.compile(r"<((?:[\w.-]+:)?si)\b(?:[^>]*/>|.*?</\1\s*>)", re.S)
    return [m.group(0).encode() for m in pattern.finditer(text)], namespaces


def _corpus_tables():
    for path in sorted(glob.glob(os.path.join(CORPUS_DIR, "*.xlsx"))):
        if not zipfile.is_zipfile(path):
            continue
        with zipfile.ZipFile(path) as z:
            if "xl/sharedStrings.xml" in z.namelist():
                yield os.path.basename(path), z.read("xl/sharedStrings.xml")


CORPUS = list(_corpus_tables())


@pytest.mark.parametrize("name, xml", CORPUS, ids=[n for n, _ in CORPUS])
def test_si_content_agrees_with_reader_on_corpus(name, xml):
    try:
        strings = read(xml)
    except DoctypeRefused:
        assert "xmlbomb" in name  # the only table refused: it expands entities without bound
        return
    items, namespaces = _items_and_namespaces(xml)
    bound = dict(namespaces)
    # Items of another namespace (the strict schema's) are not shared strings of this package.
    items = [raw for raw in items if bound.get((re.match(rb"<(?:([\w.-]+):)?si", raw).group(1) or b"").decode()) == MAIN]
    assert len(items) == len(strings)
    for raw, value in zip(items, strings):
        assert qh.si_content(raw, namespaces) == value


RICH_ITEMS = table(
    "<si><t>plain_x005F_x000D_</t></si>", "<si><r><t>unformatted</t></r><r><t> runs</t></r></si>",
    "<si><t>p</t><r><rPr><b/></rPr><t>bold_x005F_</t></r><r><t>tail</t></r></si>",
    '<si><r><rPr><b val="maybe"/></rPr><t>odd font</t></r></si>',
    "<si><r><rPr><i/></rPr><t>x</t></r><rPh><t>y</t></rPh></si>")


@pytest.mark.parametrize("name, xml", [("items", RICH_ITEMS)] + [c for c in CORPUS if "xmlbomb" not in c[0]],
                         ids=lambda v: v if isinstance(v, str) else "")
def test_rich_tables_alike_on_both_paths(name, xml, monkeypatch):
    got = []
    for pure in ("0", "1"):
        monkeypatch.setenv("QUILLFEN_PURE_PYTHON", pure)
        got.append(read_shared_strings(io.BytesIO(xml), rich=True))
    assert got[0] == got[1] and [type(v) for v in got[0]] == [type(v) for v in got[1]]
    assert [str(v) for v in got[0]] == read(xml)  # the same text as without rich text
    if name == "items":
        assert [type(v).__name__ for v in got[0]] == ["str", "str", "CellRichText", "str", "CellRichText"]
        assert got[0][2][1].text == "bold_" and got[0][2][1].font.b is True


@pytest.mark.parametrize("item", [
    "<si><t>a_x005F_b</t></si>", "<si/>", '<si a="1"><r><t>x</t></r><rPh><t>y</t></rPh></si>',
    '<si><r><rPr><sz val="bad"/></rPr><t>z</t></r></si>', "<p:si><p:t>pre</p:t></p:si>",
])
def test_si_content_agrees_with_reader(item):
    namespaces = [("", MAIN), ("p", MAIN), ("q", "urn:q")]
    xml = table(item, root_attrs=" ".join(f'xmlns{":" + p if p else ""}="{u}"' for p, u in namespaces))
    assert qh.si_content(item.encode(), namespaces) == read(xml)[0]
    assert qh.text_content(b"<is><t>a_x005F_b</t></is>", []) == "a_b"


def test_rich_inline_and_validate_rpr():
    rich = qh.rich_inline(b'<is><t>p</t><r><rPr><b/><sz val="11"/><color rgb="FF0000FF"/></rPr>'
                          b"<t>q</t></r><r><t>r</t></r></is>", [])
    assert str(rich) == "pqr" and rich[0] == "p" and rich[2] == "r"
    assert rich[1].font.b is True and rich[1].font.sz == 11.0 and rich[1].font.color == {"rgb": "FF0000FF"}
    assert qh.validate_rpr(b"<rPr><i val='0'/><u/><x:ext xmlns:x='urn:x'/></rPr>", [])
    assert not qh.validate_rpr(b"<rPr><b val='maybe'/></rPr>", [])
    assert not qh.validate_rpr(b'<x:rPr><x:vertAlign val="sideways"/></x:rPr>', [("x", MAIN)])


def test_rich_runs_keep_invalid_fonts_fatal_and_equal_fonts_hash_alike():
    # A run's last rPr gives its font, but every rPr is checked, even in runs without text.
    rich = qh.rich_inline(b'<is><r><rPr><b/></rPr><rPr><i/></rPr><t>a</t></r></is>', [])
    assert rich[0].font.i is True and rich[0].font.b is None
    with pytest.raises(ValueError):
        qh.rich_inline(b'<is><r><rPr><b val="maybe"/></rPr></r><r><t>a</t></r></is>', [])
    one = qh.rich_inline(b'<is><r><rPr><color rgb="FF000000" theme="1"/></rPr><t>a</t></r></is>', [])[0]
    two = qh.rich_inline(b'<is><r><rPr><color theme="1" rgb="FF000000"/></rPr><t>a</t></r></is>', [])[0]
    assert one == two and hash(one) == hash(two) and len({one, two}) == 1
    assert hash(InlineFont(sz=11)) == hash(InlineFont(sz=11.0)) and len({InlineFont(sz=11), InlineFont(sz=11.0)}) == 1
    assert hash(InlineFont(rFont=["x"])) == hash(InlineFont(rFont=["x"]))


def test_snippet_namespaces_are_rebound():
    node = qh.parse_snippet(b'<a:si><a:t xml:space="preserve"> s</a:t></a:si>', [("", "urn:d"), ("a", MAIN)])
    assert node.tag == f"{{{MAIN}}}si" and node[0].text == " s"


# --- facts of the corpus that concern shared strings --------------------------------------------

FACTS = json.load(open(os.path.join(CORPUS_DIR, "..", "expected.json"), encoding="utf-8"))
_ESCAPE = re.compile(r"_x([0-9A-Fa-f]{4})_")
_REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"


def _sheet_path(z, sheet):
    wb = ET.fromstring(z.read("xl/workbook.xml"))
    rels = ET.fromstring(z.read("xl/_rels/workbook.xml.rels"))
    for node in wb.iter():
        if node.tag.endswith("}sheet") and node.get("name") == sheet:
            rid = node.get(f"{{{_REL}}}id")
            for rel in rels:
                if rel.get("Id") == rid:
                    target = rel.get("Target")
                    return target.lstrip("/") if target.startswith("/") else "xl/" + target
    return None


def _shared_string_facts():
    for fact in FACTS:
        if fact["type"] != "string":
            continue
        path = os.path.join(CORPUS_DIR, fact["file"])
        if not zipfile.is_zipfile(path):
            continue
        with zipfile.ZipFile(path) as z:
            if "xl/sharedStrings.xml" not in z.namelist():
                continue
            sheet = _sheet_path(z, fact["sheet"])
            if sheet is None or sheet not in z.namelist():
                continue
            for cell in ET.fromstring(z.read(sheet)).iter():
                if cell.tag.endswith("}c") and cell.get("r") == fact["cell"] and cell.get("t") == "s":
                    v = next((c.text for c in cell if c.tag.endswith("}v")), None)
                    yield fact, int(v)


SST_FACTS = list(_shared_string_facts())


def test_corpus_has_shared_string_facts():
    assert len(SST_FACTS) > 100


@pytest.mark.parametrize("fact, index", SST_FACTS, ids=[f"{f['file']}:{f['cell']}" for f, _ in SST_FACTS])
def test_corpus_shared_string_facts(fact, index):
    with zipfile.ZipFile(os.path.join(CORPUS_DIR, fact["file"])) as z:
        value = read_shared_strings(z.open("xl/sharedStrings.xml"))[index]
    # Facts give _xHHHH_ escapes decoded, as displayed; the table keeps them as stored.
    assert value == fact["value"] or _ESCAPE.sub(lambda m: chr(int(m.group(1), 16)), value) == fact["value"]


# --- the host's entry point ---------------------------------------------------------------------

class _FakeEngine:
    """Reads a little, then declines, as the engine does on input it does not reproduce."""

    class NativeFallback(Exception):
        pass

    def __init__(self):
        self.calls = []

    def read_string_table(self, source, helpers):
        self.calls.append(helpers)
        source.read(10)
        raise _native.NativeFallback("unsupported: test")


def test_entry_point_falls_back_on_native_fallback(monkeypatch):
    fake = _FakeEngine()
    monkeypatch.setattr(_native, "_engine", fake)
    monkeypatch.delenv("QUILLFEN_PURE_PYTHON", raising=False)
    xml = table("<si><t>a</t></si>", "<si><t>b</t></si>")
    assert read_shared_strings(io.BytesIO(xml)) == ["a", "b"]
    assert len(fake.calls) == 1 and fake.calls[0]["si_content"] is qh.si_content

    class Unseekable(io.RawIOBase):
        def __init__(self, data):
            self.inner = io.BytesIO(data)

        def readable(self):
            return True

        def readinto(self, buf):
            return self.inner.readinto(buf)

    assert read_shared_strings(Unseekable(xml)) == ["a", "b"]


def test_entry_point_pure_python_switch(monkeypatch):
    fake = _FakeEngine()
    monkeypatch.setattr(_native, "_engine", fake)
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1")
    assert read_shared_strings(io.BytesIO(table("<si><t>a</t></si>"))) == ["a"]
    assert fake.calls == []


def test_entry_point_lets_helper_errors_through(monkeypatch):
    class Raising(_FakeEngine):
        def read_string_table(self, source, helpers):
            raise error

    class Boom(Exception):
        pass

    monkeypatch.setattr(_native, "_engine", Raising())
    monkeypatch.delenv("QUILLFEN_PURE_PYTHON", raising=False)
    error = Boom("from a helper")
    with pytest.raises(Boom) as info:
        read_shared_strings(io.BytesIO(table()))
    assert info.value is error
    # An error that a damaged part could cause is the pure-Python reader's to report; when
    # that reader finds nothing wrong, the paths disagree, which the fuzzer is told.
    error, told = KeyError("from a helper"), []
    monkeypatch.setattr(_native, "on_disagreement", told.append)
    assert read_shared_strings(io.BytesIO(table())) == read_string_table(io.BytesIO(table()))
    assert told == [error]
