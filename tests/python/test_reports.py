"""What reports need: images, charts, tables, validations, conditional formats, outlines,
protection and page setup are saved and read back as the objects they were made as; read from
Excel's files, they are kept byte for byte while untouched and rewritten when changed; every
value is checked when it is set."""

import datetime
import gc
import io
import os
import struct
import warnings
import zipfile
import zlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillfen
from quillfen.charts import Chart, KeptChart
from quillfen.drawing import Image
from quillfen.formatting import (CellRule, ColorScale, DataBar, DuplicateRule, FormulaRule, IconSet, KeptRule,
                                 TopRule)
from quillfen.printing import PageMargins
from quillfen.protection import legacy_hash
from quillfen.styles import Border, Font, PatternFill, Side

from conftest import CORPUS_DIR, EXCEL_DIR


def png(width, height):
    """A valid PNG of one colour."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\x00" + b"\xff\x00\x00" * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def reload(wb):
    out = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        wb.save(out)
    return quillfen.load_workbook(io.BytesIO(out.getvalue())), zipfile.ZipFile(out)


def report(ws):
    """A sheet's report features, as compared after a save."""
    return (list(ws.images), list(ws.charts), dict(ws.tables), list(ws.validations), list(ws.conditional_formats),
            ws.protection, ws.page_setup, ws.margins,
            {row: dims.outline_level for row, dims in ws.row_dimensions.items() if dims.outline_level},
            {key: dims.outline_level for key, dims in ws.column_dimensions.items() if dims.outline_level},
            ws.sheet_properties.summary_below)


# ------------------------------------------------------------------ made, saved, read back

_REF = st.builds(lambda r, c, h, w: "%s%d:%s%d" % (chr(65 + c), r, chr(65 + c + w), r + h),
                 st.integers(1, 50), st.integers(0, 10), st.integers(0, 5), st.integers(0, 5))
_COLOR = st.sampled_from(["FF0000", "00B050", "1F77B4"])
_VALUE = st.one_of(st.integers(-1000, 1000), st.floats(-1e6, 1e6, allow_nan=False).map(lambda x: round(x, 3)),
                   st.sampled_from(["$A$1", '"done"', "AVERAGE($B:$B)"]))
_FORMAT = st.fixed_dictionaries({}, optional={
    "font": st.builds(Font, bold=st.booleans(), italic=st.booleans(), color=st.none() | _COLOR),
    "fill": st.one_of(st.builds(PatternFill, st.just("solid"), fgColor=_COLOR),
                      st.builds(PatternFill, st.just("lightGrid"), fgColor=_COLOR, bgColor=_COLOR)),
    "border": st.just(Border(left=Side("thin"), bottom=Side("double", "FF0000"))),
    "number_format": st.sampled_from(["0.00", "0%", "#,##0"])})
_RULES = st.one_of(
    st.builds(lambda op, a, b, f: CellRule(op, a, b if op in ("between", "notBetween") else None, **f),
              st.sampled_from(["between", "notBetween", "equal", ">", "<=", "notEqual"]), _VALUE, _VALUE, _FORMAT),
    st.builds(lambda f: FormulaRule("MOD(ROW(),2)=0", **f), _FORMAT),
    st.builds(lambda n, p, b, f: TopRule(n, p, b, **f), st.integers(1, 100), st.booleans(), st.booleans(), _FORMAT),
    st.builds(lambda u, f: DuplicateRule(u, **f), st.booleans(), _FORMAT),
    st.builds(ColorScale, _COLOR, _COLOR, st.none() | _COLOR),
    st.builds(DataBar, _COLOR, show_value=st.booleans()),
    st.builds(IconSet, st.sampled_from(["3Arrows", "4Rating", "5Quarters"]), reverse=st.booleans(),
              show_value=st.booleans()))
