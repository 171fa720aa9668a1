"""Saving a loaded workbook keeps what it was read with: an untouched save gives back every part
but the document properties; a change rewrites only the parts it touches, and what a changed
sheet does not interpret stays in place; what the source holds is copied from it safely."""

import io
import os
import re
import shutil
import sys
import warnings
import xml.etree.ElementTree as ET
import zipfile

import pytest

import quillfen
from quillfen.package.xmlparts import Layout

from conftest import EXCEL_DIR

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "scripts"))
import fidelity  # noqa: E402

pytestmark = pytest.mark.skipif(not os.path.isdir(EXCEL_DIR), reason="the Excel-made corpus is not present")

def excel(name):
    return os.path.join(EXCEL_DIR, name)


def sample():
    """Every 20th workbook of the corpus, and those with chart sheets or macros."""
    names = sorted(n for n in os.listdir(EXCEL_DIR) if n.endswith((".xlsx", ".xlsm"))) if os.path.isdir(EXCEL_DIR) else []
    return [n for i, n in enumerate(names) if i % 20 == 0 or n.startswith("chartsheet") or n.endswith(".xlsm")]


def load(source, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return quillfen.load_workbook(source, **kw)


def saved(wb, target=None):
    """The saved package (as a ZipFile); a warning fails the test."""
    out = io.BytesIO() if target is None else target
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        wb.save(out)
    return zipfile.ZipFile(out)


@pytest.mark.parametrize("name", sample())
def test_a_save_rewrites_only_what_changed(name):
    problems, _edited = fidelity.check_workbook(excel(name))
    if problems and all(re.search(r"'(cm|vm|ph)'", problem) for problem in problems):
        pytest.xfail("the attributes of cells the engine's store does not model, kept by the cell-level work")
    assert problems == []


def test_libreoffice_shows_what_it_showed(tmp_path):
    names = ["chart_bar01.xlsx", "comment03.xlsx", "chartsheet01.xlsx", "macro01.xlsm", "autofilter02.xlsx"]
    pairs = {name: (excel(name), fidelity.check_workbook(excel(name))[1]) for name in names}
    assert fidelity.libreoffice_problems(pairs, tmp_path) == {}


def test_the_source_stays_readable_and_is_checked(tmp_path):
    path = tmp_path / "book.xlsx"
    shutil.copy(excel("chart_bar01.xlsx"), path)
    wb = load(path)
    wb.active["A1"] = 1
    wb.save(path)  # onto the file it was read from: the unchanged parts still come from it
    wb.close()
    wb.active["A2"] = 2
    wb.save(tmp_path / "again.xlsx")
    again = load(tmp_path / "again.xlsx")
    assert (again.active["A1"].value, again.active["A2"].value) == (1, 2)
    assert "xl/charts/chart1.xml" in zipfile.ZipFile(tmp_path / "again.xlsx").namelist()

    for close in (False, True):
        other = load(tmp_path / "again.xlsx")
        if close:
            other.close()  # the file is opened again to be saved, and checked
        with open(tmp_path / "again.xlsx", "r+b") as f:  # changed in place after loading
            f.seek(0, 2)
            f.write(b"\0")
        with pytest.raises(quillfen.InvalidFileError, match="changed on disk") as caught:
            other.save(tmp_path / "third.xlsx")
        assert caught.value.part == str(tmp_path / "again.xlsx") and not (tmp_path / "third.xlsx").exists()

    data = io.BytesIO(path.read_bytes())
    from_object = load(data)
    data.seek(0)
    data.truncate()  # the caller reuses its file object
    assert "xl/charts/chart1.xml" in saved(from_object).namelist()


def test_macros_follow_the_name_saved_to(tmp_path):
    main = "xl/workbook.xml"
    wb = load(excel("macro01.xlsm"))
    kept = saved(wb, tmp_path / "kept.xlsm")
    assert "xl/vbaProject.bin" in kept.namelist() and b"macroEnabled.main" in kept.read("[Content_Types].xml")
    target = tmp_path / "plain.xlsx"
    target.write_bytes(b"the old file")
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the warning comes before the destination is touched
        with pytest.raises(UserWarning, match=r"the macros \(xl/vbaProject.bin\)"):
            wb.save(target)
    assert target.read_bytes() == b"the old file"
    with pytest.warns(UserWarning, match="save as .xlsm to keep them"):
        wb.save(target)
    plain = zipfile.ZipFile(target)
    assert "xl/vbaProject.bin" not in plain.namelist() and b"vbaProject.bin" not in plain.read("[Content_Types].xml")
    assert b"sheet.main+xml" in plain.read("[Content_Types].xml") and load(target).sheetnames == wb.sheetnames
    for suffix, kind in ((".xlsm", b"macroEnabled.main"), (".xltx", b"template.main")):
        new = saved(quillfen.Workbook(), tmp_path / ("new" + suffix))
        assert kind in new.read("[Content_Types].xml") and main in new.namelist()


def test_chart_sheets_keep_their_place():
    wb = load(excel("chartsheet01.xlsx"))
    chart = wb["Chart1"]
    assert wb.sheetnames == ["Sheet1", "Chart1"] and wb.chartsheets == [chart] and chart.kind == "chartsheet"
    assert [ws.title for ws in wb] == ["Sheet1"]
    source = zipfile.ZipFile(excel("chartsheet01.xlsx"))
    wb.move_sheet(chart, -1)
    chart.title = "Plot"
    back = saved(wb)
    assert back.read(chart._part) == source.read(chart._part)
    again = load(io.BytesIO(back.fp.getvalue()))
    assert again.sheetnames == ["Plot", "Sheet1"] and again.chartsheets[0].kind == "chartsheet"
    again.remove(again["Plot"])
    gone = saved(again).namelist()
    assert chart._part not in gone and not any(name.startswith("xl/charts/") for name in gone)


def test_added_formats_are_appended(tmp_path):
    from quillfen.styles import Font

    from test_save import styles_by_cell

    source = excel("simple05.xlsx")
    wb = load(source)
    new = wb.create_sheet("New")
    new["A1"] = 1.5
    new["A1"].font = Font("Arial", 17, bold=True, italic=True)
    new["A2"] = 2
    new["A2"].number_format = "0.0000;[Red]-0.0000"
    z = saved(wb, tmp_path / "styled.xlsx")
    sheet = wb.worksheets[0]._part
    assert z.read(sheet) == zipfile.ZipFile(source).read(sheet)  # untouched: its style ids must still mean the same
    before, after = Layout.of(zipfile.ZipFile(source).read("xl/styles.xml")), Layout.of(z.read("xl/styles.xml"))
    for child in before.children:
        items = [Layout.element(before, child), Layout.element(after, after.find(child.uri, child.local))]
        old, now = ([ET.tostring(item) for item in element] for element in items)
        assert now[:len(old)] == old
    back = styles_by_cell(tmp_path / "styled.xlsx")[1]
    assert {k: v for k, v in back.items() if k[0] != "New"} == styles_by_cell(source)[1]
    back = load(tmp_path / "styled.xlsx")["New"]
    assert back["A1"].font == Font("Arial", 17, bold=True, italic=True)
    assert back["A2"].number_format == "0.0000;[Red]-0.0000"


def test_comments_merge_into_the_drawing_they_share():
    from quillfen.comments import Comment

    wb = load(excel("button12.xlsx"))  # a form control and a comment in one legacy drawing
    ws = wb.active
    ws["C5"].comment = Comment("new", "me")
    first = saved(wb)
    back = load(io.BytesIO(first.fp.getvalue()))
    drawing = first.read("xl/drawings/vmlDrawing1.vml")
    assert drawing.count(b'ObjectType="Button"') == 1 and drawing.count(b'ObjectType="Note"') == 2
    assert b"width:96pt" in drawing  # the note read keeps its box
    assert {c.coordinate: c.comment.text for c in back.active.cells() if c.comment} == {"A1": "Some text", "C5": "new"}
    for cell in list(back.active.cells()):
        cell.comment = None
    z = saved(back)
    drawing = z.read("xl/drawings/vmlDrawing1.vml")
    assert b'ObjectType="Button"' in drawing and b'ObjectType="Note"' not in drawing
    assert "xl/comments1.xml" not in z.namelist()
    assert b"<legacyDrawing " in z.read("xl/worksheets/sheet1.xml")


def _with_parts(data, replace, extra):
    """The package `data` with parts' text changed (name -> (old, new)) and parts added (name ->
    (bytes, content type))."""
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(data)) as source, zipfile.ZipFile(out, "w") as z:
        for name in source.namelist():
            text = source.read(name)
            if name in replace:
                text = text.replace(*replace[name])
            if name == "[Content_Types].xml":
                text = text.replace(b"</Types>", b"".join(b'<Override PartName="/%s" ContentType="%s"/>'
                                                          % (n.encode(), t.encode()) for n, (_, t) in extra.items())
                                    + b"</Types>")
            z.writestr(name, text)
        for name, (text, _kind) in extra.items():
            z.writestr(name, text)
    return out


