"""Sheet features: every one set on a new workbook reads back after a save, with the engine and
in pure Python, in both serialisers, and bytes are the same either way; bad input is refused
with a clear error; what a file has and the model does not hold is kept or named."""

import io
import re
import warnings
import zipfile

import pytest

import quillfen
from quillfen.model.comments import Comment
from quillfen.model.features import DefinedName, Hyperlink
from quillfen.model.styles import Color


@pytest.fixture(params=["etree", "lxml"])
def xml_mode(request, monkeypatch):
    monkeypatch.setenv("QUILLFEN_XML", request.param)
    return request.param


def featured():
    wb = quillfen.Workbook()
    ws = wb.active
    ws.title = "Data"
    other = wb.create_sheet("Other")
    for row in range(1, 6):
        ws.append([row, "text %d" % row, row * 1.5])
    ws.merge_cells("A1:C1")
    ws.merge_cells(start_row=3, start_column=2, end_row=4, end_column=3)
    ws.column_dimensions["B"].width = 30
    ws.column_dimensions["D"].hidden = True
    ws.row_dimensions[2].height = 25.5
    ws.row_dimensions[8].hidden = True  # a row without cells
    ws.freeze_panes = "B2"
    ws["A2"].hyperlink = "https://example.com/a?b=1&c=2"
    ws["A3"].hyperlink = "#Other!B2"
    ws["A4"].hyperlink = "\\\\server\\share\\f.xlsx"  # backslashes stay (issue 24)
    ws["A5"].hyperlink = "C:\\Users\\me\\f.xlsx"
    ws["E9"].hyperlink = "https://example.com/empty"  # on a cell without value or style
    ws["B2"].comment = Comment("a note\nover two lines", "Ann")
    ws["F1"].comment = Comment("  spaced  ")
    other["A1"].comment = Comment("on the other sheet", "Bob")
    ws.auto_filter.ref = "A1:C5"
    ws.sheet_properties.tabColor = "1072ba"
    other.sheet_properties.tabColor = Color(theme=4, tint=0.4)
    wb.defined_names.add(DefinedName("Rate", "Data!$C$2"))
    ws.defined_names.add(DefinedName("Local", "Data!$A$1:$A$5"))
    ws.print_title_rows = "1:2"
    ws.print_area = "A1:F40"
    return wb


def features_of(wb):
    found = {}
    for ws in wb:
        found[ws.title] = {
            "merged": ws.merged_cells,
            "cols": {k: (d.min, d.max, d.width, d.hidden) for k, d in ws.column_dimensions.items()},
            "rows": {k: (d.height, d.hidden) for k, d in ws.row_dimensions.items()},
            "freeze": ws.freeze_panes,
            "links": sorted((c, link.target, link.location) for (r, col), link in ws._links.items()
                            for c in [ws.cell(r, col).coordinate]),
            "comments": sorted((ws.cell(*key).coordinate, note.text, note.author) for key, note in ws._notes.items()),
            "filter": ws.auto_filter.ref,
            "tab": ws.sheet_properties.tabColor,
            "names": {name: d.attr_text for name, d in ws.defined_names.items()},
            "titles": ws.print_title_rows,
            "area": ws.print_area,
        }
    found["names"] = {name: d.attr_text for name, d in wb.defined_names.items()}
    return found


def saved_bytes(wb):
    out = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing set on a new workbook is left out
        wb.save(out)
    return out.getvalue()


