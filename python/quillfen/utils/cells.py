"""Cell coordinates: column letters and numbers, "B3" and (3, 2)."""

import re

MAX_COLUMN = 18278  # ZZZ
_COORD = re.compile(r"\$?([A-Za-z]{1,3})\$?([0-9]+)\Z")


def column_letter(column):
    """1 -> "A", 27 -> "AA" (bijective base 26)."""
    if not 1 <= column <= MAX_COLUMN:
        raise ValueError("Invalid column index %r" % (column,))
    letters = []
    while column:
        column, rem = divmod(column - 1, 26)
        letters.append(chr(65 + rem))
    return "".join(reversed(letters))


def column_index(letters):
    """"A" -> 1, "AA" -> 27; letters are taken without regard to case."""
    if not 1 <= len(letters) <= 3 or not letters.isascii() or not letters.isalpha():
        raise ValueError("Invalid column letters %r" % (letters,))
    index = 0
    for ch in letters.upper():
        index = index * 26 + ord(ch) - 64
    return index


def coordinate_of(row, column):
    return "%s%d" % (column_letter(column), row)


def coordinate_to_tuple(coordinate):
    """"B3" -> (3, 2). Accepts "$" markers and lower-case letters; raises ValueError otherwise."""
    match = _COORD.match(coordinate)
    if not match or int(match.group(2)) == 0:
        raise ValueError("Invalid cell coordinates (%s)" % (coordinate,))
    return int(match.group(2)), column_index(match.group(1))
