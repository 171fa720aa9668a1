"""Structural edits (insert and delete rows and columns, move ranges, copy sheets): the engine's
reference shifting against the pure-Python one, the engine's cell store against a plain dict of
cells on random workbooks and edits, and what follows an edit besides formulas."""

import os
import random
import re
import zipfile

import pytest

import quillfen
from quillfen.comments import Comment
from quillfen.features import DefinedName
from quillfen.formula import ArrayFormula
from quillfen.formula.shift import LineEdit, MoveEdit, OffsetEdit

import gridgen
from conftest import EXCEL_DIR


def _edit(rng, titles):
    kind = rng.random()
    title = rng.choice(titles)
    others = tuple(t for t in titles if t != title)
    if kind < 0.7:
        return LineEdit(title, rng.random() < 0.5, rng.randint(1, 30), rng.randint(1, 4), rng.random() < 0.5, others)
    if kind < 0.9:
        r, c = rng.randint(1, 20), rng.randint(1, 8)
        rect = (r, c, r + rng.randint(0, 5), c + rng.randint(0, 3))
        return MoveEdit(title, rect, rng.randint(-3, 6), rng.randint(-2, 4), others)
    return OffsetEdit(rng.randint(-5, 5), rng.randint(-3, 3))


def test_engine_shifts_formulas_as_python_does(testing):
    rng = random.Random(20)
    for case in range(3000):
        titles = rng.sample(gridgen.TITLES, 3)
        text = gridgen.Draw(rng, titles, wild=True).formula()
        edit = _edit(rng, titles)
        host = rng.random() < 0.5
        native = testing.formula_shift(text, edit.spec(), host)
        if native is NotImplemented:
            # Only a sheet name beyond ASCII that is no title byte for byte is Python's.
            assert not text.isascii(), text
            continue
        assert (text if native is None else native) == edit.formula(text, host), (case, text, edit.spec(), host)


# ------------------------------------------------------------------ the store against a dict

def _apply(wb, rng_seed, steps):
    rng = random.Random(rng_seed)
    for _ in range(steps):
        ws = wb.worksheets[rng.randrange(len(wb.worksheets))]
        kind = rng.random()
        if kind < 0.05:
            wb.copy_worksheet(ws)
        elif kind < 0.15 and ws.max_row > 1:
            # cells touched or set since loading live beside the records
            for _ in range(3):
                ws.cell(rng.randint(1, 30), rng.randint(1, 12)).value
            ws.cell(rng.randint(1, 30), rng.randint(1, 12), "=B%d+Data!C3" % rng.randint(1, 30))
        elif kind < 0.75:
            op = rng.choice(gridgen.EDITS)
            getattr(ws, op)(rng.randint(1, 28), rng.randint(1, 3))
        else:
            r, c = rng.randint(1, 20), rng.randint(1, 8)
            ref = "%s%d:%s%d" % (gridgen.column(c), r, gridgen.column(c + rng.randint(0, 3)), r + rng.randint(0, 5))
            ws.move_range(ref, rng.randint(-r + 1, 6), rng.randint(-c + 1, 4), translate=rng.random() < 0.5)


def _state(wb):
    sheets = []
    for ws in wb.worksheets:
        cells = sorted((key, ws._cells[key].row, ws._cells[key].column, ws._cells[key].data_type,
                        repr(ws._cells[key].value)) for key in ws._cells)
        names = sorted((n.name, n.attr_text) for n in ws.defined_names.values())
        sheets.append((ws.title, cells, sorted(ws.merged_cells), names))
    return sheets, sorted((n.name, n.attr_text) for n in wb.defined_names.values())


@pytest.mark.parametrize("case", range(40))
def test_store_edits_as_a_dict_of_cells_does(tmp_path, monkeypatch, case):
    path = tmp_path / "book.xlsx"
    gridgen.workbook(random.Random(case), path)
    _compare_paths(path, monkeypatch, case)