_VALIDATIONS = st.one_of(
    st.builds(lambda ref, values: dict(ref=ref, kind="list", values=values), _REF,
              st.lists(st.sampled_from(["red", "green", "blue", "12", "a b"]), min_size=1, max_size=4)),
    st.builds(lambda ref: dict(ref=ref, kind="list", formula="$Z$1:$Z$9"), _REF),
    st.builds(lambda ref, kind, low, high: dict(ref=ref, kind=kind, minimum=low, maximum=high), _REF,
              st.sampled_from(["whole", "decimal", "length"]), st.none() | st.integers(0, 9), st.integers(10, 99)),
    st.builds(lambda ref, day: dict(ref=ref, kind="date", minimum=day, operator=">="), _REF,
              st.dates(datetime.date(1901, 1, 1), datetime.date(2100, 1, 1))),
    st.builds(lambda ref, prompt, error, style: dict(ref=ref, kind="custom", formula="ISNUMBER(A1)", prompt=prompt,
                                                     error=error, error_style=style),
              _REF, st.none() | st.text(min_size=1, max_size=20).filter(str.isprintable),
              st.none() | st.just("No & <good>"), st.sampled_from(["stop", "warning", "information"])))
_CHARTS = st.builds(
    lambda kind, stacked, title, legend, style, count: (kind, stacked, title, legend, style, count),
    st.sampled_from(["column", "bar", "line", "pie", "doughnut", "area", "scatter"]),
    st.sampled_from([None, "stacked", "percent"]),
    st.none() | st.sampled_from(["Sales", "Q1 & Q2 <net>", "two\nlines"]),
    st.sampled_from([None, "right", "left", "top", "bottom", "top_right"]), st.none() | st.integers(1, 48),
    st.integers(1, 3))


@settings(max_examples=40)
@given(rules=st.lists(st.tuples(_REF, _RULES), max_size=4), validations=st.lists(_VALIDATIONS, max_size=3),
       chart=_CHARTS, setup=st.fixed_dictionaries({
           "orientation": st.sampled_from([None, "portrait", "landscape"]),
           "paper": st.sampled_from([None, 1, "A4", "legal"]), "scale": st.none() | st.integers(10, 400),
           "header": st.none() | st.sampled_from(["&LLeft&CPage &P of &N&R&D", "&A"]),
           "footer": st.none() | st.just("&C&F"), "center_horizontally": st.booleans(),
           "gridlines": st.booleans()}),
       fit=st.none() | st.tuples(st.integers(0, 3), st.integers(0, 3)),
       permissions=st.dictionaries(st.sampled_from(["format_cells", "sort", "insert_rows", "select_locked_cells"]),
                                   st.booleans()),
       group=st.tuples(st.integers(2, 20), st.integers(0, 5), st.booleans(), st.booleans()))
def test_what_is_made_is_read_back(rules, validations, chart, setup, fit, permissions, group):
    wb = quillfen.Workbook()
    ws = wb.active
    ws.title = "Data Sheet"
    for row in range(1, 12):
        ws.append([row, row * 2, "n%d" % row])
    for ref, rule in rules:
        ws.add_conditional_format(ref, rule)
    for fields in validations:
        ws.add_validation(**fields)
    kind, stacked, title, legend, style, count = chart
    made = Chart(kind, title=title, legend=legend, style=style, x_title=None if kind in ("pie", "doughnut") else "x",
                 grouping=stacked if kind not in ("pie", "doughnut", "scatter") else None)
    for n in range(count):
        made.add_series("'Data Sheet'!$B$2:$B$11", "'Data Sheet'!$A$2:$A$11",
                        name="'Data Sheet'!$B$1" if n else "plain name", color="FF00%02X" % n if n else None)
    ws.add_chart(made, "E2", width=400 + count, height=300)
    ws.add_table("Numbers", "A1:C11", columns=["one", "two", "three"], totals=count == 2)
    ws.add_image(png(3, 2), "H1", width=30)
    for name, value in setup.items():
        setattr(ws.page_setup, name, value)
    if fit is not None:
        ws.page_setup.fit_width, ws.page_setup.fit_height = fit
    ws.margins = PageMargins(left=0.5, top=1.25)
    ws.protect(**permissions)
    first, size, hidden, below = group
    ws.sheet_properties.summary_below = below
    ws.group_rows(first, first + size, hidden=hidden)
    ws.group_rows(first, first)
    ws.group_columns("B", "C", hidden=hidden)
    want = report(ws)
    got = report(reload(wb)[0]["Data Sheet"])
    assert got == want


