"""Where references go when a sheet's grid changes: rows or columns inserted or deleted, a
range of cells moved (see `quillfen.formula.sheets` for a sheet renamed).

An edit (`LineEdit`, `MoveEdit`, `OffsetEdit`) answers for positions (`cell`,
`rect`), for range texts such as merged ranges and `sqref` lists (`range_text`, `sqref`), and
for formulas (`formula`, `reference`): the formula is split by the tokenizer, and each
reference operand that the edit moves is rewritten in place; everything else, whitespace
included, stays as written. Whatever else points at cells (a chart's series, a table's range,
a drawing's anchor) follows an edit through the same calls.
The native engine rewrites the formulas of its cell store the same way (`spec()` describes the
edit to it) and hands back to this module the few it declines.

References follow an edit as in a spreadsheet program: a reference into the edited sheet at or
beyond an insertion moves by the number of lines inserted; one that loses its cells becomes
"#REF!" (the whole operand, sheet name included); a range that loses part of its lines
shrinks, and one that an insertion falls inside grows. A reference to several sheets
(Sheet1:Sheet3!A1) does not follow an edit of one of them: the other sheets did not change.
"""

from __future__ import annotations

import re

from ..constants import MAX_ROW, MAX_SHEET_COLUMN as MAX_COLUMN
from .tokenizer import Token, Tokenizer, TokenizerError
from ..utils.cells import column_index, column_letter, range_boundaries

__all__ = ["LineEdit", "MoveEdit", "OffsetEdit", "REF_ERROR"]

REF_ERROR = "#REF!"

_COL = r"(\$?)([A-Za-z]{1,3})"
_ROW = r"(\$?)([1-9][0-9]{0,6})"
_CELL = re.compile(_COL + _ROW + r"\Z")
_COLS = re.compile(_COL + ":" + _COL + r"\Z")
_ROWS = re.compile(_ROW + ":" + _ROW + r"\Z")


def same_title(name: str, title: str) -> bool:
    """Whether a sheet name written in a formula names the sheet `title` (titles are unique
    without regard to case)."""
    return name == title or name.casefold() == title.casefold()


def _sheet_names(sheet: str) -> list[str]:
    """The sheets a reference's sheet part names: one, two for a 3-D reference (first and
    last), none for a reference into another workbook ([1]Sheet1)."""
    if len(sheet) >= 2 and sheet[0] == "'" and sheet[-1] == "'":
        sheet = sheet[1:-1].replace("''", "'")
    if "[" in sheet:
        return []
    first, colon, last = sheet.partition(":")
    return [first, last] if colon else [sheet]


class _Part:
    """One component of a reference: a row or a column, with its "$" and its text."""

    __slots__ = ("dollar", "text", "value", "is_row")

    def __init__(self, dollar: str, text: str, is_row: bool) -> None:
        self.dollar, self.text, self.is_row = dollar, text, is_row
        self.value = int(text) if is_row else column_index(text)

    def render(self, value: int) -> str:
        if value == self.value:
            return self.dollar + self.text
        return self.dollar + (str(value) if self.is_row else column_letter(value))


def _reference(ref: str) -> list[_Part] | None:
    """The parts of a cell reference (column, row), an area (column, row, column, row), whole
    columns (column, column) or whole rows (row, row); None for anything else (a name, a
    structured reference, a list of ranges, a position beyond the sheet)."""
    first, colon, last = ref.partition(":")
    parts: list[_Part] = []
    if colon:
        if ":" in last:
            return None
        a, b = _CELL.match(first), _CELL.match(last)
        if a is not None and b is not None:
            parts = _cell_parts(a) + _cell_parts(b)
        elif (m := _COLS.match(ref)) is not None:
            parts = [_Part(m.group(1), m.group(2), False), _Part(m.group(3), m.group(4), False)]
        elif (m := _ROWS.match(ref)) is not None:
            parts = [_Part(m.group(1), m.group(2), True), _Part(m.group(3), m.group(4), True)]
    elif (m := _CELL.match(ref)) is not None:
        parts = _cell_parts(m)
    if not parts or any(p.value > (MAX_ROW if p.is_row else MAX_COLUMN) for p in parts):
        return None
    return parts


def _cell_parts(m: re.Match[str]) -> list[_Part]:
    return [_Part(m.group(1), m.group(2), False), _Part(m.group(3), m.group(4), True)]


