"""The helper table that the native engine's reading entry points are given.

The engine owns no policy: wherever a value depends on the package's own rules (unusual
number text, ISO dates, formula objects, rich text) it calls the callables of this table, so
that results, warnings and exceptions are exactly those of the pure-Python path. Every caller
hands the engine the table built by `reading_helpers()`.
"""

import re
import xml.etree.ElementTree as ET
from collections.abc import Iterable
from typing import Any
from xml.etree.ElementTree import XMLParser

from quillfen.reader.strings import has_formatted_run, item_text
from quillfen.model.richtext import CellRichText, InlineFont
from quillfen.utils.cells import coordinate_to_tuple
from quillfen.utils.datetime import from_excel, from_ISO8601, is_leap_day_serial

__all__ = ["reading_helpers", "parse_snippet", "si_content", "text_content", "rich_inline", "kept_runs",
           "validate_rpr", "serial_value", "date_warning", "coordinate_to_tuple", "row_index",
           "TEXT_DANGEROUS", "RICH_DANGEROUS"]

# Children of a string item, and of a run, whose presence the native text reader cannot
# reproduce. The readers here interpret only `t`, `r`, `rPr` (and skip `rPh`, `phoneticPr`,
# which the engine already hands over), so nothing else changes a value.
TEXT_DANGEROUS: frozenset[str] = frozenset()
RICH_DANGEROUS: frozenset[str] = frozenset()

_XML_NS = "http://www.w3.org/XML/1998/namespace"

# The namespace declarations in scope around a captured element: (prefix, URI) pairs.
Namespaces = Iterable[tuple[str, str]]


def _quote(uri: str) -> str:
    return uri.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;")


def parse_snippet(snippet: bytes, namespaces: Namespaces) -> ET.Element:
    """Parse an element captured by the engine: its exact bytes, and the (prefix, URI) namespace
    declarations in scope around it (the default namespace has the prefix "")."""
    decls = []
    for prefix, uri in namespaces:
        if prefix == "xml":
            continue  # always bound; redeclaring it to anything else is not allowed
        name = f"xmlns:{prefix}" if prefix else "xmlns"
        decls.append(f' {name}="{_quote(uri)}"')
    parser = XMLParser()
    parser.feed(("<_quillfen_snippet%s>" % "".join(decls)).encode("utf-8"))
    parser.feed(snippet)
    parser.feed(b"</_quillfen_snippet>")
    wrapper = parser.close()
    return wrapper[0]


def text_content(snippet: bytes, namespaces: Namespaces) -> str:
    """Plain text of a captured `si` or `is` element, escapes undone."""
    return item_text(parse_snippet(snippet, namespaces))


def si_content(snippet: bytes, namespaces: Namespaces) -> str:
    """Value of a captured shared-string item: what the pure-Python string reader gives for it."""
    return text_content(snippet, namespaces)


def rich_inline(snippet: bytes, namespaces: Namespaces) -> CellRichText:
    """Rich text of a captured `is` element (rich-text mode)."""
    return CellRichText.from_tree(parse_snippet(snippet, namespaces))


# A run element (`r`, with any prefix) may start here: items without one are not parsed again.
_RUN_TAG = re.compile(rb"<(?:[^\s/>:]+:)?r[\s/>]")


def kept_runs(snippet: bytes, namespaces: Namespaces) -> CellRichText | None:
    """The formatted runs of a captured `is` element read as plain text (rich text not asked
    for), kept so that the cell is saved with them while unchanged: None when no run has run
    properties, or when the rich-text model cannot hold them (the text is then all there is)."""
    if _RUN_TAG.search(snippet) is None:
        return None
    node = parse_snippet(snippet, namespaces)
    if not has_formatted_run(node):
        return None
    try:
        return CellRichText.from_tree(node)
    except (ValueError, TypeError):
        return None


def validate_rpr(snippet: bytes, namespaces: Namespaces) -> bool:
    """Whether a captured `rPr` element is valid run properties for the rich-text model.
    Items with invalid ones are left to the Python readers, which decide what they mean."""
    try:
        InlineFont.from_tree(parse_snippet(snippet, namespaces))
    except (ValueError, TypeError):
        return False
    return True


def rich_si_content(snippet: bytes, namespaces: Namespaces) -> str | CellRichText:
    """Value of a captured shared-string item in rich-text mode (`strings.rich_item`)."""
    from quillfen.reader.strings import rich_item
    return rich_item(parse_snippet(snippet, namespaces))


def _formatted(_snippet: bytes, _namespaces: Namespaces) -> bool:
    return False


def rich_string_helpers() -> dict[str, Any]:
    """The helper dict for read_string_table in rich-text mode: every item with run properties
    is handed to `rich_si_content` (the engine builds plain text only)."""
    helpers = reading_helpers()
    helpers.update(si_content=rich_si_content, validate_rpr=_formatted)
    return helpers


def serial_value(value: Any, epoch: Any, timedelta: bool = False, shows_date: bool = False) -> Any:
    """The value of a date-formatted number (`from_excel`), or the number itself for the 1900
    system's serial 60: 1900-02-29, a day that system counts but that did not exist, which no
    date holds (spreadsheet programs show it as a date all the same)."""
    if not timedelta and is_leap_day_serial(value, epoch):
        return value
    return from_excel(value, epoch, timedelta=timedelta, shows_date=shows_date)


def date_warning(coordinate: str | None, value: object, leap_day: bool = False) -> str:
    """The warning for a date-formatted cell whose serial is not a representable date: out of
    the limits for dates, or (`leap_day`) the 1900 system's 1900-02-29."""
    where = f"Cell {coordinate}" if coordinate is not None else "A cell"
    if leap_day:
        return (f"{where} is marked as a date but the serial value {value} is 1900-02-29, a day the 1900 date "
                "system counts but that did not exist. The cell keeps its number.")
    return f"{where} is marked as a date but the serial value {value} is outside the limits for dates. The cell will be treated as an error."


def row_index(text: str) -> int:
    """A row number written in any form that Python's int accepts, or as a whole float ("3.0")."""
    try:
        return int(text)
    except ValueError:
        value = float(text)
        if not value.is_integer():
            raise
        return int(value)


def _formula_classes() -> dict[str, Any]:
    # The formula package may be absent in a partial checkout: those helpers are then missing
    # and the engine reports "missing helper ..." instead of failing at import.
    try:
        from quillfen import formula
    except ImportError:
        return {}
    names = ("ArrayFormula", "DataTableFormula", "Translator", "TokenizerError", "TranslatorError")
    return {name: getattr(formula, name) for name in names if hasattr(formula, name)}


def reading_helpers() -> dict[str, Any]:
    """The helper dict for read_string_table, bind_cells, RowReader and prescan_sheet."""
    helpers: dict[str, Any] = {
        "int": int,
        "float": float,
        "coordinate_to_tuple": coordinate_to_tuple,
        "row_index": row_index,
        "from_excel": serial_value,
        "from_ISO8601": from_ISO8601,
        "date_warning": date_warning,
    }
    helpers.update(_formula_classes())
    helpers.update({
        "text_content": text_content,
        "rich_inline": rich_inline,
        "kept_runs": kept_runs,
        "validate_rpr": validate_rpr,
        "text_dangerous": TEXT_DANGEROUS,
        "rich_dangerous": RICH_DANGEROUS,
        "si_content": si_content,
    })
    return helpers