def test_untouched_features_of_our_files_stay_as_they_are():
    wb = quillfen.Workbook()
    ws = wb.active
    ws.append([1, 2])
    ws.append([3, 4])
    chart = Chart("line")
    chart.add_series("Sheet!$A$1:$A$2")
    ws.add_chart(chart, "D1")
    ws.add_image(png(2, 2), "D20")
    ws.add_image(png(2, 2), "F20", height=8)  # the same image: one media part
    first, z = reload(wb)
    assert [name for name in z.namelist() if name.startswith("xl/media/")] == ["xl/media/image1.png"]
    loaded = first.active
    loaded["A1"] = 5
    second, z2 = reload(first)
    for name in z.namelist():
        if name.startswith(("xl/media/", "xl/charts/", "xl/drawings/")):
            assert z2.read(name) == z.read(name), name
    loaded.images[1].anchor = "G30"
    del loaded.charts[0]
    third, z3 = reload(first)
    assert not any(name.startswith("xl/charts/") for name in z3.namelist())
    assert [image.anchor for image in third.active.images] == ["D20", "G30"]


# ------------------------------------------------------------------ Excel's files

def _excel(prefixes):
    if not os.path.isdir(EXCEL_DIR):
        return []
    names = sorted(n for n in os.listdir(EXCEL_DIR) if n.startswith(prefixes))
    return [n for i, n in enumerate(names) if not n.startswith("chart_") or i % 8 == 0]


