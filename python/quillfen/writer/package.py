"""The parts of a package besides the sheets and styles: content types, relationships, document
properties and the workbook part, as element trees (`writer.xml` serialises them)."""

import datetime
import xml.etree.ElementTree as ET
from collections.abc import Iterable, Sequence
from typing import Any

from ..constants import (CONTENT_TYPES_NS, CORE_PROPERTIES_NS, CORE_PROPERTIES_REL, CORE_PROPERTIES_TYPE,
                         DC_NS, DCTERMS_NS, DOC_REL_NS, EXTENDED_PROPERTIES_NS, EXTENDED_PROPERTIES_REL,
                         EXTENDED_PROPERTIES_TYPE, MAIN_NS, OFFICE_DOCUMENT, REL_NS, RELS_TYPE,
                         SHARED_STRINGS_REL, SHARED_STRINGS_TYPE, STYLES_REL, STYLES_TYPE, THEME_REL, THEME_TYPE,
                         WORKBOOK_TYPE, WORKSHEET_REL, WORKSHEET_TYPE, XSI_NS)
from .features import COMMENTS_TYPE, VML_TYPE, defined_names_element
from .xml import element

_M = "{%s}" % MAIN_NS
WORKBOOK = "xl/workbook.xml"
STYLES = "xl/styles.xml"
THEME = "xl/theme/theme1.xml"
SHARED_STRINGS = "xl/sharedStrings.xml"
CORE = "docProps/core.xml"
APP = "docProps/app.xml"


def sheet_part(number: int) -> str:
    return "xl/worksheets/sheet%d.xml" % number


def rels_part(part: str) -> str:
    """The relationships part of `part` ("" for the package)."""
    folder, _, name = part.rpartition("/")
    return "%s_rels/%s.rels" % (folder + "/" if folder else "", name)


def content_types(sheet_count: int, theme: bool, comments_parts: Iterable[str] = (),
                  shared_strings: bool = False) -> ET.Element:
    """The content types of the package; `comments_parts` are the sheets' comments parts,
    each with its drawing (a .vml part)."""
    ns = "{%s}" % CONTENT_TYPES_NS
    overrides = [(WORKBOOK, WORKBOOK_TYPE)]
    overrides += [(sheet_part(n), WORKSHEET_TYPE) for n in range(1, sheet_count + 1)]
    overrides.append((STYLES, STYLES_TYPE))
    if theme:
        overrides.append((THEME, THEME_TYPE))
    if shared_strings:
        overrides.append((SHARED_STRINGS, SHARED_STRINGS_TYPE))
    overrides += [(part, COMMENTS_TYPE) for part in comments_parts]
    overrides += [(CORE, CORE_PROPERTIES_TYPE), (APP, EXTENDED_PROPERTIES_TYPE)]
    defaults = [("rels", RELS_TYPE), ("xml", "application/xml")]
    if comments_parts:
        defaults.append(("vml", VML_TYPE))
    return element(ns + "Types", None,
                   *(element(ns + "Default", {"Extension": extension, "ContentType": kind})
                     for extension, kind in defaults),
                   *(element(ns + "Override", {"PartName": "/" + part, "ContentType": kind})
                     for part, kind in overrides))


def relationships(targets: Sequence[tuple[str, ...]]) -> ET.Element:
    """A relationships part for [(type, target relative to the source's folder)]."""
    ns = "{%s}" % REL_NS
    return element(ns + "Relationships", None, *(
        element(ns + "Relationship", {"Id": "rId%d" % n, "Type": kind, "Target": target})
        for n, (kind, target) in enumerate(targets, 1)))


def package_relationships() -> ET.Element:
    return relationships([(OFFICE_DOCUMENT, WORKBOOK), (CORE_PROPERTIES_REL, CORE),
                          (EXTENDED_PROPERTIES_REL, APP)])


def workbook_relationships(sheet_count: int, theme: bool, shared_strings: bool = False) -> ET.Element:
    """rId1 to rIdN are the sheets, in order; then styles, theme and shared strings."""
    targets = [(WORKSHEET_REL, "worksheets/sheet%d.xml" % n) for n in range(1, sheet_count + 1)]
    targets.append((STYLES_REL, "styles.xml"))
    if theme:
        targets.append((THEME_REL, "theme/theme1.xml"))
    if shared_strings:
        targets.append((SHARED_STRINGS_REL, "sharedStrings.xml"))
    return relationships(targets)


def workbook_part(wb: Any) -> ET.Element:
    sheets = wb.worksheets
    active = wb.index(wb.active)
    r_id = "{%s}id" % DOC_REL_NS
    return element(
        _M + "workbook", None,
        element(_M + "workbookPr", {"date1904": "1" if wb.date1904 else None}),
        element(_M + "bookViews", None, element(_M + "workbookView", {"activeTab": str(active) if active else None})),
        element(_M + "sheets", None, *(
            element(_M + "sheet", {"name": ws.title, "sheetId": str(n),
                                   "state": ws.sheet_state if ws.sheet_state != "visible" else None,
                                   r_id: "rId%d" % n})
            for n, ws in enumerate(sheets, 1))),
        *(names for names in [defined_names_element(wb)] if names is not None),
        # Formulas keep the results they were read with until changed; programs compute them
        # all again on opening.
        element(_M + "calcPr", {"calcId": "191029", "fullCalcOnLoad": "1"}))


def _w3c_time(moment: datetime.datetime) -> ET.Element:
    return element("{%s}modified" % DCTERMS_NS, {"{%s}type" % XSI_NS: "dcterms:W3CDTF"},
                   text=moment.strftime("%Y-%m-%dT%H:%M:%SZ"))


def core_properties(kept: list[ET.Element], now: datetime.datetime | None = None) -> ET.Element:
    """The document properties: those read from the file, else who made it and when; the time
    of modification is now."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    modified_tag = "{%s}modified" % DCTERMS_NS
    children = [child for child in kept if child.tag != modified_tag]
    if not kept:
        created = _w3c_time(now)
        created.tag = "{%s}created" % DCTERMS_NS
        children = [element("{%s}creator" % DC_NS, text="quillfen"), created]
    return element("{%s}coreProperties" % CORE_PROPERTIES_NS, None, *children, _w3c_time(now))


def app_properties() -> ET.Element:
    return element("{%s}Properties" % EXTENDED_PROPERTIES_NS, None,
                   element("{%s}Application" % EXTENDED_PROPERTIES_NS, text="quillfen"))
