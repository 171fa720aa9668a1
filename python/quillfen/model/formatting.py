"""Conditional formats: rules that format cells by their values (`ws.add_conditional_format(ref,
rule)`). The formats rules apply (font, fill, border, number format) are differential formats
of the workbook's stylesheet; colour scales, data bars and icon sets draw from the values.

Rules read from a file come back as these classes; a rule of another type (text containing,
above average, dates occurring...) is a `KeptRule`, saved as it was read.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, NamedTuple

from .objects import (Feature, check_bool, check_choice, check_formula, check_int, check_number,
                      check_text_field, number_text)
from .styles import Border, Font, PatternFill
from .validation import OPERATOR_ALIASES, OPERATORS

__all__ = ["CellRule", "FormulaRule", "ColorScale", "DataBar", "IconSet", "TopRule", "DuplicateRule",
           "KeptRule", "ConditionalFormat", "Rule", "FormattedRule", "ICON_SETS", "VALUE_TYPES"]

# How a colour scale, data bar or icon set reads a threshold.
VALUE_TYPES = ("min", "max", "num", "percent", "percentile", "formula")
ICON_SETS = ("3Arrows", "3ArrowsGray", "3Flags", "3TrafficLights1", "3TrafficLights2", "3Signs", "3Symbols",
             "3Symbols2", "4Arrows", "4ArrowsGray", "4RedToBlack", "4Rating", "4TrafficLights", "5Arrows",
             "5ArrowsGray", "5Rating", "5Quarters")
Value = int | float | str | None


def _value(what: str, optional: bool = True) -> Callable[[Any], Value]:
    """A rule's value: a number, or a formula (text)."""
    number, formula = check_number(what), check_formula(what)

    def check(value: Any) -> Value:
        if value is None and optional:
            return None
        return formula(value) if isinstance(value, str) else number(value)
    return check


def value_text(value: Value) -> str | None:
    """A rule's value as a file holds it."""
    return None if value is None else value if isinstance(value, str) else number_text(value)


def _typed(value: Any, cls: type, what: str) -> Any:
    if value is not None and not isinstance(value, cls):
        raise TypeError("%s is a %s, not %s" % (what, cls.__name__, type(value).__name__))
    return value


def _hex_color(what: str, optional: bool = False) -> Any:
    def check(value: Any) -> str | None:
        if value is None and optional:
            return None
        if not isinstance(value, str):
            raise TypeError("%s is a str such as 'F8696B', not %s" % (what, type(value).__name__))
        text = value[1:] if value.startswith("#") else value
        if len(text) not in (6, 8) or any(ch not in "0123456789abcdefABCDEF" for ch in text):
            raise ValueError("%s %r: a colour is 'RRGGBB' or 'AARRGGBB' in hexadecimal digits" % (what, value))
        return ("FF" + text if len(text) == 6 else text).upper()
    return check


class Rule(Feature):
    """What every rule has: `stop`, whether the rules after it are left out for a cell it
    applies to."""

    __slots__ = ("stop",)
    _TYPE = ""
    stop: bool


class FormattedRule(Rule):
    """A rule that formats the cells it applies to: `font`, `fill`, `border` (the style
    objects of `quillfen.styles`) and `number_format`, each None to leave the cell's own."""

    __slots__ = ("font", "fill", "border", "number_format")
    _FORMAT = ("font", "fill", "border", "number_format")
    _FORMAT_CHECKS = {"font": lambda v: _typed(v, Font, "a rule's font"),
                      "fill": lambda v: _typed(v, PatternFill, "a rule's fill"),
                      "border": lambda v: _typed(v, Border, "a rule's border"),
                      "number_format": check_text_field("a rule's number format", 255),
                      "stop": check_bool("stop")}
    font: Font | None
    fill: PatternFill | None
    border: Border | None
    number_format: str | None
    stop: bool

    def _format(self, font: Font | None, fill: PatternFill | None, border: Border | None,
                number_format: str | None, stop: bool) -> None:
        self.font, self.fill, self.border, self.number_format, self.stop = font, fill, border, number_format, stop


class CellRule(FormattedRule):
    """Formats the cells whose value compares with `value` (and `value2`, for "between" and
    "notBetween") by `operator`, one of `quillfen.validation.OPERATORS` or "==", ">" ...
    Values are numbers, or formulas as text ("$B$1", '"done"')."""

    __slots__ = ("operator", "value", "value2")
    _TYPE = "cellIs"
    _FIELDS = ("operator", "value", "value2", *FormattedRule._FORMAT, "stop")
    _CHECKS = {"operator": check_choice("rule operator", OPERATORS, aliases=OPERATOR_ALIASES),
               "value": _value("a rule's value", optional=False), "value2": _value("a rule's second value"),
               **FormattedRule._FORMAT_CHECKS}
    operator: str
    value: Value
    value2: Value

    def __init__(self, operator: str, value: Value, value2: Value = None, *, font: Font | None = None,
                 fill: PatternFill | None = None, border: Border | None = None, number_format: str | None = None,
                 stop: bool = False) -> None:
        self.operator = operator
        self.value = value
        self.value2 = value2
        self._format(font, fill, border, number_format, stop)

    def check(self) -> None:
        between = self.operator in ("between", "notBetween")
        if between != (self.value2 is not None):
            raise ValueError("a rule %r compares with %s" % (self.operator, "two values" if between else "one value"))


