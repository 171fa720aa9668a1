"""The package a workbook is saved as (`saving`).

A workbook read from a file is saved from the package it was read from: every part it did not
change is the source's, copied as it is stored; the parts that changed are made again (the
sheets whose cells or features changed, the workbook part when its sheets, names, views or
date system changed, the comments, the styles when formats were added) and the parts that only
a removed sheet used are left out. Everything quillfen does not interpret is kept, so the
save warning names only what truly cannot be: macros saved under a name that cannot hold
them, or what a workbook read in the Strict namespaces loses, since it is saved as a new one.

A new workbook (and a write-only one) is a new package: content types, relationships,
document properties, the workbook part, the sheets with their comments, and the styles.
"""

import datetime
import os
import xml.etree.ElementTree as ET
from collections.abc import Callable
from functools import partial
from typing import IO, Any, cast

from ..constants import (CORE_PROPERTIES_NS, CORE_PROPERTIES_REL, CORE_PROPERTIES_TYPE, DC_NS, DCTERMS_NS,
                         EXTENDED_PROPERTIES_NS, EXTENDED_PROPERTIES_REL, EXTENDED_PROPERTIES_TYPE, MAIN_NS, OFFICE_DOCUMENT,
                         RELS_TYPE, SHARED_STRINGS_REL, SHARED_STRINGS_TYPE, STYLES_REL, STYLES_TYPE, THEME_REL,
                         THEME_TYPE, WORKBOOK_TYPE, WORKSHEET_REL, WORKSHEET_TYPE, XSI_NS)
from ..model.sheets import KINDS
from ..model.tracking import CELLS, EVERYTHING, book_state, sheet_changes
from ..package import Package, rels_part
from ..package.xmlparts import Layout, fragment
from ..utils.etree import tree_key
from .drawings import check_reports
from .features import COMMENTS_TYPE, VML_TYPE, SheetPlan, comments_element, vml_drawing
from .formulas import edit_kept_formulas, edit_titles_of_parts
from .styles import kept_stylesheet, stylesheet_element
from .workbook import SheetEntry, kept_workbook_part, new_workbook_part
from .worksheet import write_kept_worksheet, write_worksheet
from .xml import element, to_bytes

__all__ = ["Saving", "saving", "core_properties"]

WORKBOOK = "xl/workbook.xml"
STYLES = "xl/styles.xml"
THEME = "xl/theme/theme1.xml"
SHARED_STRINGS = "xl/sharedStrings.xml"
CORE = "docProps/core.xml"
APP = "docProps/app.xml"
VBA_REL = "http://schemas.microsoft.com/office/2006/relationships/vbaProject"
# The main part's content type by the extension of the file saved to.
MAIN_TYPES = {
    ".xlsx": WORKBOOK_TYPE,
    ".xlsm": "application/vnd.ms-excel.sheet.macroEnabled.main+xml",
    ".xltx": "application/vnd.openxmlformats-officedocument.spreadsheetml.template.main+xml",
    ".xltm": "application/vnd.ms-excel.template.macroEnabled.main+xml",
}
_NO_MACROS = (".xlsx", ".xltx")
_SHEET_NAME = "xl/worksheets/sheet%d.xml"


class Saving:
    """What a save writes (`package`) and what it cannot keep (`lost`: one text each)."""

    def __init__(self, package: Package, lost: list[str]) -> None:
        self.package = package
        self.lost = lost


def saving(wb: Any, filename: str | None, lxml: bool) -> Saving:
    """The package of `wb` saved as `filename` (None for a file object), and what it loses."""
    extension = os.path.splitext(filename)[1].lower() if filename is not None else None
    for ws in wb.worksheets:
        ws._filter_name_in_step()
    check_reports(wb)
    source = wb._package
    if source is None or wb.write_only or source.strict:
        return _new(wb, extension, lxml, source)
    return _kept(wb, source, extension, lxml)


# ------------------------------------------------------------------ a new package