def _load(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return quillfen.load_workbook(path)


def _change(ws):
    """Changes every feature the sheet has, and adds one of each kind."""
    for chart in ws.charts:
        if isinstance(chart, Chart):
            chart.title = "Changed"
            chart.series[0].color = "00FF00"
    for image in ws.images:
        image.width += 1
    for table in ws.tables.values():
        table.style, table.columns[0] = "TableStyleLight1", "Renamed"
    for validation in ws.validations:
        validation.prompt = "changed prompt"
    for index, (ref, rule) in enumerate(list(ws.conditional_formats)):
        if isinstance(rule, CellRule):
            rule.value = 3
        elif not isinstance(rule, KeptRule):
            ws.conditional_formats[index] = (ref + " Z1", rule)
    if ws.protected:
        ws.protection.sort = not ws.protection.sort
    ws.page_setup.orientation, ws.page_setup.footer = "landscape", "&CPage &P"
    ws.add_image(png(4, 4), "K20")
    ws.add_conditional_format("A1:A5", CellRule(">", 1, fill=PatternFill("solid", fgColor="FF0000")))
    ws.add_validation("B1:B3", "whole", minimum=1)
    ws.group_rows(30, 32)


@pytest.mark.skipif(not os.path.isdir(EXCEL_DIR), reason="the Excel-made corpus is not present")
@pytest.mark.parametrize("name", _excel(("chart_", "image", "table", "data_validation", "cond_format", "outline",
                                         "protect", "print", "header", "textbox", "fit_to", "landscape")))
def test_excel_features_are_objects_kept_as_read_and_rewritten_when_changed(name):
    path = os.path.join(EXCEL_DIR, name)
    source = zipfile.ZipFile(path)
    wb = _load(path)
    kinds = {"chart": lambda ws: ws.charts, "image": lambda ws: ws.images, "table": lambda ws: ws.tables,
             "data_val": lambda ws: ws.validations, "cond_for": lambda ws: ws.conditional_formats,
             "outline": lambda ws: [d for d in [*ws.row_dimensions.values(), *ws.column_dimensions.values()]
                                    if d.outline_level],
             "protect": lambda ws: [ws.protection] if ws.protected else []}
    found = kinds.get(name[:8]) or kinds.get(name.split("0")[0].rstrip("_"))
    if found is not None and name not in ("protect01.xlsx", "protect07.xlsx", "image49.xlsx"):
        assert any(found(ws) for ws in wb.worksheets), "no feature read from %s" % name
    untouched = reload(wb)[1]
    assert [p for p in source.namelist() if p != "docProps/core.xml" and untouched.read(p) != source.read(p)] == []
    wb = _load(path)
    for ws in wb.worksheets:
        _change(ws)
    want = {ws.title: report(ws) for ws in wb.worksheets}
    again, saved = reload(wb)
    assert {ws.title: report(ws) for ws in again.worksheets} == want
    kept = [chart for ws in again.worksheets for chart in ws.charts if isinstance(chart, KeptChart)]
    for chart in kept:  # the parts of charts quillfen does not model are the source's
        assert chart._source["part"] in source.namelist()
        assert saved.read(chart._source["part"]) == source.read(chart._source["part"])


def test_a_chart_read_sizes_with_its_rows_and_moves_without_its_part_rewritten():
    path = os.path.join(EXCEL_DIR, "chart_bar01.xlsx")
    if not os.path.exists(path):
        pytest.skip("the Excel-made corpus is not present")
    wb = _load(path)
    chart = wb.active.charts[0]
    assert (chart.anchor, chart.width, chart.height) == ("E9", 480, 288)  # columns E to L, rows 9 to 23
    wb.active.row_dimensions[10].height = 30
    assert chart.height == 288 + 20
    chart.anchor = "B30"
    again, saved = reload(wb)
    assert saved.read("xl/charts/chart1.xml") == zipfile.ZipFile(path).read("xl/charts/chart1.xml")
    assert (again.active.charts[0].anchor, again.active.charts[0].height) == ("B30", 308)
    alone = _load(path).active.charts[0]  # its workbook gone: the size it had
    gc.collect()
    assert (alone.width, alone.height) == (480, 288)


def test_a_workbook_saved_as_a_new_one_writes_its_features_from_the_model():
    path = os.path.join(CORPUS_DIR, "poi-SimpleStrict.xlsx")  # Strict: saved as a new workbook
    if not os.path.exists(path):
        pytest.skip("the corpus is not present")
    wb = _load(path)
    ws = wb.worksheets[0]
    chart = Chart("pie", title="Shares")
    chart.add_series("%s!$B$1:$B$3" % ws.title)
    ws.add_chart(chart, "E5")
    ws.add_table("Strict_table", "A10:B12", columns=["x", "y"])
    ws.add_image(png(5, 5), "H1")
    want = report(ws)
    assert report(reload(wb)[0].worksheets[0]) == want


def test_legacy_passwords_of_excel_files_are_checked():
    assert legacy_hash("password") == "83AF"
    path = os.path.join(EXCEL_DIR, "protect03.xlsx")
    if not os.path.exists(path):
        pytest.skip("the Excel-made corpus is not present")
    protection = _load(path).active.protection
    assert protection.check_password("password") and not protection.check_password("Password")


# ------------------------------------------------------------------ checked when set

def _sheet():
    wb = quillfen.Workbook()
    wb.active.append(["a", "b"])
    wb.active.append([1, 2])
    return wb.active


@pytest.mark.parametrize("action, error", [
    (lambda ws: ws.add_image(b"not an image", "A1"), ValueError),
    (lambda ws: ws.add_image(png(1, 1), "A0"), ValueError),
    (lambda ws: ws.add_image(png(1, 1), "A1", width=0), ValueError),
    (lambda ws: ws.add_image(3.5, "A1"), TypeError),
    (lambda ws: Chart("radar"), ValueError),
    (lambda ws: Chart("pie", grouping="stacked"), ValueError),
    (lambda ws: setattr(Chart("column", y_title="y"), "kind", "doughnut"), ValueError),
    (lambda ws: Chart("column", legend="middle"), ValueError),
    (lambda ws: Chart("column", style=49), ValueError),
    (lambda ws: Chart("column").add_series("B2:B9"), ValueError),
    (lambda ws: Chart("column").add_series("Sheet!B2:C9"), ValueError),
    (lambda ws: Chart("column").add_series("Sheet!B2:B9", color="red"), ValueError),
    (lambda ws: ws.add_chart(Chart("column"), "A1"), ValueError),
    (lambda ws: ws.add_chart("chart", "A1"), TypeError),
    (lambda ws: ws.add_table("Bad Name", "A1:B2"), ValueError),
    (lambda ws: ws.add_table("A1", "A1:B2"), ValueError),
    (lambda ws: ws.add_table("T_one", "A1:B2", columns=["x"]), ValueError),
    (lambda ws: ws.add_table("T_one", "A1:B2", columns=["x", "X"]), ValueError),
    (lambda ws: ws.add_table("T_one", "A1:B1"), ValueError),
    (lambda ws: (ws.add_table("T_one", "A1:B2"), ws.add_table("T_two", "B2:C3")), ValueError),
    (lambda ws: (ws.add_table("T_one", "A1:B2"), ws.add_table("t_ONE", "D1:E2")), ValueError),
    (lambda ws: ws.add_validation("A1", "number"), ValueError),
    (lambda ws: ws.add_validation("A1", "list"), ValueError),
    (lambda ws: ws.add_validation("A1", "list", values=["a,b"]), ValueError),
    (lambda ws: ws.add_validation("A1", "list", values=["x" * 256]), ValueError),
    (lambda ws: ws.add_validation("A1", "whole", minimum=1, operator="between"), ValueError),
    (lambda ws: ws.add_validation("A1", "whole", minimum="1", operator="about"), ValueError),
    (lambda ws: ws.add_validation("A1", "whole", minimum=[1]), TypeError),
    (lambda ws: ws.add_validation("A1", "custom", formula="A1>0", prompt="x" * 256), ValueError),
    (lambda ws: ws.add_validation("A1", "custom", formula="A1>0", error_style="fatal"), ValueError),
    (lambda ws: ws.add_validation("A1 B0", "custom", formula="A1>0"), ValueError),
    (lambda ws: ws.add_conditional_format("A1", CellRule("between", 1)), ValueError),
    (lambda ws: ws.add_conditional_format("A1", "A1>0"), TypeError),
    (lambda ws: CellRule(">", float("nan")), ValueError),
    (lambda ws: CellRule(">", 1, font="bold"), TypeError),
    (lambda ws: TopRule(0), ValueError),
    (lambda ws: ws.add_conditional_format("A1", TopRule(101, percent=True)), ValueError),
    (lambda ws: IconSet("7Stars"), ValueError),
    (lambda ws: ws.add_conditional_format("A1", IconSet("3Arrows", values=[1, 2])), ValueError),
    (lambda ws: ColorScale("red", "00FF00"), ValueError),
    (lambda ws: ws.group_rows(5, 2), ValueError),
    (lambda ws: [ws.group_columns("B") for _ in range(8)], ValueError),
    (lambda ws: ws.group_rows(1, hidden=1), TypeError),
    (lambda ws: ws.protect(objectz=True), TypeError),
    (lambda ws: ws.protect(sort="yes"), TypeError),
    (lambda ws: ws.protect(""), ValueError),
    (lambda ws: setattr(ws.page_setup, "orientation", "sideways"), ValueError),
    (lambda ws: setattr(ws.page_setup, "paper", "A9"), ValueError),
    (lambda ws: setattr(ws.page_setup, "scale", 5), ValueError),
    (lambda ws: setattr(ws.page_setup, "header", "x\x00"), ValueError),
    (lambda ws: setattr(ws.page_setup, "footer", "x" * 256), ValueError),
    (lambda ws: setattr(ws.margins, "left", -1), ValueError),
    (lambda ws: setattr(ws, "margins", 0.5), TypeError),
    (lambda ws: setattr(ws, "print_gridlines", "yes"), TypeError),
    (lambda ws: setattr(ws.sheet_properties, "summary_below", 0), TypeError),
    (lambda ws: setattr(ws.row_dimensions[2], "outline_level", 8), ValueError),
    (lambda ws: ws.images.append("picture.png"), TypeError),
    (lambda ws: ws.conditional_formats.append(("A1",)), TypeError),
    (lambda ws: ws.parent.protect(structure="yes"), TypeError),
])
def test_bad_values_are_refused_when_set(action, error):
    ws = _sheet()
    with pytest.raises(error):
        action(ws)


def test_a_table_renamed_onto_another_is_refused_at_save():
    ws = _sheet()
    ws.add_table("First", "A1:A2")
    ws.add_table("Second", "B1:B2").name = "first"
    with pytest.raises(ValueError, match="used twice"):
        ws.parent.save(io.BytesIO())


@pytest.mark.parametrize("data, found", [
    (png(300, 20), ("png", 300, 20)),
    (b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
     b"\xff\xc0\x00\x11\x08\x00\x32\x00\x64\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01", ("jpeg", 100, 50)),
    (b"GIF89a" + struct.pack("<HH", 7, 9) + b"\x00" * 8, ("gif", 7, 9)),
    (b"BM" + b"\x00" * 12 + struct.pack("<Iii", 40, 16, -24) + b"\x00" * 8, ("bmp", 16, 24)),
    (b"BM" + b"\x00" * 12 + struct.pack("<IHH", 12, 5, 6) + b"\x00" * 8, ("bmp", 5, 6)),
])
def test_image_sizes_come_from_their_headers(data, found):
    image = Image(io.BytesIO(data), "C3", width=found[1] * 2)
    assert (image.format, image.width, image.height) == (found[0], found[1] * 2, found[2] * 2)


# ------------------------------------------------------------------ following edits of cells

def test_features_follow_rows_and_columns_inserted_and_deleted():
    shift = pytest.importorskip("quillfen.formula.shift")
    wb = quillfen.Workbook()
    ws = wb.active
    ws.title = "Data"
    other = wb.create_sheet("Other")
    for row in range(1, 11):
        ws.append(["a%d" % row, row, row * 2])
    ws.add_image(png(4, 4), "B5")
    chart = Chart("line")
    chart.add_series("Data!$B$2:$B$10", "Data!$A$2:$A$10", name="Data!$C$1")
    chart.add_series("Data!$C$2:$C$10")
    ws.add_chart(chart, "E5")
    ws.add_table("T", "A1:C10", columns=["A", "B", "C"])
    ws.add_validation("A2:A10 C2:C10", "list", formula="$F$1:$F$3")
    ws.add_conditional_format("B2:B10", CellRule(">", "$G$1"))
    ws.add_conditional_format("H1", FormulaRule("$B$1>0"))
    ws.add_conditional_format("C2:C10", DataBar("1F77B4", min_type="formula", min_value="$B$4"))
    elsewhere = Chart("column")
    elsewhere.add_series("Data!$B$2:$B$10")
    other.add_chart(elsewhere, "A1")
    other.add_validation("A1", "custom", formula="Data!$B$4>0")
    wb, _zip = reload(wb)  # features read from a file, kept as read while untouched
    ws, other = wb["Data"], wb["Other"]
    chart, elsewhere = ws.charts[0], other.charts[0]

    def edit(made):
        for sheet in wb.worksheets:
            sheet._edit_report_ranges(made, sheet is ws)
        wb._formula_edits.append(made.reference)  # the kept parts' formulas, at saving

    edit(shift.LineEdit("Data", True, 3, 2, False, ("Other",)))
    assert (ws.images[0].anchor, chart.anchor, ws.tables["T"].ref) == ("B7", "E7", "A1:C12")
    assert [(s.values, s.categories, s.name) for s in chart.series] == [
        ("Data!$B$2:$B$12", "Data!$A$2:$A$12", "Data!$C$1"), ("Data!$C$2:$C$12", None, None)]
    assert (ws.validations[0].ref, ws.validations[0].formula) == ("A2:A12 C2:C12", "$F$1:$F$5")
    assert [(ref, rule.value if isinstance(rule, CellRule) else rule.formula if isinstance(rule, FormulaRule)
             else rule.min_value) for ref, rule in ws.conditional_formats] == [
        ("B2:B12", "$G$1"), ("H1", "$B$1>0"), ("C2:C12", "$B$6")]
    assert (elsewhere.series[0].values, other.validations[0].formula) == ("Data!$B$2:$B$12", "Data!$B$6>0")

    back, _zip = reload(wb)
    assert report(back["Data"]) == report(ws) and report(back["Other"]) == report(other)

    edit(shift.LineEdit("Data", False, 2, 1, True, ("Other",)))  # column B goes, and what it held
    assert (ws.images[0].anchor, chart.anchor, ws.tables["T"].ref, ws.tables["T"].columns) == (
        "B7", "D7", "A1:B12", ["A", "C"])
    assert [(s.values, s.name) for s in chart.series] == [("Data!$B$2:$B$12", None)]
    assert other.charts == [] and other.validations[0].formula == "#REF!>0"
    assert ws.validations[0].ref == "A2:A12 B2:B12"
    assert [(ref, getattr(rule, "formula", None) or rule.min_value) for ref, rule in ws.conditional_formats] == [
        ("G1", "#REF!>0"), ("B2:B12", "#REF!")]

    edit(shift.LineEdit("Data", False, 2, 2, False, ("Other",)))  # inside the table: it widens
    assert (ws.tables["T"].ref, ws.tables["T"].columns) == ("A1:D12", ["A", "Column1", "Column2", "C"])
    assert [cell.value for cell in ws[1][:4]] == ["A", "Column1", "Column2", "C"]
    edit(shift.MoveEdit("Data", (1, 1, 12, 4), 2, 1, ("Other",)))
    assert (ws.tables["T"].ref, ws.validations[0].ref) == ("B3:E14", "B4:B14 E4:E14")
    back, _zip = reload(wb)
    assert report(back["Data"]) == report(ws) and report(back["Other"]) == report(other)
    edit(shift.LineEdit("Data", True, 1, 20, True, ("Other",)))
    assert (len(ws.tables), len(ws.validations), len(ws.charts), ws.images[0].anchor) == (0, 0, 0, "E1")


def test_a_table_column_keeps_its_formula_and_totals_when_others_go():
    wb = quillfen.load_workbook(os.path.join(EXCEL_DIR, "table10.xlsx"))
    table = wb.active.tables["Table1"]
    table.ref, table.columns = "B3:J6", [*table.columns[:8], "Column10"]
    _back, saved = reload(wb)
    part = saved.read("xl/tables/table1.xml").decode()
    assert 'name="Column10" totalsRowFunction="var"' in part and "calculatedColumnFormula" in part
    assert "stdDev" not in part and 'count="9"' in part


def test_a_copied_sheet_gets_copies_of_the_features():
    wb = quillfen.Workbook()
    ws = wb.active
    for row in range(1, 6):
        ws.append(["h%d" % row, row])
    ws.add_image(png(3, 2), "D2")
    chart = Chart("pie", title="Share")
    chart.add_series("Sheet!$B$2:$B$5", "Sheet!$A$2:$A$5")
    ws.add_chart(chart, "F2")
    ws.add_table("Sales", "A1:B5")
    ws.add_validation("B2:B5", "whole", minimum=0, maximum=9, prompt="digits")
    ws.add_conditional_format("B2:B5", DataBar("1F77B4"))
    ws.protect("secret", sort=True)
    ws.page_setup.orientation, ws.page_setup.header = "landscape", "&CReport"
    wb, _zip = reload(wb)  # and once more from a file: read features are copied too
    for source in (ws, wb.active):
        book = source.parent
        copied = book.create_sheet("Copy")
        source._copy_reports(copied)
        back, _zip = reload(book)
        tables = [(t.name, t.ref, t.columns) for t in back["Copy"].tables.values()]
        assert tables == [("Sales_2", "A1:B5", ["h1", "1"])] and back["Sheet"].tables["Sales"]
        same = report(back["Copy"])
        assert same[:2] + same[3:] == report(back["Sheet"])[:2] + report(back["Sheet"])[3:]
        assert back["Copy"].protection.check_password("secret")


def test_drawn_objects_read_follow_with_both_corners():
    shift = pytest.importorskip("quillfen.formula.shift")
    chart_file, textbox_file = (os.path.join(EXCEL_DIR, name) for name in ("chart_bar01.xlsx", "textbox01.xlsx"))
    if not os.path.exists(chart_file):
        pytest.skip("the Excel-made corpus is not present")
    wb = _load(chart_file)
    ws = wb.active
    chart = ws.charts[0]
    ws._edit_report_ranges(shift.LineEdit(ws.title, True, 12, 2, False), True)  # inside its rows: it grows
    ws._edit_report_ranges(shift.LineEdit(ws.title, False, 1, 1, False), True)  # a column before: it moves
    assert (chart.anchor, chart.width, chart.height) == ("F9", 480, 288 + 40)
    again, saved = reload(wb)
    assert saved.read("xl/charts/chart1.xml") == zipfile.ZipFile(chart_file).read("xl/charts/chart1.xml")
    assert b"<xdr:col>12</xdr:col><xdr:colOff>304800</xdr:colOff><xdr:row>24</xdr:row>" in saved.read(
        "xl/drawings/drawing1.xml")
    assert (again.active.charts[0].anchor, again.active.charts[0].height) == ("F9", 328)

    wb = _load(textbox_file)  # a text box, kept as read, moves with its cells
    wb.active._edit_report_ranges(shift.LineEdit(wb.active.title, True, 1, 3, False), True)
    _again, saved = reload(wb)
    drawing, read = (data.partition(b"?>")[2].strip() for data in (
        saved.read("xl/drawings/drawing1.xml"), zipfile.ZipFile(textbox_file).read("xl/drawings/drawing1.xml")))
    assert drawing == read.replace(b"<xdr:row>8</xdr:row>", b"<xdr:row>11</xdr:row>").replace(
        b"<xdr:row>14</xdr:row>", b"<xdr:row>17</xdr:row>")


def test_thresholds_of_formats_read_follow_a_sheet_renamed():
    wb = quillfen.Workbook()
    wb.create_sheet("Other")
    wb.active.add_conditional_format("A1:A9", DataBar("1F77B4", min_type="formula", min_value="Other!$A$1"))
    wb.active.add_conditional_format("B1:B9", IconSet("3Arrows", type="formula", values=[0, "Other!$A$2", 9]))
    wb, _zip = reload(wb)
    wb["Other"].title = "Sales"
    back, _zip = reload(wb)
    (_ref, bar), (_ref2, icons) = back.active.conditional_formats
    assert (bar.min_value, icons.values) == ("Sales!$A$1", [0, "Sales!$A$2", 9])
