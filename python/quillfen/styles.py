"""Cell formats of a workbook: the styles part read into style arrays and number formats.

A cell's style id indexes the workbook's list of cell formats (``cellXfs``). Each format is
kept as a `StyleArray` of nine ints; the number format decides whether a number in that style
is a date (or time) and whether it is an elapsed time (a duration).
"""

import re
import xml.etree.ElementTree as ET
from array import array

from .reader.sheet import MAIN_NS

_M = "{%s}" % MAIN_NS

STYLE_FIELDS = ("fontId", "fillId", "borderId", "numFmtId", "protectionId", "alignmentId",
                "pivotButton", "quotePrefix", "xfId")

# Number formats every reader knows without a numFmt element, by id.
BUILTIN_FORMATS = {
    0: "General", 1: "0", 2: "0.00", 3: "#,##0", 4: "#,##0.00",
    5: '"$"#,##0_);("$"#,##0)', 6: '"$"#,##0_);[Red]("$"#,##0)',
    7: '"$"#,##0.00_);("$"#,##0.00)', 8: '"$"#,##0.00_);[Red]("$"#,##0.00)',
    9: "0%", 10: "0.00%", 11: "0.00E+00", 12: "# ?/?", 13: "# ??/??",
    14: "mm-dd-yy", 15: "d-mmm-yy", 16: "d-mmm", 17: "mmm-yy", 18: "h:mm AM/PM",
    19: "h:mm:ss AM/PM", 20: "h:mm", 21: "h:mm:ss", 22: "m/d/yy h:mm",
    37: "#,##0_);(#,##0)", 38: "#,##0_);[Red](#,##0)", 39: "#,##0.00_);(#,##0.00)",
    40: "#,##0.00_);[Red](#,##0.00)", 41: '_(* #,##0_);_(* \\(#,##0\\);_(* "-"_);_(@_)',
    42: '_("$"* #,##0_);_("$"* \\(#,##0\\);_("$"* "-"_);_(@_)',
    43: '_(* #,##0.00_);_(* \\(#,##0.00\\);_(* "-"??_);_(@_)',
    44: '_("$"* #,##0.00_)_("$"* \\(#,##0.00\\)_("$"* "-"??_)_(@_)',
    45: "mm:ss", 46: "[h]:mm:ss", 47: "mmss.0", 48: "##0.0E+0", 49: "@",
}

# Quoted literals, escaped characters, fill/padding characters and bracketed sections other
# than elapsed-time units carry no date meaning.
_NOT_DATE_PARTS = re.compile(r'"[^"]*"|\\.|[_*].|\[(?![hHmMsS]+\])[^\]]*\]')
_DATE_LETTERS = re.compile(r"[dmyhs]", re.IGNORECASE)
_ELAPSED = re.compile(r"\[(?:h+|m+|s+)\]", re.IGNORECASE)


def is_date_format(code):
    """True when a number shown with this format code is a date, a time or a duration."""
    if code is None:
        return False
    section = code.split(";", 1)[0]
    return bool(_DATE_LETTERS.search(_NOT_DATE_PARTS.sub("", section)))


def is_timedelta_format(code):
    """True for elapsed-time formats such as [h]:mm:ss, whose numbers are durations."""
    if code is None:
        return False
    section = _NOT_DATE_PARTS.sub(lambda m: m.group(0) if m.group(0).startswith("[") else "",
                                  code.split(";", 1)[0])
    return bool(_ELAPSED.search(section))


class StyleArray(array):
    """The nine ids of one cell format, in `STYLE_FIELDS` order."""

    __slots__ = ()

    def __new__(cls, values=(0,) * 9):
        return array.__new__(cls, "i", values)

    def __getattr__(self, name):
        try:
            return self[STYLE_FIELDS.index(name)]
        except ValueError:
            raise AttributeError(name) from None

    def __hash__(self):
        return hash(tuple(self))

    def __repr__(self):
        return "StyleArray(%r)" % (list(self),)


class IndexedList(list):
    """The workbook's cell formats: a list whose `add` returns the index of an equal entry,
    appending the value first when there is none (so equal formats share one id)."""

    def __init__(self, iterable=()):
        super().__init__(iterable)
        self._index = {}
        for i, value in enumerate(self):
            self._index.setdefault(value, i)

    def add(self, value):
        index = self._index.get(value)
        if index is None or index >= len(self) or self[index] != value:
            index = self._find(value)
        return index

    def _find(self, value):
        for i, existing in enumerate(self):
            if existing == value:
                self._index[value] = i
                return i
        self.append(value)
        self._index[value] = len(self) - 1
        return len(self) - 1


class Stylesheet:
    """The parts of the styles part that reading cells needs."""

    def __init__(self, cell_styles=(), number_formats=None):
        # Every workbook has a default cell format, even when its styles part lists none.
        self.cell_styles = IndexedList(cell_styles or (StyleArray(),))
        self.number_formats = dict(number_formats or {})

    @classmethod
    def from_xml(cls, data):
        root = ET.fromstring(data)
        formats = {}
        for fmt in root.iter(_M + "numFmt"):
            try:
                formats[int(fmt.get("numFmtId"))] = fmt.get("formatCode", "")
            except (TypeError, ValueError):
                continue
        cell_styles = []
        xfs = root.find(_M + "cellXfs")
        for xf in (xfs if xfs is not None else ()):
            if xf.tag != _M + "xf":
                continue
            values = [_int_attr(xf, name) for name in STYLE_FIELDS]
            cell_styles.append(StyleArray(values))
        return cls(cell_styles, formats)

    def format_code(self, style_id):
        try:
            num_fmt = self.cell_styles[style_id][3]
        except (IndexError, TypeError):
            return None
        return self.number_formats.get(num_fmt, BUILTIN_FORMATS.get(num_fmt))

    def date_formats(self):
        """Style ids whose numbers are dates, times or durations."""
        return {i for i in range(len(self.cell_styles)) if is_date_format(self.format_code(i))}

    def timedelta_formats(self):
        """Style ids whose numbers are durations (elapsed-time formats)."""
        return {i for i in range(len(self.cell_styles)) if is_timedelta_format(self.format_code(i))}


def _int_attr(element, name):
    value = element.get(name)
    if value is None:
        return 0
    if value in ("true", "false"):
        return int(value == "true")
    try:
        return int(value)
    except ValueError:
        return 0
