"""Writing the report features a worksheet part holds in its own elements: conditional formats
(their formats added to the stylesheet's differential formats), data validations, protection,
page setup, margins, and the outline's settings in `sheetPr` and `sheetFormatPr`.

An object read from a file is written from the element it was read from: as it was while it
is unchanged, else with the fields that changed written over it, so that what the model does
not hold of it (other attributes, extensions) stays.
"""

import copy as _copy
import xml.etree.ElementTree as ET
from collections.abc import Callable
from typing import Any

from ..constants import MAIN_NS
from ..model.formatting import (CellRule, ColorScale, DataBar, DuplicateRule, FormattedRule, FormulaRule, IconSet,
                                KeptRule, Rule, TopRule, value_text)
from ..model.objects import number_text
from ..model.protection import SHEET_PERMISSIONS, PasswordHash
from ..model.styles import _color_attrs
from ..model.validation import VALIDATION_KINDS
from .xml import element

__all__ = ["report_elements", "sheet_pr_outline", "sheet_format_outline", "dxf_element",
           "workbook_protection_element"]

_M = "{%s}" % MAIN_NS
Copy = Callable[[ET.Element], ET.Element]


def _flag(value: bool) -> str | None:
    return "1" if value else None


def _set(node: ET.Element, attrs: dict[str, str | None]) -> ET.Element:
    for name, value in attrs.items():
        if value is None:
            node.attrib.pop(name, None)
        else:
            node.set(name, value)
    return node


def _start(source: Any, tag: str, copy: Copy) -> ET.Element:
    """A copy of the element an object was read from, or a new one."""
    return copy(source) if isinstance(source, ET.Element) else ET.Element(_M + tag)


# ------------------------------------------------------------------ conditional formats

def dxf_element(rule: FormattedRule, stylesheet: Any) -> ET.Element:
    """The differential format of a rule. A solid fill takes its colour as the background
    colour, as spreadsheet programs write it there."""
    children = []
    if rule.font is not None:
        children.append(rule.font._element())
    if rule.number_format is not None:
        children.append(element(_M + "numFmt", {"numFmtId": str(stylesheet.number_format_id(rule.number_format)),
                                                "formatCode": rule.number_format}))
    fill = rule.fill
    if fill is not None:
        if fill.fill_type == "solid" and fill.fgColor is not None:
            pattern = element(_M + "patternFill", None, element(_M + "bgColor", _color_attrs(fill.fgColor)))
            children.append(element(_M + "fill", None, pattern))
        else:
            children.append(fill._element())
    if rule.border is not None:
        children.append(rule.border._element())
    return element(_M + "dxf", None, *children)


def _thresholds(points: list[tuple[str, Any]]) -> list[ET.Element]:
    return [element(_M + "cfvo", {"type": kind, "val": value_text(value)
                                  if kind not in ("min", "max") or value is not None else None})
            for kind, value in points]


def _color(rgb: str) -> ET.Element:
    return element(_M + "color", {"rgb": rgb})


def _rule_element(rule: Rule, priority: int, stylesheet: Any, copy: Copy) -> ET.Element:
    source = getattr(rule, "_source", None)
    if source is not None and (rule._untouched or isinstance(rule, KeptRule)):
        node = copy(source)
        node.set("priority", str(priority))
        return node
    attrs: dict[str, str | None] = {"type": None, "dxfId": None, "priority": str(priority),
                                    "stopIfTrue": _flag(rule.stop)}
    children: list[ET.Element] = []
    if isinstance(rule, FormattedRule):
        if any(getattr(rule, name) is not None for name in FormattedRule._FORMAT):
            attrs["dxfId"] = str(stylesheet.differential.add(dxf_element(rule, stylesheet)))
        if isinstance(rule, CellRule):
            attrs.update(type="cellIs", operator=rule.operator)
            children = [element(_M + "formula", text=value_text(value)) for value in (rule.value, rule.value2)
                        if value is not None]
        elif isinstance(rule, FormulaRule):
            attrs["type"] = "expression"
            children = [element(_M + "formula", text=rule.formula)]
        elif isinstance(rule, TopRule):
            attrs.update(type="top10", rank=str(rule.n), percent=_flag(rule.percent), bottom=_flag(rule.bottom))
        elif isinstance(rule, DuplicateRule):
            attrs["type"] = "uniqueValues" if rule.unique else "duplicateValues"
    elif isinstance(rule, ColorScale):
        attrs["type"] = "colorScale"
        points = rule.thresholds()
        children = [element(_M + "colorScale", None, *_thresholds([(kind, value) for kind, value, _c in points]),
                            *(_color(color) for _k, _v, color in points))]
    elif isinstance(rule, DataBar):
        attrs["type"] = "dataBar"
        children = [element(_M + "dataBar", {"showValue": None if rule.show_value else "0"},
                            *_thresholds([(rule.min_type, rule.min_value), (rule.max_type, rule.max_value)]),
                            _color(rule.color))]
    elif isinstance(rule, IconSet):
        attrs["type"] = "iconSet"
        children = [element(_M + "iconSet", {"iconSet": rule.name, "showValue": None if rule.show_value else "0",
                                             "reverse": _flag(rule.reverse)},
                            *_thresholds([(rule.type, value) for value in rule.thresholds()]))]
    # A rule read from a file keeps the attributes and extensions it was read with.
    node = _start(source, "cfRule", copy)
    for child in [child for child in node if child.tag != _M + "extLst"]:
        node.remove(child)
    for index, child in enumerate(children):
        node.insert(index, child)
    for name in ("operator", "rank", "percent", "bottom", "text", "timePeriod", "aboveAverage", "equalAverage",
                 "stdDev"):
        node.attrib.pop(name, None)
    return _set(node, attrs)


