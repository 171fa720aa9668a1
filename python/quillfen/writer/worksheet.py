"""A worksheet part: the elements around the cell data, and the cell data streamed in between.

The part is written in schema order (`writer.features`): the sheet's features, the settings
elements read from the file when the sheet was loaded (so frozen panes, default row heights,
margins, conditional formats and the like survive) or else the defaults that spreadsheet
programs write, and `sheetData` in their midst.
"""

import re
from collections.abc import Callable
from typing import IO, Any

from ..constants import MAIN_NS
from .features import SheetPlan, worksheet_children
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
