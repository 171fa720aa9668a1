"""Reading the report features a worksheet part holds in its own elements: conditional formats
(with their differential formats), data validations, protection, page setup and margins.

Each object keeps the element it was read from: the writer writes it as it was while it stays
the same, and keeps what the model does not hold of it when it changes. A rule or validation
that the model cannot hold is kept whole (`KeptRule`), or left as an element of the sheet.
"""

import bisect
import datetime
import xml.etree.ElementTree as ET
from typing import Any

from ..constants import MAIN_NS
from ..model.formatting import (CellRule, ColorScale, ConditionalFormat, DataBar, DuplicateRule, FormulaRule,
                                IconSet, KeptRule, Rule, TopRule)
from ..model.objects import parse_number, sqref_bounds, range_text
from ..model.printing import PageMargins
from ..model.protection import SHEET_PERMISSIONS, PasswordHash, SheetProtection, WorkbookProtection
from ..model.styles import Border, Font, PatternFill, Stylesheet, _read_color
from ..model.validation import VALIDATION_KINDS, DataValidation
from ..utils.datetime import from_excel

__all__ = ["REPORT_ELEMENTS", "read_report_element", "read_conditional_formats", "read_validations",
           "read_protection", "read_workbook_protection", "read_page_element", "read_margins", "read_dxf",
           "formula_value"]

_M = "{%s}" % MAIN_NS
_TRUE = ("1", "true")
_KINDS = {name: kind for kind, name in VALIDATION_KINDS.items()}
# The page setup's fields, by the element and attribute that hold them.
_PAGE_ATTRS = {"pageSetup": (("orientation", "orientation"), ("paper", "paperSize"), ("scale", "scale"),
                             ("fit_width", "fitToWidth"), ("fit_height", "fitToHeight")),
               "printOptions": (("center_horizontally", "horizontalCentered"),
                                ("center_vertically", "verticalCentered"), ("gridlines", "gridLines"))}


def _flag(element: ET.Element, name: str, default: bool = False) -> bool:
    value = element.get(name)
    return default if value is None else value.lower() in _TRUE


def formula_value(text: str | None) -> int | float | str | None:
    """A rule's value as read: a number when the formula is one, else the formula."""
    if text is None:
        return None
    number = parse_number(text.strip())
    return number if number is not None else text


def _sqref(text: str | None) -> str | None:
    try:
        return " ".join(range_text(*bounds) for bounds in sqref_bounds(text or ""))
    except (TypeError, ValueError):
        return None


# ------------------------------------------------------------------ differential formats

def read_dxf(dxf: ET.Element | None) -> dict[str, Any]:
    """The font, fill, border and number format of a differential format, as a rule takes
    them. A solid fill is written with its colour as the background colour there."""
    found: dict[str, Any] = {}
    if dxf is None:
        return found
    font, fill, border, num_fmt = (dxf.find(_M + tag) for tag in ("font", "fill", "border", "numFmt"))
    if font is not None:
        found["font"] = Font._read(font)
    pattern = fill.find(_M + "patternFill") if fill is not None else None
    if pattern is not None:
        kind = pattern.get("patternType")
        if kind in (None, "solid"):
            color = _read_color(pattern.find(_M + "bgColor")) or _read_color(pattern.find(_M + "fgColor"))
            found["fill"] = PatternFill("solid", fgColor=color)
        else:
            found["fill"] = PatternFill._read(pattern)
    if border is not None:
        found["border"] = Border._read(border)
    if num_fmt is not None and num_fmt.get("formatCode") is not None:
        found["number_format"] = num_fmt.get("formatCode")
    return found


# ------------------------------------------------------------------ conditional formats

def _thresholds(parent: ET.Element) -> list[tuple[str, int | float | str | None]]:
    return [(cfvo.get("type", ""), formula_value(cfvo.get("val"))) for cfvo in parent.findall(_M + "cfvo")]


def _colors(parent: ET.Element) -> list[str]:
    colors = []
    for node in parent.findall(_M + "color"):
        color = _read_color(node)
        if not isinstance(color, str):
            raise ValueError("a colour the model does not hold")  # a theme colour: the rule is kept
        colors.append(color)
    return colors


def _scale(rule: ET.Element) -> ColorScale:
    scale = rule.find(_M + "colorScale")
    if scale is None:
        raise ValueError("no colour scale")
    points, colors = _thresholds(scale), _colors(scale)
    if len(points) != len(colors) or len(points) not in (2, 3):
        raise ValueError("a scale of %d points" % len(points))
    middle = points[1] if len(points) == 3 else ("percentile", 50)
    return ColorScale(colors[0], colors[-1], colors[1] if len(colors) == 3 else None,
                      start_type=points[0][0], start_value=points[0][1], mid_type=middle[0],
                      mid_value=middle[1], end_type=points[-1][0], end_value=points[-1][1])


