"""A worksheet part: the elements around the cell data, and the cell data streamed in between.

A new sheet's part is written in schema order (`writer.features`): the sheet's features, the
settings elements read from a file (for a workbook that cannot keep its parts, one in the
Strict namespaces) or else the defaults that spreadsheet programs write, and `sheetData` in
their midst. A sheet read from a file keeps its part as it was read (`write_kept_worksheet`):
the root element with its namespace declarations, and every element but those whose content
changed, which are made again in their place.
"""

import copy
import re
from collections.abc import Callable
from typing import IO, Any

from ..constants import MAIN_NS
from ..model.tracking import CELLS, EVERYTHING
from ..package.xmlparts import DECLARATION, Layout, fragment
from .features import ORDER, SheetPlan, made_elements, worksheet_children
from .sheet_data import write_sheet_data
from .xml import element, to_bytes

_M = "{%s}" % MAIN_NS
# Where the cell data goes: the one `sheetData` element, empty, as either serialiser writes it.
_PLACEHOLDER = re.compile(rb"<sheetData ?/>")


def head_and_tail(ws: Any, dimension: str | None, selected: bool, lxml: bool,
                  plan: "SheetPlan | None" = None) -> tuple[bytes, bytes]:
    """The bytes of the part before and after its `sheetData` element. `plan` (a
    `writer.features.SheetPlan`) gives the hyperlinks and comments that the part points at."""
    root = element(_M + "worksheet", None, *worksheet_children(ws, dimension, selected, plan))
    head, tail = _PLACEHOLDER.split(to_bytes(root, lxml))
    return head, tail


def text_writer(out: IO[bytes], lxml: bool) -> Callable[[Any], Any]:
    """The `write` callable of the sheet writers for a binary stream: lxml mode hands over
    bytes, ElementTree mode text."""
    if lxml:
        return out.write
    return lambda text: out.write(text.encode("utf-8"))


def write_worksheet(ws: Any, out: IO[bytes], selected: bool, lxml: bool, plan: "SheetPlan | None" = None) -> None:
    """Writes the whole part of the editable sheet `ws` to the binary stream `out`."""
    head, tail = head_and_tail(ws, ws.dimensions, selected, lxml, plan)
    # The sheet writers collect the cells' hyperlinks and comments anew on every save.
    ws._hyperlinks = []
    ws._comments = []
    out.write(head)
    write_sheet_data(ws, text_writer(out, lxml), lxml)
    out.write(tail)


# The elements of a kept sheet that the model makes again when what they hold changed, by the
# change that remakes them (`model.tracking.sheet_changes`); a mark naming no element remakes
# all but the comments' drawing, which changes with the comments only.
_REMADE = {"sheetPr": "sheetPr", "dimension": CELLS, "sheetViews": "sheetViews", "cols": "cols",
           "autoFilter": "autoFilter", "mergeCells": "mergeCells", "hyperlinks": "hyperlinks",
           "legacyDrawing": "legacyDrawing",
           **{name: name for name in ("sheetFormatPr", "sheetProtection", "conditionalFormatting", "dataValidations",
                                      "printOptions", "pageMargins", "pageSetup", "headerFooter", "drawing",
                                      "tableParts")}}


def write_kept_worksheet(ws: Any, out: IO[bytes], layout: Layout, changes: set[str], selected: bool,
                         lxml: bool, plan: SheetPlan) -> None:
    """Writes the part of the editable sheet `ws`, read from a file with this `layout`, after
    the `changes` made to it since."""
    made = made_elements(ws, ws.dimensions, selected, plan, copy.deepcopy)
    prefixes = layout.prefixes
    remade: dict[str, bytes | None] = {}
    for name, change in _REMADE.items():
        if change in changes or EVERYTHING in changes and name != "legacyDrawing":
            node = made[name]
            nodes = node if isinstance(node, list) else [] if node is None else [node]
            remade[name] = b"".join(fragment(one, prefixes) for one in nodes) if nodes else None
    for name in changes.intersection(ws._kept).difference(_REMADE):  # kept as read, then changed
        nodes = ws._kept[name]
        remade[name] = b"".join(fragment(node, prefixes) for node in (nodes if isinstance(nodes, list) else [nodes]))
    # One that a change took out of the model (a validation whose ranges were all deleted).
    for name in changes.difference(ws._kept, _REMADE, (CELLS,)).intersection(ORDER):
        remade[name] = None
    ws._hyperlinks = []
    ws._comments = []
    out.write(DECLARATION + layout.root_start)
    for child in layout.splice(MAIN_NS, remade, ORDER):
        if child.uri == MAIN_NS and child.local == "sheetData" and not child.data:
            write = text_writer(out, lxml)
            if prefixes.get(MAIN_NS) != "":
                write = _declaring(write, lxml)
            write_sheet_data(ws, write, lxml)
        else:
            out.write(child.data)
    out.write(layout.root_end)


def _declaring(write: Callable[[Any], Any], lxml: bool) -> Callable[[Any], Any]:
    """`write` for the sheet writers in a part whose root does not make the main namespace the
    default: the `sheetData` element they start with declares it."""
    started = False
    start, declared = "<sheetData>", '<sheetData xmlns="%s">' % MAIN_NS

    def declaring(text: Any) -> Any:
        nonlocal started
        if not started:
            started = True
            text = text.replace(start.encode(), declared.encode(), 1) if lxml else text.replace(start, declared, 1)
        return write(text)
    return declaring
