"""Formulas in the parts a save keeps as they were read (charts, tables, pivot caches), made to
follow the edits made to the model's formulas since (`Workbook._formula_edits`: a sheet renamed),
and the titles of sheets the application properties list.

Only the formula text changes: the parts are edited as bytes, every other byte as it was.
"""

import re
from collections.abc import Callable, Sequence

from ..formula import quoted_title, sheets_of
from ..package import Package
from ..utils.patterns import lazy

__all__ = ["edit_kept_formulas", "edit_titles_of_parts"]

_CHART = "application/vnd.openxmlformats-officedocument.drawingml.chart+xml"
_CHART_EX = "application/vnd.ms-office.chartex+xml"
_TABLE = "application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml"
_PIVOT_CACHE = "application/vnd.openxmlformats-officedocument.spreadsheetml.pivotCacheDefinition+xml"


def _text_of(tags: bytes) -> re.Pattern[bytes]:
    """An element (of any prefix) named in `tags`, not empty, holding text only."""
    return lazy(rb"(<((?:[\w.-]+:)?(?:%s))(?:\s[^>]*)?(?<!/)>)([^<]*)(</\2\s*>)" % tags)


# The elements whose text is a formula, by the content type of the part.
_FORMULAS = {_CHART: _text_of(b"f"), _CHART_EX: _text_of(b"f"),
             _TABLE: _text_of(b"calculatedColumnFormula|totalsRowFormula")}
# The titles the application properties list: sheets' titles, and names of a sheet's scope
# written after it ("Sheet1!Print_Area").
_TITLES_OF_PARTS = lazy(rb"<((?:[\w.-]+:)?TitlesOfParts)\b.*?</\1\s*>", re.S)
_TITLE = _text_of(b"lpstr")
# The sheet a pivot cache reads its data from.
_SOURCE_SHEET = lazy(rb"""(<(?:[\w.-]+:)?worksheetSource\b[^>]*?\ssheet\s*=\s*)(["'])(.*?)\2""", re.S)


def _escape(text: str, quote: str = "") -> bytes:
    text = text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    return (text.replace(quote, "&quot;" if quote == '"' else "&apos;") if quote else text).encode("utf-8")


def _formulas(data: bytes, pattern: re.Pattern[bytes], edit: Callable[[str], str]) -> bytes:
    import html  # only a workbook whose sheets were renamed gets here
    def one(match: re.Match[bytes]) -> bytes:
        text = html.unescape(match.group(3).decode("utf-8"))
        edited = edit(text)
        return match.group() if edited == text else match.group(1) + _escape(edited) + match.group(4)
    return pattern.sub(one, data)


def _source_sheets(data: bytes, edit: Callable[[str], str]) -> bytes:
    import html
    def one(match: re.Match[bytes]) -> bytes:
        title = html.unescape(match.group(3).decode("utf-8"))
        found = sheets_of(edit(quoted_title(title) + "!A1"))
        if found is None or found[0] == [title]:
            return match.group()
        quote = match.group(2).decode()
        return match.group(1) + match.group(2) + _escape(found[0][0], quote) + match.group(2)
    return _SOURCE_SHEET.sub(one, data)


def edit_kept_formulas(pkg: Package, edits: Sequence[Callable[[str], str]]) -> None:
    """Puts in `pkg` the parts it keeps as read whose formulas the `edits` change."""
    if not edits:
        return

    def edit(text: str) -> str:
        for one in edits:
            text = one(text)
        return text

    for name in pkg.part_names():
        part, kind = pkg.part(name), pkg.content_type(name)
        if part is None or not part.kept or kind not in (*_FORMULAS, _PIVOT_CACHE):
            continue
        data = pkg.read(name)
        edited = _source_sheets(data, edit) if kind == _PIVOT_CACHE else _formulas(data, _FORMULAS[kind], edit)
        if edited != data:
            pkg.put(name, edited)


def edit_titles_of_parts(pkg: Package, part: str, renamed: dict[str, str]) -> None:
    """Puts in `pkg` the application properties `part` with the titles of the sheets renamed
    (old title -> new) replaced in its list of titles."""
    data = pkg.read(part)
    found = _TITLES_OF_PARTS.search(data)
    if found is None:
        return
    titles = _formulas(found.group(), _TITLE, lambda text: _retitled(text, renamed))
    if titles != found.group():
        pkg.put(part, data[:found.start()] + titles + data[found.end():])


def _retitled(text: str, renamed: dict[str, str]) -> str:
    """A sheet's title, or a name written after its sheet's title, with the sheet's new title."""
    if text in renamed:
        return renamed[text]
    found = sheets_of(text) if "!" in text else None
    if found is None or len(found[0]) != 1 or found[0][0] not in renamed:
        return text
    return "%s!%s" % (quoted_title(renamed[found[0][0]]), found[1])
