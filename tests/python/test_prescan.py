"""prescan_sheet: native against the pure-Python prescan on hand-written and generated sheets
and on every corpus worksheet, every failure text, argument errors, chunked reads, and the
host entry point with its fallback."""

import io
import os
import string
from xml.parsers.expat import ExpatError

import pytest
from hypothesis import given, strategies as st

from quillfen.reader.helpers import reading_helpers
from quillfen.reader.prescan import prescan, prescan_sheet as py_prescan
from quillfen.utils.cells import coordinate_of

from support import MAIN, Pieces, cuts
MAIN_NS = [("", MAIN)]
HELPERS = reading_helpers()


def sheet(body, head: str = "", tail: str = "", root: str = f'xmlns="{MAIN}"') -> bytes:
    if isinstance(body, str):
        body = body.encode()
    return f"<worksheet {root}>{head}<sheetData>".encode() + body + f"</sheetData>{tail}</worksheet>".encode()


def native_outcome(native, source, want_rows, corners):
    try:
        return ("ok", native.prescan_sheet(source, want_rows, corners, HELPERS))
    except native.NativeFallback as exc:
        return ("fallback", exc.args[0])


def agree(native, data: bytes, want_rows=False, corners=(), sources=cuts):
    """The native result under every cutting, checked against the pure-Python prescan."""
    outcomes = {repr(native_outcome(native, src, want_rows, list(corners))) for src in sources(data)}
    assert len(outcomes) == 1, outcomes
    kind, got = native_outcome(native, io.BytesIO(data), want_rows, list(corners))
    if kind == "ok":
        assert got == py_prescan(io.BytesIO(data), want_rows, list(corners), HELPERS)
        assert list(got) == ["head", "tail", "rows", "corners"]
    return kind, got


# ---- results -------------------------------------------------------------------------------

def test_elements_around_sheet_data_and_a_corner(native):
    doc = sheet('<row r="1"><c r="A1" s="3"/></row>', head='<sheetPr/><dimension ref="A1"/>', tail="<mergeCells/>")
    assert agree(native, doc, corners=[(1, 1)]) == ("ok", {
        "head": [(b"<sheetPr/>", MAIN_NS), (b'<dimension ref="A1"/>', MAIN_NS)],
        "tail": [(b"<mergeCells/>", MAIN_NS)], "rows": [], "corners": {(1, 1): "3"}})


@pytest.mark.parametrize("row, listed", [
    ('<row r="1" ht="20">', [(1, [("r", "1"), ("ht", "20")])]),
    ('<row r="1" spans="1:3">', []),
    ('<row r="1" spans="1:3" x14ac:dyDescent="0.25">', []),  # prefixed attributes are no formatting
    ('<row r="1" x14ac:dyDescent="0.25" hidden="1">',
     [(1, [("r", "1"), ("{urn:ac}dyDescent", "0.25"), ("hidden", "1")])]),
    ("<row  ht = '2&amp;3'\tr\n=\"1\" >", [(1, [("ht", "2&3"), ("r", "1")])]),
    ('<row ht="a\tb&#10;c" xml:space="preserve">', [(1, [("ht", "a b\nc"), ("{http://www.w3.org/XML/1998/namespace}space", "preserve")])]),
    ('<row r="3.0" ht="1">', [(3, [("r", "3.0"), ("ht", "1")])]),  # row_index helper
])
def test_formatted_rows(native, row, listed):
    doc = sheet(row + '<c r="A1"/></row>', root=f'xmlns="{MAIN}" xmlns:x14ac="urn:ac"')
    assert agree(native, doc, want_rows=True)[1]["rows"] == listed
    assert agree(native, doc, want_rows=False)[1]["rows"] == []


def test_positions_without_r_and_the_last_cell_wins(native):
    body = ('<row r="5"><c r="B5" s="1"/><c s="2"/></row>'   # C5
            '<row><c s="3"/><c r="C6" s="4"/><c r="C6"/></row>'  # A6; C6 twice, the last has no s
            '<row r="2"><c r="D2" s="5"/><c r="D2" s="6"/></row>')
    corners = [(5, 3), (6, 1), (6, 3), (2, 4), (9, 9), (5, 3)]
    got = agree(native, sheet(body), corners=corners)[1]["corners"]
    assert got == {(5, 3): "2", (6, 1): "3", (6, 3): None, (2, 4): "6", (9, 9): None}
    assert list(got) == [(5, 3), (6, 1), (6, 3), (2, 4), (9, 9)]