class FormulaRule(FormattedRule):
    """Formats the cells for which `formula` is true (written for the range's first cell:
    "$B2>100")."""

    __slots__ = ("formula",)
    _TYPE = "expression"
    _FIELDS = ("formula", *FormattedRule._FORMAT, "stop")
    _CHECKS = {"formula": check_formula("a rule's formula", optional=False), **FormattedRule._FORMAT_CHECKS}
    formula: str

    def __init__(self, formula: str, *, font: Font | None = None, fill: PatternFill | None = None,
                 border: Border | None = None, number_format: str | None = None, stop: bool = False) -> None:
        self.formula = formula
        self._format(font, fill, border, number_format, stop)


class TopRule(FormattedRule):
    """Formats the `n` highest values (lowest with `bottom`), or the top `n` percent."""

    __slots__ = ("n", "percent", "bottom")
    _TYPE = "top10"
    _FIELDS = ("n", "percent", "bottom", *FormattedRule._FORMAT, "stop")
    _CHECKS = {"n": check_int("a top rule's n", 1, 1000), "percent": check_bool("percent"),
               "bottom": check_bool("bottom"), **FormattedRule._FORMAT_CHECKS}
    n: int
    percent: bool
    bottom: bool

    def __init__(self, n: int, percent: bool = False, bottom: bool = False, *, font: Font | None = None,
                 fill: PatternFill | None = None, border: Border | None = None, number_format: str | None = None,
                 stop: bool = False) -> None:
        self.n = n
        self.percent = percent
        self.bottom = bottom
        self._format(font, fill, border, number_format, stop)

    def check(self) -> None:
        if self.percent and self.n > 100:
            raise ValueError("a top rule of %d percent: at most 100" % self.n)


class DuplicateRule(FormattedRule):
    """Formats the values found more than once in the range (only once, with `unique`)."""

    __slots__ = ("unique",)
    _FIELDS = ("unique", *FormattedRule._FORMAT, "stop")
    _CHECKS = {"unique": check_bool("unique"), **FormattedRule._FORMAT_CHECKS}
    unique: bool

    def __init__(self, unique: bool = False, *, font: Font | None = None, fill: PatternFill | None = None,
                 border: Border | None = None, number_format: str | None = None, stop: bool = False) -> None:
        self.unique = unique
        self._format(font, fill, border, number_format, stop)

    @property
    def _type(self) -> str:
        return "uniqueValues" if self.unique else "duplicateValues"


_THRESHOLD_CHECKS = {"type": check_choice("threshold type", VALUE_TYPES)}


class ColorScale(Rule):
    """Colours each cell on a scale from `start_color` at the lowest values to `end_color` at
    the highest, through `mid_color` when given (a three-colour scale). Each end is a value
    type (one of `VALUE_TYPES`) with its value ("min" and "max" need none)."""

    __slots__ = ("start_color", "end_color", "mid_color", "start_type", "start_value", "mid_type", "mid_value",
                 "end_type", "end_value")
    _TYPE = "colorScale"
    _FIELDS = (*__slots__, "stop")
    _CHECKS = {"start_color": _hex_color("a scale's start colour"), "end_color": _hex_color("a scale's end colour"),
               "mid_color": _hex_color("a scale's middle colour", optional=True),
               "start_type": check_choice("threshold type", VALUE_TYPES),
               "mid_type": check_choice("threshold type", VALUE_TYPES),
               "end_type": check_choice("threshold type", VALUE_TYPES),
               "start_value": _value("a threshold"), "mid_value": _value("a threshold"),
               "end_value": _value("a threshold"), "stop": check_bool("stop")}
    start_color: str
    end_color: str
    mid_color: str | None
    start_type: str
    start_value: Value
    mid_type: str
    mid_value: Value
    end_type: str
    end_value: Value
    stop: bool

    def __init__(self, start_color: str, end_color: str, mid_color: str | None = None, *, start_type: str = "min",
                 start_value: Value = None, mid_type: str = "percentile", mid_value: Value = 50,
                 end_type: str = "max", end_value: Value = None) -> None:
        self.start_color, self.end_color, self.mid_color = start_color, end_color, mid_color
        self.start_type, self.start_value = start_type, start_value
        self.mid_type, self.mid_value = mid_type, mid_value
        self.end_type, self.end_value = end_type, end_value
        self.stop = False

    def thresholds(self) -> list[tuple[str, Value, str]]:
        """(value type, value, colour) of each point of the scale, from the lowest."""
        points = [(self.start_type, self.start_value, self.start_color)]
        if self.mid_color is not None:
            points.append((self.mid_type, self.mid_value, self.mid_color))
        return points + [(self.end_type, self.end_value, self.end_color)]


