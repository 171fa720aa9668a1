"""What changed in a loaded workbook since it was read: a save writes those parts again and
copies every other one as it was read, so no change may go unnoticed.

Two ways lead to one conservative answer. Calls that change cells (or anything else too large
to compare) mark their sheet: `mark(sheet)`, or the decorator `mutating` on a method. Every
other thing the model holds for a sheet or the workbook is small, and is compared with a
snapshot taken when the workbook was read (`sheet_state`, `book_state`): a change made in any
way (a feature object changed in place, a list edited, an attribute set) is found. A mark
without a name means "everything": new mutating calls use `mutating()`, and their sheet is
then written anew whole.
"""

import functools
import xml.etree.ElementTree as ET
from collections.abc import Callable
from typing import Any, TypeVar, cast

from ..constants import MAIN_NS

__all__ = ["CELLS", "EVERYTHING", "mark", "mutating", "sheet_state", "book_state", "sheet_changes",
           "remember"]

CELLS = "sheetData"      # the cells and rows of a sheet, written in its sheetData element
EVERYTHING = "*"         # every element of a sheet the model writes
F = TypeVar("F", bound=Callable[..., Any])


def mark(sheet: Any, what: str = EVERYTHING) -> None:
    """Notes that `what` (the name of the element it is written as) of `sheet` changed."""
    dirty = getattr(sheet, "_dirty", None)
    if dirty is not None:
        dirty.add(what)


def mutating(what: str = EVERYTHING) -> Callable[[F], F]:
    """A method of a sheet that changes it: its sheet is marked before the call runs (a call
    that fails part-way counts as a change too)."""
    def decorate(method: F) -> F:
        @functools.wraps(method)
        def wrapper(self: Any, *args: Any, **kwargs: Any) -> Any:
            mark(self, what)
            return method(self, *args, **kwargs)
        return cast(F, wrapper)
    return decorate


def _xml(node: Any) -> bytes | None:
    return None if node is None else ET.tostring(node)


def _links(ws: Any) -> tuple[Any, ...]:
    return tuple(sorted((key, link._fields()) for key, link in getattr(ws, "_links", {}).items()))


def _notes(ws: Any) -> tuple[Any, ...]:
    return tuple(sorted((key, note.text, note.author, note.width, note.height, note._rich is not None)
                        for key, note in getattr(ws, "_notes", {}).items()))


def _outline_levels(ws: Any) -> tuple[int, int]:
    """The deepest outline level of the rows and of the columns."""
    return (max((dims.outline_level for dims in ws.row_dimensions.values()), default=0),
            max((dims.outline_level for dims in ws.column_dimensions.values()), default=0))


def _page(ws: Any, *fields: str) -> tuple[Any, ...]:
    return tuple(getattr(ws.page_setup, name) for name in fields)


def _report_state(ws: Any) -> dict[str, Any]:
    """The report features of a sheet (`model.reporting`), by the element they are written as."""
    return {
        "sheetFormatPr": _outline_levels(ws),
        "sheetProtection": ws.protection._state(),
        "conditionalFormatting": tuple((ref, type(rule).__name__, rule._state())
                                       for ref, rule in ws.conditional_formats),
        "dataValidations": tuple(validation._state() for validation in ws.validations),
        "pageMargins": ws.margins._state(),
        "pageSetup": _page(ws, "orientation", "paper", "scale", "fit_width", "fit_height"),
        "printOptions": _page(ws, "center_horizontally", "center_vertically", "gridlines"),
        "headerFooter": _page(ws, "header", "footer"),
        "drawing": (tuple((type(item).__name__, item._state()) for item in [*ws.images, *ws.charts]),
                    len(ws._kept_anchors), bool(ws._drawing and ws._drawing.get("moved"))),
        "tableParts": tuple(table._state() for table in ws.tables.values()),
    }


def sheet_state(ws: Any) -> dict[str, Any]:
    """What a sheet holds beside its cells, by the element it is written as."""
    props = ws.sheet_properties
    kept = ws._kept
    return {
        **_report_state(ws),
        "sheetPr": (props._tab_set, props.tabColor, tuple(props._summary), ws.page_setup.fit_to_page,
                    _xml(props._element)),
        "sheetViews": _xml(kept.get("sheetViews")),
        "cols": tuple(sorted((dims.min, dims.max, tuple(dims.items())) for dims in ws.column_dimensions.values())),
        CELLS: tuple(sorted((row, tuple(dims.items())) for row, dims in ws.row_dimensions.items())),
        "autoFilter": (ws.auto_filter.ref, id(ws.auto_filter._element)),
        "mergeCells": tuple(ws.merged_cells),
        "hyperlinks": _links(ws),
        "legacyDrawing": _notes(ws),
        "kept": tuple((name, id(node)) for name, node in kept.items() if name != "sheetViews"),
    }


def remember(ws: Any) -> None:
    """Takes the snapshot of a sheet just read, and clears its marks."""
    ws._baseline = sheet_state(ws)
    views = ws._kept.get("sheetViews")
    ws._source_selected = views is not None and any(
        view.get("tabSelected", "").lower() in ("1", "true") for view in views.iter("{%s}sheetView" % MAIN_NS))
    ws._dirty.clear()


def sheet_changes(ws: Any) -> set[str]:
    """The elements of a sheet read from a file that changed since (`EVERYTHING` among them
    when a mark named no element); every element for a sheet that was not read."""
    baseline = getattr(ws, "_baseline", None)
    if baseline is None:
        return {EVERYTHING}
    changed = set(ws._dirty)
    changed.update(name for name, state in sheet_state(ws).items() if baseline.get(name) != state)
    return changed


def _names(names: Any) -> tuple[Any, ...]:
    return tuple((d.name, d.attr_text, tuple(d.attrs.items())) for d in names.values())


def book_state(wb: Any) -> dict[str, Any]:
    """What the workbook part says, by the element it is written as: the sheets in order with
    their titles and states, the active sheet, the defined names of every scope and the date
    system. Sheets are known by the part they were read from (None for a new one)."""
    sheets = wb._sheets
    order = tuple(ws._part for ws in sheets)
    active = wb.active
    return {
        "sheets": tuple((ws._part, ws.title, ws.sheet_state) for ws in sheets),
        "bookViews": (order, next((i for i, ws in enumerate(sheets) if ws is active), None)),
        "definedNames": (order, _names(wb.defined_names), tuple(_names(ws.defined_names) for ws in sheets)),
        "workbookPr": wb.epoch,
        "workbookProtection": wb.protection._state(),
    }