def test_a_renamed_sheet_is_renamed_in_every_formula():
    from quillfen.features import DefinedName

    wb = quillfen.Workbook()
    wb.active.append([1, 2, 3])
    wb.create_sheet("Other")["A1"] = "=Sheet!A1+SUM(Sheet!B1:C1)&\"Sheet!A1\""
    wb.defined_names.add(DefinedName("Total", "Sheet!$C$1"))
    main = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
    checks = (b'<dataValidations count="1"><dataValidation type="list" sqref="D1"><formula1>Sheet!$A$1:$C$1</formula1>'
              b'</dataValidation></dataValidations><conditionalFormatting sqref="A1"><cfRule type="expression" '
              b'priority="1"><formula>Sheet!$A$1&gt;0</formula></cfRule></conditionalFormatting><pageMargins')
    built = _with_parts(saved(wb).fp.getvalue(), {"xl/worksheets/sheet1.xml": (b"<pageMargins", checks)}, {
        "xl/pivotCache/pivotCacheDefinition1.xml": (
            b'<pivotCacheDefinition xmlns="%s"><cacheSource type="worksheet"><worksheetSource ref="A1:C1" '
            b'sheet="Sheet"/></cacheSource></pivotCacheDefinition>' % main.encode(),
            "application/vnd.openxmlformats-officedocument.spreadsheetml.pivotCacheDefinition+xml"),
        "xl/tables/table1.xml": (
            b'<table xmlns="%s" id="1" name="T" displayName="T" ref="A1:A2"><tableColumns count="1"><tableColumn '
            b'id="1" name="a"><calculatedColumnFormula>Sheet!$A$1*2</calculatedColumnFormula></tableColumn>'
            b'</tableColumns></table>' % main.encode(),
            "application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml")})
    wb = load(built)
    wb["Sheet"].title = "Q 1"
    z = saved(wb)
    back = load(io.BytesIO(z.fp.getvalue()))
    assert back["Other"]["A1"].value == "='Q 1'!A1+SUM('Q 1'!B1:C1)&\"Sheet!A1\""  # text in quotes stays
    assert back.defined_names["Total"].attr_text == "'Q 1'!$C$1"
    sheet = z.read("xl/worksheets/sheet1.xml")
    assert b"<formula1>'Q 1'!$A$1:$C$1</formula1>" in sheet and b"<formula>'Q 1'!$A$1&gt;0</formula>" in sheet
    assert b'sheet="Q 1"' in z.read("xl/pivotCache/pivotCacheDefinition1.xml")
    assert b"'Q 1'!$A$1*2" in z.read("xl/tables/table1.xml")
    chart = load(excel("chart_bar01.xlsx"))
    chart["Sheet1"].title = "Data"
    assert b"<c:f>Data!$A$1:$A$5</c:f>" in saved(chart).read("xl/charts/chart1.xml")