def _shared_sheet(rows, other):
    """Sheet data with filled-down columns, as shared formulas (D, E, F: relative, absolute and
    mixed references, areas) and written out in full (G, H: the engine keeps them as templates)."""
    def rows_xml(strings):
        out = []
        for r in range(1, rows + 1):
            cells = "".join('<c r="%s%d"><v>%d</v></c>' % (c, r, r * 10 + n) for n, c in enumerate("ABC"))
            for column, text, si in (("D", "A%d*2+$B$1" % r, 0), ("E", "SUM(A%d:B%d)+SUM($A$1:$A$3)" % (r, r + 1), 1),
                                     ("F", "%s!A$1+$B%d" % (other, r), 2)):
                if r == 1:
                    cells += '<c r="%s1"><f t="shared" ref="%s1:%s%d" si="%d">%s</f></c>' % (column, column, column,
                                                                                           rows, si, text)
                else:
                    cells += '<c r="%s%d"><f t="shared" si="%d"/></c>' % (column, r, si)
            # Cached results and attributes the model does not hold: kept with their cells.
            cells += '<c r="G%d" cm="1"><f>A%d+$C$2</f><v>%d</v></c><c r="H%d"><f>%s!B%d*C$3</f><v>%d</v></c>' % (
                r, r, 1000 + r, r, other, r, 2000 + r)
            out.append('<row r="%d">%s</row>' % (r, cells))
        yield "".join(out)
    return rows_xml


@pytest.mark.parametrize("case", range(12))
def test_shared_formulas_and_templates_edited_as_text_is(tmp_path, monkeypatch, case):
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
    import xlsxgen

    path = tmp_path / "shared.xlsx"
    xlsxgen.write_workbook(path, [("Data", _shared_sheet(30, "Other"), None, []),
                                  ("Other", _shared_sheet(20, "Data"), None, [])])
    # A result read with a formula is saved only with the formula's text as read (G's and H's
    # results name their row), also in copied sheets; an edit that rewrote the text drops it.
    kept = 0
    for part in _compare_paths(path, monkeypatch, case):
        for text, result in re.findall(rb"<f>([^<]*)</f><v>(\d+)</v>", part):
            row = int(result) % 1000
            assert text in (b"A%d+$C$2" % row, b"Other!B%d*C$3" % row, b"Data!B%d*C$3" % row), (text, result)
            kept += 1
    assert kept


def _compare_paths(path, monkeypatch, case):
    """The same random edits made to the workbook loaded into the engine's store, into a store
    in dict mode and into plain dicts give the same workbook."""
    found = []
    for mode in ("store", "dict mode", "pure"):
        monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "1" if mode == "pure" else "0")
        wb = quillfen.load_workbook(path)
        if mode == "dict mode":
            for ws in wb.worksheets:
                ws._cells[(1.0, 99)] = ws._cells.get((1, 1))  # a key only a dict keeps
                del ws._cells[(1.0, 99)]
                assert ws._cells._in_dict_mode()
        else:
            assert (mode == "store") == hasattr(wb.active._cells, "_edit")
        _apply(wb, case, 6)
        saved = path.parent / ("%s.xlsx" % mode)
        wb.save(saved)
        with zipfile.ZipFile(saved) as z:
            parts = [z.read(n) for n in sorted(z.namelist()) if n.startswith("xl/worksheets/sheet")]
        found.append((_state(wb), parts))
    assert found[0] == found[2]
    assert found[1] == found[2]
    return found[2][1]


# ------------------------------------------------------------------ what follows besides formulas

def _featured(path):
    wb = quillfen.Workbook()
    ws = wb.active
    ws.title = "Data"
    for r in range(1, 11):
        ws.cell(r, 1, r)
        ws.cell(r, 2, "=A%d*2" % r)
    ws["C1"] = "=SUM(A1:A10)"
    ws["A3"].hyperlink = "https://example.com/3"
    ws["A6"].comment = Comment("six", "Ann")
    ws["B8"].hyperlink = "#Data!A9"
    ws.merge_cells("D2:E6")
    ws.auto_filter.ref = "A1:C10"
    ws.row_dimensions[4].height = 30
    ws.row_dimensions[7].height = 12
    for r in (5, 6):
        ws.row_dimensions[r]["outlineLevel"] = "1"
    ws.column_dimensions["B"].width = 20
    ws.column_dimensions["D"].width = 9
    ws.print_area = "A1:C10"
    ws.print_title_rows = "1:2"
    wb.defined_names.add(DefinedName("Totals", "Data!$A$5:$A$10"))
    wb.create_sheet("Other")["A1"] = "=Data!A5+SUM(Data!B2:B9)"
    wb["Other"]["A2"].hyperlink = "#Data!B1"
    wb.create_sheet("Plain")["A1"] = "=B1*2+Other!A1"
    wb.save(path)


