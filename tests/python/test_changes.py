"""Every public call that changes a loaded workbook is in what it saves: random sequences of
them on workbooks of the corpus, saved and read back, show every change, on both paths (a part
judged unchanged by mistake would read back as it was loaded)."""

import io
import os
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillfen
from quillfen.charts import Chart
from quillfen.comments import Comment
from quillfen.formatting import CellRule
from quillfen.features import DefinedName
from quillfen.styles import Alignment, Border, Font, PatternFill, Protection, Side
from quillfen.utils.cells import coordinate_of
from quillfen.utils.datetime import MAC_EPOCH

from conftest import EXCEL_DIR
from support import pure_path

# Small workbooks with comments, links, filters, merged cells, formulas over other sheets,
# charts, a chart sheet and macros.
SOURCES = ["comment03.xlsx", "hyperlink03.xlsx", "autofilter02.xlsx", "merge_range01.xlsx", "chartsheet01.xlsx",
           "macro01.xlsm", "cond_format02.xlsx", "data_validation01.xlsx", "button12.xlsx", "defined_name01.xlsx",
           "chart_bar01.xlsx", "table01.xlsx", "image01.xlsx", "protect03.xlsx", "header01.xlsx"]
SOURCES = [name for name in SOURCES if os.path.exists(os.path.join(EXCEL_DIR, name))]
pytestmark = pytest.mark.skipif(not SOURCES, reason="the Excel-made corpus is not present")

positions = st.tuples(st.integers(1, 12), st.integers(1, 6))
texts = st.text("abc xyz", min_size=1, max_size=6)
values = st.one_of(st.integers(-10**6, 10**6), texts, st.booleans(), st.just("=1+2"))


def _sheet(wb, data):
    return data.draw(st.sampled_from(wb.worksheets))


def _cell(wb, data):
    return _sheet(wb, data).cell(*data.draw(positions))


def _range(data):
    (r1, c1), (r2, c2) = data.draw(positions), data.draw(positions)
    return "%s:%s" % (coordinate_of(min(r1, r2), min(c1, c2)), coordinate_of(max(r1, r2) + 1, max(c1, c2)))


def _append(wb, data):
    try:
        _sheet(wb, data).append(data.draw(st.lists(values, max_size=3)))
    except ValueError:
        pass  # the sheet's last row is taken


def _delete(wb, data):
    ws = _sheet(wb, data)
    keys = sorted(ws._cells)
    if keys:
        del ws[coordinate_of(*data.draw(st.sampled_from(keys)))]


def _merge(wb, data):
    try:
        _sheet(wb, data).merge_cells(_range(data))
    except ValueError:
        pass  # it overlaps another


def _unmerge(wb, data):
    ws = _sheet(wb, data)
    if ws.merged_cells:
        ws.unmerge_cells(data.draw(st.sampled_from(ws.merged_cells)))


def _rename(wb, data):
    try:
        wb[data.draw(st.sampled_from(wb.sheetnames))].title = data.draw(st.sampled_from(["Data", "Other sheet", "Q1"]))
    except ValueError:
        pass  # taken


def _hide(wb, data):
    sheet = wb[data.draw(st.sampled_from(wb.sheetnames))]
    visible = [name for name in wb.sheetnames if wb[name].sheet_state == "visible"]
    if sheet.sheet_state != "visible" or len(visible) > 1 and sheet is not wb.active:
        sheet.sheet_state = "visible" if sheet.sheet_state != "visible" else "hidden"


def _remove(wb, data):
    sheet = wb[data.draw(st.sampled_from(wb.sheetnames))]
    rest = [ws for ws in wb.worksheets if ws is not sheet]
    if rest and any(ws.sheet_state == "visible" for ws in rest):
        wb.remove(sheet)


def _activate(wb, data):
    visible = [i for i, name in enumerate(wb.sheetnames) if wb[name].sheet_state == "visible"]
    wb.active = data.draw(st.sampled_from(visible))


def _move(wb, data):
    name = data.draw(st.sampled_from(wb.sheetnames))
    at = wb.sheetnames.index(name)
    wb.move_sheet(name, data.draw(st.integers(-at, len(wb.sheetnames) - 1 - at)))


def _name(wb, data):
    ws = _sheet(wb, data)
    scope = data.draw(st.sampled_from([wb.defined_names, ws.defined_names]))
    scope.add(DefinedName("Name_%d" % data.draw(st.integers(1, 3)), "'%s'!$A$1" % ws.title.replace("'", "''")))