def test_column_restarts_in_every_row_and_fast_rows_keep_counting(native):
    body = '<row r="1"><c r="C1"/></row><row><c/><c s="7"/></row><row r="10"/><row><c s="8"/></row>'
    got = agree(native, sheet(body), corners=[(2, 2), (11, 1)])[1]
    assert got["corners"] == {(2, 2): "7", (11, 1): "8"}


def test_what_the_raw_scan_looks_at(native):
    # Tags that only look like rows or cells, text, a second sheetData, elements in sheetData.
    body = ('<row r="1"><c r="A1" s="1"><v>1</v><f>A2&lt;3</f></c><cx r="A1" s="9"/>'
            '<c r="B1" s="2"><is><t>&lt;c r="B1" s="9"/&gt;</t></is></c></row>'
            '<rowBreaks/><extLst><ext><row r="7" ht="9"/></ext></extLst>')
    doc = sheet(body, tail="<sheetData><row r='1'/></sheetData>")
    got = agree(native, doc, want_rows=True, corners=[(1, 1), (1, 2)])[1]
    assert got["corners"] == {(1, 1): "1", (1, 2): "2"}
    assert got["rows"] == [(7, [("r", "7"), ("ht", "9")])]
    assert got["tail"] == [(b"<sheetData><row r='1'/></sheetData>", MAIN_NS)]


@pytest.mark.parametrize("doc, head, tail", [
    (f'<worksheet xmlns="{MAIN}"><sheetData/><x/></worksheet>'.encode(), [], [(b"<x/>", MAIN_NS)]),
    (f'<worksheet xmlns="{MAIN}"><sheetData xmlns="urn:o"/><sheetData/></worksheet>'.encode(),
     [(b'<sheetData xmlns="urn:o"/>', MAIN_NS)], []),
    (f'<x:worksheet xmlns:x="{MAIN}" xmlns:y="urn:y"><y:a>t<!--c--></y:a><x:sheetData/></x:worksheet>'.encode(),
     [(b"<y:a>t<!--c--></y:a>", [("x", MAIN), ("y", "urn:y")])], []),
    (f'<worksheet xmlns="{MAIN}"><dimension ref="A1"/></worksheet>'.encode(), [(b'<dimension ref="A1"/>', MAIN_NS)], []),
])
def test_head_and_tail(native, doc, head, tail):
    got = agree(native, doc)[1]
    assert (got["head"], got["tail"]) == (head, tail)


def test_nothing_asked_skips_the_cells(native):
    # Without rows or corners the tags are not even scanned: a bad row number goes unnoticed.
    doc = sheet('<row r="x"><c r="$A$1"/></row>')
    assert agree(native, doc) == ("ok", {"head": [], "tail": [], "rows": [], "corners": {}})


# ---- generated sheets ----------------------------------------------------------------------

