"""Saving workbooks: what is saved reads back unchanged, in both XML serialisers; every corpus
workbook survives a load and a save; a failed save leaves nothing behind."""

import datetime as dt
import decimal
import errno
import io
import math
import os
import re
import warnings
import xml.etree.ElementTree as ET
import zipfile

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quillfen
from quillfen.__main__ import dump
from quillfen.formula import ArrayFormula, DataTableFormula
from quillfen.model.richtext import CellRichText, InlineFont, TextBlock
from quillfen.model.styles import STYLE_FIELDS, StyleArray
from quillfen.utils.datetime import MAC_EPOCH, WINDOWS_EPOCH

from conftest import CORPUS_DIR

MODES = ["etree", "lxml"]


@pytest.fixture(params=MODES)
def xml_mode(request, monkeypatch):
    monkeypatch.setenv("QUILLFEN_XML", request.param)
    return request.param


def load(path, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return quillfen.load_workbook(path, **kw)


def saved(wb, path):
    """Saves, returning the texts of the warnings given."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        wb.save(path)
    return [str(w.message) for w in caught]


@pytest.mark.parametrize("fast_deflate", [True, False], ids=["isal", "zlib"])
def test_new_workbook_package(tmp_path, xml_mode, monkeypatch, fast_deflate):
    from quillfen.writer import excel
    if not fast_deflate:
        monkeypatch.setattr(excel, "_fast_zlib", None)
    wb = quillfen.Workbook()
    wb.active["A1"] = "x"
    wb.create_sheet("Second")["C3"] = dt.date(2020, 1, 1)
    wb.create_sheet("Hidden").sheet_state = "hidden"
    wb.active = 1
    wb.epoch = MAC_EPOCH
    path = tmp_path / "new.xlsx"
    assert saved(wb, path) == []
    with zipfile.ZipFile(path) as z:
        assert z.testzip() is None
        assert z.namelist() == [
            "[Content_Types].xml", "_rels/.rels", "docProps/core.xml", "docProps/app.xml",
            "xl/workbook.xml", "xl/_rels/workbook.xml.rels", "xl/worksheets/sheet1.xml",
            "xl/worksheets/sheet2.xml", "xl/worksheets/sheet3.xml", "xl/styles.xml"]
        sheet = z.read("xl/worksheets/sheet2.xml").decode()
    # Schema order, and only the active sheet's tab selected.
    assert re.findall(r"<(dimension|sheetViews|sheetFormatPr|sheetData|pageMargins)\b", sheet) == \
        ["dimension", "sheetViews", "sheetFormatPr", "sheetData", "pageMargins"]
    assert '<dimension ref="C3:C3"' in sheet and 'tabSelected="1"' in sheet
    back = load(path)
    assert back.sheetnames == ["Sheet", "Second", "Hidden"] and back.active.title == "Second"
    assert back.epoch == MAC_EPOCH and back["Hidden"].sheet_state == "hidden"
    assert back["Second"]["C3"].value == dt.datetime(2020, 1, 1)


def test_rich_text_and_formula_objects_read_back(tmp_path, xml_mode):
    values = {
        "A1": CellRichText(["plain ", TextBlock(InlineFont(b=True, sz=12.0, color={"rgb": "FFFF0000"}), " bold")]),
        "A2": ArrayFormula("A2:A3", "=B1:B2*2"),
        "A4": DataTableFormula(ref="A4:B5", dt2D="1", r1="C1", r2="C2"),  # attributes as read
    }
    wb = quillfen.Workbook()
    for coordinate, value in values.items():
        wb.active[coordinate] = value
    wb.save(tmp_path / "objects.xlsx")
    back = load(tmp_path / "objects.xlsx", rich_text=True).active
    assert {coordinate: back[coordinate].value for coordinate in values} == values


# ------------------------------------------------------------------ every corpus workbook

def _corpus():
    names = sorted(n for n in os.listdir(CORPUS_DIR) if n.endswith(".xlsx")) if os.path.isdir(CORPUS_DIR) else []
    found = []
    for name in names:
        try:
            wb = load(os.path.join(CORPUS_DIR, name))
        except Exception:  # noqa: BLE001 - files no reader opens are not saved
            continue
        if wb.worksheets:
            found.append(name)
    return found


def dump_lines(path):
    """The dump of a workbook, but for what a save does not keep by design: a whole float is
    written as an integer. Every cell stays, one without a value or with empty text too."""
    out = io.StringIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        dump(path, out=out)
    return [re.sub(r"(\tn\t-?\d+)\.0$", r"\1", line) for line in out.getvalue().splitlines()]


def style_content(wb, style):
    """What a cell's format shows, whatever its ids: the number format code and the elements
    its ids point to (an id that points nowhere shows the default)."""
    sheet = wb.stylesheet
    ids = dict(zip(STYLE_FIELDS, style if style is not None else StyleArray()))

    def xml(items, i):
        item = items[i if 0 <= i < len(items) else 0]
        return None if item is None else ET.tostring(item)

    return (sheet.code(ids["numFmtId"]) or "General", xml(sheet.fonts, ids["fontId"]),
            xml(sheet.fills, ids["fillId"]), xml(sheet.borders, ids["borderId"]),
            xml(sheet.alignments, ids["alignmentId"]), xml(sheet.protections, ids["protectionId"]),
            ids["quotePrefix"], ids["pivotButton"])


def styles_by_cell(path):
    wb = load(path)
    contents = {}
    for ws in wb:
        for cell in ws.cells():
            if cell._style is not None and any(cell._style):
                contents.setdefault(tuple(cell._style), []).append((ws.title, cell.coordinate))
    found = {}
    for style, cells in contents.items():
        content = style_content(wb, style)
        found.update(dict.fromkeys(cells, content))
    return wb.epoch, found


def features(path):
    """Every sheet's features and the worksheet elements kept as read (as they are written:
    sheet views are left out, since a save selects only the active sheet's tab)."""
    from quillfen.writer.features import kept_copy

    def text(node):
        copy = kept_copy(node)
        return None if copy is None else ET.tostring(copy)

    wb = load(path)
    found = {"names": {name: (d.attr_text, d.attrs) for name, d in wb.defined_names.items()}}
    for ws in wb:
        kept = {name: [text(n) for n in (nodes if isinstance(nodes, list) else [nodes])]
                for name, nodes in ws._kept.items() if name != "sheetViews"}
        found[ws.title] = (
            ws.merged_cells, ws.freeze_panes, ws.auto_filter.ref, ws.sheet_properties.tabColor,
            {k: (d.min, d.max, dict(d)) for k, d in ws.column_dimensions.items()},
            {k: dict(d) for k, d in ws.row_dimensions.items()},
            sorted((key, link.ref, link.target, link.location, link.tooltip) for key, link in ws._links.items()),
            sorted((key, note.text, note.author) for key, note in ws._notes.items()),
            {name: (d.attr_text, d.attrs) for name, d in ws.defined_names.items()},
            (list(ws.conditional_formats), list(ws.validations), ws.protection, ws.page_setup, ws.margins,
             list(ws.images), list(ws.charts), dict(ws.tables)), kept)
    return found


@pytest.mark.parametrize("name", _corpus())
def test_corpus_round_trip(tmp_path, xml_mode, name):
    source = os.path.join(CORPUS_DIR, name)
    target = tmp_path / name
    saved(load(source), target)
    assert dump_lines(target) == dump_lines(source)
    assert styles_by_cell(target) == styles_by_cell(source)
    got, want = features(target), features(source)
    for title, sheet in want.items():
        for name in ("sheetFormatPr", "pageMargins"):  # a save adds the defaults
            if title != "names" and name not in sheet[-1]:
                got[title][-1].pop(name, None)
    assert got == want


def test_what_quillfen_does_not_interpret_is_kept(tmp_path):
    name = "exz-Book1.xlsx"
    if not os.path.exists(os.path.join(CORPUS_DIR, name)):
        pytest.skip("corpus not available")
    wb = load(os.path.join(CORPUS_DIR, name))
    wb["Sheet1"]["A1"] = "changed"
    assert saved(wb, tmp_path / name) == []
    with zipfile.ZipFile(os.path.join(CORPUS_DIR, name)) as source, zipfile.ZipFile(tmp_path / name) as z:
        assert "xl/drawings/drawing1.xml" in z.namelist()
        assert z.read("xl/drawings/drawing1.xml") == source.read("xl/drawings/drawing1.xml")
        sheet = z.read("xl/worksheets/sheet1.xml")
    assert all(tag in sheet for tag in (b"<drawing ", b"<picture ", b"<tableParts"))


# ------------------------------------------------------------------ generated values

_TEXT = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\ufffe\uffff"
                              + "".join(map(chr, [*range(0, 9), 11, 12, *range(14, 32)]))), max_size=40)