def _bar(rule: ET.Element) -> DataBar:
    bar = rule.find(_M + "dataBar")
    if bar is None:
        raise ValueError("no data bar")
    points, colors = _thresholds(bar), _colors(bar)
    if len(points) != 2 or len(colors) != 1:
        raise ValueError("a data bar of %d thresholds" % len(points))
    return DataBar(colors[0], min_type=points[0][0], min_value=points[0][1], max_type=points[1][0],
                   max_value=points[1][1], show_value=_flag(bar, "showValue", True))


def _icons(rule: ET.Element) -> IconSet:
    icons = rule.find(_M + "iconSet")
    if icons is None:
        raise ValueError("no icon set")
    points = _thresholds(icons)
    types = {kind for kind, _value in points}
    if len(types) != 1 or any(cfvo.get("gte") not in (None, "1", "true") for cfvo in icons.findall(_M + "cfvo")):
        raise ValueError("thresholds of several types")
    found = IconSet(icons.get("iconSet", "3TrafficLights1"), type=types.pop(), reverse=_flag(icons, "reverse"),
                    show_value=_flag(icons, "showValue", True))
    values = [value for _kind, value in points]
    if values != found.thresholds():
        found.values = values
    found.check()
    return found


def _rule(node: ET.Element, stylesheet: Stylesheet) -> Rule:
    """The rule of a `cfRule` element: a KeptRule when the model cannot hold it."""
    kind = node.get("type", "")
    formulas = [formula.text or "" for formula in node.findall(_M + "formula")]
    try:
        dxf_id = int(node.get("dxfId", "-1"))
    except ValueError:
        dxf_id = -1
    style = read_dxf(stylesheet.differential[dxf_id] if 0 <= dxf_id < len(stylesheet.differential) else None)
    stop = _flag(node, "stopIfTrue")
    rule: Rule
    try:
        if kind == "cellIs" and formulas:
            rule = CellRule(node.get("operator", ""), formula_value(formulas[0]),
                            formula_value(formulas[1]) if len(formulas) > 1 else None, stop=stop, **style)
            rule.check()
        elif kind == "expression" and formulas:
            rule = FormulaRule(formulas[0], stop=stop, **style)
        elif kind == "top10":
            rule = TopRule(int(node.get("rank", "10")), _flag(node, "percent"), _flag(node, "bottom"), stop=stop,
                           **style)
            rule.check()
        elif kind in ("duplicateValues", "uniqueValues"):
            rule = DuplicateRule(kind == "uniqueValues", stop=stop, **style)
        elif kind in ("colorScale", "dataBar", "iconSet"):
            rule = {"colorScale": _scale, "dataBar": _bar, "iconSet": _icons}[kind](node)
            rule.stop = stop
        else:
            raise ValueError(kind)
    except (TypeError, ValueError):
        rule = KeptRule(kind, stop)
    rule._keep(node)
    return rule


def read_conditional_formats(element: ET.Element, stylesheet: Stylesheet) -> list[tuple[int, ConditionalFormat]]:
    """(priority, (ref, rule)) of each rule of a `conditionalFormatting` element; none when its
    range names no cells (the element is then kept as it was read)."""
    ref = _sqref(element.get("sqref"))
    if ref is None:
        return []
    found = []
    for node in element.findall(_M + "cfRule"):
        try:
            priority = int(node.get("priority", ""))
        except ValueError:
            priority = 1 << 30
        found.append((priority, ConditionalFormat(ref, _rule(node, stylesheet))))
    return found


# ------------------------------------------------------------------ data validations

def _bound(text: str | None, kind: str, epoch: datetime.datetime) -> Any:
    value = formula_value(text)
    if isinstance(value, (int, float)) and kind in ("date", "time"):
        try:
            moment = from_excel(value, epoch)
        except (OverflowError, ValueError):
            return value
        if kind == "time" and isinstance(moment, datetime.datetime) and value < 1:
            return moment.time()
        if kind == "date" and isinstance(moment, datetime.datetime) and moment.time() == datetime.time():
            return moment.date()
        return moment
    return value


def _text(node: ET.Element, tag: str) -> str | None:
    child = node.find(_M + tag)
    return None if child is None else child.text or ""


def _validation(node: ET.Element, epoch: datetime.datetime) -> DataValidation:
    kind = _KINDS[node.get("type", "none")]
    first, second = _text(node, "formula1"), _text(node, "formula2")
    fields: dict[str, Any] = {}
    if kind == "list" and first is not None:
        if len(first) > 1 and first.startswith('"') and first.endswith('"'):
            fields["values"] = first[1:-1].replace('""', '"').split(",")
        else:
            fields["formula"] = first
    elif kind == "custom":
        fields["formula"] = first
    elif kind != "any":
        operator = fields["operator"] = node.get("operator", "between")
        low, high = _bound(first, kind, epoch), _bound(second, kind, epoch)
        if operator in ("lessThan", "lessThanOrEqual"):
            low, high = None, low
        elif operator not in ("between", "notBetween"):
            high = None
        fields["minimum"], fields["maximum"] = low, high
    return DataValidation(_sqref(node.get("sqref")) or "", kind, allow_blank=_flag(node, "allowBlank"),
                          prompt=node.get("prompt"), error=node.get("error"),
                          error_style=node.get("errorStyle", "stop"), prompt_title=node.get("promptTitle"),
                          error_title=node.get("errorTitle"), **fields)


