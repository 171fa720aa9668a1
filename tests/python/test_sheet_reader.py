"""The worksheet reader through its item stream: positions, values, types, formulas, elements."""

import datetime
import io

import pytest

from quillfen.reader.helpers import reading_helpers
from quillfen.reader.sheet import ABSENT, ReaderSettings, WorksheetParser

from support import MAIN, SheetOptions


def sheet(rows, before="", after=""):
    return ('<worksheet xmlns="%s">%s<sheetData>%s</sheetData>%s</worksheet>' % (MAIN, before, rows, after)).encode()


def read(data, **options):
    opts = SheetOptions(**options)
    actions = []
    items = list(WorksheetParser(io.BytesIO(data), ReaderSettings.from_parser(opts), reading_helpers(),
                                 actions, opts.row_dimensions))
    return items, actions, opts.row_dimensions


def cells(data, **options):
    items, _, _ = read(data, **options)
    return [c for item in items if item[0] == "row" for c in item[2]]


def test_positions_continue_without_r():
    got = cells(sheet('<row r="5"><c r="C5"><v>1</v></c><c><v>2</v></c></row><row><c><v>3</v></c></row>'))
    assert [(c.row, c.column) for c in got] == [(5, 3), (5, 4), (6, 1)]


@pytest.mark.parametrize("xml, value, data_type", [
    ('<c r="B2"><v>42</v></c>', 42, "n"),
    ('<c r="A1"><v>007</v></c>', 7, "n"),
    ('<c r="A1"><v>+7</v></c>', 7, "n"),
    ('<c r="A1"><v>1e3</v></c>', 1000.0, "n"),
    ('<c r="A1"><v>.5</v></c>', 0.5, "n"),
    ('<c r="A1"><v>9223372036854775807</v></c>', 9223372036854775807, "n"),
    # Beyond 64 bits, the nearest double (issue 24): an int would not be assignable.
    ('<c r="A1"><v>1234567890123456789012345678901234567890</v></c>', 1.2345678901234568e39, "n"),
    ('<c r="A1" t="s"><v>1</v></c>', "one", "s"),
    ('<c r="A1" t="s"><v>+2</v></c>', "two", "s"),
    ('<c r="A1" t="b"><v>0</v></c>', False, "b"),
    ('<c r="A1" t="b"><v>2</v></c>', True, "b"),
    ('<c r="A1" t="e"><v>#N/A</v></c>', "#N/A", "e"),
    ('<c r="A1" t="str"><v>x</v></c>', "x", "s"),
    ('<c r="A1" t="str"/>', None, "str"),
    ('<c r="A1" t="inlineStr"/>', None, "inlineStr"),
    ('<c r="A1" t="inlineStr"><is><t>hi</t></is></c>', "hi", "s"),
    ('<c r="A1" t="s"><is><t>hi</t></is><v>0</v></c>', "zero", "s"),
    ('<c r="A1" t="odd"><v>x</v></c>', "x", "odd"),
    ('<c r="A1"><v>1</v><v>2</v></c>', 1, "n"),
    ('<c r="A1"><v></v></c>', None, "n"),
])
def test_typed_values(xml, value, data_type):
    [cell] = cells(sheet('<row r="1">%s</row>' % xml))
    assert (cell.value, cell.data_type) == (value, data_type)
    assert type(cell.value) is type(value)


def test_style_ids():
    got = cells(sheet('<row r="1"><c r="A1" s=""/><c r="B1" s="%s"/><c r="C1"/><c r="D1" s="3"/></row>' % ("9" * 20)))
    assert [c.style_id for c in got] == ["", int("9" * 20), 0, 3]


def test_dates_and_out_of_range_warning():
    data = sheet('<row r="1"><c r="A1" s="1"><v>2</v></c><c r="B1" s="1"><v>1e20</v></c></row>')
    items, actions, _ = read(data)
    a1, b1 = items[0][2]
    assert (a1.value, a1.data_type) == (datetime.datetime(1900, 1, 2), "d")
    assert (b1.value, b1.data_type) == ("#VALUE!", "e")
    assert [a[0] for a in actions] == ["warn"]


def test_formulas_shared_and_out_of_range():
    data = sheet('<row r="1"><c r="A1"><f t="shared" si="0" ref="A1:A3">B1</f></c></row>'
                 '<row r="2"><c r="A2"><f t="shared" si="0"/></c></row>'
                 '<row r="3"><c r="A3"><f t="shared" si="0"/></c></row>')
    assert [c.value for c in cells(data)] == ["=B1", "=B2", "=B3"]
    assert {c.data_type for c in cells(data)} == {"f"}
    from quillfen.formula import TranslatorError
    bad = sheet('<row r="2"><c r="A2"><f t="shared" si="0">A1</f></c></row>'
                '<row r="1"><c r="A1"><f t="shared" si="0"/></c></row>')
    with pytest.raises(TranslatorError, match="Formula out of range"):
        cells(bad)


def test_formula_modes():
    xml = sheet('<row r="1"><c r="A1"><f>1+1</f><v>2</v></c></row>')
    [plain] = cells(xml)
    assert (plain.value, plain.data_type, plain.is_formula, plain.cached) == ("=1+1", "f", True, ABSENT)
    [both] = cells(xml, formula_and_value=True)
    assert (both.value, both.cached) == ("=1+1", 2)
    [data] = cells(xml, data_only=True)
    assert (data.value, data.data_type, data.formula) == (2, "n", ABSENT)
    [data_both] = cells(xml, data_only=True, formula_and_value=True)
    assert (data_both.value, data_both.formula) == (2, "=1+1")


def test_elements_rows_dims_and_order():
    before = '<sheetPr><tabColor rgb="FF0000"/></sheetPr><dimension ref="A1:B2"/>'
    after = '<mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells>'
    items, _, dims = read(sheet('<row r="2" spans="1:2"/><row r="3" ht="20" customHeight="1"/>', before, after))
    kinds = [(i[0], i[1] if i[0] == "element" else i[1]) for i in items]
    assert kinds == [("element", b'<sheetPr><tabColor rgb="FF0000"/></sheetPr>'),
                     ("element", b'<dimension ref="A1:B2"/>'), ("row", 2), ("row", 3),
                     ("element", after.encode())]
    assert items[0][2] == [("", MAIN)]
    assert dims == {"3": {"r": "3", "ht": "20", "customHeight": "1"}}


def test_prefixed_namespaces_and_captured_bytes_are_exact():
    data = ('<x:worksheet xmlns:x="%s"><x:sheetData><x:row r="1"><x:c r="A1"><x:v>5</x:v></x:c></x:row>'
            '</x:sheetData><x:mergeCells xmlns:y="urn:y" ><x:mergeCell ref="A1:A2" /></x:mergeCells></x:worksheet>' % MAIN).encode()
    items, _, _ = read(data)
    assert items[0][2][0].value == 5
    assert items[1] == ("element", b'<x:mergeCells xmlns:y="urn:y" ><x:mergeCell ref="A1:A2" /></x:mergeCells>',
                        [("x", MAIN)])


def test_large_part_read_in_chunks():
    rows = "".join('<row r="%d"><c r="A%d"><v>%d</v></c></row>' % (i, i, i) for i in range(1, 20001))
    items, _, _ = read(sheet(rows, after='<pageMargins left="0.7"/>'))
    assert len(items) == 20001 and items[-1] == ("element", b'<pageMargins left="0.7"/>', [("", MAIN)])
    assert [i[2][0].value for i in items[:-1]] == list(range(1, 20001))
