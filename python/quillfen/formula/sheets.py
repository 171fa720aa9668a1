"""References to sheets by title in formula text, and a sheet's title changed in them.

A reference names its sheet before "!": `Sheet1!A1`, `'My sheet'!A1:B2`, a range of sheets
`Sheet1:Sheet3!A1` (one pair of quotes for both when either needs them), or a sheet of another
workbook, `[1]Sheet1!A1`, which is not this workbook's and is left alone. Formulas are split
with the tokenizer, so that text in quotes (the string "Sheet1!A1") stays as it is.
"""

import re

from .tokenizer import Token, Tokenizer, TokenizerError

__all__ = ["quoted_title", "sheets_of", "renamed_sheet"]

# A title that a reference writes without quotes: a letter or "_" first, then letters, digits,
# "_" and "."; one that could be read as a cell (A1, R1C1, R, C) or a logical value is quoted.
_PLAIN = re.compile(r"[^\W\d][\w.]*\Z")
_CELL_LIKE = re.compile(r"(?i)(?:[A-Z]{1,3}[0-9]+|R[0-9]*C?[0-9]*|C[0-9]*|TRUE|FALSE)\Z")


def quoted_title(title: str) -> str:
    """A sheet title as a reference writes it: in single quotes (doubled inside) unless plain."""
    if _PLAIN.match(title) and not _CELL_LIKE.match(title):
        return title
    return "'%s'" % title.replace("'", "''")


def sheets_of(reference: str) -> tuple[list[str], str] | None:
    """([the titles of the sheets a reference names], what follows its "!"), or None for a
    reference without a sheet or to another workbook."""
    if reference.startswith("'"):
        at = 1
        while True:
            end = reference.find("'", at)
            if end < 0:
                return None
            if not reference.startswith("''", end):
                break
            at = end + 2
        if reference[end + 1:end + 2] != "!":
            return None
        names, rest = reference[1:end].replace("''", "'"), reference[end + 2:]
    else:
        names, bang, rest = reference.partition("!")
        if not bang:
            return None
    if "[" in names:
        return None
    return names.split(":"), rest


def _sheets_text(titles: list[str]) -> str:
    joined = ":".join(titles)
    if all(quoted_title(title) == title for title in titles):
        return joined
    return "'%s'" % joined.replace("'", "''")


def renamed_sheet(formula: str, old: str, new: str) -> str:
    """`formula` (with its leading "=" or without) with its references to the sheet titled
    `old` (in any case) naming `new`. A formula that does not tokenize is left as it is."""
    folded = formula.casefold()
    if old.casefold() not in folded and old.replace("'", "''").casefold() not in folded:
        return formula
    prefixed = formula.startswith("=")
    try:
        tokens = Tokenizer(formula if prefixed else "=" + formula).items
    except (TokenizerError, IndexError):
        return formula
    old = old.casefold()
    changed = False
    out = []
    for token in tokens:
        value = token.value
        if token.type == Token.OPERAND and token.subtype == Token.RANGE:
            found = sheets_of(value)
            if found is not None and any(title.casefold() == old for title in found[0]):
                titles = [new if title.casefold() == old else title for title in found[0]]
                value = "%s!%s" % (_sheets_text(titles), found[1])
                changed = True
        out.append(value)
    if not changed:
        return formula
    text = "".join(out)
    return "=" + text if prefixed else text