def _lines(wb, data):
    ws = _sheet(wb, data)
    edit = data.draw(st.sampled_from(["insert_rows", "delete_rows", "insert_cols", "delete_cols"]))
    try:
        getattr(ws, edit)(data.draw(st.integers(1, 12)), data.draw(st.integers(1, 3)))
    except ValueError:
        pass  # a cell in the last row or column would be pushed off the sheet


def _move_range(wb, data):
    ws = _sheet(wb, data)
    ws.move_range(_range(data), data.draw(st.integers(0, 4)), data.draw(st.integers(0, 3)), data.draw(st.booleans()))


PNG = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000002000000020806000000")


def _chart(wb, data):
    ws = _sheet(wb, data)
    chart = Chart(data.draw(st.sampled_from(["column", "line", "pie"])), title=data.draw(st.none() | texts))
    chart.add_series("'%s'!$A$1:$A$5" % ws.title.replace("'", "''"))
    ws.add_chart(chart, coordinate_of(*data.draw(positions)))


def _table(wb, data):
    ws = _sheet(wb, data)
    row = data.draw(st.integers(20, 40))
    try:
        ws.add_table("Table_%d" % row, "H%d:I%d" % (row, row + 2), columns=["x", "y"])
    except ValueError:
        pass  # its name is taken, or it overlaps another


def _change_feature(wb, data):
    """Changes a feature in place, or takes one away."""
    ws = _sheet(wb, data)
    charts = [chart for chart in ws.charts if isinstance(chart, Chart)]
    choices = [lambda: charts and setattr(charts[0], "title", "changed"),
               lambda: ws.images and setattr(ws.images[0], "width", 7),
               lambda: ws.tables and setattr(next(iter(ws.tables.values())), "style", "TableStyleLight2"),
               lambda: ws.validations and setattr(ws.validations[0], "prompt", "changed"),
               lambda: ws.conditional_formats and ws.conditional_formats.pop(),
               lambda: ws.charts and ws.charts.pop(0), lambda: ws.images and ws.images.pop(),
               lambda: ws.tables and ws.tables.popitem()]
    data.draw(st.sampled_from(choices))()


def _page(wb, data):
    setup = _sheet(wb, data).page_setup
    name, value = data.draw(st.sampled_from([("orientation", "landscape"), ("paper", "A4"), ("scale", 80),
                                             ("fit_width", 1), ("header", "&CPage &P"), ("footer", None),
                                             ("center_horizontally", True), ("gridlines", True)]))
    setattr(setup, name, value)