def _new(wb: Any, extension: str | None, lxml: bool, source: Package | None) -> Saving:
    pkg = Package()
    types = pkg.content_types
    types.set_default("rels", RELS_TYPE)
    types.set_default("xml", "application/xml")
    root, book = pkg.relationships(""), pkg.relationships(WORKBOOK)
    # Parts reserved in the order they are written, filled as they are known.
    pkg.put(rels_part(""), b"")
    pkg.put(CORE, to_bytes(core_properties(wb.core_properties), lxml), content_type=CORE_PROPERTIES_TYPE)
    pkg.put(APP, to_bytes(_app_properties(), lxml), content_type=EXTENDED_PROPERTIES_TYPE)
    pkg.put(WORKBOOK, b"", content_type=MAIN_TYPES.get(extension or "", WORKBOOK_TYPE))
    pkg.put(rels_part(WORKBOOK), b"")
    root.add(OFFICE_DOCUMENT, WORKBOOK)
    root.add(CORE_PROPERTIES_REL, CORE)
    root.add(EXTENDED_PROPERTIES_REL, APP)
    sheets = wb.worksheets
    entries = []
    lost: list[str] = []
    for number, ws in enumerate(sheets, 1):
        name = _SHEET_NAME % number
        entries.append(SheetEntry(ws, book.add(WORKSHEET_REL, name)))
        plan = SheetPlan(ws, number, pkg.relationships(name), pkg)
        write = ws._write_part if wb.write_only else partial(write_worksheet, ws)
        pkg.put(name, writer=_streamed(write, ws is wb.active, lxml, plan), content_type=WORKSHEET_TYPE,
                large=wb.write_only and ws._large())
        if len(plan.rels):
            pkg.put(rels_part(name), b"")
        _put_comments(pkg, plan, lxml)
        lost += ["sheet %r: %s" % (ws.title, what) for what in plan.objects.lost]
    active = next((i for i, ws in enumerate(sheets) if ws is wb.active), 0)
    pkg.put(WORKBOOK, to_bytes(new_workbook_part(wb, entries, active, sheets), lxml))
    book.add(STYLES_REL, STYLES)
    # Last: writing the sheets adds their cells' formats.
    pkg.put(STYLES, maker=lambda: to_bytes(stylesheet_element(wb.stylesheet), lxml), content_type=STYLES_TYPE)
    if source is not None:
        kinds = {rel.kind: rel.target for rel in source.relationships(source.main_part()) if rel.target in source}
        if "theme" in kinds:
            pkg.put(THEME, source.read(kinds["theme"], transitional=False), content_type=THEME_TYPE)
            book.add(THEME_REL, THEME)
        if "sharedStrings" in kinds:
            # Cells not changed since loading are written with their index into it.
            pkg.put(SHARED_STRINGS, source.read(kinds["sharedStrings"]), content_type=SHARED_STRINGS_TYPE)
            book.add(SHARED_STRINGS_REL, SHARED_STRINGS)
        lost = _not_written(wb) + lost
    return Saving(pkg, lost)


def _streamed(write: Callable[..., None], selected: bool, lxml: bool, plan: SheetPlan) -> Callable[[IO[bytes]], None]:
    return lambda out: write(out, selected, lxml, plan)


def _not_written(wb: Any) -> list[str]:
    """What a workbook read from a file loses when it is saved as a new one."""
    found = []
    for ws in wb.worksheets:
        if ws._unsaved:
            found.append("sheet %r: %s" % (ws.title, ", ".join(ws._unsaved)))
    loaded = wb._loaded
    if loaded is not None and loaded.workbook_elements:
        found.append("workbook: %s" % ", ".join(loaded.workbook_elements))
    if loaded is not None and loaded.parts:
        found.append("parts: %s" % ", ".join(loaded.parts))
    return found


def _put_comments(pkg: Package, plan: SheetPlan, lxml: bool) -> None:
    """The comments part of a sheet and the drawing that shows them (parts it no longer has
    go with the relationships that the plan took away)."""
    if plan.comments_part is not None:
        pkg.put(plan.comments_part, to_bytes(comments_element(plan.comments), lxml), content_type=COMMENTS_TYPE)
    if plan.vml_part is None:
        return
    if pkg.content_types.type_of(plan.vml_part) != VML_TYPE:
        pkg.content_types.set_default("vml", VML_TYPE)
    pkg.put(plan.vml_part, vml_drawing(plan), content_type=VML_TYPE)


# ------------------------------------------------------------------ a kept package

