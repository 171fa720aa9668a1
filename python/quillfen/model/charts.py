"""Charts on a sheet: `Chart(kind, ...)` with its series of values, each a reference to cells
("Sheet1!$B$2:$B$10"), anchored at a cell by `ws.add_chart`.

Charts read from a file of the kinds modelled here come back as `Chart` objects; a chart of
another kind (radar, stock, bubble, 3-D, charts that combine kinds...) is a `KeptChart`, which
says its kind and is saved as it was read.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any

from .objects import Feature, FeatureList, Placed, Reference, check_cell, check_choice, check_int, check_text_field

__all__ = ["Chart", "Series", "KeptChart", "Reference", "KINDS", "GROUPINGS", "LEGEND_POSITIONS"]

KINDS = ("column", "bar", "line", "pie", "doughnut", "area", "scatter")
GROUPINGS = ("stacked", "percent")
# The kinds whose series stack, in amounts or in shares of the whole.
_STACKING = ("column", "bar", "line", "area")
_ROUND = ("pie", "doughnut")  # the kinds without axes
LEGEND_POSITIONS = ("right", "left", "top", "bottom", "top_right")
MAX_CHART_PIXELS = 1 << 16
_HEX = re.compile(r"#?([0-9A-Fa-f]{6})\Z")


def _color(value: Any) -> str | None:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError("a series colour is a str such as '1F77B4', not %s" % type(value).__name__)
    match = _HEX.match(value)
    if match is None:
        raise ValueError("series colour %r: a colour is 'RRGGBB' in hexadecimal digits" % value)
    return match.group(1).upper()


def _line(value: Any, what: str) -> Reference:
    """A reference to one row or one column of cells."""
    ref = Reference.parse(value, what)
    if ref.min_row != ref.max_row and ref.min_col != ref.max_col:
        raise ValueError("%s %s: a series takes one row or one column of cells" % (what, ref))
    return ref


def _values(value: Any) -> Reference:
    return _line(value, "a series' values")


def _categories(value: Any) -> Reference | None:
    return None if value is None else _line(value, "a series' categories")


def _name(value: Any) -> str | Reference | None:
    """A series' name: a reference to the cell that holds it, or the text itself."""
    if value is None or isinstance(value, Reference):
        return value
    text = str(check_text_field("a series' name", 255)(value))
    if "!" in text:
        try:
            return Reference.parse(text, "a series' name")
        except ValueError:
            pass
    return text


class Series(Feature):
    """One series of a chart: its `values` and `categories` (the x values of a scatter chart)
    as references to cells, its `name` (text, or a reference to the cell holding it) and its
    `color` ("RRGGBB", or None for the chart's own)."""

    __slots__ = ("values", "categories", "name", "color")
    _FIELDS = __slots__
    _CHECKS = {"values": _values, "categories": _categories, "name": _name, "color": _color}
    values: Reference
    categories: Reference | None
    name: str | Reference | None
    color: str | None

    def __init__(self, values: str | Reference, categories: str | Reference | None = None,
                 name: str | Reference | None = None, color: str | None = None) -> None:
        self.values = _values(values)
        self.categories = _categories(categories)
        self.name = _name(name)
        self.color = _color(color)


def _series(value: Any) -> Series:
    if not isinstance(value, Series):
        raise TypeError("a chart's series is a Series, not %s" % type(value).__name__)
    return value


class Chart(Placed):
    """A chart: `kind` is one of `KINDS`; `grouping` stacks the series of a column, bar, line
    or area chart ("stacked", or "percent" for shares of the whole), None for side by side.
    `title`, `x_title` and `y_title` (the axes') are text or None; `legend` is where the legend
    goes (one of `LEGEND_POSITIONS`, or None for none); `style` is a chart style number (1 to
    48) or None. `ws.add_chart` places it: `anchor` (its top left cell), `width` and `height`
    in pixels."""

    __slots__ = ("kind", "title", "x_title", "y_title", "legend", "style", "grouping", "series", "anchor")
    _FIELDS = (*__slots__, "width", "height")
    _CHECKS = {"kind": check_choice("chart kind", KINDS), "title": check_text_field("a chart's title", 255),
               "x_title": check_text_field("an axis title", 255), "y_title": check_text_field("an axis title", 255),
               "legend": check_choice("legend position", LEGEND_POSITIONS, optional=True),
               "style": check_int("chart style", 1, 48, optional=True),
               "grouping": check_choice("chart grouping", GROUPINGS, optional=True),
               "anchor": check_cell("a chart's anchor"),
               "width": check_int("a chart's width", 1, MAX_CHART_PIXELS),
               "height": check_int("a chart's height", 1, MAX_CHART_PIXELS)}
    kind: str
    title: str | None
    x_title: str | None
    y_title: str | None
    legend: str | None
    style: int | None
    grouping: str | None
    series: FeatureList[Series]
    anchor: str

    def __init__(self, kind: str, *, title: str | None = None, x_title: str | None = None,
                 y_title: str | None = None, legend: str | None = "right", style: int | None = None,
                 grouping: str | None = None) -> None:
        self.kind = kind
        self.title = title
        self.x_title = x_title
        self.y_title = y_title
        self.legend = legend
        self.style = style
        self.grouping = grouping
        self.series = FeatureList(_series)
        self.anchor = "A1"
        self.width = 480
        self.height = 288

    def __setattr__(self, name: str, value: Any) -> None:
        if name == "series" and not isinstance(value, FeatureList):
            value = FeatureList(_series, value)
        kind = value if name == "kind" else getattr(self, "kind", None)
        grouping = value if name == "grouping" else getattr(self, "grouping", None)
        if grouping is not None and kind in KINDS and kind not in _STACKING:
            raise ValueError("a %s chart has no grouping %r: only %s charts stack their series"
                             % (kind, grouping, ", ".join(_STACKING)))
        if kind in _ROUND and any((value if name == axis else getattr(self, axis, None)) is not None
                                  for axis in ("x_title", "y_title")):
            raise ValueError("a %s chart has no axes to give titles to" % kind)
        super().__setattr__(name, value)

    def add_series(self, values: str | Reference, categories: str | Reference | None = None,
                   name: str | Reference | None = None, color: str | None = None) -> Series:
        """Adds a series: its values ("Sheet1!$B$2:$B$10"), its categories (the x values of a
        scatter chart), its name and its colour ("RRGGBB"). Returns it."""
        series = Series(values, categories, name, color)
        self.series.append(series)
        return series


class KeptChart:
    """A chart read from a file of a kind that quillfen does not model (`kind`: "radar",
    "stock", "bubble", "bar3D", "combined", ...), saved as it was read. Remove it from
    `ws.charts` to leave it out. Its `width` and `height` (pixels) are those the file gives it,
    with the sizes of the rows and columns it spans."""

    __slots__ = ("kind", "anchor", "_size", "_source")

    def __init__(self, kind: str, anchor: str, size: Callable[[], tuple[int, int]]) -> None:
        self.kind, self.anchor = kind, anchor
        self._size = size
        self._source: Any = None

    @property
    def width(self) -> int:
        return self._size()[0]

    @property
    def height(self) -> int:
        return self._size()[1]

    def _state(self) -> tuple[Any, ...]:
        return ("kept", id(self))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, KeptChart):
            return NotImplemented
        fields = ("kind", "anchor", "width", "height")
        return all(getattr(self, name) == getattr(other, name) for name in fields)

    __hash__ = None  # type: ignore[assignment]

    @property
    def _untouched(self) -> bool:
        return True

    def __repr__(self) -> str:
        return "KeptChart(%r at %s)" % (self.kind, self.anchor)