_MS = st.integers(0, 999).map(lambda ms: ms * 1000)
# Dates from the first day of both epochs (1904-01-01 is serial 0 of the 1904 system, read back
# as a date because its cell shows one); serials keep milliseconds.
VALUES = st.one_of(
    st.none(), st.booleans(), st.integers(-2**53, 2**53),
    st.floats(allow_nan=False, allow_infinity=False), st.just(-0.0), _TEXT,
    st.builds(lambda d, us: d.replace(microsecond=us),
              st.datetimes(dt.datetime(1904, 1, 1), dt.datetime(9999, 12, 30)), _MS),
    st.dates(dt.date(1904, 1, 1), dt.date(9999, 12, 31)),
    st.builds(lambda t, us: t.replace(microsecond=us), st.times(), _MS),
    st.builds(dt.timedelta, st.integers(0, 10**6), st.integers(0, 86399), _MS),
    st.decimals(allow_nan=False, allow_infinity=False, places=6, min_value=-10**12, max_value=10**12),
)


def _expected(value):
    if isinstance(value, dt.date) and not isinstance(value, dt.datetime):
        return dt.datetime.combine(value, dt.time())  # serials read back as datetimes
    if isinstance(value, decimal.Decimal):
        return float(value)
    return value


def _same(have, want):
    """Equal values of the same kind; numbers are one kind (a whole float reads back as an int),
    and -0.0 keeps its sign."""
    number = (int, float)
    if isinstance(want, number) and not isinstance(want, bool):
        return (isinstance(have, number) and not isinstance(have, bool) and have == want
                and math.copysign(1, have) == math.copysign(1, want))
    return type(have) is type(want) and have == want