def parts(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return {name: z.read(name) for name in z.namelist() if "docProps/core" not in name}


def test_features_read_back_the_same_with_and_without_the_engine(xml_mode, monkeypatch):
    data = saved_bytes(featured())
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1")
    assert parts(saved_bytes(featured())) == parts(data)
    pure = quillfen.load_workbook(io.BytesIO(data))
    monkeypatch.delenv("QUILLFEN_PURE_PYTHON")
    native = quillfen.load_workbook(io.BytesIO(data))
    want = features_of(featured())
    assert features_of(native) == features_of(pure) == want
    assert want["Data"]["tab"] == "FF1072BA" and want["Data"]["area"] == "A1:F40"
    assert want["Other"]["tab"] == Color(theme=4, tint=0.4)
    link = native["Data"]["A2"].hyperlink
    assert link == Hyperlink("A2", target="https://example.com/a?b=1&c=2")
    # Loaded and saved again untouched: the same parts, byte for byte.
    assert parts(saved_bytes(native)) == parts(data)


def test_saved_parts_point_at_each_other(xml_mode):
    files = parts(saved_bytes(featured()))
    sheet = files["xl/worksheets/sheet1.xml"].decode()
    order = re.findall(r"<(sheetPr|dimension|sheetViews|sheetFormatPr|cols|sheetData|autoFilter|mergeCells|"
                       r"hyperlinks|pageMargins|legacyDrawing)\b", sheet)
    assert order == ["sheetPr", "dimension", "sheetViews", "sheetFormatPr", "cols", "sheetData", "autoFilter",
                     "mergeCells", "hyperlinks", "pageMargins", "legacyDrawing"]
    rels = files["xl/worksheets/_rels/sheet1.xml.rels"].decode()
    assert 'TargetMode="External"' in rels and "../comments1.xml" in rels and "vmlDrawing1.vml" in rels
    assert set(files) >= {"xl/comments1.xml", "xl/comments2.xml", "xl/drawings/vmlDrawing2.vml"}
    types = files["[Content_Types].xml"].decode()
    assert types.count("spreadsheetml.comments+xml") == 2 and 'Extension="vml"' in types
    book = files["xl/workbook.xml"].decode()
    assert "<definedNames>" in book and 'localSheetId="0"' in book and "'Data'!$1:$2" in book


def test_changing_features_after_load(tmp_path):
    wb = featured()
    wb.save(tmp_path / "a.xlsx")
    wb = quillfen.load_workbook(tmp_path / "a.xlsx")
    ws = wb["Data"]
    ws.unmerge_cells("A1:C1")
    ws.freeze_panes = None
    ws["A2"].hyperlink = None
    ws["B2"].comment = None
    ws["F1"].comment.text = "changed"
    ws.row_dimensions[2].height = None
    ws.column_dimensions["B"].width = None
    ws.print_area = None
    ws.auto_filter.ref = None
    ws.sheet_properties.tabColor = None
    del ws["E9"]
    wb.save(tmp_path / "b.xlsx")
    back = quillfen.load_workbook(tmp_path / "b.xlsx")["Data"]
    got = features_of(back.parent)["Data"]
    assert got["merged"] == ["B3:C4"] and got["freeze"] is None and got["filter"] is None and got["tab"] is None
    assert got["links"] == [("A3", None, "Other!B2"), ("A4", "\\\\server\\share\\f.xlsx", None),
                            ("A5", "C:\\Users\\me\\f.xlsx", None)]
    assert got["comments"] == [("F1", "changed", None)]
    assert got["rows"] == {8: (None, True)} and list(got["cols"]) == ["D"] and got["area"] is None
    assert got["titles"] == "1:2"


def test_defined_names_keep_hidden_as_written():
    # "0" and "false" are visible: read as the constructor's flag, any text would hide the name.
    wb = quillfen.Workbook()
    for name, hidden in (("Shown", "0"), ("Off", "false"), ("Hid", "1"), ("Also", "true")):
        defined = DefinedName(name, "Sheet!$A$1")
        defined.attrs["hidden"] = hidden
        wb.defined_names.add(defined)
    back = quillfen.load_workbook(io.BytesIO(saved_bytes(wb))).defined_names
    assert {name: (d.hidden, d.attrs) for name, d in back.items()} == {
        "Shown": (False, {"hidden": "0"}), "Off": (False, {"hidden": "false"}),
        "Hid": (True, {"hidden": "1"}), "Also": (True, {"hidden": "true"})}


@pytest.mark.parametrize("action, error", [
    (lambda ws: ws.merge_cells("A0:B2"), ValueError),
    (lambda ws: ws.merge_cells("A1"), ValueError),
    (lambda ws: ws.merge_cells("A:B"), ValueError),
    (lambda ws: ws.merge_cells("B2:C3") or ws.merge_cells("C3:D4"), ValueError),
    (lambda ws: ws.unmerge_cells("A1:B2"), ValueError),
    (lambda ws: setattr(ws, "freeze_panes", "B0"), ValueError),
    (lambda ws: setattr(ws.column_dimensions["B"], "width", -1), ValueError),
    (lambda ws: setattr(ws.row_dimensions[1], "height", "20"), TypeError),
    (lambda ws: ws.row_dimensions[0], ValueError),
    (lambda ws: setattr(ws.auto_filter, "ref", "A1:B"), ValueError),
    (lambda ws: setattr(ws.sheet_properties, "tabColor", "red"), ValueError),
    (lambda ws: setattr(ws, "print_title_rows", "A1:B2"), ValueError),
    (lambda ws: setattr(ws, "print_area", "A1:B0"), ValueError),
    (lambda ws: setattr(ws["A1"], "hyperlink", ""), ValueError),
    (lambda ws: setattr(ws["A1"], "comment", "text"), TypeError),
    (lambda ws: Comment("bad \x01"), ValueError),
    (lambda ws: DefinedName("A1", "1"), ValueError),
    (lambda ws: DefinedName("has space", "1"), ValueError),
    (lambda ws: ws.defined_names.add(DefinedName("name", "1")) or ws.defined_names.add(DefinedName("NAME", "2")),
     ValueError),
])
def test_bad_input_is_refused(action, error):
    ws = quillfen.Workbook().active
    with pytest.raises(error):
        action(ws)


def test_reading_a_setting_adds_nothing():
    ws = quillfen.Workbook().active
    assert ws.row_dimensions[3].height is None and ws.column_dimensions["C"].width is None
    assert dict(ws.row_dimensions) == {} and dict(ws.column_dimensions) == {}
    ws.row_dimensions[3].hidden = True
    ws.row_dimensions[3].hidden = False
    assert dict(ws.row_dimensions) == {}
    ws.row_dimensions[4]["ht"] = "30"  # as attributes, as rows were set before they had settings
    assert ws.row_dimensions[4].height == 30 and list(ws.row_dimensions) == [4]


def test_a_column_run_splits_when_one_column_changes():
    ws = quillfen.Workbook().active
    from quillfen.model.features import ColumnDimension
    ws.column_dimensions["B"] = ColumnDimension(2, 6, {"width": "12", "customWidth": "1"})
    ws.column_dimensions["D"].width = 40
    runs = sorted((d.min, d.max, d.width) for d in ws.column_dimensions.values())
    assert runs == [(2, 3, 12.0), (4, 4, 40.0), (5, 6, 12.0)]


def test_write_only_sheets_keep_their_features(xml_mode):
    wb = quillfen.Workbook(write_only=True)
    ws = wb.create_sheet("Log")
    ws.merge_cells("A1:B1")
    ws.column_dimensions["A"].width = 20
    ws.freeze_panes = "A2"
    linked, noted = quillfen.WriteOnlyCell(ws, "site"), quillfen.WriteOnlyCell(ws, 5)
    linked.hyperlink = "https://example.com"
    noted.comment = Comment("five", "Ann")
    ws.append(["title"])
    ws.append([linked, noted])
    back = quillfen.load_workbook(io.BytesIO(saved_bytes(wb)))["Log"]
    assert back.merged_cells == ["A1:B1"] and back.column_dimensions["A"].width == 20
    assert back.freeze_panes == "A2"
    assert back["A2"].hyperlink == Hyperlink("A2", target="https://example.com")
    assert back["B2"].comment == Comment("five", "Ann")
