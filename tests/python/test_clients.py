"""Other programs open what quillfen saves: LibreOffice (one headless conversion of every file
to flat OpenDocument) gives back each cell's value, type and shown text, and the fonts and fills
of styled cells; python-calamine reads the same values."""

import datetime as dt
import decimal
import math
import os
import re
import warnings
import xml.etree.ElementTree as ET

import pytest

import quillfen
from quillfen import WriteOnlyCell
from quillfen.model.styles import Color, Font, PatternFill
from quillfen.utils.datetime import MAC_EPOCH

from conftest import CORPUS_DIR
from support import ODF_NS, fods_cells, odf, soffice_convert

# value, number format, (LibreOffice's value type, value), the text LibreOffice shows
CELLS = [
    (42, None, ("float", 42.0), "42"),
    (-1.5, None, ("float", -1.5), "-1.5"),
    (0.1 + 0.2, None, ("float", 0.30000000000000004), "0.3"),
    (2**53, None, ("float", 2.0**53), None),
    (decimal.Decimal("2.50"), None, ("float", 2.5), "2.5"),
    (True, None, ("boolean", True), "TRUE"),
    ("text ü € 😀", None, ("string", "text ü € 😀"), "text ü € 😀"),
    ("  padded <&> ", None, ("string", "  padded <&> "), "  padded <&> "),
    ("line\nbreak", None, ("string", "line\nbreak"), None),
    ("typed _x000D_ and _x005F_", None, ("string", "typed _x000D_ and _x005F_"), "typed _x000D_ and _x005F_"),
    ("=A1*2", None, ("float", 84.0), "84"),
    (dt.datetime(2020, 1, 2, 3, 4, 5), None, ("date", "2020-01-02T03:04:05"), "2020-01-02 3:04:05"),
    (dt.date(2021, 5, 6), None, ("date", "2021-05-06"), "2021-05-06"),
    (dt.time(13, 30), None, ("time", "PT13H30M00S"), "13:30:00"),
    (dt.timedelta(hours=30, minutes=15), None, ("time", "PT30H15M00S"), "30:15:00"),
    (0.125, "0.00%", ("percentage", 0.125), "12.50%"),
    (1234.5, "#,##0.00", ("float", 1234.5), "1,234.50"),
    (3.14159, "0.000", ("float", 3.14159), "3.142"),
]


def _editable(path, epoch=None):
    wb = quillfen.Workbook()
    if epoch is not None:
        wb.epoch = epoch
    ws = wb.active
    ws.title = "Values"
    for row, (value, fmt, _lo, _shown) in enumerate(CELLS, 1):
        cell = ws.cell(row, 1, value)
        if fmt:
            cell.number_format = fmt
    wb.create_sheet("Empty")
    wb.save(path)


def _write_only(path):
    wb = quillfen.Workbook(write_only=True)
    ws = wb.create_sheet("Values")
    for value, fmt, _lo, _shown in CELLS:
        cell = WriteOnlyCell(ws, value)
        if fmt:
            cell.number_format = fmt
        ws.append([cell])
    wb.create_sheet("Empty")
    wb.save(path)


