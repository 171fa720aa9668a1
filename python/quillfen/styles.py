"""Cell formats of a workbook: style arrays, number formats and the collections they index.

A cell's style is a `StyleArray` of nine ints; equal arrays share one id in the workbook's list
of cell formats (``cellXfs``). The ids index the stylesheet's collections: number formats by
id, fonts, fills and borders by position, and the alignment and protection of the format (0
for none). Fonts, fills, borders, alignments and protections are kept as the XML elements they
are written as, so that formats read from a file are written back unchanged. The number format
decides whether a number in that style is a date (or time) and whether it is an elapsed time.
"""

import re
import xml.etree.ElementTree as ET
from array import array

from .constants import MAIN_NS

_M = "{%s}" % MAIN_NS

STYLE_FIELDS = ("fontId", "fillId", "borderId", "numFmtId", "protectionId", "alignmentId",
                "pivotButton", "quotePrefix", "xfId")
NUM_FMT = STYLE_FIELDS.index("numFmtId")

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
_BUILTIN_IDS = {code: num_fmt for num_fmt, code in BUILTIN_FORMATS.items()}
FIRST_CUSTOM_FORMAT = 164  # ids below are reserved for built-in formats

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


def element_key(element):
    """What makes two style elements the same: tags, attributes, texts and children, in order."""
    return ET.tostring(element)


class ElementList(list):
    """Style elements (fonts, fills, ...) that equal elements share an index in: `add`
    returns the index of an equal element, appending it first when there is none."""

    def __init__(self, elements=()):
        super().__init__(elements)
        self._index = {}
        for i, element in enumerate(self):
            if element is not None:
                self._index.setdefault(element_key(element), i)

    def add(self, element):
        key = element_key(element)
        index = self._index.get(key)
        if index is None:
            index = self._index[key] = len(self)
            self.append(element)
        return index


def _element(tag, attrib=None, *children):
    element = ET.Element(_M + tag, attrib or {})
    element.extend(children)
    return element


def default_font():
    # Named outright rather than through a theme: a new workbook has no theme part.
    return _element("font", None, _element("sz", {"val": "11"}), _element("name", {"val": "Calibri"}),
                    _element("family", {"val": "2"}))


def _pattern_fill(pattern):
    return _element("fill", None, _element("patternFill", {"patternType": pattern}))


class Stylesheet:
    """The cell formats of a workbook and the collections their ids point into.

    A new stylesheet holds what every workbook starts with: one default cell format, the
    default font, the two fills that Excel reserves (none and gray125) and an empty border.
    `extra` keeps other top-level elements of a styles part that was read (differential
    formats, table styles, a colour palette, extensions) to be written back as they were.
    """

    def __init__(self, cell_styles=(), number_formats=None, fonts=None, fills=None, borders=None,
                 alignments=None, protections=None, style_xfs=None, named_styles=None, extra=None):
        # Every workbook has a default cell format, even when its styles part lists none.
        self.cell_styles = IndexedList(cell_styles or (StyleArray(),))
        self.number_formats = dict(number_formats or {})
        self._format_ids = {}  # code -> id, of the custom formats asked for
        self._formatted = {}   # code -> the default style array with that number format, shared
        self.fonts = ElementList(fonts or (default_font(),))
        self.fills = ElementList(fills or (_pattern_fill("none"), _pattern_fill("gray125")))
        self.borders = ElementList(borders or (_element("border"),))
        # Index 0 stands for "none" in both.
        self.alignments = ElementList(alignments or (None,))
        self.protections = ElementList(protections or (None,))
        self.style_xfs = list(style_xfs or (_element("xf", dict.fromkeys(
            ("numFmtId", "fontId", "fillId", "borderId"), "0")),))
        self.named_styles = list(named_styles or (_element(
            "cellStyle", {"name": "Normal", "xfId": "0", "builtinId": "0"}),))
        self.extra = dict(extra or {})

    def code(self, num_fmt):
        """The format code of a number format id, or None when the id is unknown."""
        return self.number_formats.get(num_fmt, BUILTIN_FORMATS.get(num_fmt))

    def format_code(self, style_id):
        try:
            num_fmt = self.cell_styles[style_id][NUM_FMT]
        except (IndexError, TypeError):
            return None
        return self.code(num_fmt)

    def number_format_id(self, code):
        """The id of a format code: a built-in one, one already defined, or a new custom id."""
        num_fmt = _BUILTIN_IDS.get(code)
        if num_fmt is not None:
            return num_fmt
        # Remembered, but checked: `number_formats` may have been changed since.
        num_fmt = self._format_ids.get(code)
        if num_fmt is not None and self.number_formats.get(num_fmt) == code:
            return num_fmt
        for num_fmt, known in self.number_formats.items():
            if known == code:
                break
        else:
            num_fmt = max([FIRST_CUSTOM_FORMAT - 1, *self.number_formats]) + 1
            self.number_formats[num_fmt] = code
        self._format_ids[code] = num_fmt
        return num_fmt

    def formatted(self, style, code):
        """The style array that shows numbers with the format `code` and is otherwise `style`
        (None for the default format): a new array, or for the default format one array shared
        by every caller (style arrays are never changed in place)."""
        if style is not None:
            copy = StyleArray(style)
            copy[NUM_FMT] = self.number_format_id(code)
            return copy
        # PERF NOTE: every date appended to a row without a format of its own comes here.
        shared = self._formatted.get(code)
        if shared is None or self.code(shared[NUM_FMT]) != code:
            shared = self._formatted[code] = StyleArray()
            shared[NUM_FMT] = self.number_format_id(code)
        return shared

    def date_formats(self):
        """Style ids whose numbers are dates, times or durations."""
        return {i for i in range(len(self.cell_styles)) if is_date_format(self.format_code(i))}

    def timedelta_formats(self):
        """Style ids whose numbers are durations (elapsed-time formats)."""
        return {i for i in range(len(self.cell_styles)) if is_timedelta_format(self.format_code(i))}
