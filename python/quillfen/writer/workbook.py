"""The workbook part: the list of sheets, the active one, the date system, the defined names
and the calculation settings.

A new workbook's part is made whole (`new_workbook_part`). A workbook read from a file keeps
its part (`kept_workbook_part`): every element it does not interpret (file version, views,
protection, external references, pivot caches, extensions...) and every attribute stay as
they were read, and only the elements whose content changed are made again, in their place.
"""

import copy
import xml.etree.ElementTree as ET
from typing import Any

from ..constants import DOC_REL_NS, MAIN_NS
from ..package.xmlparts import Layout, fragment
from .features import defined_names_element
from .reports import workbook_protection_element
from .xml import element

__all__ = ["SheetEntry", "new_workbook_part", "kept_workbook_part"]

_M = "{%s}" % MAIN_NS
_R_ID = "{%s}id" % DOC_REL_NS
# The children of a workbook in the order its schema gives them.
ORDER = ("fileVersion", "fileSharing", "workbookPr", "workbookProtection", "bookViews", "sheets",
         "functionGroups", "externalReferences", "definedNames", "calcPr", "oleSize", "customWorkbookViews",
         "pivotCaches", "smartTagPr", "smartTagTypes", "webPublishing", "fileRecoveryPr", "webPublishObjects",
         "extLst")
# Programs calculate every formula on opening: formulas written without their results, and the
# results read from a file of formulas whose cells changed, would show otherwise.
_RECALCULATE = "fullCalcOnLoad"


class SheetEntry:
    """A sheet as the workbook part lists it: the sheet, its relationship id and, for a sheet
    read from a file, its `sheet` element as read."""

    __slots__ = ("sheet", "rel_id", "read")

    def __init__(self, sheet: Any, rel_id: str, read: ET.Element | None = None) -> None:
        self.sheet = sheet
        self.rel_id = rel_id
        self.read = read


def _sheet_element(entry: SheetEntry, sheet_id: int) -> ET.Element:
    ws = entry.sheet
    node = copy.deepcopy(entry.read) if entry.read is not None else element(_M + "sheet", {"sheetId": str(sheet_id)})
    node.set("name", ws.title)
    node.attrib.pop("state", None)
    if ws.sheet_state != "visible":
        node.set("state", ws.sheet_state)
    for key in [key for key in node.attrib if key.endswith("}id")]:
        del node.attrib[key]
    node.set(_R_ID, entry.rel_id)
    return node


def _sheets(entries: list[SheetEntry]) -> ET.Element:
    """The `sheets` element; a new sheet takes the next id after those in use."""
    used = [_int(entry.read.get("sheetId")) for entry in entries if entry.read is not None]
    next_id = max([0, *used]) + 1
    children = []
    for entry in entries:
        children.append(_sheet_element(entry, next_id))
        if entry.read is None:
            next_id += 1
    return element(_M + "sheets", None, *children)


def _active_index(wb: Any) -> int:
    return wb.index(wb.active) if wb.active is not None else 0


def new_workbook_part(wb: Any, entries: list[SheetEntry], active: int, sheets: list[Any]) -> ET.Element:
    """The part of a workbook saved as a new one, with these `sheets` (and `active` the
    position of the active one among them)."""
    protection = workbook_protection_element(wb.protection, None)
    return element(
        _M + "workbook", None,
        element(_M + "workbookPr", {"date1904": "1" if wb.date1904 else None}),
        *([protection] if protection is not None else []),
        element(_M + "bookViews", None, element(_M + "workbookView", {"activeTab": str(active) if active else None})),
        _sheets(entries),
        *(names for names in [defined_names_element(wb, sheets)] if names is not None),
        # Formulas are written without their results: programs compute them on opening.
        element(_M + "calcPr", {"calcId": "191029", _RECALCULATE: "1"}))


def kept_workbook_part(wb: Any, layout: Layout, entries: list[SheetEntry], changed: set[str],
                       recalculate: bool) -> bytes:
    """The workbook part read with `layout`, with the elements named in `changed` made again
    ("sheets", "bookViews", "definedNames", "workbookPr", "workbookProtection"), and programs asked to calculate
    on opening when `recalculate`."""
    remade: dict[str, ET.Element | None] = {}
    if "sheets" in changed:
        remade["sheets"] = _sheets(entries)
    if "bookViews" in changed:
        remade["bookViews"] = _views(wb, layout)
    if "definedNames" in changed:
        remade["definedNames"] = _names(wb)
    if "workbookPr" in changed:
        remade["workbookPr"] = _properties(wb, layout)
    if "workbookProtection" in changed:
        read = layout.find(MAIN_NS, "workbookProtection")
        remade["workbookProtection"] = workbook_protection_element(
            wb.protection, layout.element(read) if read is not None else None)
    if recalculate:
        calc = _element(layout, "calcPr")
        calc.set(_RECALCULATE, "1")
        remade["calcPr"] = calc
    prefixes = layout.prefixes
    made = {name: fragment(node, prefixes) if node is not None else None for name, node in remade.items()}
    return layout.assemble(child.data for child in layout.splice(MAIN_NS, made, ORDER))


def _element(layout: Layout, local: str, *path: str) -> ET.Element:
    """The part's `local` element as read, or a new empty one with the children of `path`."""
    child = layout.find(MAIN_NS, local)
    if child is not None:
        return layout.element(child)
    return element(_M + local, None, *(element(_M + name) for name in path))


def _views(wb: Any, layout: Layout) -> ET.Element:
    views = _element(layout, "bookViews", "workbookView")
    view = views.find(_M + "workbookView")
    if view is None:
        view = ET.SubElement(views, _M + "workbookView")
    active = _active_index(wb)
    view.attrib.pop("activeTab", None)
    if active:
        view.set("activeTab", str(active))
    if _int(view.get("firstSheet")) > active:
        view.set("firstSheet", str(active))  # the first tab shown comes no later than the active one
    return views


def _names(wb: Any) -> ET.Element | None:
    names = defined_names_element(wb, wb._sheets)
    unread = getattr(wb, "_unread_names", [])
    if unread:
        names = names if names is not None else element(_M + "definedNames")
        names.extend(copy.deepcopy(node) for node in unread)
    return names


def _properties(wb: Any, layout: Layout) -> ET.Element:
    props = _element(layout, "workbookPr")
    props.attrib.pop("date1904", None)
    if wb.date1904:
        props.set("date1904", "1")
    return props


def _int(text: str | None) -> int:
    try:
        return int(text or "0")
    except ValueError:
        return 0