def _quote(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;")


@st.composite
def attr(draw, name, value):
    """An attribute written in any of the forms XML allows."""
    quote = draw(st.sampled_from(['"', "'"]))
    before, after = draw(st.sampled_from([("", ""), (" ", ""), ("\n", "\t"), ("", "  ")]))
    space = draw(st.sampled_from([" ", "  ", "\n", "\r\n\t"]))
    text = _quote(value).replace("'", "&apos;") if quote == "'" else _quote(value)
    return f"{space}{name}{before}={after}{quote}{text}{quote}"


values = st.text(alphabet=string.ascii_letters + string.digits + " &<>\"'\té€", max_size=6)


@st.composite
def row_xml(draw, state):
    parts = []
    if draw(st.booleans()):
        state["row"] = draw(st.integers(state["row"] + 1, state["row"] + 3))
        parts.append(draw(attr("r", str(state["row"]))))
    else:
        state["row"] += 1
    extras = draw(st.lists(st.sampled_from(["spans", "ht", "customHeight", "s", "x:dyDescent", "hidden"]),
                           unique=True, max_size=3))
    for name in extras:
        parts.append(draw(attr(name, draw(values))))
    draw(st.randoms()).shuffle(parts)
    cells, col = [], 0
    for _ in range(draw(st.integers(0, 4))):
        cell = []
        if draw(st.booleans()):
            col = draw(st.integers(col + 1, col + 3))
            cell.append(draw(attr("r", coordinate_of(state["row"], col))))
        else:
            col += 1
        if draw(st.booleans()):
            cell.append(draw(attr("s", draw(st.sampled_from(["0", "12", "", " 3", "&#52;"])))))
        if draw(st.booleans()):
            cell.append(draw(attr(draw(st.sampled_from(["t", "x:s", "cm"])), draw(values))))
        draw(st.randoms()).shuffle(cell)
        inner = draw(st.sampled_from(["", "<v>1</v>", "<f>A1&lt;B1</f><v>0</v>", "<is><t>c r=</t></is>"]))
        cells.append(f"<c{''.join(cell)}/>" if not inner else f"<c{''.join(cell)}>{inner}</c>")
        state["cells"].append((state["row"], col))
    body = "".join(cells)
    return f"<row{''.join(parts)}/>" if not body and draw(st.booleans()) else f"<row{''.join(parts)}>{body}</row>"


@st.composite
def generated(draw):
    state = {"row": 0, "cells": []}
    rows = [draw(row_xml(state)) for _ in range(draw(st.integers(0, 6)))]
    head = draw(st.sampled_from(["", '<dimension ref="A1:C3"/>', "<sheetPr><tabColor rgb='FF'/></sheetPr>"]))
    tail = draw(st.sampled_from(["", '<mergeCells count="1"><mergeCell ref="A1:B2"/></mergeCells>']))
    doc = sheet("".join(rows), head=head, tail=tail, root=f'xmlns="{MAIN}" xmlns:x="urn:x"')
    candidates = state["cells"] + [(1, 1), (2, 3), (40, 2)]
    corners = draw(st.lists(st.sampled_from(candidates), max_size=5)) if draw(st.booleans()) else []
    return doc, draw(st.booleans()), corners


@given(generated())
def test_generated_sheets_agree(native, case):
    doc, want_rows, corners = case
    kind, got = agree(native, doc, want_rows, corners)
    assert kind == "ok", got


# ---- damaged input: both give the same facts, or both fail ----------------------------------

SEEDS = os.path.join(os.path.dirname(__file__), "..", "fuzz", "seeds", "prescan")
# What the pure-Python prescan raises for input it cannot read (its coordinate and row number
# conversions raise ValueError and OverflowError).
PURE_ERRORS = (ExpatError, ValueError, OverflowError)


def differential(native, data, want_rows, corners):
    """Native against pure-Python on any bytes. A native answer must be the pure one; a native
    "malformed" must be a pure failure too; a native "unsupported" leaves the answer to the
    pure-Python prescan, which must give one or fail in its documented ways."""
    try:
        got = native.prescan_sheet(io.BytesIO(data), want_rows, list(corners), HELPERS)
    except native.NativeFallback as exc:
        got = exc.args[0]
    except Exception as exc:  # noqa: BLE001 - errors of the helpers are compared by type
        got = exc
    try:
        want = py_prescan(io.BytesIO(data), want_rows, list(corners), HELPERS)
    except PURE_ERRORS as exc:
        want = exc
    if isinstance(got, dict):
        assert got == want
    elif isinstance(got, str) and got.startswith("malformed: "):
        assert isinstance(want, ExpatError), (got, want)
    elif isinstance(got, BaseException):
        assert type(got) is type(want), (got, want)
    else:
        assert got.startswith("unsupported: "), got


MUTATIONS = [b"<", b">", b'"', b"'", b"&", b"&amp;", b"&#0;", b"&#x41;", b"/", b"=", b" ", b"\x00", b"\xff",
             b"\xc3", b"\r\n", b"\t", b":", b"q:", b"<!--x-->", b"<?p x?>", b"<![CDATA[<row>]]>", b"]]>",
             b"</sheetData>", b"<sheetData>", b'<row r="2" ht="1">', b"<row>", b'<c r="A1" s="9"/>', b"<c>",
             b'xmlns:q="urn:q" ', b'xmlns="urn:o" ', b'<x:sheetData xmlns:x="%s">' % MAIN.encode()]


@st.composite
def damaged(draw):
    doc, want_rows, corners = draw(generated())
    data = bytearray(doc)
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(data)))
        piece = draw(st.sampled_from(MUTATIONS) | st.binary(min_size=1, max_size=3))
        op = draw(st.sampled_from(["insert", "delete", "replace"]))
        if op == "insert":
            data[at:at] = piece
        elif op == "delete":
            del data[at:at + draw(st.integers(1, 12))]
        else:
            data[at:at + len(piece)] = piece
    return bytes(data), want_rows, corners


