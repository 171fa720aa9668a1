"""Shifting the relative references of a formula from one cell to another.

A shared formula is stored once, on its master cell; every other cell of the group gets the
master's formula with each relative row and column moved by the cell's offset from the
master. `Translator` tokenizes the formula once and keeps it as a list of pieces (text,
relative rows, relative columns), so that each translation is one pass over those pieces.
"""

import re

from .tokenizer import Token, Tokenizer

__all__ = ["Translator", "TranslatorError"]

MAX_COLUMN = 18278  # ZZZ

_ROW_PART = r"\$?[1-9][0-9]{0,6}"
_COL_PART = r"\$?[A-Za-z]{1,3}"
_ROW_RANGE = re.compile(f"({_ROW_PART}):({_ROW_PART})")
_COL_RANGE = re.compile(f"({_COL_PART}):({_COL_PART})")
_CELL = re.compile(f"({_COL_PART})({_ROW_PART})")
_COORDINATE = re.compile(r"\$?([A-Za-z]{1,3})\$?([0-9]+)")


class TranslatorError(Exception):
    """A relative reference would move off the sheet."""


def _column_number(letters: str) -> int:
    n = 0
    for c in letters.upper():
        n = n * 26 + ord(c) - 64
    return n


def _column_letters(n: int) -> str:
    letters = ""
    while n > 0:
        n, rem = divmod(n - 1, 26)
        letters = chr(65 + rem) + letters
    return letters


def _coordinate(ref: str) -> tuple[int, int]:
    """(row, column) of a cell reference such as "B3" or "$B$3"."""
    m = _COORDINATE.fullmatch(ref)
    if m is None or int(m.group(2)) < 1:
        raise ValueError(f"Invalid cell coordinates ({ref})")
    return int(m.group(2)), _column_number(m.group(1))


class _Pieces(list[str | tuple[str, int]]):
    """Compiled formula: str items are text, ("row", n) and ("col", n) are relative parts."""

    def text(self, s: str) -> None:
        if not s:
            return
        if self and isinstance(self[-1], str):
            self[-1] += s
        else:
            self.append(s)

    def row(self, part: str) -> None:
        if part.startswith("$"):
            self.text(part)
        else:
            self.append(("row", int(part)))

    def col(self, part: str) -> None:
        if part.startswith("$"):
            self.text(part)
        else:
            self.append(("col", _column_number(part)))

    def range(self, text: str) -> None:
        sheet, bang, ref = text.rpartition("!")
        sheet += bang
        m = _ROW_RANGE.fullmatch(ref)
        if m:
            self.text(sheet)
            self.row(m.group(1))
            self.text(":")
            self.row(m.group(2))
            return
        m = _COL_RANGE.fullmatch(ref)
        if m:
            self.text(sheet)
            self.col(m.group(1))
            self.text(":")
            self.col(m.group(2))
            return
        if ":" in ref:
            self.text(sheet)
            for i, piece in enumerate(ref.split(":")):
                if i:
                    self.text(":")
                self.range(piece)
            return
        m = _CELL.fullmatch(ref)
        if m is None and ref.endswith("\n"):
            m = _CELL.fullmatch(ref[:-1])
        if m:
            self.text(sheet)
            self.col(m.group(1))
            self.row(m.group(2))
            return
        # A name, an error literal or a structured reference stays whole, sheet part included:
        # Sheet1!Name and Sheet1!#REF! must not lose their sheet.
        self.text(text)


class Translator:
    """Translates `formula`, written in cell `origin`, to other cells.

    The formula is tokenized on construction, so syntax errors raise `TokenizerError` (or
    `IndexError` for an unmatched closing bracket) here. `origin` is a cell reference such as
    "B3"; with `origin` None the formula is never shifted.
    """

    def __init__(self, formula: str, origin: str | None) -> None:
        self.formula = formula
        self.origin = origin
        self.tokenizer = Tokenizer(formula)
        self._origin = _coordinate(origin) if origin is not None else None
        items = self.tokenizer.items
        self._pieces = _Pieces()
        if items and items[0].type != Token.LITERAL:
            self._pieces.text("=")
            for token in items:
                if token.type == Token.OPERAND and token.subtype == Token.RANGE:
                    self._pieces.range(token.value)
                else:
                    self._pieces.text(token.value)

    def get_tokens(self) -> list[Token]:
        """The formula's tokens."""
        return list(self.tokenizer.items)

    def translate_formula(self, dest: str | None = None) -> str:
        """The formula as written in cell `dest` (no shift when `dest` or the origin is None).

        Raises `TranslatorError` "Formula out of range" when a relative row would fall below 1
        or a relative column outside A..ZZZ.
        """
        items = self.tokenizer.items
        if not items:
            return ""
        if items[0].type == Token.LITERAL:
            return items[0].value
        if dest is None or self._origin is None:
            dr = dc = 0
        else:
            row, col = _coordinate(dest)
            dr = row - self._origin[0]
            dc = col - self._origin[1]
        out = []
        for piece in self._pieces:
            if isinstance(piece, str):
                out.append(piece)
            elif piece[0] == "row":
                r = piece[1] + dr
                if r <= 0:
                    raise TranslatorError("Formula out of range")
                out.append(str(r))
            else:
                c = piece[1] + dc
                if not 1 <= c <= MAX_COLUMN:
                    raise TranslatorError("Formula out of range")
                out.append(_column_letters(c))
        return "".join(out)

    def __repr__(self) -> str:
        return f"Translator({self.formula!r}, {self.origin!r})"