def _conditional_formats(ws: Any, copy: Copy) -> list[ET.Element]:
    """One `conditionalFormatting` element for each run of rules with the same range, their
    priorities in the order of the sheet's list; those kept as read (naming no cells) after."""
    stylesheet = ws.parent.stylesheet
    found: list[ET.Element] = []
    last = None
    for priority, (ref, rule) in enumerate(ws.conditional_formats, 1):
        if last is None or last.get("sqref") != ref:
            last = element(_M + "conditionalFormatting", {"sqref": ref})
            found.append(last)
        last.append(_rule_element(rule, priority, stylesheet, copy))
    return found + [copy(node) for node in ws._kept.get("conditionalFormatting", [])]


# ------------------------------------------------------------------ data validations

def _validation_element(validation: Any, epoch: Any, copy: Copy) -> ET.Element:
    source = getattr(validation, "_source", None)
    if source is not None and validation._untouched:
        return copy(source)
    operator, first, second = validation.rule(epoch)
    node = _start(source, "dataValidation", copy)
    for child in list(node):
        node.remove(child)
    node.extend(element(_M + tag, text=text) for tag, text in (("formula1", first), ("formula2", second))
                if text is not None)
    shown = {} if source is not None else {"showInputMessage": "1", "showErrorMessage": "1"}
    kind = VALIDATION_KINDS[validation.kind]
    return _set(node, {"type": None if kind == "none" else kind,
                       "errorStyle": None if validation.error_style == "stop" else validation.error_style,
                       "operator": None if operator in (None, "between") else operator,
                       "allowBlank": _flag(validation.allow_blank), **shown,
                       "errorTitle": validation.error_title, "error": validation.error,
                       "promptTitle": validation.prompt_title, "prompt": validation.prompt,
                       "sqref": validation.ref})


def _validations(ws: Any, copy: Copy) -> ET.Element | None:
    kept = ws._kept.get("dataValidations")
    items = [_validation_element(v, ws.parent.epoch, copy) for v in ws.validations]
    if kept is not None:
        items = [copy(node) for node in kept] + items
    if not items:
        return None
    node = _start(kept, "dataValidations", lambda n: ET.Element(n.tag, n.attrib))
    node.extend(items)
    return _set(node, {"count": str(len(items))})


# ------------------------------------------------------------------ protection

def _password_attrs(password: PasswordHash | None, prefix: str = "") -> dict[str, str | None]:
    def name(base: str) -> str:
        return prefix + base[0].upper() + base[1:] if prefix else base
    found = password or PasswordHash()
    return {name("algorithmName"): found.algorithm, name("hashValue"): found.hash, name("saltValue"): found.salt,
            name("spinCount"): None if found.spin_count is None else str(found.spin_count),
            ("workbookPassword" if prefix else "password"): found.legacy}


def _protection(ws: Any, copy: Copy) -> ET.Element | None:
    protection = ws.protection
    if not protection.enabled:
        return None
    source = getattr(protection, "_source", None)
    node = _start(source, "sheetProtection", copy)
    attrs: dict[str, str | None] = {"sheet": "1"}
    if protection._changed("password"):
        attrs.update(_password_attrs(protection.password))
    for name, (attr, locked) in SHEET_PERMISSIONS.items():
        if protection._changed(name):
            forbidden = not getattr(protection, name)
            attrs[attr] = None if forbidden == locked else "1" if forbidden else "0"
    return _set(node, attrs)