@given(damaged())
def test_damaged_sheets_agree(native, case):
    differential(native, *case)


def test_fuzzer_finds_agree(native):
    # The libFuzzer target's inputs that reach most of the raw scan, kept as regression inputs.
    names = sorted(os.listdir(SEEDS))
    assert names
    for name in names:
        with open(os.path.join(SEEDS, name), "rb") as f:
            data = f.read()
        for want_rows, corners in ((False, []), (True, []), (False, [(1, 1), (2, 2), (3, 3)]), (True, [(1, 1)])):
            differential(native, data, want_rows, corners)


# ---- failures ------------------------------------------------------------------------------

FAILURES = [
    ("<!--x-->", "unsupported: comment/cdata/pi in sheetData"),
    ('<row r="1"><c r="A1"><is><t><![CDATA[x]]></t></is></c></row>', "unsupported: comment/cdata/pi in sheetData"),
    ("<?pi x?>", "unsupported: comment/cdata/pi in sheetData"),
    ('<row r="1"><c r="a1" s="1"/></row>', "unsupported: coordinate"),
    ('<row r="1"><c r="A0"/></row>', "unsupported: coordinate"),
    ('<row r="1"><c r="AAAA1"/></row>', "unsupported: coordinate"),
    ('<row r="1"><c r="A1"/></row><row r="1"><c r="B1"x="1"/></row>', "malformed: missing whitespace"),
    ('<row ht"1"/>', "unsupported: attribute name"),
    ("<row ht/>", "malformed: expected ="),
    ("<row ht =/>", "malformed: expected quote"),
    ('<row a:b:c="1"/>', "unsupported: qname"),
    ('<row :b="1"/>', "unsupported: qname"),
    ('<row 1b="1"/>', "unsupported: attribute name"),
    ('<row r="1" xmlns="urn:a"/>', "unsupported: namespace declaration"),
    ('<row xmlns:p="urn:a" p:a="1"/>', "unsupported: namespace declaration"),
    ('<row q:a="1" ht="2"/>', "malformed: unbound prefix"),
    ('<row ht="\x01"/>', "malformed: invalid character"),
    (b'<row ht="\xc3("/>', "malformed: invalid utf-8"),
    ('<row ht="&bogus;"/>', "malformed: undefined entity"),
    ('<row ht="&amp"/>', "malformed: bad reference"),
    ('<row r="9223372036854775807"/><row/>', "unsupported: row index"),
    ('<row r="1"><c r="A1"/><c r="ZZZ1"/></row>', None),  # the largest column is fine
]


@pytest.mark.parametrize("body, message", FAILURES)
def test_failure_texts(native, body, message):
    kind, got = agree(native, sheet(body), want_rows=True, corners=[(1, 1)])
    assert (kind, got if kind == "fallback" else None) == (("fallback", message) if message else ("ok", None))


@pytest.mark.parametrize("doc, message", [
    (f'<x:worksheet xmlns:x="{MAIN}"><x:sheetData></x:sheetData></x:worksheet>', "unsupported: prefixed sheetData"),
    (f'<worksheet xmlns="{MAIN}" xmlns:m="{MAIN}"><m:sheetData></m:sheetData></worksheet>', "unsupported: prefixed sheetData"),
    (f'<worksheet xmlns="{MAIN}"><sheetData><row r="1">', "malformed: eof in element"),
    (f'<worksheet xmlns="{MAIN}"><sheetData><row r="1" ht="1>', "malformed: eof in tag"),
    (f'<worksheet xmlns="{MAIN}"><sheetData></sheetData>', "malformed: unclosed element"),
    (f'<worksheet xmlns="{MAIN}"><sheetData></sheetDatum></worksheet>', "malformed: eof in element"),
])
def test_structure_failures(native, doc, message):
    outcomes = {native_outcome(native, src, True, [(1, 1)]) for src in cuts(doc.encode(), whole_reads=False)}
    assert outcomes == {("fallback", message)}