@pytest.mark.filterwarnings("ignore:a Decimal with more digits")
@given(rows=st.lists(st.lists(VALUES, min_size=1, max_size=6), min_size=1, max_size=6),
       epoch=st.sampled_from([WINDOWS_EPOCH, MAC_EPOCH]), mode=st.sampled_from(MODES),
       write_only=st.booleans())
def test_generated_values_round_trip(rows, epoch, mode, write_only):
    wb = quillfen.Workbook(write_only=write_only)
    wb.epoch = epoch
    ws = wb.create_sheet("Data") if write_only else wb.active
    out = io.BytesIO()
    os.environ["QUILLFEN_XML"] = mode
    try:
        for row in rows:
            ws.append(row)
        wb.save(out)
    finally:
        del os.environ["QUILLFEN_XML"]
    back = quillfen.load_workbook(out).worksheets[0]
    for r, row in enumerate(rows, 1):
        for c, value in enumerate(row, 1):
            have = back.cell(r, c).value
            assert _same(have, _expected(value)), (r, c, value, have)


# ------------------------------------------------------------------ failure and choice

def _failing_book(fail):
    wb = quillfen.Workbook()
    ws = wb.active
    ws.append(range(1000))
    if fail == "value":
        ws["B2"]._value = object()  # past the checks of assignment, as a damaged model would be
    return wb