def _kept(wb: Any, source: Package, extension: str | None, lxml: bool) -> Saving:
    pkg = source.copy()
    lost: list[str] = []
    main = source.main_part()
    book = pkg.relationships(main)
    layout = Layout.of(source.read(main))
    read = _read_sheets(wb, source, main, layout)
    state, baseline = book_state(wb), wb._baseline
    moved = state["bookViews"] != baseline["bookViews"]  # the active sheet, or the sheets' order
    # Every sheet's dates are serial numbers counted from the epoch.
    epoch = state["workbookPr"] != baseline["workbookPr"]
    entries = []
    recalculate = writing = False
    kept: set[str] = set()
    for number, ws in enumerate(wb._sheets, 1):
        if ws._part is None:
            entry, part = _new_sheet(pkg, book, ws, number, lxml)
            entries.append(entry)
            kept.add(part.lower())
            recalculate = writing = True
            continue
        entries.append(read[ws._part.lower()])
        kept.add(ws._part.lower())
        if ws.kind != "worksheet":
            continue
        changes = sheet_changes(ws)
        if epoch:
            changes.add(CELLS)
        if moved and ws._source_selected != (ws is wb.active):
            changes.add("sheetViews")
        if changes:
            recalculate = recalculate or bool(changes & {CELLS, EVERYTHING})
            writing = True
            _rewrite_sheet(pkg, ws, number, changes, lxml)
    for rel in list(book):
        if rel.kind in KINDS and rel.target.lower() not in kept:
            book.remove(rel.id or "")  # a removed sheet: its parts go with it
    changed = {name for name in ("sheets", "bookViews", "definedNames", "workbookPr", "workbookProtection")
               if state[name] != baseline[name]}
    if recalculate or "sheets" in changed:
        for rel in book.of_kind("calcChain"):  # the formulas it lists may have changed
            book.remove(rel.id or "")
    if changed or recalculate:
        pkg.put(main, kept_workbook_part(wb, layout, entries, changed, recalculate))
    lost += _macros(pkg, book, main, extension)
    edit_kept_formulas(pkg, wb._formula_edits)
    _put_styles(wb, pkg, book, writing, lxml)
    _put_core_properties(wb, pkg, lxml)
    _put_titles_of_parts(pkg, _renamed_sheets(baseline["sheets"], state["sheets"]))
    if pkg.rels_changed():
        pkg.drop_unreachable()
    return Saving(pkg, lost)


def _read_sheets(wb: Any, source: Package, main: str, layout: Layout) -> dict[str, SheetEntry]:
    """Part name (lower case) -> the entry of each sheet read, with its `sheet` element."""
    rels = source.relationships(main)
    elements: dict[str, tuple[str | None, ET.Element | None]] = {}
    child = layout.find(MAIN_NS, "sheets")
    for node in layout.element(child) if child is not None else ():
        rel = rels.get(next((value for key, value in node.attrib.items() if key.endswith("}id")), None))
        if rel is not None:
            elements.setdefault(rel.target.lower(), (rel.id, node))
    found = {}
    for ws in wb._sheets:
        if ws._part is not None:
            rel_id, listed = elements.get(ws._part.lower(), (None, None))
            if rel_id is None:  # not listed as the reader found it: listed anew
                rel_id = next(rel.id for rel in rels if rel.target.lower() == ws._part.lower())
            found[ws._part.lower()] = SheetEntry(ws, cast(str, rel_id), listed)
    return found


def _new_sheet(pkg: Package, book: Any, ws: Any, number: int, lxml: bool) -> tuple[SheetEntry, str]:
    """A sheet made since reading: a new part, related from the workbook part."""
    name = pkg.free_name(_SHEET_NAME)
    rel_id = book.add(WORKSHEET_REL, name)
    plan = SheetPlan(ws, number, pkg.relationships(name), pkg)
    pkg.put(name, writer=_streamed(partial(write_worksheet, ws), ws is ws.parent.active, lxml, plan),
            content_type=WORKSHEET_TYPE)
    _put_comments(pkg, plan, lxml)
    return SheetEntry(ws, rel_id), name


def _rewrite_sheet(pkg: Package, ws: Any, number: int, changes: set[str], lxml: bool) -> None:
    """Puts the part of a sheet read from a file that changed, with its comments."""
    rels = pkg.relationships(ws._part)
    plan = SheetPlan(ws, number, rels, pkg, links=bool(changes & {"hyperlinks", EVERYTHING}),
                     comments="legacyDrawing" in changes, drawing=bool(changes & {"drawing", EVERYTHING}),
                     tables=bool(changes & {"tableParts", EVERYTHING}))
    layout = ws._source.layout()
    pkg.put(ws._part, writer=lambda out: write_kept_worksheet(ws, out, layout, changes, ws is ws.parent.active,
                                                              lxml, plan))
    _put_comments(pkg, plan, lxml)