# ---- arguments and host objects ------------------------------------------------------------

def test_docstring_signature_and_keywords(native):
    assert native.prescan_sheet.__doc__ == "prescan_sheet(source, want_rows, corners, helpers) -> dict"
    assert native.prescan_sheet.__text_signature__ == "(source, want_rows, corners, helpers)"
    got = native.prescan_sheet(helpers=HELPERS, corners=(), want_rows=False, source=io.BytesIO(sheet("")))
    assert got == {"head": [], "tail": [], "rows": [], "corners": {}}


class Untouched(io.BytesIO):
    def read(self, n=-1):
        raise AssertionError("read before the arguments were checked")


@pytest.mark.parametrize("want_rows, corners, helpers, match", [
    (1, [], HELPERS, "want_rows"),
    (None, [], HELPERS, "want_rows"),
    (False, [], [], "helpers"),
    (False, [(1, 2, 3)], HELPERS, "corners"),
    (False, [[1, 2]], HELPERS, "corners"),
    (False, [(1, 2.0)], HELPERS, "integer"),
    (False, 5, HELPERS, "iterable"),
    (False, [], {}, "missing helper row_index"),
])
def test_argument_errors(native, want_rows, corners, helpers, match):
    for fn in (native.prescan_sheet, py_prescan):
        with pytest.raises(TypeError, match=match):
            fn(Untouched(), want_rows, corners, helpers)


def test_corner_conversion(native):
    with pytest.raises(OverflowError):
        native.prescan_sheet(io.BytesIO(sheet("")), False, [(2**63, 1)], HELPERS)
    got = native.prescan_sheet(io.BytesIO(sheet('<row r="1"><c s="5"/></row>')), False, iter([(True, 1)]), HELPERS)
    assert got["corners"] == {(1, 1): "5"} and type(next(iter(got["corners"]))[0]) is int


def test_row_index_helper(native):
    doc = sheet('<row r=" 7 "><c s="1"/></row>')
    seen = []

    def row_index(text):
        seen.append(text)
        return 7

    helpers = {"row_index": row_index}
    assert native.prescan_sheet(io.BytesIO(doc), False, [(7, 1)], helpers)["corners"] == {(7, 1): "1"}
    assert seen == [" 7 "]

    class Boom(Exception):
        pass

    def failing(text):
        raise Boom(text)

    with pytest.raises(Boom):
        native.prescan_sheet(io.BytesIO(doc), True, [], {"row_index": failing})
    for result in (7.0, 2**64, "7"):
        with pytest.raises(native.NativeFallback, match="unsupported: row index"):
            native.prescan_sheet(io.BytesIO(doc), True, [], {"row_index": lambda text, r=result: r})


def test_read_errors_propagate_unchanged(native):
    error = ValueError("disk on fire")

    class Failing(io.RawIOBase):
        def read(self, n=-1):
            raise error

    with pytest.raises(ValueError) as caught:
        native.prescan_sheet(Failing(), False, [], HELPERS)
    assert caught.value is error


def test_large_sheet_with_captures_across_compaction(native):
    rows = "".join(f'<row r="{r}" spans="1:2"><c r="A{r}" s="{r % 7}"><v>{r}</v></c><c r="B{r}"/></row>'
                   for r in range(1, 30001))
    big_tail = '<mergeCells count="1"><mergeCell ref="A1:B30000"/></mergeCells>' + "<x>" + "t" * 200000 + "</x>"
    doc = sheet(rows + '<row r="30001" ht="5"/>', head="<sheetPr/>" * 2000, tail=big_tail)
    corners = [(1, 1), (30000, 1), (30000, 2), (15000, 1)]
    for src in (io.BytesIO(doc), Pieces(doc, [4093, 65536, 7])):
        got = native.prescan_sheet(src, True, corners, HELPERS)
        assert got["corners"] == {(1, 1): "1", (30000, 1): str(30000 % 7), (30000, 2): None, (15000, 1): str(15000 % 7)}
        assert got["rows"] == [(30001, [("r", "30001"), ("ht", "5")])]
        assert len(got["head"]) == 2000 and got["tail"][1][0] == b"<x>" + b"t" * 200000 + b"</x>"
    assert native.prescan_sheet(io.BytesIO(doc), True, corners, HELPERS) == py_prescan(io.BytesIO(doc), True, corners, HELPERS)