def _resaved(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        quillfen.load_workbook(os.path.join(CORPUS_DIR, "sjs-DataTypesFormats.xlsx")).save(path)


# value, number format, font, fill, the text LibreOffice shows
STYLED = [
    (1234.5, "#,##0.00", Font("Arial", 14, bold=True, italic=True, color="C00000"), PatternFill("solid", "FFFF00"),
     "1,234.50"),
    (0.125, "0.0%", Font("Liberation Serif", 9, color="0070C0"), None, "12.5%"),
    ("note", None, Font(italic=True), PatternFill("solid", "92D050"), "note"),
    (dt.date(2024, 2, 29), "dd.mm.yyyy", Font(bold=True, size=20, color=Color(theme=1)), None, "29.02.2024"),
    (-3, "0.00;[Red]-0.00", None, PatternFill("solid", fgColor="1F4E79"), "-3.00"),
]


def _styled(path):
    wb = quillfen.Workbook()
    ws = wb.active
    ws.title = "Styled"
    for row, (value, fmt, font, fill, _shown) in enumerate(STYLED, 1):
        cell = ws.cell(row, 1, value)
        if fmt:
            cell.number_format = fmt
        if font:
            cell.font = font
        if fill:
            cell.fill = fill
    wb.save(path)


def _filtered(path):
    wb = quillfen.Workbook()
    ws = wb.active
    ws.title = "Filtered"
    ws.append(["name", "n"])
    ws.append([])  # gh-19: a row too, as in a write-only sheet
    ws.append(["b", 2])
    ws.auto_filter.ref = "A1:B3"
    wb.save(path)


BOOKS = {
    "etree": ("etree", _editable),
    "lxml": ("lxml", _editable),
    "write_only": ("lxml", _write_only),
    "date1904": ("etree", lambda path: _editable(path, MAC_EPOCH)),
    "resaved": ("etree", _resaved),
    "styled": ("lxml", _styled),
    "filtered": ("etree", _filtered),
}


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    folder = tmp_path_factory.mktemp("clients")
    paths = {}
    for name, (mode, make) in BOOKS.items():
        os.environ["QUILLFEN_XML"] = mode
        try:
            if name == "resaved" and not os.path.isdir(CORPUS_DIR):
                continue
            make(folder / (name + ".xlsx"))
            paths[name] = folder / (name + ".xlsx")
        finally:
            del os.environ["QUILLFEN_XML"]
    return folder, paths


@pytest.fixture(scope="module")
def libreoffice(saved):
    """{book name: {sheet: {coordinate: (value type, value, shown text)}}} as LibreOffice reads
    every saved file, converted in one run."""
    folder, paths = saved
    out = folder / "fods"
    soffice_convert(folder, "fods", out, *paths.values())
    return {name: fods_cells(out / (name + ".fods")) for name in paths}


def _same(lo, want):
    """Equal as LibreOffice writes them: a boolean read from a workbook may come as a number
    with a boolean format, and numbers with 15 significant digits."""
    (kind, value), (want_kind, want_value) = lo, want
    if "boolean" in (kind, want_kind):
        return kind in ("boolean", "float") and float(value) == float(want_value)
    if isinstance(want_value, float):
        return kind == want_kind and math.isclose(value, want_value, rel_tol=1e-14)
    return (kind, value) == want


@pytest.mark.parametrize("name", ["etree", "lxml", "write_only", "date1904"])
def test_libreoffice_reads_values_types_and_formats(libreoffice, name):
    cells = libreoffice[name]["Values"]
    for row, (value, _fmt, lo, shown) in enumerate(CELLS, 1):
        kind, got, text = cells["A%d" % row]
        assert _same((kind, got), lo), (row, value, kind, got)
        if shown is not None:
            assert text == shown, (row, value)
    assert libreoffice[name]["Empty"] == {}


def test_libreoffice_reads_a_resaved_workbook(libreoffice, saved):
    if "resaved" not in libreoffice:
        pytest.skip("corpus not available")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        original = quillfen.load_workbook(os.path.join(CORPUS_DIR, "sjs-DataTypesFormats.xlsx"))
    cells = libreoffice["resaved"]["Sheet1"]
    for cell in original.active.cells():
        if cell.value is None:
            continue
        kind, got, _text = cells[cell.coordinate]
        want = cell.value
        if isinstance(want, dt.datetime):
            assert kind == "date" and got.startswith(want.date().isoformat()), cell
        elif isinstance(want, str):
            assert (kind, got) == ("string", want), cell
        else:
            assert float(got) == float(want), cell


def test_issue19_libreoffice_shows_the_filter_below_an_empty_row(libreoffice, saved):
    # Without the hidden name beside the filter LibreOffice showed none.
    root = ET.parse(saved[0] / "fods" / "filtered.fods").getroot()
    ranges = [(node.get(odf("table", "target-range-address")), node.get(odf("table", "display-filter-buttons")))
              for node in root.iter(odf("table", "database-range"))]
    assert ranges == [("Filtered.A1:Filtered.B3", "true")]
    assert libreoffice["filtered"]["Filtered"]["A3"][1] == "b" and "A2" not in libreoffice["filtered"]["Filtered"]


_STYLE_NS = {"style": "urn:oasis:names:tc:opendocument:xmlns:style:1.0",
             "fo": "urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0"}


def _fods_looks(path, sheet):
    """{coordinate: {property: value}} of the first column's cells: the formatting properties of
    each cell's automatic style (LibreOffice writes every property its import set) and its data
    style's name."""
    root = ET.parse(path).getroot()
    ns = {**ODF_NS, **_STYLE_NS}
    styles = {}
    for style in root.iterfind("office:automatic-styles/style:style", ns):
        props = {"data-style": style.get("{%s}data-style-name" % ns["style"])}
        for part in style:
            props.update((name.rpartition("}")[2], value) for name, value in part.attrib.items())
        styles[style.get("{%s}name" % ns["style"])] = props
    table = next(t for t in root.iter(odf("table", "table")) if t.get(odf("table", "name")) == sheet)
    looks = {}
    for row, row_el in enumerate(table.iter(odf("table", "table-row")), 1):
        cell = row_el.find("table:table-cell", ns)
        if cell is not None and cell.get(odf("office", "value-type")):
            looks["A%d" % row] = styles.get(cell.get(odf("table", "style-name")), {})
    return looks


def test_libreoffice_shows_fonts_fills_and_number_formats(libreoffice, saved):
    folder, paths = saved
    cells = libreoffice["styled"]["Styled"]
    looks = _fods_looks(folder / "fods" / "styled.fods", "Styled")
    ws = quillfen.load_workbook(paths["styled"])["Styled"]
    for row, (_value, fmt, font, fill, shown) in enumerate(STYLED, 1):
        coordinate = "A%d" % row
        lo, cell = looks[coordinate], ws[coordinate]
        assert cells[coordinate][2] == shown, coordinate
        assert (lo["data-style"] is not None) == (fmt is not None), coordinate
        if font is not None:
            font = cell.font  # as quillfen reads it back
            assert (lo.get("font-weight") == "bold") == font.bold, coordinate
            assert (lo.get("font-style") == "italic") == font.italic, coordinate
            if font.size is not None:
                assert lo["font-size"] == "%gpt" % font.size, coordinate
            if font.name is not None:
                assert lo["font-name"] == font.name, coordinate
            if isinstance(font.color, str):
                assert lo["color"] == "#" + font.color[2:].lower(), coordinate
        fill = cell.fill
        want = "#" + fill.fgColor[2:].lower() if fill.fill_type == "solid" else None
        assert lo.get("background-color", None) == want, coordinate


def _calamine_value(value):
    if isinstance(value, dt.date) and not isinstance(value, dt.datetime):
        return dt.datetime.combine(value, dt.time())
    if isinstance(value, (int, float, decimal.Decimal)) and not isinstance(value, bool):
        return float(value)
    return value


@pytest.mark.parametrize("name", ["etree", "lxml", "write_only", "date1904"])
def test_calamine_reads_the_values(saved, name):
    calamine = pytest.importorskip("python_calamine")
    rows = calamine.CalamineWorkbook.from_path(str(saved[1][name])).get_sheet_by_name("Values").to_python()
    for row, (value, _fmt, _lo, _shown) in enumerate(CELLS, 1):
        got = rows[row - 1][0]
        if isinstance(value, str) and value.startswith("="):
            assert got == "", row  # a formula saved without its result
        else:
            assert _calamine_value(got) == _calamine_value(value), (row, value, got)


@pytest.mark.parametrize("fmt, words", [("xls", "older binary format (.xls)"), ("ods", "OpenDocument spreadsheet (.ods)")])
def test_other_formats_say_what_they_are(saved, fmt, words):
    # Issue 23: an .xls file was reported as encrypted, an .ods one as a container without a
    # workbook part.
    folder, paths = saved
    soffice_convert(folder, fmt, folder / fmt, paths["etree"])
    with pytest.raises(quillfen.InvalidFileError, match=re.escape(words)):
        quillfen.load_workbook(folder / fmt / ("etree." + fmt))