@pytest.mark.parametrize("fail", ["value", "disk full"])
def test_failed_save_leaves_the_old_file(tmp_path, monkeypatch, fail):
    path = tmp_path / "book.xlsx"
    path.write_bytes(b"the old file")
    if fail == "disk full":
        from quillfen.writer import package

        def full(*_args):
            raise OSError(errno.ENOSPC, "No space left on device")
        monkeypatch.setattr(package, "stylesheet_element", full)
    with pytest.raises(TypeError if fail == "value" else OSError):
        _failing_book(fail).save(path)
    assert path.read_bytes() == b"the old file" and os.listdir(tmp_path) == ["book.xlsx"]


def test_unwritable_folder_and_file_objects(tmp_path):
    wb = _failing_book(None)
    with pytest.raises(FileNotFoundError):
        wb.save(tmp_path / "missing" / "book.xlsx")
    assert os.listdir(tmp_path) == []
    out = io.BytesIO()
    out.write(b"ahead")
    wb.save(out)  # written in place, from where the file object is
    assert out.getvalue().startswith(b"ahead") and load(out).active["A1"].value == 0


@pytest.mark.parametrize("write_only", [False, True], ids=["editable", "write-only"])
def test_sheets_past_the_plain_zip_entry_limit(tmp_path, monkeypatch, write_only):
    from quillfen.writer import write_only as streamed
    # 16 KiB stands in for the 2 GiB a plain entry holds.
    monkeypatch.setattr(zipfile, "ZIP64_LIMIT", 1 << 14)
    monkeypatch.setattr(streamed, "_LARGE", 1 << 14)
    wb = quillfen.Workbook(write_only=write_only)
    ws = wb.create_sheet() if write_only else wb.active
    for r in range(2000):
        ws.append([r, "text %d" % r])
    wb.save(tmp_path / "big.xlsx")
    back = load(tmp_path / "big.xlsx").worksheets[0]
    assert back.max_row == 2000 and back.cell(2000, 2).value == "text 1999"


def test_serialiser_choice(tmp_path, monkeypatch):
    wb = quillfen.Workbook()
    wb.active["A1"] = "é"
    for mode, text in (("etree", "é".encode()), ("lxml", b"&#233;")):
        monkeypatch.setenv("QUILLFEN_XML", mode)
        wb.save(tmp_path / "x.xlsx")
        with zipfile.ZipFile(tmp_path / "x.xlsx") as z:
            assert text in z.read("xl/worksheets/sheet1.xml")
    monkeypatch.setenv("QUILLFEN_XML", "sax")
    with pytest.raises(ValueError, match="QUILLFEN_XML='sax'"):
        wb.save(tmp_path / "x.xlsx")
    monkeypatch.setenv("QUILLFEN_XML", "lxml")
    monkeypatch.setitem(__import__("sys").modules, "lxml", None)
    with pytest.raises(ImportError, match=r"quillfen\[lxml\]"):
        wb.save(tmp_path / "x.xlsx")


def test_workbooks_no_program_opens_are_refused():
    wb = quillfen.Workbook()
    wb.active.sheet_state = "hidden"
    with pytest.raises(ValueError, match="visible sheet"):
        wb.save(io.BytesIO())
    wb.active.sheet_state = "invisible"
    with pytest.raises(ValueError, match="'invisible'"):
        wb.save(io.BytesIO())
    wb.remove(wb.active)
    with pytest.raises(ValueError, match="at least one sheet"):
        wb.save(io.BytesIO())


def test_read_only_workbook_is_not_saved(tmp_path):
    path = tmp_path / "a.xlsx"
    quillfen.Workbook().save(path)
    with load(path, read_only=True) as wb, pytest.raises(ValueError, match="read-only"):
        wb.save(tmp_path / "b.xlsx")