OPS = [
    lambda wb, data: _sheet(wb, data).add_image(PNG, coordinate_of(*data.draw(positions))),
    _chart,
    _table,
    lambda wb, data: _sheet(wb, data).add_validation(_range(data), "list", values=["a", "b"]),
    lambda wb, data: _sheet(wb, data).add_conditional_format(_range(data), CellRule(">", 3, font=Font(bold=True))),
    _change_feature,
    lambda wb, data: _sheet(wb, data).group_rows(data.draw(st.integers(2, 9)), 10, hidden=data.draw(st.booleans())),
    lambda wb, data: _sheet(wb, data).group_columns("C", "D"),
    lambda wb, data: setattr(_sheet(wb, data).sheet_properties, "summary_below", False),
    lambda wb, data: _sheet(wb, data).protect(sort=data.draw(st.booleans())),
    lambda wb, data: _sheet(wb, data).unprotect(),
    lambda wb, data: wb.protect(structure=data.draw(st.booleans())),
    _page,
    lambda wb, data: setattr(_sheet(wb, data).margins, "top", 1.5),

    lambda wb, data: setattr(_cell(wb, data), "value", data.draw(values)),
    lambda wb, data: _sheet(wb, data).__setitem__(coordinate_of(*data.draw(positions)), data.draw(values)),
    _append,
    _delete,
    lambda wb, data: setattr(_cell(wb, data), "font", Font("Arial", data.draw(st.integers(8, 20)), bold=True)),
    lambda wb, data: setattr(_cell(wb, data), "fill", PatternFill("solid", fgColor="FFCC00")),
    lambda wb, data: setattr(_cell(wb, data), "border", Border(left=Side("thin", "808080"))),
    lambda wb, data: setattr(_cell(wb, data), "alignment", Alignment(horizontal="center")),
    lambda wb, data: setattr(_cell(wb, data), "protection", Protection(locked=False)),
    lambda wb, data: setattr(_cell(wb, data), "number_format", data.draw(st.sampled_from(["0.00", "0.000%", "#,##0"]))),
    lambda wb, data: setattr(_cell(wb, data), "hyperlink", data.draw(st.sampled_from(["https://a.example", None]))),
    lambda wb, data: setattr(_cell(wb, data), "comment", data.draw(st.sampled_from([Comment("note", "me"), None]))),
    _merge,
    _unmerge,
    lambda wb, data: setattr(_sheet(wb, data), "freeze_panes", data.draw(st.sampled_from(["B2", "C1", None]))),
    lambda wb, data: setattr(_sheet(wb, data).row_dimensions[data.draw(st.integers(1, 12))], "height", 30.5),
    lambda wb, data: setattr(_sheet(wb, data).row_dimensions[data.draw(st.integers(1, 12))], "hidden", True),
    lambda wb, data: setattr(_sheet(wb, data).column_dimensions["BCD"[data.draw(st.integers(0, 2))]], "width", 25),
    lambda wb, data: setattr(_sheet(wb, data).auto_filter, "ref", data.draw(st.sampled_from(["A1:C9", None]))),
    lambda wb, data: setattr(_sheet(wb, data).sheet_properties, "tabColor", "FF0000"),
    lambda wb, data: setattr(_sheet(wb, data), "print_title_rows", data.draw(st.sampled_from(["1:2", None]))),
    lambda wb, data: setattr(_sheet(wb, data), "print_area", data.draw(st.sampled_from(["A1:D9", None]))),
    _rename,
    _hide,
    lambda wb, data: wb.create_sheet(),
    _remove,
    _activate,
    _move,
    _name,
    lambda wb, data: setattr(wb, "epoch", MAC_EPOCH),
    _lines,
    _move_range,
    lambda wb, data: wb.copy_worksheet(_sheet(wb, data)),
]


def _link(cell):
    link = cell.hyperlink
    return None if link is None else (link.target, link.location)


def observe(wb):
    """What the public API shows of a workbook."""
    found = {"sheets": [(name, wb[name].kind, wb[name].sheet_state) for name in wb.sheetnames],
             "active": wb.active.title, "epoch": wb.epoch,
             "names": sorted((d.name, d.attr_text) for d in wb.defined_names.values())}
    for ws in wb.worksheets:
        cells = {}
        for cell in ws.cells():
            comment = cell.comment
            shown = (cell.value, cell.number_format, cell.font, cell.fill, cell.border, cell.alignment,
                     cell.protection, _link(cell), comment and (comment.text, comment.author))
            if shown[0] is not None or any(shown[7:]) or cell.style_array is not None and any(cell.style_array):
                cells[cell.coordinate] = shown
        found[ws.title] = (
            cells, sorted(ws.merged_cells), ws.freeze_panes, ws.auto_filter.ref, ws.sheet_properties.tabColor,
            ws.print_title_rows, ws.print_area,
            {row: (dims.height, dims.hidden) for row, dims in ws.row_dimensions.items()},
            sorted((dims.min, dims.max, dims.width, dims.hidden) for dims in ws.column_dimensions.values()),
            sorted((d.name, d.attr_text) for d in ws.defined_names.values()),
            list(ws.images), list(ws.charts), dict(ws.tables), list(ws.validations), list(ws.conditional_formats),
            ws.protection, ws.page_setup, ws.margins, ws.sheet_properties.summary_below,
            {row: dims.outline_level for row, dims in ws.row_dimensions.items()},
            sorted((dims.min, dims.outline_level) for dims in ws.column_dimensions.values()))
    found["protection"] = wb.protection
    return found


def _load(data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return quillfen.load_workbook(data)


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(name=st.sampled_from(SOURCES), ops=st.lists(st.sampled_from(range(len(OPS))), min_size=1, max_size=6),
       pure=st.booleans(), data=st.data())
def test_issue19_every_change_is_saved(name, ops, pure, data):
    with pure_path(pure):
        wb = _load(os.path.join(EXCEL_DIR, name))
        for op in ops:
            OPS[op](wb, data)
        out = io.BytesIO()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            wb.save(out)
        assert observe(_load(out)) == observe(wb)