def read_validations(element: ET.Element, epoch: datetime.datetime) -> tuple[list[DataValidation], bool]:
    """The validations of a `dataValidations` element, and whether each could be read (when
    not, the element is kept as it was read instead)."""
    found = []
    for node in element.findall(_M + "dataValidation"):
        try:
            validation = _validation(node, epoch)
        except (KeyError, TypeError, ValueError):
            return [], False
        validation._keep(node)
        found.append(validation)
    return found, True


# ------------------------------------------------------------------ protection

def _password(element: ET.Element, prefix: str = "") -> PasswordHash | None:
    def attr(name: str) -> str | None:
        return element.get(prefix + name[0].upper() + name[1:] if prefix else name)
    algorithm, hash_value, salt = attr("algorithmName"), attr("hashValue"), attr("saltValue")
    spin = parse_number(attr("spinCount"))
    legacy = element.get("workbookPassword" if prefix else "password")
    if hash_value is None and legacy is None:
        return None
    return PasswordHash(algorithm, hash_value, salt, spin if isinstance(spin, int) else None, legacy)


def read_protection(element: ET.Element) -> SheetProtection:
    protection = SheetProtection(_flag(element, "sheet"))
    for name, (attr, locked) in SHEET_PERMISSIONS.items():
        setattr(protection, name, not _flag(element, attr, locked))
    protection.password = _password(element)
    protection._keep(element)
    return protection


def read_workbook_protection(element: ET.Element) -> WorkbookProtection:
    protection = WorkbookProtection(_flag(element, "lockStructure"), _flag(element, "lockWindows"))
    protection.password = _password(element, "workbook")
    protection._keep(element)
    return protection


# ------------------------------------------------------------------ printing

def read_page_element(ws: Any, element: ET.Element, local: str) -> None:
    """Takes a `pageSetup`, `printOptions` or `headerFooter` element into the sheet's page
    setup (an attribute the model refuses is left to the element, which keeps it)."""
    setup = ws.page_setup
    values: dict[str, Any] = {}
    if local == "headerFooter":
        for name, tag in (("header", "oddHeader"), ("footer", "oddFooter")):
            node = element.find(_M + tag)
            values[name] = node.text or "" if node is not None else None
    else:
        for name, attr in _PAGE_ATTRS[local]:
            text = element.get(attr)
            values[name] = parse_number(text) if name in ("paper", "scale", "fit_width", "fit_height") \
                else text if name == "orientation" else _flag(element, attr)
        if local == "pageSetup":
            props = ws.sheet_properties._element
            page = props.find(_M + "pageSetUpPr") if props is not None else None
            fitted = page is not None and _flag(page, "fitToPage")
            values["fit_width"] = values["fit_width"] if values["fit_width"] is not None else 1 if fitted else None
            values["fit_height"] = values["fit_height"] if values["fit_height"] is not None else 1 if fitted else None
            if not fitted:
                values["fit_width"] = values["fit_height"] = None
            if values["orientation"] == "default":
                values["orientation"] = None
    for name, value in values.items():
        try:
            setattr(setup, name, value)
        except (TypeError, ValueError):
            pass
    sources = dict(getattr(setup, "_source", None) or {})
    sources[local] = element
    setup._keep(sources)


def read_margins(element: ET.Element) -> PageMargins:
    margins = PageMargins()
    for name in PageMargins._FIELDS:
        try:
            setattr(margins, name, parse_number(element.get(name)))
        except (TypeError, ValueError):
            pass
    margins._keep(element)
    return margins


# ------------------------------------------------------------------ from the sheet reader

REPORT_ELEMENTS = frozenset(("conditionalFormatting", "dataValidations", "sheetProtection", "pageMargins",
                             "pageSetup", "printOptions", "headerFooter"))


def read_report_element(ws: Any, element: ET.Element, local: str) -> bool:
    """Takes a worksheet element of `REPORT_ELEMENTS` into the sheet's model; False when the
    model cannot hold it (it is then kept as it was read)."""
    if local == "conditionalFormatting":
        found = read_conditional_formats(element, ws.parent.stylesheet)
        if not found:
            return False
        if ws.parent.read_only:
            # A read-only sheet replays its elements each time its rows are read again.
            key = ET.tostring(element)
            if key in ws._formats_read:
                return True
            ws._formats_read.add(key)
        priorities = ws._format_priorities
        for priority, pair in found:
            # In the order of their priorities (the first wins), the file's order among equals.
            at = bisect.bisect_right(priorities, priority)
            priorities.insert(at, priority)
            ws.conditional_formats.insert(at, pair)
        return True
    if local == "dataValidations":
        validations, read = read_validations(element, ws.parent.epoch)
        if read:
            ws.validations[:] = validations
        return read
    if local == "sheetProtection":
        ws._protection = read_protection(element)
    elif local == "pageMargins":
        ws._margins = read_margins(element)
    else:
        read_page_element(ws, element, local)
    return True
