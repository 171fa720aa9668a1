"""Cell coordinates: column letters and numbers, "B3" and (3, 2)."""

import re

MAX_COLUMN = 18278  # ZZZ
_COORD = re.compile(r"\$?([A-Za-z]{1,3})\$?([0-9]+)\Z")


def column_letter(column: int) -> str:
    """1 -> "A", 27 -> "AA" (bijective base 26)."""
    if not 1 <= column <= MAX_COLUMN:
        raise ValueError("Invalid column index %r" % (column,))
    letters = []
    while column:
        column, rem = divmod(column - 1, 26)
        letters.append(chr(65 + rem))
    return "".join(reversed(letters))


def column_index(letters: str) -> int:
    """"A" -> 1, "AA" -> 27; letters are taken without regard to case."""
    if not 1 <= len(letters) <= 3 or not letters.isascii() or not letters.isalpha():
        raise ValueError("Invalid column letters %r" % (letters,))
    index = 0
    for ch in letters.upper():
        index = index * 26 + ord(ch) - 64
    return index


def coordinate_of(row: int, column: int) -> str:
    return "%s%d" % (column_letter(column), row)


def coordinate_to_tuple(coordinate: str) -> tuple[int, int]:
    """"B3" -> (3, 2). Accepts "$" markers and lower-case letters; raises ValueError otherwise."""
    match = _COORD.match(coordinate)
    if not match or int(match.group(2)) == 0:
        raise ValueError("Invalid cell coordinates (%s)" % (coordinate,))
    return int(match.group(2)), column_index(match.group(1))


_RANGE_END = re.compile(r"\$?([A-Za-z]{1,3})?\$?([0-9]+)?\Z")


def _range_end(text: str, ref: str) -> tuple[int | None, int | None]:
    match = _RANGE_END.match(text)
    if not text or not match or match.group(2) is not None and int(match.group(2)) == 0:
        raise ValueError("Invalid cell range (%s)" % (ref,))
    letters, digits = match.groups()
    return (column_index(letters) if letters else None), (int(digits) if digits else None)


def range_boundaries(ref: str) -> tuple[int | None, int | None, int | None, int | None]:
    """"A1:C3" -> (1, 1, 3, 3) as (min_col, min_row, max_col, max_row).

    Whole columns ("B", "A:C") leave both rows None and whole rows ("3", "2:5") both columns;
    a single cell gives its own position twice. The two ends may come in either order. Raises
    ValueError for anything else."""
    first, sep, last = ref.partition(":")
    col1, row1 = _range_end(first, ref)
    col2, row2 = _range_end(last, ref) if sep else (col1, row1)
    if (col1 is None) != (col2 is None) or (row1 is None) != (row2 is None):
        raise ValueError("Invalid cell range (%s)" % (ref,))
    min_col = max_col = min_row = max_row = None
    if col1 is not None and col2 is not None:
        min_col, max_col = min(col1, col2), max(col1, col2)
    if row1 is not None and row2 is not None:
        min_row, max_row = min(row1, row2), max(row1, row2)
    return min_col, min_row, max_col, max_row