def test_rows_inserted_and_deleted_carry_every_feature(tmp_path):
    _featured(tmp_path / "in.xlsx")
    for pure in ("0", "1"):
        os.environ["QUILLFEN_PURE_PYTHON"] = pure
        try:
            wb = quillfen.load_workbook(tmp_path / "in.xlsx")
        finally:
            del os.environ["QUILLFEN_PURE_PYTHON"]
        ws = wb["Data"]
        ws.insert_rows(6, 2)  # inside the outline group and the merge, below the link
        ws.delete_rows(1)
        wb.save(tmp_path / "out.xlsx")
        wb = quillfen.load_workbook(tmp_path / "out.xlsx")
        ws = wb["Data"]
        assert [ws.cell(r, 1).value for r in range(1, 12)] == [2, 3, 4, 5, None, None, 6, 7, 8, 9, 10]
        assert ws["B7"].value == "=A7*2" and ws["C1"].value is None
        assert ws["B2"].value == "=A2*2"
        assert ws["A2"].hyperlink.target == "https://example.com/3" and ws["A2"].hyperlink.ref == "A2"
        assert ws["A7"].comment.text == "six" and ws["A5"].comment is None
        # Links to places in the workbook follow their cells as formulas do, from any sheet.
        assert ws["B9"].hyperlink.location == "Data!A10" and wb["Other"]["A2"].hyperlink.location == "#REF!"
        assert ws.merged_cells == ["D1:E7"]
        assert ws.auto_filter.ref == "A1:C11"
        assert ws.row_dimensions[3].height == 30 and ws.row_dimensions[8].height == 12
        assert [ws.row_dimensions[r].get("outlineLevel") for r in range(4, 9)] == ["1", "1", "1", "1", None]
        assert ws.print_area == "A1:C11" and ws.print_title_rows == "1:1"
        assert wb.defined_names["Totals"].attr_text == "Data!$A$4:$A$11"
        assert wb["Other"]["A1"].value == "=Data!A4+SUM(Data!B1:B10)"
        # A sheet that does not refer to the edited one is saved as it was read.
        with zipfile.ZipFile(tmp_path / "in.xlsx") as before, zipfile.ZipFile(tmp_path / "out.xlsx") as after:
            assert before.read("xl/worksheets/sheet3.xml") == after.read("xl/worksheets/sheet3.xml")


def test_columns_inserted_and_deleted(tmp_path):
    _featured(tmp_path / "in.xlsx")
    wb = quillfen.load_workbook(tmp_path / "in.xlsx")
    ws = wb["Data"]
    ws.insert_cols("B", 2)
    assert ws["D3"].value == "=A3*2" and ws["E1"].value == "=SUM(A1:A10)"
    assert ws.column_dimensions["D"].width == 20 and ws.column_dimensions["F"].width == 9
    assert ws.merged_cells == ["F2:G6"] and ws.auto_filter.ref == "A1:E10"
    ws.delete_cols(1)
    assert ws["C3"].value == "=#REF!*2" and ws["D1"].value == "=SUM(#REF!)"
    assert wb["Other"]["A1"].value == "=#REF!+SUM(Data!C2:C9)"
    assert wb.defined_names["Totals"].attr_text == "#REF!"


def test_kept_formats_and_validations_follow(tmp_path):
    xlsxwriter = pytest.importorskip("xlsxwriter")
    book = xlsxwriter.Workbook(str(tmp_path / "in.xlsx"))
    ws = book.add_worksheet("Data")
    ws.conditional_format("B2:B9", {"type": "formula", "criteria": "=$B2>$C$9"})
    ws.conditional_format("D4:D5", {"type": "cell", "criteria": ">", "value": 1})
    ws.data_validation("C3:C6", {"validate": "list", "source": "=$A$1:$A$4", "multi_range": "C3:C6 E3"})
    ws.conditional_format("E2:E9", {"type": "data_bar", "data_bar_2010": True, "min_type": "formula",
                                    "min_value": "=$A$9"})
    book.close()
    wb = quillfen.load_workbook(tmp_path / "in.xlsx")
    wb["Data"].delete_rows(4, 2)
    wb.save(tmp_path / "out.xlsx")
    ws = quillfen.load_workbook(tmp_path / "out.xlsx")["Data"]
    assert [(f.ref, getattr(f.rule, "formula", None) or f.rule.min_value) for f in ws.conditional_formats] == \
        [("B2:B7", "$B2>$C$7"), ("E2:E7", "$A$7")]
    extension = "".join(t.text or "" for t in ws._kept["extLst"].iter() if t.tag.endswith(("}sqref", "}f")))
    assert extension == "$A$7E2:E7"
    assert [(v.ref, v.formula) for v in ws.validations] == [("C3:C4 E3", "$A$1:$A$3")]


