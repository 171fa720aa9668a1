"""Report features between quillfen and other programs: LibreOffice sees each feature of a file
quillfen writes (in its flat OpenDocument export), and of an Excel file quillfen changed; the
files LibreOffice and XlsxWriter write are read back as the objects they hold."""

import os
import re
import shutil

import pytest

import quillfen
from quillfen.charts import Chart, KeptChart
from quillfen.formatting import CellRule, ColorScale, DataBar, FormulaRule
from quillfen.styles import Font, PatternFill

from conftest import EXCEL_DIR
from support import soffice_convert
from test_reports import png


def _book(path):
    wb = quillfen.Workbook()
    ws = wb.active
    ws.title = "Data"
    ws.append(["month", "sales", "cost"])
    for month in range(1, 7):
        ws.append(["m%d" % month, month * 10, month * 7])
    chart = Chart("bar", title="Sales by month", grouping="stacked")
    chart.add_series("Data!$B$2:$B$7", "Data!$A$2:$A$7", name="Data!$B$1")
    chart.add_series("Data!$C$2:$C$7", "Data!$A$2:$A$7", name="cost", color="C00000")
    ws.add_chart(chart, "E2")
    ws.add_image(png(20, 10), "E20")
    ws.add_table("Months", "A1:C7")
    ws.add_validation("A2:A7", "list", values=["m1", "m2", "m3"], prompt="Pick a month")
    ws.add_conditional_format("B2:B7", CellRule(">=", 40, font=Font(bold=True),
                                                fill=PatternFill("solid", fgColor="FFC7CE")))
    ws.add_conditional_format("C2:C7", ColorScale("F8696B", "63BE7B"))
    ws.add_conditional_format("A2:A7", FormulaRule("$B2>$C2", font=Font(italic=True)))
    ws.group_rows(3, 5, hidden=True)
    ws.protect(sort=True)
    ws.page_setup.orientation = "landscape"
    ws.page_setup.header = "&CQuarterly report"
    wb.save(path)


@pytest.fixture(scope="module")
def converted(tmp_path_factory):
    """{name: path} of our file, an Excel file we changed, and LibreOffice's exports of them."""
    if shutil.which("soffice") is None:
        pytest.skip("LibreOffice is not installed (scripts/bootstrap.sh installs it)")
    folder = tmp_path_factory.mktemp("reports")
    ours = folder / "ours.xlsx"
    _book(ours)
    files = [ours]
    excel = os.path.join(EXCEL_DIR, "chart_bar01.xlsx")
    if os.path.exists(excel):
        wb = quillfen.load_workbook(excel)
        chart = wb.active.charts[0]
        chart.title = "Changed title"
        chart.add_series("Sheet1!$C$1:$C$5", name="third")
        wb.active.add_table("Added", "A1:C5", columns=["a", "b", "c"])
        wb.save(folder / "changed.xlsx")
        files.append(folder / "changed.xlsx")
    soffice_convert(folder, "fods", folder / "flat", *files)
    soffice_convert(folder, "xlsx:Calc MS Excel 2007 XML", folder / "lo", ours)
    return folder


def _flat(folder, name):
    return (folder / "flat" / name).read_text("utf-8")


def test_libreoffice_sees_each_feature(converted):
    text = _flat(converted, "ours.fods")
    expected = [
        r'<draw:frame[^>]*draw:name="Picture \d+"[^>]*>\s*<draw:image',
        r'chart:class="chart:bar"',
        r"<text:p>Sales by month</text:p>",
        r'chart:values-cell-range-address="Data\.B2:Data\.B7"[^>]*chart:label-cell-address="Data\.B1',
        r'chart:values-cell-range-address="Data\.C2:Data\.C7"',
        r'<table:database-range table:name="Months" table:target-range-address="Data\.A1:Data\.C7"',
        r'table:condition="of:cell-content-is-in-list\(&quot;m1&quot;;&quot;m2&quot;;&quot;m3&quot;\)"',
        r"Pick a month",
        r'<calcext:conditional-format calcext:target-range-address="Data\.B2:Data\.B7">\s*'
        r'<calcext:condition [^>]*calcext:value="&gt;=40"',
        r'<calcext:conditional-format calcext:target-range-address="Data\.C2:Data\.C7">\s*<calcext:color-scale>',
        r'calcext:value="formula-is\(\[\.\$B2\]&gt;\[\.\$C2\]\)"',
        r'<table:table-row-group table:display="false">(?:(?!</table:table-row-group>).)*?<text:p>m2</text:p>',
        r'<table:table table:name="Data"[^>]*table:protected="true"',
        r'style:print-orientation="landscape"',
        r"<style:header>\s*(?:<style:region-center>\s*)?<text:p>(?:<[^>]*>)*Quarterly report",
    ]
    assert [pattern for pattern in expected if not re.search(pattern, text, re.S)] == []


