"""Workbooks made by other programs, with styles, merges, comments, hyperlinks, validations and
conditional formats, survive a load and a save: XlsxWriter writes one and LibreOffice saves it
again; quillfen loads and saves each, and reads back the same cells, styles and features.
LibreOffice then reads the saved file as it reads the original: the same values, shown texts
(so the number formats), merges and comments."""

import os
import shutil
import xml.etree.ElementTree as ET

import pytest

import quillfen
from quillfen.utils.cells import coordinate_of

from support import odf, soffice_convert
from test_save import dump_lines, features, load, saved, styles_by_cell


def _xlsxwriter_book(path):
    xlsxwriter = pytest.importorskip("xlsxwriter")
    wb = xlsxwriter.Workbook(str(path))
    ws = wb.add_worksheet("Data")
    other = wb.add_worksheet("Other")
    bold = wb.add_format({"bold": True, "font_color": "#C00000", "bg_color": "#FFF2CC", "border": 1})
    money = wb.add_format({"num_format": "#,##0.00"})
    percent = wb.add_format({"num_format": "0.0%"})
    ws.write_row(0, 0, ["item", "price", "share"], bold)
    for row, (item, price, share) in enumerate([("pen", 1234.5, 0.125), ("ink", 3.25, 0.5), ("pad", 12, 0.375)], 1):
        ws.write_string(row, 0, item)
        ws.write_number(row, 1, price, money)
        ws.write_number(row, 2, share, percent)
    ws.write_formula(4, 1, "=SUM(B2:B4)", money, 1249.75)
    ws.merge_range("E1:G2", "merged title", bold)
    ws.write_comment("A2", "checked twice", {"author": "Ann"})
    ws.write_comment("B5", "the total")
    ws.write_url("A7", "https://example.com/page?a=1", string="a link")
    ws.write_url("A8", "internal:Other!B2", string="to the other sheet")
    ws.data_validation("C2:C4", {"validate": "decimal", "criteria": "between", "minimum": 0, "maximum": 1})
    ws.conditional_format("B2:B4", {"type": "cell", "criteria": ">", "value": 100, "format": bold})
    ws.set_column("A:A", 18)
    ws.set_row(0, 24)
    ws.freeze_panes(1, 1)
    ws.autofilter("A1:C4")
    ws.set_tab_color("#1072BA")
    ws.print_area("A1:G20")
    ws.repeat_rows(0)
    wb.define_name("Total", "=Data!$B$5")
    other.write("B2", "target")
    wb.close()


@pytest.fixture(scope="module")
def books(tmp_path_factory):
    """{producer: (original, saved by quillfen)}."""
    folder = tmp_path_factory.mktemp("producers")
    original = folder / "xlsxwriter.xlsx"
    _xlsxwriter_book(original)
    found = {"xlsxwriter": original}
    if shutil.which("soffice"):
        (folder / "lo").mkdir()
        soffice_convert(folder, "xlsx:Calc MS Excel 2007 XML", folder / "lo", original)
        found["libreoffice"] = folder / "libreoffice.xlsx"
        os.replace(folder / "lo" / "xlsxwriter.xlsx", found["libreoffice"])
    pairs = {}
    for name, path in found.items():
        target = folder / ("%s-saved.xlsx" % name)
        pairs[name] = (path, target, saved(load(path), target))
    return folder, pairs


@pytest.mark.parametrize("producer", ["xlsxwriter", "libreoffice"])
def test_producers_books_survive_a_load_and_a_save(books, producer):
    pairs = books[1]
    if producer not in pairs:
        pytest.skip("LibreOffice is not installed (scripts/bootstrap.sh installs it)")
    source, target, warned = pairs[producer]
    assert dump_lines(target) == dump_lines(source)
    assert styles_by_cell(target) == styles_by_cell(source)
    want, got = features(source), features(target)
    assert got == want
    sheet = want["Data"]
    formats, validations = sheet[-2][:2]
    assert [ref for ref, _rule in formats] == ["B2:B4"] and [v.ref for v in validations] == ["C2:C4"]
    assert sheet[0] == ["E1:G2"] and [note[1] for note in sheet[7]] == ["checked twice", "the total"]
    assert not any("Data" in message for message in warned), warned


def test_a_read_only_sheet_read_twice_keeps_one_of_each(books):
    with quillfen.load_workbook(books[1]["xlsxwriter"][0], read_only=True) as wb:
        ws = wb["Data"]
        for _ in range(2):
            list(ws.values)
        assert len(ws.conditional_formats) == 1 and ws.merged_cells == ["E1:G2"]


def _fods(path):
    """{sheet: {coordinate: (value type, value, shown text, spans, comment text)}} of the cells
    that have a value, a merge or a comment, as LibreOffice wrote them."""
    sheets = {}
    for table in ET.parse(path).getroot().iter(odf("table", "table")):
        cells = sheets[table.get(odf("table", "name"))] = {}
        row = 0
        for row_el in table.iter(odf("table", "table-row")):
            column = 0
            for cell in row_el:
                if cell.tag not in (odf("table", "table-cell"), odf("table", "covered-table-cell")):
                    continue
                note = cell.find(odf("office", "annotation"))
                spans = (cell.get(odf("table", "number-rows-spanned")), cell.get(odf("table", "number-columns-spanned")))
                kind = cell.get(odf("office", "value-type"))
                if kind or note is not None or spans != (None, None):
                    shown = "\n".join("".join(p.itertext()) for p in cell.findall(odf("text", "p")))
                    value = cell.get(odf("office", "value")) or cell.get(odf("office", "boolean-value"))
                    comment = None if note is None else "\n".join(
                        "".join(p.itertext()) for p in note.findall(odf("text", "p")))
                    cells[coordinate_of(row + 1, column + 1)] = (kind, value, shown, spans, comment)
                column += int(cell.get(odf("table", "number-columns-repeated"), "1"))
            row += int(row_el.get(odf("table", "number-rows-repeated"), "1"))
    return sheets


def test_libreoffice_reads_the_saved_book_as_the_original(books):
    folder, pairs = books
    source, target, _warned = pairs["xlsxwriter"]
    out = folder / "fods"
    soffice_convert(folder, "fods", out, source, target)
    original, resaved = _fods(out / "xlsxwriter.fods"), _fods(out / "xlsxwriter-saved.fods")
    # Formulas are saved without their results: LibreOffice computes the same ones on opening.
    assert resaved == original
    data = original["Data"]
    assert data["B2"][2] == "1,234.50" and data["C2"][2] == "12.5%"
    assert data["E1"][3] == ("2", "3") and data["A2"][4] == "checked twice"