def workbook_protection_element(protection: Any, source: ET.Element | None) -> ET.Element | None:
    """The workbook's `workbookProtection` element, from the one read (`source`) if any."""
    if not protection.enabled and protection.password is None:
        return None
    node = ET.Element(_M + "workbookProtection") if source is None else _copy.deepcopy(source)
    attrs: dict[str, str | None] = {"lockStructure": _flag(protection.structure),
                                    "lockWindows": _flag(protection.windows)}
    if protection._changed("password"):
        attrs.update(_password_attrs(protection.password, "workbook"))
    return _set(node, attrs)


# ------------------------------------------------------------------ printing

# The page setup's fields by the element and attribute they are written as.
_PAGE = {"pageSetup": (("paper", "paperSize"), ("scale", "scale"), ("fit_width", "fitToWidth"),
                       ("fit_height", "fitToHeight"), ("orientation", "orientation")),
         "printOptions": (("center_horizontally", "horizontalCentered"), ("center_vertically", "verticalCentered"),
                          ("gridlines", "gridLines"))}


def _attr_text(value: Any) -> str | None:
    if value is None or value is False:
        return None
    return "1" if value is True else str(value)


def _page_element(ws: Any, local: str, copy: Copy) -> ET.Element | None:
    setup = ws.page_setup
    sources = getattr(setup, "_source", None) or {}
    source = sources.get(local)
    node = _start(source, local, copy)
    attrs: dict[str, str | None] = {}
    for name, attr in _PAGE[local]:
        if setup._changed(name):
            attrs[attr] = _attr_text(getattr(setup, name))
    _set(node, attrs)
    return node if node.attrib or len(node) or source is not None else None


def _header_footer(ws: Any, copy: Copy) -> ET.Element | None:
    setup = ws.page_setup
    source = (getattr(setup, "_source", None) or {}).get("headerFooter")
    node = _start(source, "headerFooter", copy)
    for name, tag in (("header", "oddHeader"), ("footer", "oddFooter")):
        if not setup._changed(name):
            continue
        for child in node.findall(_M + tag):
            node.remove(child)
        text = getattr(setup, name)
        if text is not None:
            order = ("oddHeader", "oddFooter", "evenHeader", "evenFooter", "firstHeader", "firstFooter")
            at = sum(1 for child in node if child.tag[len(_M):] in order[:order.index(tag)])
            node.insert(at, element(_M + tag, text=text))
    return node if len(node) or source is not None else None


def _margins(ws: Any, copy: Copy) -> ET.Element:
    margins = ws.margins
    node = _start(getattr(margins, "_source", None), "pageMargins", copy)
    return _set(node, {name: number_text(getattr(margins, name)) for name in margins._FIELDS
                       if margins._changed(name)})


# ------------------------------------------------------------------ outlines

def sheet_pr_outline(ws: Any, node: ET.Element) -> None:
    """Writes the outline's summary settings and the page's fitting into a `sheetPr` copy."""
    props = ws.sheet_properties
    if list(props._summary) != list(props._summary_read):
        outline = node.find(_M + "outlinePr")
        if outline is None:
            outline = ET.Element(_M + "outlinePr")
            node.insert(len([c for c in node if c.tag == _M + "tabColor"]), outline)
        _set(outline, {"summaryBelow": None if props.summary_below else "0",
                       "summaryRight": None if props.summary_right else "0"})
    page = node.find(_M + "pageSetUpPr")
    fitted = page is not None and page.get("fitToPage", "").lower() in ("1", "true")
    if fitted != ws.page_setup.fit_to_page:
        if page is None:
            page = ET.SubElement(node, _M + "pageSetUpPr")
        _set(page, {"fitToPage": _flag(ws.page_setup.fit_to_page)})


def sheet_format_outline(ws: Any, node: ET.Element) -> ET.Element:
    """A `sheetFormatPr` copy with the outline's deepest levels."""
    rows = max((dims.outline_level for dims in ws.row_dimensions.values()), default=0)
    columns = max((dims.outline_level for dims in ws.column_dimensions.values()), default=0)
    for attr, level in (("outlineLevelRow", rows), ("outlineLevelCol", columns)):
        try:
            read = int(node.get(attr, "0"))
        except ValueError:
            read = -1
        if read != level:
            _set(node, {attr: str(level) if level else None})
    return node


# ------------------------------------------------------------------ all of them

def report_elements(ws: Any, copy: Copy) -> dict[str, ET.Element | list[ET.Element] | None]:
    """The report elements of the sheet by local name (None: none; conditional formats: a
    list of elements)."""
    return {
        "sheetProtection": _protection(ws, copy),
        "conditionalFormatting": _conditional_formats(ws, copy),
        "dataValidations": _validations(ws, copy),
        "printOptions": _page_element(ws, "printOptions", copy),
        "pageMargins": _margins(ws, copy),
        "pageSetup": _page_element(ws, "pageSetup", copy),
        "headerFooter": _header_footer(ws, copy),
    }

