"""A worksheet part: the elements around the cell data, and the cell data streamed in between.

The part is written in schema order: `dimension`, `sheetViews`, `sheetFormatPr`, `sheetData`,
`pageMargins`. The three settings elements are those read from the file when the sheet was
loaded (so frozen panes, default row heights and margins survive), else the defaults that
spreadsheet programs write.
"""

import re

from ..constants import MAIN_NS
from .sheet_data import write_sheet_data
from .xml import element, plain_copy, to_bytes

_M = "{%s}" % MAIN_NS
# Where the cell data goes: the one `sheetData` element, empty, as either serialiser writes it.
_PLACEHOLDER = re.compile(rb"<sheetData ?/>")
_MARGINS = {"left": "0.7", "right": "0.7", "top": "0.75", "bottom": "0.75", "header": "0.3", "footer": "0.3"}


def _views(ws, selected):
    kept = ws._kept.get("sheetViews")
    if kept is None:
        views = element(_M + "sheetViews", None, element(_M + "sheetView", {"workbookViewId": "0"}))
    else:
        views = plain_copy(kept)
    # Only the active sheet's tab is selected: two selected tabs would group the sheets.
    for view in views.iter(_M + "sheetView"):
        view.attrib.pop("tabSelected", None)
        if selected:
            view.set("tabSelected", "1")
    return views


def head_and_tail(ws, dimension, selected, lxml):
    """The bytes of the part before and after its `sheetData` element."""
    kept = ws._kept
    root = element(_M + "worksheet", None,
                   element(_M + "dimension", {"ref": dimension}),
                   _views(ws, selected),
                   plain_copy(kept["sheetFormatPr"]) if "sheetFormatPr" in kept
                   else element(_M + "sheetFormatPr", {"defaultRowHeight": "15"}),
                   element(_M + "sheetData"),
                   plain_copy(kept["pageMargins"]) if "pageMargins" in kept
                   else element(_M + "pageMargins", _MARGINS))
    head, tail = _PLACEHOLDER.split(to_bytes(root, lxml))
    return head, tail


def text_writer(out, lxml):
    """The `write` callable of the sheet writers for a binary stream: lxml mode hands over
    bytes, ElementTree mode text."""
    if lxml:
        return out.write
    return lambda text: out.write(text.encode("utf-8"))


def write_worksheet(ws, out, selected, lxml):
    """Writes the whole part of the editable sheet `ws` to the binary stream `out`."""
    head, tail = head_and_tail(ws, ws.dimensions, selected, lxml)
    # The sheet writers collect the cells' hyperlinks and comments anew on every save.
    ws._hyperlinks = []
    ws._comments = []
    out.write(head)
    write_sheet_data(ws, text_writer(out, lxml), lxml)
    out.write(tail)
