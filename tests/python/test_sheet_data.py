"""The pure-Python `<sheetData>` writer: the exact text of cells and rows in both modes, where
the text is handed to `write`, and what the package's own reader reads back from it."""

import datetime as dt
import io
import math
import struct
from decimal import Decimal

import pytest
from hypothesis import given, strategies as st

from quillfen.formula import ArrayFormula, DataTableFormula
from quillfen.reader.helpers import reading_helpers
from quillfen.reader.sheet import ReaderSettings, WorksheetParser
from quillfen.model.richtext import CellRichText, InlineFont, TextBlock
from quillfen.model.styles import StyleArray
from quillfen.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from quillfen.writer.sheet_data import FLUSH_SIZE, PureSheetWriter, rows, write_cell

from support import MAIN, Book, SheetOptions, Sheet

STYLED = StyleArray([0, 0, 0, 14, 0, 0, 0, 0, 0])  # style id 1 of Book(styles=[STYLED])
TIME_STYLED = StyleArray([0, 0, 0, 21, 0, 0, 0, 0, 0])  # h:mm:ss: style id 2 of Book([STYLED, TIME_STYLED])


def written(ws, lxml):
    """What the pure writer hands to `write` for the whole sheet, one item per call."""
    out = []
    PureSheetWriter(ws, out.append, lxml).write_sheet_data(lambda: rows(ws))
    return out


# (value, data type or None for the one assignment gives, styled, ElementTree text, lxml text)
CELLS = [
    (3.5, None, True, '<c r="A1" s="1" t="n"><v>3.5</v></c>', None),
    ("=SUM(A1:A3)", None, False, '<c r="A1"><f>SUM(A1:A3)</f><v /></c>', '<c r="A1"><f>SUM(A1:A3)</f><v></v></c>'),
    ("=", "f", False, '<c r="A1"><f /><v /></c>', '<c r="A1"><f></f><v></v></c>'),
    (" x", None, False, '<c r="A1" t="inlineStr"><is><t xml:space="preserve"> x</t></is></c>', None),
    ("\u3000 ", None, False, '<c r="A1" t="inlineStr"><is><t>\u3000 </t></is></c>',
     '<c r="A1" t="inlineStr"><is><t xml:space="preserve">&#12288; </t></is></c>'),
    # Empty text stays text (issue 19): an empty cell would read back as None.
    ("", "s", True, '<c r="A1" s="1" t="inlineStr"><is><t /></is></c>',
     '<c r="A1" s="1" t="inlineStr"><is><t></t></is></c>'),
    (None, None, True, '<c r="A1" s="1" t="n" />', '<c r="A1" s="1" t="n"></c>'),
    (True, None, False, '<c r="A1" t="b"><v>1</v></c>', None),
    (math.nan, None, False, '<c r="A1" t="n"><v /></c>', '<c r="A1" t="n"><v></v></c>'),
    # Numbers keep every digit: ints exactly, floats as the shortest text of the same double.
    (0.1 + 0.2, None, False, '<c r="A1" t="n"><v>0.30000000000000004</v></c>', None),
    (2**63 - 1, None, False, '<c r="A1" t="n"><v>9223372036854775807</v></c>', None),
    (2**70, None, False, '<c r="A1" t="n"><v>1180591620717411303424</v></c>', None),
    (-0.0, None, False, '<c r="A1" t="n"><v>-0.0</v></c>', None),
    (Decimal("1.10"), "n", False, '<c r="A1" t="n"><v>1.10</v></c>', None),
    (Decimal("-Infinity"), "n", False, '<c r="A1" t="n"><v /></c>', '<c r="A1" t="n"><v></v></c>'),
    (7, "s", False, '<c r="A1" t="n"><v>7</v></c>', None),
    (False, "f", False, '<c r="A1" t="b"><v>0</v></c>', None),
    ("#N/A", "e", False, '<c r="A1" t="e"><v>#N/A</v></c>', None),
    ("x", "str", False, '<c r="A1" t="str"><v>x</v></c>', None),
    ("a<b>&\r\n\t\"'\u00e9\U0001F600", None, False,
     '<c r="A1" t="inlineStr"><is><t>a&lt;b&gt;&amp;&#13;\n\t"\'\u00e9\U0001F600</t></is></c>',
     '<c r="A1" t="inlineStr"><is><t>a&lt;b&gt;&amp;&#13;\n\t"\'&#233;&#128512;</t></is></c>'),
    (dt.datetime(2023, 3, 15, 12), None, False, '<c r="A1" t="n"><v>45000.5</v></c>', None),
    (dt.datetime(1900, 1, 1), None, False, '<c r="A1" t="n"><v>1</v></c>', None),
    (dt.time(6), None, False, '<c r="A1" t="n"><v>0.25</v></c>', None),
    (dt.timedelta(days=1, hours=12), None, False, '<c r="A1" t="n"><v>1.5</v></c>', None),
    (dt.datetime(2023, 3, 15), "n", False, '<c r="A1" t="n"><v>45000</v></c>', None),
    (ArrayFormula("A1:A2", "=SUM(B1:B2)"), None, False,
     '<c r="A1"><f t="array" ref="A1:A2">SUM(B1:B2)</f><v /></c>',
     '<c r="A1"><f t="array" ref="A1:A2">SUM(B1:B2)</f><v></v></c>'),
    (DataTableFormula(ref="A1:B2", dt2D=True, r1="C1"), None, False,
     '<c r="A1"><f t="dataTable" ref="A1:B2" dt2D="1" r1="C1" /><v /></c>',
     '<c r="A1"><f t="dataTable" ref="A1:B2" dt2D="1" r1="C1"></f><v></v></c>'),
    (CellRichText(["a ", TextBlock(InlineFont(b=True, sz=11.0, color={"rgb": "FF0000"}), "\u00e9")]), None, False,
     '<c r="A1" t="inlineStr"><is><r><t xml:space="preserve">a </t></r><r><rPr><b val="1" />'
     '<color rgb="FF0000" /><sz val="11" /></rPr><t>\u00e9</t></r></is></c>',
     '<c r="A1" t="inlineStr"><is><r><t xml:space="preserve">a </t></r><r><rPr><b val="1"/>'
     '<color rgb="FF0000"/><sz val="11"/></rPr><t>&#233;</t></r></is></c>'),
]