PREFIXED = (f'<x:worksheet xmlns:x="{MAIN}"><x:sheetData><x:row r="1" ht="2"><x:c r="A1" s="4"/><c r="A1" s="5"/>'
            '</x:row></x:sheetData></x:worksheet>').encode()
LATIN = (f'<?xml version="1.0" encoding="ISO-8859-1"?><worksheet xmlns="{MAIN}"><sheetPr><x>\xe9</x></sheetPr>'
         '<sheetData><row r="1" ht="\xe9"><c r="A1" s="\xb2"/></row></sheetData></worksheet>').encode("latin-1")


@pytest.mark.parametrize("doc, rows, corner, head", [
    # Comments, sections and instructions are passed over, with whatever tags they hold.
    (sheet('<row r="1" ht="1"><!-- <row r="9" ht="9"/><c r="A1" s="9"/> --><c r="A1" s="3"/><?pi <c?></row>'
           '<row r="2"><c r="A2" t="inlineStr"><is><t><![CDATA[<c r="A1" s="8"/>]]></t></is></c></row>'),
     [(1, [("r", "1"), ("ht", "1")])], "3", []),
    # A prefixed sheetData: its rows and cells carry its prefix.
    (PREFIXED, [(1, [("r", "1"), ("ht", "2")])], "4", []),
    # Namespace declarations on a row tag bind its attributes and are not listed.
    (sheet('<row r="1" xmlns:p="urn:p" p:ht="3" hidden="1"><c r="$A$1" s="6"/></row>'),
     [(1, [("r", "1"), ("{urn:p}ht", "3"), ("hidden", "1")])], "6", []),
    # Other encodings are read as such; snippets come as UTF-8.
    (LATIN, [(1, [("r", "1"), ("ht", "\xe9")])], "\xb2", [("<sheetPr><x>\xe9</x></sheetPr>".encode(), MAIN_NS)]),
    ("\ufeff".encode("utf-16-le") + sheet('<row r="1" ht="\u20ac"><c r="a1" s="7"/></row>').decode().encode("utf-16-le"),
     [(1, [("r", "1"), ("ht", "\u20ac")])], "7", []),
])
def test_what_the_engine_leaves_to_the_pure_prescan(native, doc, rows, corner, head):
    with pytest.raises(native.NativeFallback, match="^unsupported: "):
        native.prescan_sheet(io.BytesIO(doc), True, [(1, 1)], HELPERS)
    for source in cuts(doc):
        got = py_prescan(source, True, [(1, 1)], HELPERS)
        assert (got["rows"], got["corners"], got["head"]) == (rows, {(1, 1): corner}, head)


def test_host_entry_point_falls_back(native, monkeypatch):
    doc = sheet('<row r="1"><!--n--><c r="a1" s="4"/></row>')
    calls = []

    def opener():
        calls.append(1)
        return io.BytesIO(doc)

    assert prescan(opener, corners=[(1, 1)])["corners"] == {(1, 1): "4"}
    assert len(calls) == 2  # the engine declined, the pure-Python prescan answered
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1")
    calls.clear()
    assert prescan(opener, corners=[(1, 1)])["corners"] == {(1, 1): "4"}
    assert len(calls) == 1


# ---- real workbooks ------------------------------------------------------------------------

def corpus_cuts(data: bytes):
    return [io.BytesIO(data), Pieces(data, [4099, 13])]


def test_corpus_worksheets_agree(native):
    from test_find_dimension import corpus_sheets
    checked = 0
    for name, data in corpus_sheets():
        for want_rows in (False, True):
            corners = [(r, c) for r in range(1, 6) for c in range(1, 6)]
            kind, _ = agree(native, data, want_rows, corners, sources=corpus_cuts)
            checked += kind == "ok"
            agree(native, data, want_rows, [], sources=corpus_cuts)
    if checked == 0:
        pytest.skip("no corpus")
