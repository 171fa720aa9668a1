"""Saving a loaded workbook keeps what it was read with: an untouched save gives back every part
but the document properties; a change rewrites only the parts it touches, and what a changed
sheet does not interpret stays in place; what the source holds is copied from it safely."""

import io
import os
import shutil
import warnings
import xml.etree.ElementTree as ET
import zipfile

import pytest

import quillfen
from quillfen.package.xmlparts import Layout

from conftest import EXCEL_DIR

pytestmark = pytest.mark.skipif(not os.path.isdir(EXCEL_DIR), reason="the Excel-made corpus is not present")

# The package's bookkeeping, which a change to a sheet may rewrite.
BOOKKEEPING = {"[Content_Types].xml", "xl/workbook.xml", "xl/_rels/workbook.xml.rels", "docProps/core.xml",
               "docProps/app.xml"}


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


def parts(z):
    return {name: z.read(name) for name in z.namelist()}


def values(wb):
    return {(ws.title, cell.coordinate): cell.value for ws in wb for cell in ws.cells() if cell.value is not None}


@pytest.mark.parametrize("name", sample())
def test_a_save_rewrites_only_what_changed(name):
    source = parts(zipfile.ZipFile(excel(name)))
    untouched = parts(saved(load(excel(name))))
    assert untouched.keys() == source.keys()
    assert [part for part in source if untouched[part] != source[part]] in ([], ["docProps/core.xml"])

    wb = load(excel(name))
    ws = wb.worksheets[0]
    ws["A1"] = "changed"
    z = saved(wb)
    edited = parts(z)
    assert source.keys() - {"xl/calcChain.xml"} <= edited.keys()
    assert {part for part in source if edited.get(part, source[part]) != source[part]} <= BOOKKEEPING | {ws._part}
    before, after = Layout.of(source[ws._part]), Layout.of(edited[ws._part])
    assert before.root_start == after.root_start  # namespace declarations, mc:Ignorable and all
    others = ("sheetData", "dimension")
    assert [c for c in before.children if c.local not in others] == [c for c in after.children if c.local not in others]
    want = values(load(excel(name)))
    want[(ws.title, "A1")] = "changed"
    assert values(load(io.BytesIO(z.fp.getvalue()))) == want


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