def test_move_range(tmp_path):
    _featured(tmp_path / "in.xlsx")
    wb = quillfen.load_workbook(tmp_path / "in.xlsx")
    ws = wb["Data"]
    ws["F1"] = "=A2+$A$3+B2"
    ws.move_range("A2:B3", rows=10, cols=3, translate=True)
    assert ws["D12"].value == 2 and ws["E13"].value == "=D13*2" and ws["A2"].value is None
    assert ws["F1"].value == "=D12+$D$13+E12"  # references into the range follow it
    assert ws["D13"].hyperlink.ref == "D13"
    ws.move_range("D12:E13", rows=-11, cols=-3)  # onto A1:B2, whose cells go
    assert [ws["A1"].value, ws["B1"].value, ws["B2"].value] == [2, "=A1*2", "=A2*2"]
    assert ws["F1"].value == "=A1+$A$2+B1"
    ws.merge_cells("H1:I2")
    ws.move_range("D2:E6", cols=4)  # the merge D2:E6 lands on H1:I2, which goes
    assert ws.merged_cells == ["H2:I6"]
    ws.move_range("A1", rows=3)
    assert ws["A4"].value == 2 and ws["B1"].value == "=A4*2" and ws["F1"].value == "=A4+$A$2+B1"
    with pytest.raises(ValueError, match="leave the sheet"):
        ws.move_range("A1:B2", rows=-1)


def test_copy_worksheet(tmp_path):
    _featured(tmp_path / "in.xlsx")
    wb = quillfen.load_workbook(tmp_path / "in.xlsx")
    ws = wb["Data"]
    materialised = ws._cells._stats()[1]
    copy = wb.copy_worksheet(ws)
    assert ws._cells._stats()[1] == materialised  # the source's cells stay compact
    assert copy.title == "Data (2)" and wb.sheetnames[-1] == "Data (2)"
    assert [(c.coordinate, c.value, c.number_format) for c in copy.cells()] == \
        [(c.coordinate, c.value, c.number_format) for c in ws.cells()]
    assert copy["A3"].hyperlink.target == "https://example.com/3" and copy["A6"].comment.text == "six"
    assert copy.merged_cells == ws.merged_cells and copy.column_dimensions["B"].width == 20
    assert copy.print_area == "A1:C10" and copy.defined_names["_xlnm.Print_Area"].attr_text.startswith("'Data (2)'!")
    copy["A1"] = "changed"
    copy.insert_rows(1)
    assert ws["A1"].value == 1 and ws["B2"].value == "=A2*2"
    assert wb.copy_worksheet(ws).title == "Data (3)"
    wb.save(tmp_path / "out.xlsx")
    again = quillfen.load_workbook(tmp_path / "out.xlsx")
    assert again["Data (2)"]["A2"].value == "changed" and again["Data (2)"]["B3"].value == "=A3*2"


def test_refusals(tmp_path):
    wb = quillfen.Workbook()
    ws = wb.active
    ws.cell(1048576, 1, "last")
    with pytest.raises(ValueError, match="pushed off the sheet"):
        ws.insert_rows(5)
    ws.insert_cols(1)
    assert ws.cell(1048576, 2).value == "last"
    for bad, error in (((0,), ValueError), (("x",), TypeError), ((1, 0), ValueError), ((1, 1.5), TypeError)):
        with pytest.raises(error):
            ws.insert_rows(*bad)
    with pytest.raises(ValueError, match="not a column"):
        ws.delete_cols("A1")
    ws = wb.create_sheet("Arrays")
    ws["C3"] = ArrayFormula("C3:D5", "=A3:B5*2")
    for change in (lambda: ws.insert_rows(4), lambda: ws.delete_cols("D"), lambda: ws.move_range("C3:C5", cols=5),
                   lambda: ws.move_range("A4", cols=2)):
        with pytest.raises(ValueError, match="part of the array formula of C3:D5"):
            change()
    ws.insert_rows(3)
    ws.move_range("C4:D6", rows=1)
    assert ws["C5"].value.ref == "C5:D7" and ws["C5"].value.text == "=A4:B6*2"  # not translated
    wb.save(tmp_path / "b.xlsx")
    read_only = quillfen.load_workbook(tmp_path / "b.xlsx", read_only=True)
    assert not hasattr(read_only.active, "insert_rows")