class _Edit:
    """What every edit shares: the sheet it changes and the rewriting of formulas."""

    title: str
    others: tuple[str, ...] = ()

    def _titles(self) -> tuple[object, ...]:
        """The edited sheet as the engine takes it: its title, folded, and the other titles."""
        return self.title, self.title.casefold(), tuple(self.others)

    def on_sheet(self, sheet: str | None, host_edited: bool) -> bool:
        """Whether a reference with this sheet part (None: none) points into the edited sheet;
        an unqualified one does when the formula lives there."""
        if sheet is None:
            return host_edited
        names = _sheet_names(sheet)
        return len(names) == 1 and same_title(names[0], self.title) or (
            len(names) == 2 and same_title(names[0], self.title) and same_title(names[1], self.title))

    def operand(self, text: str, host_edited: bool) -> str | None:
        """The new text of a reference operand, or None when the edit leaves it as it is."""
        sheet, bang, ref = text.rpartition("!")
        if not self.on_sheet(sheet if bang else None, host_edited):
            return None
        parts = _reference(ref)
        if parts is None:
            return None
        moved = self._parts(parts)
        if moved is None:
            return REF_ERROR
        new = _render(parts, moved)
        return None if new == ref else sheet + bang + new

    def _parts(self, parts: list[_Part]) -> list[int] | None:
        raise NotImplementedError

    def formula(self, text: str, host_edited: bool) -> str:
        """`text` (a formula, "=..." ) with the references the edit moves rewritten. The
        unqualified references of a formula are on its own sheet: `host_edited` says whether
        that is the edited sheet. Text that is no formula, or that does not tokenize, is
        returned as it is."""
        try:
            tokens = Tokenizer(text)
        except (TokenizerError, IndexError):
            return text
        pieces: list[str] = []
        last = 0
        for token, (start, end) in sorted(zip(tokens.items, tokens.spans), key=lambda pair: pair[1][0]):
            if token.type != Token.OPERAND or token.subtype != Token.RANGE or text[start:end] != token.value:
                continue
            new = self.operand(token.value, host_edited)
            if new is not None:
                pieces += (text[last:start], new)
                last = end
        return "".join(pieces) + text[last:] if pieces else text

    def reference(self, text: str, host_edited: bool = False) -> str:
        """A formula written without its "=" (a defined name's text, a chart's series range)."""
        return self.formula("=" + text, host_edited)[1:]

    def cell(self, row: int, column: int) -> tuple[int, int] | None:
        """Where the cell at (row, column) of the edited sheet goes; None when it is deleted."""
        raise NotImplementedError

    def rect(self, min_row: int, min_col: int, max_row: int, max_col: int) -> tuple[int, int, int, int] | None:
        """Where a block of cells of the edited sheet (a merged range, a filter) goes; None
        when it is gone."""
        raise NotImplementedError

    def range_text(self, ref: str) -> str | None:
        """A range of the edited sheet written without a sheet name ("B2:C5", "B2"), after the
        edit; None when it is gone. Text that is no such range is returned as it is."""
        try:
            min_col, min_row, max_col, max_row = range_boundaries(ref)
        except ValueError:
            return ref
        if min_col is None or min_row is None or max_col is None or max_row is None:
            return ref
        found = self.rect(min_row, min_col, max_row, max_col)
        if found is None:
            return None
        first = "%s%d" % (column_letter(found[1]), found[0])
        last = "%s%d" % (column_letter(found[3]), found[2])
        return first if first == last else first + ":" + last

    def sqref(self, text: str) -> str | None:
        """A space-separated list of ranges of the edited sheet after the edit; None when none
        is left."""
        kept = [new for new in map(self.range_text, text.split()) if new is not None]
        return " ".join(kept) if kept else None


def _render(parts: list[_Part], values: list[int]) -> str:
    texts = [part.render(value) for part, value in zip(parts, values)]
    if len(parts) == 4:
        return "%s%s:%s%s" % tuple(texts)
    if len(parts) == 2 and parts[0].is_row != parts[1].is_row:
        return "".join(texts)
    return ":".join(texts)