def _macros(pkg: Package, book: Any, main: str, extension: str | None) -> list[str]:
    """The main part's content type follows the name saved to; a name that cannot hold
    macros loses them."""
    lost = []
    if extension in _NO_MACROS:
        for rel in book:
            if rel.type == VBA_REL:
                book.remove(rel.id or "")
                lost.append("the macros (%s): a %s file cannot hold them; save as %s to keep them"
                            % (rel.target, extension, ".xltm" if extension == ".xltx" else ".xlsm"))
    if extension in MAIN_TYPES:
        pkg.content_types.set(main, MAIN_TYPES[extension])
    return lost


def _put_styles(wb: Any, pkg: Package, book: Any, writing: bool, lxml: bool) -> None:
    """The styles part is kept unless formats were added to it (then they are appended to it,
    every format it had keeping its place): it is decided once the sheets are written. A
    package without one gets one when sheets are `writing`."""
    styles = next((rel.target for rel in book.of_kind("styles") if rel.target in pkg), None)
    if styles is None:
        if not writing:
            return
        styles = STYLES if STYLES not in pkg else pkg.free_name("xl/styles%d.xml")
        book.add(STYLES_REL, styles)
        pkg.put(styles, maker=lambda: to_bytes(stylesheet_element(wb.stylesheet), lxml), content_type=STYLES_TYPE)
        return
    source = pkg.read(styles)
    pkg.put(styles, maker=lambda: kept_stylesheet(wb.stylesheet, wb._styles_baseline, source, lxml))


def _package_part(pkg: Package, *kinds: str) -> str | None:
    """The part in `pkg` that a package relationship of one of `kinds` names, if any."""
    return next((rel.target for rel in pkg.relationships("") if rel.kind in kinds
                 and not rel.external and rel.target in pkg), None)


def _put_core_properties(wb: Any, pkg: Package, lxml: bool) -> None:
    """The document properties: those read, with the time of modification now."""
    core = _package_part(pkg, "core-properties")
    if core is None:
        return
    if [tree_key(node) for node in wb.core_properties] != wb._core_baseline:
        pkg.put(core, to_bytes(core_properties(wb.core_properties), lxml))
        return
    try:
        layout = Layout.of(pkg.read(core))
    except (ET.ParseError, ValueError, SyntaxError):
        return  # a part not read is kept as it is
    modified = fragment(_modified(), layout.prefixes)
    pkg.put(core, layout.assemble(child.data for child in layout.splice(DCTERMS_NS, {"modified": modified},
                                                                       ("modified",))))


def _renamed_sheets(before: tuple[Any, ...], now: tuple[Any, ...]) -> dict[str, str]:
    """Old title -> new title of the sheets read from the file that were renamed since."""
    titles = {part: title for part, title, _state in before if part is not None}
    return {titles[part]: title for part, title, _state in now if part in titles and titles[part] != title}


def _put_titles_of_parts(pkg: Package, renamed: dict[str, str]) -> None:
    """The application properties name the sheets renamed by their new titles."""
    app = _package_part(pkg, "extended-properties", "extendedProperties") if renamed else None
    if app is not None:
        edit_titles_of_parts(pkg, app, renamed)


# ------------------------------------------------------------------ document properties

def _modified(now: datetime.datetime | None = None) -> ET.Element:
    moment = now or datetime.datetime.now(datetime.timezone.utc)
    return element("{%s}modified" % DCTERMS_NS, {"{%s}type" % XSI_NS: "dcterms:W3CDTF"},
                   text=moment.strftime("%Y-%m-%dT%H:%M:%SZ"))


def core_properties(kept: list[ET.Element], now: datetime.datetime | None = None) -> ET.Element:
    """The document properties: those read from the file, else who made it and when; the time
    of modification is now."""
    modified = _modified(now)
    children = [child for child in kept if child.tag != modified.tag]
    if not kept:
        created = _modified(now)
        created.tag = "{%s}created" % DCTERMS_NS
        children = [element("{%s}creator" % DC_NS, text="quillfen"), created]
    return element("{%s}coreProperties" % CORE_PROPERTIES_NS, None, *children, modified)


def _app_properties() -> ET.Element:
    return element("{%s}Properties" % EXTENDED_PROPERTIES_NS, None,
                   element("{%s}Application" % EXTENDED_PROPERTIES_NS, text="quillfen"))