def test_report_features_follow_and_are_copied(tmp_path):
    from quillfen.charts import Chart

    wb = quillfen.Workbook()
    ws = wb.active
    ws.title = "Data"
    for row in range(1, 8):
        ws.append(["k%d" % row, row, row * 2])
    ws.add_table("Sales", "A2:C7", columns=["k", "a", "b"])
    chart = Chart("column")
    chart.add_series("Data!$C$3:$C$7", categories="Data!$A$3:$A$7")
    ws.add_chart(chart, "E5")
    with pytest.raises(ValueError, match="header row of table 'Sales'"):
        ws.delete_rows(1, 2)
    assert ws.tables["Sales"].ref == "A2:C7" and ws["A1"].value == "k1"  # refused before anything moved
    ws.insert_rows(4, 2)
    ws.delete_cols(2)
    assert ws.tables["Sales"].ref == "A2:B9" and ws.tables["Sales"].columns == ["k", "b"]
    assert str(ws.charts[0].series[0].values) == "Data!$B$3:$B$9" and ws.charts[0].anchor == "D7"
    copy = wb.copy_worksheet(ws)
    assert list(copy.tables) == ["Sales_2"] and copy.tables["Sales_2"].ref == "A2:B9"
    wb.save(tmp_path / "t.xlsx")
    again = quillfen.load_workbook(tmp_path / "t.xlsx")
    assert again["Data (2)"].tables["Sales_2"].ref == "A2:B9"


@pytest.mark.skipif(not os.path.isdir(EXCEL_DIR), reason="the Excel-made corpus is not present")
def test_renames_and_edits_follow_into_links_and_titles(tmp_path):
    wb = quillfen.load_workbook(os.path.join(EXCEL_DIR, "hyperlink04.xlsx"))
    wb["Data Sheet"].title = "Facts"
    wb["Sheet2"].title = "Two"
    wb["Two"].insert_rows(1)
    wb.save(tmp_path / "links.xlsx")
    links = quillfen.load_workbook(tmp_path / "links.xlsx")["Sheet1"]
    assert [links[ref].hyperlink.location for ref in ("A1", "A3", "A5", "E12")] == \
        ["Two!A2", "Two!A2:A6", "Facts!D5", "Sheet1!J1"]
    # The application properties list the new titles; the rest of the part stays as it was.
    source = os.path.join(EXCEL_DIR, "defined_name01.xlsx")
    wb = quillfen.load_workbook(source)
    wb["Sheet1"].title, wb["Sheet 3"].title = "Q&A", "Sheet1"
    wb.save(tmp_path / "titles.xlsx")
    with zipfile.ZipFile(source) as before, zipfile.ZipFile(tmp_path / "titles.xlsx") as after:
        expected = before.read("docProps/app.xml")
        for old, new in ((b">Sheet1<", b">'Q&amp;A'<"), (b">Sheet1!", b">'Q&amp;A'!"), (b">Sheet 3<", b">Sheet1<"),
                         (b">'Sheet 3'!", b">Sheet1!"), (b">'Q&amp;A'<", b">Q&amp;A<")):
            expected = expected.replace(old, new)
        assert after.read("docProps/app.xml") == expected


def test_refused_before_anything_changes(tmp_path):
    wb = quillfen.Workbook()
    ws = wb.active
    ws.title = "S"
    ws["A1"] = "=S!B1"
    other = wb.create_sheet("Other")
    other["A1"] = "=" + "+".join(["S!A2"] * 1620)  # 8,099 characters: a longer title pushes it past 8,192
    with pytest.raises(ValueError, match="would have 16199 characters"):
        ws.title = "Longer"
    assert ws.title == "S" and ws["A1"].value == "=S!B1" and wb.sheetnames == ["S", "Other"]
    for r in range(1, 6):
        other.append([r, r * 2])
    other.add_table("Numbers", "A2:B6", columns=["one", "two"])
    for ref, rows, cols in (("A1:A3", 3, 3), ("B6:C7", 1, 0), ("A5:C5", 0, 1)):
        with pytest.raises(ValueError, match="crosses the edge of table 'Numbers'"):
            other.move_range(ref, rows, cols)
    assert other["A3"].value == 2 and other.tables["Numbers"].ref == "A2:B6"
    other.move_range("A3:B4", cols=2)  # inside the table
    other.move_range("A1:D7", rows=2)  # the whole table
    assert other.tables["Numbers"].ref == "A4:B8" and other["C5"].value == 2
