"""Reading a chart part into a `Chart`: its kind, titles, legend, style and series, the ranges
of each series as references. A chart the model does not hold (another kind, several kinds in
one, series of values written in the chart itself) gives only its kind."""

import xml.etree.ElementTree as ET

from ..constants import CHART_NS, DRAWING_NS
from ..model.charts import Chart, Series
from ..model.objects import Reference

__all__ = ["read_chart", "chart_kind"]

_C = "{%s}" % CHART_NS
_A = "{%s}" % DRAWING_NS
# The chart elements of a plot area, by the kind they make (bar charts say theirs).
_PLOTS = {"lineChart": "line", "pieChart": "pie", "doughnutChart": "doughnut", "areaChart": "area",
          "scatterChart": "scatter"}
_GROUPINGS = {"stacked": "stacked", "percentStacked": "percent", "clustered": None, "standard": None}
# Where a series' colour is: its fill, or for lines its line's.
_FILL = "%sspPr/%ssolidFill/%ssrgbClr" % (_C, _A, _A)
_LINE = "%sspPr/%sln/%ssolidFill/%ssrgbClr" % (_C, _A, _A, _A)
_LEGEND = {"r": "right", "l": "left", "t": "top", "b": "bottom", "tr": "top_right"}


def _val(node: ET.Element | None, default: str | None = None) -> str | None:
    return default if node is None else node.get("val", default)


def _plots(root: ET.Element) -> list[ET.Element]:
    area = root.find("%schart/%splotArea" % (_C, _C))
    if area is None:
        return []
    return [child for child in area if isinstance(child, ET.Element) and child.tag.endswith("Chart")
            and child.tag.startswith(_C)]


def chart_kind(root: ET.Element) -> str:
    """The kind of a chart part's chart: one of `Chart`'s kinds, another chart element's name
    without "Chart" ("radar", "bar3D"...), "combined" for several, "" for none."""
    plots = _plots(root)
    if len(plots) != 1:
        return "combined" if plots else ""
    local = plots[0].tag[len(_C):]
    if local == "barChart":
        return "bar" if _val(plots[0].find(_C + "barDir")) == "bar" else "column"
    return _PLOTS.get(local, local[:-len("Chart")])


def _text(title: ET.Element | None) -> str | None:
    """The text of a title: its runs, or the text cached for the cell it shows."""
    if title is None:
        return None
    rich = title.find("%stx/%srich" % (_C, _C))
    if rich is not None:
        paragraphs = ["".join(t.text or "" for t in para.iter(_A + "t")) for para in rich.findall(_A + "p")]
        return "\n".join(paragraphs)
    cached = title.find("%stx/%sstrRef/%sstrCache/%spt/%sv" % (_C, _C, _C, _C, _C))
    return cached.text or "" if cached is not None else None


def _reference(node: ET.Element | None) -> Reference | None:
    """The reference of a series' values, categories or name (`c:f` of its numRef or strRef);
    ValueError for data written in the chart itself."""
    if node is None:
        return None
    formula = node.find("%snumRef/%sf" % (_C, _C))
    if formula is None:
        formula = node.find("%sstrRef/%sf" % (_C, _C))
    if formula is None or not formula.text:
        raise ValueError("a series without a reference")
    return Reference.parse(formula.text.strip())


def _series(node: ET.Element, scatter: bool) -> Series:
    values = _reference(node.find(_C + ("yVal" if scatter else "val")))
    if values is None:
        raise ValueError("a series without values")
    categories = _reference(node.find(_C + ("xVal" if scatter else "cat")))
    tx = node.find(_C + "tx")
    name: str | Reference | None = None
    if tx is not None:
        formula = tx.findtext("%sstrRef/%sf" % (_C, _C)) or ""
        if len(formula) > 1 and formula[0] == formula[-1] == '"':  # a name written as a formula's text
            name = formula[1:-1].replace('""', '"')
        else:
            name = _reference(tx) if tx.find(_C + "strRef") is not None else tx.findtext(_C + "v")
    color = None
    for path in (_FILL, _LINE):
        found = node.find(path)
        if found is not None:
            color = found.get("val")
            break
    return Series(values, categories, name, color)


def _axis_titles(root: ET.Element, kind: str) -> tuple[str | None, str | None]:
    area = root.find("%schart/%splotArea" % (_C, _C))
    x_title = y_title = None
    for axis in area if area is not None else ():
        local = axis.tag[len(_C):] if isinstance(axis.tag, str) else ""
        if local not in ("catAx", "dateAx", "valAx"):
            continue
        title = _text(axis.find(_C + "title"))
        across = local != "valAx" or kind == "scatter" and _val(axis.find(_C + "axPos")) in ("b", "t")
        if across:
            x_title = x_title or title
        else:
            y_title = y_title or title
    return x_title, y_title


def read_chart(root: ET.Element) -> Chart:
    """The `Chart` of a chart part's root element; ValueError when the model cannot hold it."""
    kind = chart_kind(root)
    plot = _plots(root)[0] if kind in ("column", "bar", "line", "pie", "doughnut", "area", "scatter") else None
    if plot is None:
        raise ValueError("a chart of the kind %r" % kind)
    legend = root.find("%schart/%slegend" % (_C, _C))
    style = next((int(node.get("val", "")) for node in root.iter(_C + "style")
                  if (node.get("val") or "").isdigit() and 1 <= int(node.get("val", "")) <= 48), None)
    chart = Chart(kind, title=_text(root.find("%schart/%stitle" % (_C, _C))),
                  legend=None if legend is None else _LEGEND.get(_val(legend.find(_C + "legendPos"), "r") or "r"),
                  style=style, grouping=_GROUPINGS.get(_val(plot.find(_C + "grouping"), "standard") or "")
                  if kind not in ("pie", "doughnut", "scatter") else None)
    chart.x_title, chart.y_title = _axis_titles(root, kind)
    for node in plot.findall(_C + "ser"):
        chart.series.append(_series(node, kind == "scatter"))
    if not chart.series:
        raise ValueError("a chart without series")
    return chart
