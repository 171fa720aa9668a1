"""Writing a `Chart` as a chart part: the chart element of its kind with its series (their
ranges as references, which programs read the values from when they open the file), its axes,
titles and legend."""

import xml.etree.ElementTree as ET

from ..constants import CHART_NS, DRAWING_NS
from ..model.charts import Chart, Series
from ..model.objects import Reference
from .xml import element

__all__ = ["chart_element"]

_C = "{%s}" % CHART_NS
_A = "{%s}" % DRAWING_NS
_LEGEND = {"right": "r", "left": "l", "top": "t", "bottom": "b", "top_right": "tr"}
_GROUPING = {None: "standard", "stacked": "stacked", "percent": "percentStacked"}
# The two axes' ids (any numbers unique within the chart).
_X_AXIS, _Y_AXIS = "500000001", "500000002"
_WITH_LINES = ("line", "scatter")


def _val(tag: str, value: str) -> ET.Element:
    return element(_C + tag, {"val": value})


def _rich(text: str) -> ET.Element:
    """Text as a title holds it: a paragraph per line."""
    paragraphs = [element(_A + "p", None, element(_A + "pPr", None, element(_A + "defRPr")),
                          element(_A + "r", None, element(_A + "t", text=line)))
                  for line in text.split("\n")]
    return element(_C + "rich", None, element(_A + "bodyPr"), element(_A + "lstStyle"), *paragraphs)


def _title(text: str) -> ET.Element:
    return element(_C + "title", None, element(_C + "tx", None, _rich(text)), _val("overlay", "0"))


def _ref(tag: str, ref: Reference, numbers: bool = True) -> ET.Element:
    kind = "numRef" if numbers else "strRef"
    return element(_C + tag, None, element(_C + kind, None, element(_C + "f", text=str(ref))))


def _series(series: Series, index: int, kind: str) -> ET.Element:
    children = [_val("idx", str(index)), _val("order", str(index))]
    if isinstance(series.name, Reference):
        children.append(_ref("tx", series.name, numbers=False))
    elif series.name is not None:
        children.append(element(_C + "tx", None, element(_C + "v", text=series.name)))
    if series.color is not None:
        fill = element(_A + "solidFill", None, element(_A + "srgbClr", {"val": series.color}))
        children.append(element(_C + "spPr", None, element(_A + "ln", None, fill) if kind in _WITH_LINES else fill))
    if kind in ("column", "bar"):
        children.append(_val("invertIfNegative", "0"))
    elif kind in _WITH_LINES:
        children.append(element(_C + "marker", None, _val("symbol", "none" if kind == "line" else "auto")))
    if kind == "scatter":
        if series.categories is not None:
            children.append(_ref("xVal", series.categories))
        children.append(_ref("yVal", series.values))
        children.append(_val("smooth", "0"))
        return element(_C + "ser", None, *children)
    if series.categories is not None:
        children.append(_ref("cat", series.categories, numbers=False))
    children.append(_ref("val", series.values))
    if kind == "line":
        children.append(_val("smooth", "0"))
    return element(_C + "ser", None, *children)


def _plot(chart: Chart) -> ET.Element:
    kind = chart.kind
    series = [_series(one, index, kind) for index, one in enumerate(chart.series)]
    axes = [_val("axId", _X_AXIS), _val("axId", _Y_AXIS)]
    grouping = _val("grouping", _GROUPING[chart.grouping])
    if kind in ("column", "bar"):
        stacked = [_val("overlap", "100")] if chart.grouping else []
        return element(_C + "barChart", None, _val("barDir", "col" if kind == "column" else "bar"),
                       _val("grouping", "clustered" if chart.grouping is None else _GROUPING[chart.grouping]),
                       _val("varyColors", "0"), *series, _val("gapWidth", "150"), *stacked, *axes)
    if kind == "line":
        return element(_C + "lineChart", None, grouping, _val("varyColors", "0"), *series, _val("marker", "1"), *axes)
    if kind == "area":
        return element(_C + "areaChart", None, grouping, _val("varyColors", "0"), *series, *axes)
    if kind == "scatter":
        return element(_C + "scatterChart", None, _val("scatterStyle", "lineMarker"), _val("varyColors", "0"),
                       *series, *axes)
    tail = [_val("firstSliceAng", "0")] + ([_val("holeSize", "50")] if kind == "doughnut" else [])
    return element(_C + ("pieChart" if kind == "pie" else "doughnutChart"), None, _val("varyColors", "1"), *series,
                   *tail)


def _axis(own: str, cross: str, position: str, title: str | None, values: bool, scatter: bool) -> ET.Element:
    """An axis: of values (with gridlines across the plot unless it is a scatter chart's x
    axis), or of categories."""
    children = [_val("axId", own), element(_C + "scaling", None, _val("orientation", "minMax")),
                _val("delete", "0"), _val("axPos", position)]
    if values and not (scatter and own == _X_AXIS):
        children.append(element(_C + "majorGridlines"))
    if title is not None:
        children.append(_title(title))
    children += [element(_C + "numFmt", {"formatCode": "General", "sourceLinked": "1"}),
                 _val("majorTickMark", "out"), _val("minorTickMark", "none"), _val("tickLblPos", "nextTo"),
                 _val("crossAx", cross), _val("crosses", "autoZero")]
    if values:
        children.append(_val("crossBetween", "midCat" if scatter else "between"))
    else:
        children += [_val("auto", "1"), _val("lblAlgn", "ctr"), _val("lblOffset", "100"), _val("noMultiLvlLbl", "0")]
    return element(_C + ("valAx" if values else "catAx"), None, *children)


def _axes(chart: Chart) -> list[ET.Element]:
    if chart.kind in ("pie", "doughnut"):
        return []
    across, down = ("l", "b") if chart.kind == "bar" else ("b", "l")
    scatter = chart.kind == "scatter"
    return [_axis(_X_AXIS, _Y_AXIS, across, chart.x_title, scatter, scatter),
            _axis(_Y_AXIS, _X_AXIS, down, chart.y_title, True, scatter)]


def chart_element(chart: Chart) -> ET.Element:
    """The `chartSpace` element of a chart part."""
    inner: list[ET.Element] = []
    if chart.title is not None:
        inner.append(_title(chart.title))
    inner.append(_val("autoTitleDeleted", "0" if chart.title is not None else "1"))
    inner.append(element(_C + "plotArea", None, element(_C + "layout"), _plot(chart), *_axes(chart)))
    if chart.legend is not None:
        inner.append(element(_C + "legend", None, _val("legendPos", _LEGEND[chart.legend]), _val("overlay", "0")))
    inner += [_val("plotVisOnly", "1"), _val("dispBlanksAs", "gap")]
    head = [_val("roundedCorners", "0")]
    if chart.style is not None:
        head.append(_val("style", str(chart.style)))
    return element(_C + "chartSpace", None, *head, element(_C + "chart", None, *inner))