class DataBar(Rule):
    """Draws a bar of `color` in each cell, as long as its value is high between the
    thresholds `min_type`/`min_value` and `max_type`/`max_value`; the value is shown beside
    unless `show_value` is false."""

    __slots__ = ("color", "min_type", "min_value", "max_type", "max_value", "show_value")
    _TYPE = "dataBar"
    _FIELDS = (*__slots__, "stop")
    _CHECKS = {"color": _hex_color("a data bar's colour"), "min_type": check_choice("threshold type", VALUE_TYPES),
               "max_type": check_choice("threshold type", VALUE_TYPES), "min_value": _value("a threshold"),
               "max_value": _value("a threshold"), "show_value": check_bool("show_value"), "stop": check_bool("stop")}
    color: str
    min_type: str
    min_value: Value
    max_type: str
    max_value: Value
    show_value: bool
    stop: bool

    def __init__(self, color: str, *, min_type: str = "min", min_value: Value = None, max_type: str = "max",
                 max_value: Value = None, show_value: bool = True) -> None:
        self.color = color
        self.min_type, self.min_value = min_type, min_value
        self.max_type, self.max_value = max_type, max_value
        self.show_value = show_value
        self.stop = False


def _icon_values(value: Any) -> list[Value] | None:
    if value is None:
        return None
    if isinstance(value, str) or not hasattr(value, "__iter__"):
        raise TypeError("an icon set's values are a list, not %s" % type(value).__name__)
    return [_value("an icon set's value", optional=False)(item) for item in value]


class IconSet(Rule):
    """Shows an icon of the set `name` (one of `ICON_SETS`) in each cell, chosen by where its
    value falls among the thresholds: `values` (one per icon, the first the lowest, by
    default evenly spaced percentages) of the value type `type`."""

    __slots__ = ("name", "type", "values", "reverse", "show_value")
    _TYPE = "iconSet"
    _FIELDS = (*__slots__, "stop")
    _CHECKS = {"name": check_choice("icon set", ICON_SETS), "type": check_choice("threshold type", VALUE_TYPES),
               "values": _icon_values, "reverse": check_bool("reverse"), "show_value": check_bool("show_value"),
               "stop": check_bool("stop")}
    name: str
    type: str
    values: list[Value] | None
    reverse: bool
    show_value: bool
    stop: bool

    def __init__(self, name: str, *, type: str = "percent", values: list[Value] | None = None,
                 reverse: bool = False, show_value: bool = True) -> None:
        self.name = name
        self.type = type
        self.values = values
        self.reverse = reverse
        self.show_value = show_value
        self.stop = False

    @property
    def icons(self) -> int:
        return int(self.name[0])

    def thresholds(self) -> list[Value]:
        """The value of each icon's threshold, from the lowest."""
        if self.values is not None:
            return list(self.values)
        return [round(100 * step / self.icons) for step in range(self.icons)]

    def check(self) -> None:
        if self.values is not None and len(self.values) != self.icons:
            raise ValueError("icon set %r has %d icons: %d values given" % (self.name, self.icons, len(self.values)))


class KeptRule(Rule):
    """A rule read from a file of a type quillfen does not model (`type`: "containsText",
    "aboveAverage", "timePeriod", ...), saved as it was read."""

    __slots__ = ("type",)
    _FIELDS = ("type", "stop")
    type: str

    def __init__(self, type: str, stop: bool = False) -> None:
        self.type = type
        self.stop = stop

    def __setattr__(self, name: str, value: Any) -> None:
        if getattr(self, "_source", None) is not None:
            raise AttributeError("a rule of a type quillfen does not model is kept as it was read")
        super().__setattr__(name, value)


RULES = (CellRule, FormulaRule, TopRule, DuplicateRule, ColorScale, DataBar, IconSet, KeptRule)


def check_rule(rule: Any) -> Rule:
    if not isinstance(rule, Rule):
        raise TypeError("a conditional format's rule is a CellRule, FormulaRule, ColorScale, DataBar, IconSet, "
                        "TopRule or DuplicateRule, not %s" % type(rule).__name__)
    check = getattr(rule, "check", None)
    if check is not None:
        check()
    return rule


class ConditionalFormat(NamedTuple):
    """A rule and the cells it applies to (`ref`: "A1:A10", or several ranges "A1:A10 C1:C10")."""

    ref: str
    rule: Rule