@pytest.mark.parametrize("lxml", [False, True])
@pytest.mark.parametrize("value, data_type, styled, et, lx", CELLS)
def test_cell_text(value, data_type, styled, et, lx, lxml):
    ws = Sheet(book=Book([STYLED]))
    cell = ws.put(1, 1, value, STYLED if styled else None, data_type)
    text = (lx or et) if lxml else et
    assert write_cell(ws, cell, styled, lxml) == (text.encode("ascii") if lxml else text)
    whole = '<sheetData><row r="1">%s</row></sheetData>' % text
    assert written(ws, lxml) == [whole.encode("ascii") if lxml else whole]


def test_iso_dates_and_hyperlinks():
    ws = Sheet(book=Book(iso_dates=True))
    ws.put(1, 1, dt.datetime(2023, 3, 15, 12, 30))._hyperlink = "link"
    ws.put(1, 2, dt.timedelta(hours=6))
    ws.put(1, 3, dt.date(2020, 2, 29))
    assert written(ws, False) == [
        '<sheetData><row r="1"><c r="A1" t="d"><v>2023-03-15T12:30:00</v></c><c r="B1" t="n"><v>0.25</v></c>'
        '<c r="C1" t="d"><v>2020-02-29</v></c></row></sheetData>']
    assert ws._hyperlinks == ["link"]
    with pytest.raises(TypeError):
        ws.put(2, 1, dt.datetime(2020, 1, 1, tzinfo=dt.UTC))
        written(ws, False)


# Text cells carry what XML cannot as escapes (test_escapes.py); formulas, data types and lone
# surrogates have no such way.
@pytest.mark.parametrize("lxml", [False, True])
@pytest.mark.parametrize("value, data_type, message", [
    ("=A1&\"\x01\"", "f", r"cell A1: cannot write '\\x01', a character XML does not allow"),
    ("=A1&\"\ufffe\"", "f", r"cell A1: cannot write '\\ufffe'"),
    ("\ud800", None, r"cell A1: cannot write '\\ud800'"),
    ("ok", "\x1f", r"cell A1: cannot write '\\x1f'"),
    (CellRichText(["\udfff"]), None, r"cell A1: cannot write '\\udfff'"),
])
def test_text_xml_cannot_hold_is_refused(value, data_type, message, lxml):
    ws = Sheet()
    ws.put(1, 1, value, None, data_type)
    with pytest.raises(ValueError, match=message):
        written(ws, lxml)
    assert ws._hyperlinks == []


@pytest.mark.parametrize("lxml", [False, True])
def test_rows_in_order_with_row_dimensions_and_comments(lxml):
    ws = Sheet(row_dimensions={4: {"ht": "20", "customHeight": "1"}, 2: {"r": "2", "spans": "1:3"}})
    ws.put(3, 2, "b")
    ws.put(3, 1, None)  # no value, style or comment: nothing is written, the row still is
    ws.put(5, 1, None)._comment = "note"
    ws.put(1, 1, 1)
    text = "".join(x if isinstance(x, str) else x.decode() for x in written(ws, lxml))
    empty = '<c r="A5" t="n"></c>' if lxml else '<c r="A5" t="n" />'
    assert text == ('<sheetData><row r="1"><c r="A1" t="n"><v>1</v></c></row><row r="2" spans="1:3"></row>'
                    '<row r="3"><c r="B3" t="inlineStr"><is><t>b</t></is></c></row>'
                    '<row r="4" ht="20" customHeight="1"></row><row r="5">%s</row></sheetData>' % empty)
    assert ws._comments == [("A5", "note")]


