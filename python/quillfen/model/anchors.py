"""Where a drawing's objects sit on a sheet, as read from a file: an anchor at two cells
(`from`, `to`), which sizes the object with the rows and columns between them, or at one cell.
`Span` measures an object anchored at two cells and moves its cells with an edit of the sheet's
cells; `moved_anchor` does the same to an anchor kept as the bytes it was read as.
"""

from __future__ import annotations

import re
import weakref
import xml.etree.ElementTree as ET
from typing import Any, Protocol

from ..constants import MAX_ROW, MAX_SHEET_COLUMN, XDR_NS
from ..utils.cells import column_letter

__all__ = ["CellMove", "Span", "moved_anchor", "moved_cell", "corner_value", "EMU_PER_PIXEL"]

EMU_PER_PIXEL = 9525
_X = "{%s}" % XDR_NS
# The largest run of lines measured: an anchor's cells come from a file.
_MAX_LINES = 16384


class CellMove(Protocol):
    """Where an edit of a sheet's cells (`formula.shift`) puts a cell or a block of cells
    (None: gone)."""

    def cell(self, row: int, column: int) -> tuple[int, int] | None: ...

    def rect(self, min_row: int, min_col: int, max_row: int, max_col: int) -> tuple[int, int, int, int] | None: ...


def moved_cell(edit: CellMove, row: int, column: int) -> tuple[int, int]:
    """Where the corner of an object at the cell (row, column) goes: with its cell, or when
    the cell is deleted, to the first cell after the deletion."""
    to = edit.cell(row, column)
    if to is None:
        rest = edit.rect(row, column, MAX_ROW, MAX_SHEET_COLUMN)
        to = (rest[0], rest[1]) if rest is not None else (row, column)
    return to


def column_pixels(ws: Any, column: int) -> int:
    dims = ws.column_dimensions.get(column_letter(column))
    if dims is None:
        for run in ws.column_dimensions.values():
            if run.min <= column <= run.max:
                dims = run
                break
    width = dims.width if dims is not None and dims.width is not None else 8.43
    return int(width * 7 + 5) if width >= 1 else int(width * 12 + 0.5)


def row_pixels(ws: Any, row: int) -> int:
    dims = ws.row_dimensions.get(row)
    height = dims.height if dims is not None and dims.height is not None else 15
    return round(height * 4 / 3)


def corner_value(node: ET.Element | None, tag: str) -> int:
    """A number of an anchor's corner element (`col`, `colOff`, `row`, `rowOff`), 0 if none."""
    text = node.findtext(_X + tag) if node is not None else None
    try:
        return int(text or "0")
    except ValueError:
        return 0


class Span:
    """The size in pixels of an object anchored at two cells (`start`, `end`: the anchor's
    `from` and `to` elements), from the sheet's sizes at the time; once the sheet is gone, the
    size it had then. The sheet holds the object: only a weak reference goes back."""

    __slots__ = ("_start", "_end", "_sheet", "_last")

    def __init__(self, ws: Any, start: ET.Element, end: ET.Element) -> None:
        self._start, self._end = start, end
        self._sheet = weakref.ref(ws)
        self._last = (1, 1)
        self()

    def __call__(self) -> tuple[int, int]:
        ws = self._sheet()
        if ws is not None:
            self._last = (max(1, self._length("col", column_pixels, ws)),
                          max(1, self._length("row", row_pixels, ws)))
        return self._last

    def _length(self, line: str, pixels: Any, ws: Any) -> int:
        first, last = corner_value(self._start, line), corner_value(self._end, line)
        total: int = sum(pixels(ws, n) for n in range(first + 1, min(last, first + _MAX_LINES) + 1))
        return total + (corner_value(self._end, line + "Off") - corner_value(self._start, line + "Off")) // EMU_PER_PIXEL

    def move(self, edit: CellMove) -> None:
        """Its cells after an edit of the sheet's cells."""
        for corner in (self._start, self._end):
            row, column = moved_cell(edit, corner_value(corner, "row") + 1, corner_value(corner, "col") + 1)
            for tag, value in (("row", row - 1), ("col", column - 1)):
                node = corner.find(_X + tag)
                if node is not None:
                    node.text = str(value)


# An anchor's corner as bytes, in any prefix: <xdr:from><xdr:col>1</xdr:col>...</xdr:from>.
_CORNER = re.compile(rb"<((?:[\w.-]+:)?)(from|to)>(.*?)</\1\2\s*>", re.S)
_LINE = re.compile(rb"(<((?:[\w.-]+:)?)(col|row)>)\s*([0-9]+)\s*(</\2\3\s*>)")


def moved_anchor(data: bytes, edit: CellMove) -> bytes:
    """An anchor kept as bytes, its corners after an edit of the sheet's cells; every other
    byte as it was."""
    def corner(match: re.Match[bytes]) -> bytes:
        inner = match.group(3)
        lines = {found.group(3): int(found.group(4)) for found in _LINE.finditer(inner)}
        if set(lines) != {b"col", b"row"}:
            return match.group()
        row, column = moved_cell(edit, lines[b"row"] + 1, lines[b"col"] + 1)
        new = {b"row": row - 1, b"col": column - 1}
        if new == lines:
            return match.group()
        inner = _LINE.sub(lambda found: b"%s%d%s" % (found.group(1), new[found.group(3)], found.group(5)), inner)
        return match.group()[:match.start(3) - match.start()] + inner + match.group()[match.end(3) - match.start():]
    return _CORNER.sub(corner, data)