class LineEdit(_Edit):
    """`count` rows (or columns) inserted at line `start` of sheet `title`, or deleted from
    there (`deleted`). `others`, the titles of the workbook's other sheets, spare the engine
    comparing names beyond ASCII without regard to case."""

    def __init__(self, title: str, rows: bool, start: int, count: int, deleted: bool,
                 others: tuple[str, ...] = ()) -> None:
        self.title, self.rows, self.start, self.count, self.deleted = title, rows, start, count, deleted
        self.others = others
        self.limit = MAX_ROW if rows else MAX_COLUMN

    def spec(self) -> tuple[object, ...]:
        return ("delete" if self.deleted else "insert", self.rows, self.start, self.count, *self._titles())

    def line(self, x: int) -> int | None:
        """Where line `x` goes; None when it is deleted or pushed off the sheet."""
        if x < self.start:
            return x
        if not self.deleted:
            return x + self.count if x + self.count <= self.limit else None
        return None if x < self.start + self.count else x - self.count

    def span(self, lo: int, hi: int) -> tuple[int, int] | None:
        """Where the lines lo..hi go: a span grows by an insertion inside it and shrinks by a
        deletion of part of it; None when all its lines go."""
        start, count = self.start, self.count
        if not self.deleted:
            lo2 = lo + count if lo >= start else lo
            if lo2 > self.limit:
                return None
            return lo2, min(hi + count if hi >= start else hi, self.limit)
        end = start + count
        if start <= lo and hi < end:
            return None
        lo2 = lo if lo < start else start if lo < end else lo - count
        hi2 = hi if hi < start else start - 1 if hi < end else hi - count
        return lo2, hi2

    def cell(self, row: int, column: int) -> tuple[int, int] | None:
        if self.rows:
            new = self.line(row)
            return None if new is None else (new, column)
        new = self.line(column)
        return None if new is None else (row, new)

    def rect(self, min_row: int, min_col: int, max_row: int, max_col: int) -> tuple[int, int, int, int] | None:
        """A rectangle of cells (merged, filtered...) after the edit, or None when it is gone."""
        if self.rows:
            found = self.span(min_row, max_row)
            return None if found is None else (found[0], min_col, found[1], max_col)
        found = self.span(min_col, max_col)
        return None if found is None else (min_row, found[0], max_row, found[1])

    def _parts(self, parts: list[_Part]) -> list[int] | None:
        values = [part.value for part in parts]
        mine = [i for i, part in enumerate(parts) if part.is_row == self.rows]
        if len(mine) == 1:
            new = self.line(values[mine[0]])
            if new is None:
                return None
            values[mine[0]] = new
        elif mine:
            a, b = (values[i] for i in mine)
            found = self.span(min(a, b), max(a, b))
            if found is None:
                return None
            # Written in the order the reference had them.
            values[mine[0]], values[mine[1]] = found if a <= b else found[::-1]
        return values


class MoveEdit(_Edit):
    """The cells of a rectangle of sheet `title` moved by `rows` and `cols`: references to a
    cell or range inside the rectangle follow it."""

    def __init__(self, title: str, rect: tuple[int, int, int, int], rows: int, cols: int,
                 others: tuple[str, ...] = ()) -> None:
        self.title, self.source, self.rows, self.cols, self.others = title, rect, rows, cols, others

    def spec(self) -> tuple[object, ...]:
        return ("move", *self.source, self.rows, self.cols, *self._titles())

    def inside(self, row: int, column: int) -> bool:
        min_row, min_col, max_row, max_col = self.source
        return min_row <= row <= max_row and min_col <= column <= max_col

    def cell(self, row: int, column: int) -> tuple[int, int] | None:
        return (row + self.rows, column + self.cols) if self.inside(row, column) else (row, column)

    def overwritten(self, row: int, column: int) -> bool:
        """Whether a cell outside the rectangle is where a moved cell lands."""
        return not self.inside(row, column) and self.inside(row - self.rows, column - self.cols)

    def rect(self, min_row: int, min_col: int, max_row: int, max_col: int) -> tuple[int, int, int, int] | None:
        if self.inside(min_row, min_col) and self.inside(max_row, max_col):
            return min_row + self.rows, min_col + self.cols, max_row + self.rows, max_col + self.cols
        return min_row, min_col, max_row, max_col

    def _parts(self, parts: list[_Part]) -> list[int] | None:
        values = [part.value for part in parts]
        if len(parts) == 2 and parts[0].is_row == parts[1].is_row:
            return values  # whole rows or columns stay
        cells = [(values[i + 1], values[i]) for i in range(0, len(values), 2)]
        if not all(self.inside(row, column) for row, column in cells):
            return values
        return [value + (self.rows if part.is_row else self.cols) for part, value in zip(parts, values)]


class OffsetEdit(_Edit):
    """What a formula gets when it moves with its cell by `rows` and `cols` and is translated:
    every relative row and column shifts, in whichever sheet it points; a reference shifted off
    the sheet becomes "#REF!"."""

    title = ""

    def __init__(self, rows: int, cols: int) -> None:
        self.rows, self.cols = rows, cols

    def spec(self) -> tuple[object, ...]:
        return ("offset", self.rows, self.cols)

    def on_sheet(self, sheet: str | None, host_edited: bool) -> bool:
        return True

    def _parts(self, parts: list[_Part]) -> list[int] | None:
        values = []
        for part in parts:
            value = part.value
            if not part.dollar:
                value += self.rows if part.is_row else self.cols
                if not 1 <= value <= (MAX_ROW if part.is_row else MAX_COLUMN):
                    return None
            values.append(value)
        return values