@pytest.mark.parametrize("dims, error, message", [
    ({"ht": "1\x02"}, ValueError, r"row 1: cannot write '\\x02'"),
    ({"{urn:x}dyDescent": "0.25"}, ValueError, r"row 1: cannot write the attribute name '\{urn:x\}dyDescent'"),
    ({"ht": 20}, TypeError, "row 1: attribute names and values must be str, not int"),
])
def test_row_attributes_are_checked(dims, error, message):
    ws = Sheet(row_dimensions={1: dims})
    for lxml in (False, True):
        with pytest.raises(error, match=message):
            written(ws, lxml)


@pytest.mark.parametrize("lxml", [False, True])
def test_text_is_handed_over_where_a_row_ends_past_the_threshold(lxml):
    ws = Sheet()
    for row in range(1, 4):
        ws.put(row, 1, "x" * (FLUSH_SIZE // 2 + 10))
    pieces = written(ws, lxml)
    end = b"</row>" if lxml else "</row>"
    assert len(pieces) == 2 and pieces[0].endswith(end) and len(pieces[0]) > FLUSH_SIZE
    assert pieces[0].count(end) == 2

    out = []
    writer = PureSheetWriter(ws, out.append, lxml)
    writer.write_row([ws._cells[(1, 1)]], 1)
    writer.write_row([], 7)
    assert out == []
    writer.flush()
    writer.flush()
    assert len(out) == 1 and out[0].endswith(b'<row r="7"></row>' if lxml else '<row r="7"></row>')


# -- round trip through the package's reader: nothing a cell holds changes --

def from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def read_back(data, epoch):
    doc = b'<worksheet xmlns="%s">%s</worksheet>' % (MAIN.encode(), data)
    options = SheetOptions(epoch=epoch, date_formats={1, 2}, timedelta_formats=set(), time_formats={2})
    parser = WorksheetParser(io.BytesIO(doc), ReaderSettings.from_parser(options), reading_helpers(), [], {})
    return {(rec.row, rec.column): rec.value for item in parser if item[0] == "row" for rec in item[2]}


def xml_text(lxml):
    chars = st.characters(codec="utf-8", exclude_categories=("Cs",))
    return st.text(chars.filter(lambda c: c in "\t\n\r" or ord(c) >= 0x20 and c not in "\ufffe\uffff"), min_size=1)


def values(lxml):
    return st.one_of(
        st.integers(-(2**63), 2**63 - 1),
        st.integers(0, 2**64 - 1).map(from_bits).filter(math.isfinite),
        st.floats(allow_nan=False, allow_infinity=False),
        st.booleans(),
        xml_text(lxml).filter(lambda s: not s.startswith("=")),
        st.datetimes(dt.datetime(1900, 3, 1), dt.datetime(9999, 12, 30)).map(lambda d: d.replace(microsecond=d.microsecond // 1000 * 1000)),
        st.times().map(lambda t: t.replace(microsecond=t.microsecond // 1000 * 1000)),
    )


@given(data=st.data(), lxml=st.booleans(), epoch=st.sampled_from([WINDOWS_EPOCH, MAC_EPOCH]))
def test_values_read_back_unchanged(data, lxml, epoch):
    ws = Sheet(book=Book([STYLED, TIME_STYLED], epoch=epoch))
    cells = data.draw(st.dictionaries(st.tuples(st.integers(1, 5), st.integers(1, 5)), values(lxml), max_size=12))
    for (row, column), value in cells.items():
        style = STYLED if isinstance(value, dt.datetime) else TIME_STYLED if isinstance(value, dt.time) else None
        ws.put(row, column, value, style)
    out = written(ws, lxml)
    back = read_back(out[0] if lxml else out[0].encode(), epoch)
    assert back.keys() == cells.keys()
    for key, value in cells.items():
        got = back[key]
        # Integral floats are written as integers, so they may come back as ints.
        want_type = (int, float) if isinstance(value, float) and value.is_integer() else type(value)
        assert got == value and isinstance(got, want_type), (key, value, got)


@pytest.mark.parametrize("lxml", [False, True])
def test_carriage_return_reads_back(lxml):
    ws = Sheet()
    ws.put(1, 1, "a\rb\r\nc")
    out = written(ws, lxml)
    assert read_back(out[0] if lxml else out[0].encode(), WINDOWS_EPOCH) == {(1, 1): "a\rb\r\nc"}