def test_libreoffice_sees_what_changed_in_an_excel_file(converted):
    if not (converted / "flat" / "changed.fods").exists():
        pytest.skip("the Excel-made corpus is not present")
    text = _flat(converted, "changed.fods")
    assert "<text:p>Changed title</text:p>" in text
    assert len(re.findall(r"<chart:series ", text)) == 3
    assert 'table:name="Added" table:target-range-address="Sheet1.A1:Sheet1.C5"' in text


def test_libreoffices_file_is_read_back_as_objects(converted):
    ws = quillfen.load_workbook(converted / "lo" / "ours.xlsx")["Data"]
    charts = [chart for chart in ws.charts if isinstance(chart, Chart)]
    assert [(c.kind, c.grouping, c.title, [(str(s.values), str(s.categories)) for s in c.series]) for c in charts] == [
        ("bar", "stacked", "Sales by month",
         [("Data!$B$2:$B$7", "Data!$A$2:$A$7"), ("Data!$C$2:$C$7", "Data!$A$2:$A$7")])]
    assert len(ws.images) == 1 and (ws.images[0].format, ws.images[0].anchor) == ("png", "E20")
    assert [(t.name, t.ref, t.columns) for t in ws.tables.values()] == [("Months", "A1:C7", ["month", "sales", "cost"])]
    assert [(v.kind, v.values, v.prompt) for v in ws.validations] == [("list", ["m1", "m2", "m3"], "Pick a month")]
    assert sorted((ref, type(rule).__name__) for ref, rule in ws.conditional_formats) == [
        ("A2:A7", "FormulaRule"), ("B2:B7", "CellRule"), ("C2:C7", "ColorScale")]
    assert ws.protected and ws.protection.sort and not ws.protection.format_cells
    assert ws.page_setup.orientation == "landscape" and "Quarterly report" in ws.page_setup.header
    assert [row for row, dims in ws.row_dimensions.items() if dims.outline_level] == [3, 4, 5]


def test_xlsxwriters_file_is_read_back_as_objects(tmp_path):
    xlsxwriter = pytest.importorskip("xlsxwriter")
    (tmp_path / "logo.png").write_bytes(png(40, 30))
    wb = xlsxwriter.Workbook(str(tmp_path / "xw.xlsx"))
    ws = wb.add_worksheet("Data")
    for row, values in enumerate([["k", "v"], ["a", 1], ["b", 5], ["c", 3]]):
        ws.write_row(row, 0, values)
    chart = wb.add_chart({"type": "line"})
    chart.add_series({"values": "=Data!$B$2:$B$4", "categories": "=Data!$A$2:$A$4", "name": "=Data!$B$1"})
    chart.set_title({"name": "Trend"})
    chart.set_legend({"position": "bottom"})
    ws.insert_chart("D2", chart)
    ws.insert_image("D20", str(tmp_path / "logo.png"))
    ws.add_table("A6:B9", {"name": "Pairs", "columns": [{"header": "x"}, {"header": "y"}]})
    ws.data_validation("B2:B4", {"validate": "integer", "criteria": "between", "minimum": 1, "maximum": 9})
    ws.conditional_format("B2:B4", {"type": "data_bar", "bar_color": "#638EC6"})
    ws.set_row(2, None, None, {"level": 2, "hidden": True})
    ws.protect("secret")
    ws.set_landscape()
    ws.set_paper(9)
    ws.fit_to_pages(1, 0)
    wb.close()
    got = quillfen.load_workbook(tmp_path / "xw.xlsx")["Data"]
    line = got.charts[0]
    assert (line.kind, line.title, line.legend, str(line.series[0].values), line.series[0].name) == (
        "line", "Trend", "bottom", "Data!$B$2:$B$4", "Data!$B$1")
    assert [(i.format, i.width, i.height, i.anchor) for i in got.images] == [("png", 40, 30, "D20")]
    assert [(t.name, t.ref, t.columns) for t in got.tables.values()] == [("Pairs", "A6:B9", ["x", "y"])]
    assert [(v.kind, v.minimum, v.maximum) for v in got.validations] == [("whole", 1, 9)]
    assert [(ref, type(rule), rule.color) for ref, rule in got.conditional_formats] == [("B2:B4", DataBar, "FF638EC6")]
    assert got.row_dimensions[3].outline_level == 2 and got.row_dimensions[3].hidden
    assert got.protected and got.protection.check_password("secret")
    assert (got.page_setup.orientation, got.page_setup.paper, got.page_setup.fit_width, got.page_setup.fit_height) == (
        "landscape", 9, 1, 0)
    assert not any(isinstance(chart, KeptChart) for chart in got.charts)
