"""Cell formats of a workbook: style arrays, number formats and the collections they index.

A cell's style is a `StyleArray` of nine ints; equal arrays share one id in the workbook's list
of cell formats (``cellXfs``). The ids index the stylesheet's collections: number formats by
id, fonts, fills and borders by position, and the alignment and protection of the format (0
for none). Fonts, fills, borders, alignments and protections are kept as the XML elements they
are written as, so that formats read from a file are written back unchanged. The number format
decides whether a number in that style is a date (or time) and whether it is an elapsed time.

The style objects (`Font`, `PatternFill`, `GradientFill`, `Border` with its `Side`s, `Alignment`,
`Protection`) are how cells show these elements: `Stylesheet.style_object` reads one from the
element a style array points to, and `Stylesheet.with_object` gives the style array that points
to an object's element, added to its collection unless an equal one is there.
"""

from __future__ import annotations

import math
import re
import xml.etree.ElementTree as ET
from array import array
from collections.abc import Callable, Iterable, Mapping
from typing import Any, ClassVar, Self, cast

from ..constants import MAIN_NS

_M = "{%s}" % MAIN_NS

__all__ = ["Alignment", "Border", "Color", "Fill", "Font", "GradientFill", "PatternFill", "Protection", "Side",
           "StyleArray", "Stylesheet", "STYLE_FIELDS", "BUILTIN_FORMATS", "is_date_format", "is_timedelta_format",
           "is_time_format"]

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
_AM_PM = re.compile(r"AM/PM|A/P", re.IGNORECASE)
_DATE_RUNS = re.compile(r"([dmyhs])\1*", re.IGNORECASE)  # each run of one letter, as that letter


def is_date_format(code: str | None) -> bool:
    """True when a number shown with this format code is a date, a time or a duration."""
    if code is None:
        return False
    section = code.split(";", 1)[0]
    return bool(_DATE_LETTERS.search(_NOT_DATE_PARTS.sub("", section)))


def is_timedelta_format(code: str | None) -> bool:
    """True for elapsed-time formats such as [h]:mm:ss, whose numbers are durations."""
    if code is None:
        return False
    section = _NOT_DATE_PARTS.sub(lambda m: m.group(0) if m.group(0).startswith("[") else "",
                                  code.split(";", 1)[0])
    return bool(_ELAPSED.search(section))


def is_time_format(code: str | None) -> bool:
    """True for formats that show a time of day and no date (h:mm:ss, mm:ss, h:mm AM/PM): an
    "m" is a minute after an hour or before a second, else a month."""
    if not is_date_format(code) or is_timedelta_format(code):
        return False
    assert code is not None  # a date format has a code
    section = _AM_PM.sub("", _NOT_DATE_PARTS.sub("", code.split(";", 1)[0]))
    runs = [letter.lower() for letter in _DATE_RUNS.findall(section)]
    for i, letter in enumerate(runs):
        if letter in "dy":
            return False
        if letter == "m" and not (i and runs[i - 1] == "h" or runs[i + 1:i + 2] == ["s"]):
            return False
    return True


class StyleArray(array[int]):
    """The nine ids of one cell format, in `STYLE_FIELDS` order."""

    __slots__ = ()

    def __new__(cls, values: Iterable[int] = (0,) * 9) -> Self:
        # The stub types array's constructor by typecode, not by class.
        return cast(Self, super().__new__(cls, "i", values))

    def __getattr__(self, name: str) -> int:
        try:
            return self[STYLE_FIELDS.index(name)]
        except ValueError:
            raise AttributeError(name) from None

    def __hash__(self) -> int:  # type: ignore[override]  # an array never changed in place
        return hash(tuple(self))

    def __repr__(self) -> str:
        return "StyleArray(%r)" % (list(self),)


class IndexedList(list[StyleArray]):
    """The workbook's cell formats: a list whose `add` returns the index of an equal entry,
    appending the value first when there is none (so equal formats share one id)."""

    def __init__(self, iterable: Iterable[StyleArray] = ()) -> None:
        super().__init__(iterable)
        self._index: dict[StyleArray, int] = {}
        for i, value in enumerate(self):
            self._index.setdefault(value, i)

    def add(self, value: StyleArray) -> int:
        index = self._index.get(value)
        if index is None or index >= len(self) or self[index] != value:
            index = self._find(value)
        return index

    def _find(self, value: StyleArray) -> int:
        for i, existing in enumerate(self):
            if existing == value:
                self._index[value] = i
                return i
        self.append(value)
        self._index[value] = len(self) - 1
        return len(self) - 1


def element_key(element: ET.Element) -> bytes:
    """What makes two style elements the same: tags, attributes, texts and children, in order."""
    return ET.tostring(element)


class ElementList(list[ET.Element | None]):
    """Style elements (fonts, fills, ...) that equal elements share an index in: `add`
    returns the index of an equal element, appending it first when there is none. Alignments
    and protections hold None at index 0, for "none"."""

    def __init__(self, elements: Iterable[ET.Element | None] = ()) -> None:
        super().__init__(elements)
        self._index: dict[bytes, int] = {}
        for i, element in enumerate(self):
            if element is not None:
                self._index.setdefault(element_key(element), i)

    def add(self, element: ET.Element) -> int:
        key = element_key(element)
        index = self._index.get(key)
        if index is None:
            index = self._index[key] = len(self)
            self.append(element)
        return index


def _element(tag: str, attrib: Mapping[str, str] | None = None, *children: ET.Element) -> ET.Element:
    element = ET.Element(_M + tag, dict(attrib or {}))
    element.extend(children)
    return element


def default_font() -> ET.Element:
    # Named outright rather than through a theme: a new workbook has no theme part.
    return _element("font", None, _element("sz", {"val": "11"}), _element("name", {"val": "Calibri"}),
                    _element("family", {"val": "2"}))


def _pattern_fill(pattern: str) -> ET.Element:
    return _element("fill", None, _element("patternFill", {"patternType": pattern}))


class Stylesheet:
    """The cell formats of a workbook and the collections their ids point into.

    A new stylesheet holds what every workbook starts with: one default cell format, the
    default font, the two fills that Excel reserves (none and gray125) and an empty border.
    `differential` holds the differential formats that conditional formats apply; `extra`
    keeps other top-level elements of a styles part that was read (table styles, a colour
    palette, extensions) to be written back as they were.
    """

    def __init__(self, cell_styles: Iterable[StyleArray] = (), number_formats: Mapping[int, str] | None = None,
                 fonts: Iterable[ET.Element] | None = None, fills: Iterable[ET.Element] | None = None,
                 borders: Iterable[ET.Element] | None = None, alignments: Iterable[ET.Element | None] | None = None,
                 protections: Iterable[ET.Element | None] | None = None,
                 style_xfs: Iterable[ET.Element] | None = None, named_styles: Iterable[ET.Element] | None = None,
                 extra: Mapping[str, ET.Element] | None = None, differential: Iterable[ET.Element] = ()) -> None:
        # Every workbook has a default cell format, even when its styles part lists none.
        self.cell_styles = IndexedList(cell_styles or (StyleArray(),))
        self.number_formats = dict(number_formats or {})
        self._format_ids: dict[str, int] = {}  # code -> id, of the custom formats asked for
        # code -> the default style array with that number format, shared
        self._formatted: dict[str, StyleArray] = {}
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
        # The differential formats that conditional formats (and tables) apply, by position.
        self.differential = ElementList(differential)
        # style object -> (index, element) in its collection
        self._interned: dict[_StyleValue, tuple[int, ET.Element | None]] = {}
        # (kind, index) -> (element, the style object read from it)
        self._objects: dict[tuple[str, int], tuple[ET.Element | None, _StyleValue]] = {}
        # (style array bytes, field, index) -> the array with it set, shared
        self._derived: dict[tuple[bytes | None, int, int], StyleArray] = {}

    def snapshot(self) -> dict[str, Any]:
        """The collections as they are now (their items, not copies), to tell later what was
        added to them (formats are only ever added)."""
        return {"cellXfs": list(self.cell_styles), "numFmts": dict(self.number_formats), "fonts": list(self.fonts),
                "fills": list(self.fills), "borders": list(self.borders), "alignments": list(self.alignments),
                "protections": list(self.protections), "cellStyleXfs": list(self.style_xfs),
                "cellStyles": list(self.named_styles), "dxfs": list(self.differential), "extra": dict(self.extra)}

    def code(self, num_fmt: int) -> str | None:
        """The format code of a number format id, or None when the id is unknown."""
        return self.number_formats.get(num_fmt, BUILTIN_FORMATS.get(num_fmt))

    def format_code(self, style_id: int) -> str | None:
        try:
            num_fmt = self.cell_styles[style_id][NUM_FMT]
        except (IndexError, TypeError):
            return None
        return self.code(num_fmt)

    def number_format_id(self, code: str) -> int:
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

    def formatted(self, style: StyleArray | None, code: str) -> StyleArray:
        """The style array that shows numbers with the format `code` and is otherwise `style`
        (None for the default format), shared by every caller asking for the same (style arrays
        are never changed in place)."""
        if style is not None:
            return self._with_field(style, NUM_FMT, self.number_format_id(code))
        # PERF NOTE: every date appended to a row without a format of its own comes here.
        shared = self._formatted.get(code)
        if shared is None or self.code(shared[NUM_FMT]) != code:
            shared = self._formatted[code] = StyleArray()
            shared[NUM_FMT] = self.number_format_id(code)
        return shared

    def style_object(self, style: StyleArray | None, kind: str) -> _StyleValue:
        """The `kind` of the style array `style` (None for the default format) as a style
        object: "font", "fill", "border", "alignment" or "protection". An id that points
        nowhere (a damaged file) gives what the writer writes for it, the default."""
        field, collection, read, default = _KINDS[kind]
        items: ElementList = getattr(self, collection)
        index = style[field] if style is not None else 0
        if not 0 <= index < len(items):
            index = 0
        element = items[index]
        cached = self._objects.get((kind, index))
        if cached is not None and cached[0] is element:
            return cached[1]
        if element is not None:
            found = read(element)
        else:  # a format without an alignment or protection (a font without its element: none set)
            found = default if default is not None else read(_element(kind))
        self._objects[(kind, index)] = (element, found)
        return found

    def with_object(self, style: StyleArray | None, kind: str, value: _StyleValue) -> StyleArray:
        """The style array that is `style` (None for the default format) with the style object
        `value` as its `kind`, which is added to its collection unless an equal element is
        there."""
        return self._with_field(style, _KINDS[kind][0], self._intern(kind, value))

    def _with_field(self, style: StyleArray | None, field: int, index: int) -> StyleArray:
        """`style` with `field` set to `index`. Callers asking for the same get the same array
        (style arrays are never changed in place), so a million cells styled alike hold one."""
        if style is not None and style[field] == index:
            return style
        key = (None if style is None else style.tobytes(), field, index)
        shared = self._derived.get(key)
        if shared is None:
            if len(self._derived) >= _DERIVED_LIMIT:
                self._derived.clear()
            shared = StyleArray() if style is None else StyleArray(style)
            shared[field] = index
            self._derived[key] = shared
        return shared

    def _intern(self, kind: str, value: _StyleValue) -> int:
        _field, collection, _read, default = _KINDS[kind]
        if default is not None and value == default:
            return 0  # "none": the format has no element of this kind
        items: ElementList = getattr(self, collection)
        known = self._interned.get(value)
        # Checked: the collection may have been replaced or changed since.
        if known is not None and known[0] < len(items) and items[known[0]] is known[1]:
            return known[0]
        index = items.add(value._element())
        self._interned[value] = (index, items[index])
        return index

    def date_formats(self) -> set[int]:
        """Style ids whose numbers are dates, times or durations."""
        return {i for i in range(len(self.cell_styles)) if is_date_format(self.format_code(i))}

    def timedelta_formats(self) -> set[int]:
        """Style ids whose numbers are durations (elapsed-time formats)."""
        return {i for i in range(len(self.cell_styles)) if is_timedelta_format(self.format_code(i))}

    def time_formats(self) -> set[int]:
        """Style ids whose numbers are times of day (formats showing a time and no date)."""
        return {i for i in range(len(self.cell_styles)) if is_time_format(self.format_code(i))}


# ------------------------------------------------------------------ style objects
#
# What a cell's `font`, `fill`, `border`, `alignment` and `protection` give and take. They are
# values: immutable, hashable, equal when their fields are. A cell never holds one: assigning
# it finds (or adds) its element in the workbook's collection and gives the cell the style
# array that points there, so a styled cell costs its format id and nothing more.

_HEX_COLOR = re.compile(r"(?:[0-9A-Fa-f]{2})?[0-9A-Fa-f]{6}\Z")


def _rgb(value: object, what: str) -> str:
    if not isinstance(value, str) or not _HEX_COLOR.match(value):
        raise ValueError("%s %r: a colour is 'RRGGBB' or 'AARRGGBB' in hexadecimal digits" % (what, value))
    value = value.upper()
    return value if len(value) == 8 else "FF" + value


def _choice(value: object, what: str, choices: tuple[str, ...], none: tuple[object, ...] = ()) -> str | None:
    """`value` if it is one of `choices`; None for None and for the names of "none"."""
    if value is None or value in none:
        return None
    if not isinstance(value, str) or value not in choices:
        raise ValueError("%s %r: one of %s" % (what, value, ", ".join(map(repr, choices))))
    return value


def _number(value: object, what: str, low: float | None = None, high: float | None = None,
            integral: bool = False) -> Any:
    kinds: type | tuple[type, ...] = int if integral else (int, float)
    if isinstance(value, bool) or not isinstance(value, kinds):
        raise TypeError("%s %r: a%s number" % (what, value, "n integer" if integral else ""))
    assert isinstance(value, (int, float))
    if not math.isfinite(value):
        raise ValueError("%s %r: a finite number" % (what, value))
    if low is not None and value < low or high is not None and value > high:
        raise ValueError("%s %r: from %s to %s" % (what, value, low, high))
    return value


def _number_text(value: float) -> str:
    text = repr(value)
    return text[:-2] if text.endswith(".0") else text


def _parse_number(text: str | None) -> int | float | None:
    """A number attribute as read: an int when it is whole, else a float; None when it is no
    number."""
    if text is None:
        return None
    try:
        return int(text)
    except ValueError:
        pass
    try:
        number = float(text)
    except ValueError:
        return None
    return number if math.isfinite(number) else None


def _parse_bool(text: str | None, default: bool) -> bool:
    if text is None:
        return default
    return text not in ("0", "false")


class _StyleValue:
    """Fields named in `_fields`, set once by the constructor; equality and hashing by them."""

    # PERF NOTE: the fields as a tuple and its hash, worked out once: every assignment to a
    # cell looks its object up by them.
    __slots__ = ("_key", "_hash")
    _fields: ClassVar[tuple[str, ...]] = ()
    _key: tuple[Any, ...]
    _hash: int

    def _init(self, **values: Any) -> None:
        for name in self._fields:
            object.__setattr__(self, name, values[name])
        key = tuple(values[name] for name in self._fields)
        object.__setattr__(self, "_key", key)
        object.__setattr__(self, "_hash", hash((type(self).__name__, key)))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("%s objects cannot be changed: make a new one (or use copy())" % type(self).__name__)

    def __delattr__(self, name: str) -> None:
        self.__setattr__(name, None)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._key == other._key

    def __hash__(self) -> int:
        return self._hash

    def __repr__(self) -> str:
        default = type(self)()
        shown = ("%s=%r" % (name, getattr(self, name)) for name in self._fields
                 if getattr(self, name) != getattr(default, name))
        return "%s(%s)" % (type(self).__name__, ", ".join(shown))

    def __reduce__(self) -> tuple[Callable[..., Any], tuple[Any, ...]]:
        return _rebuild, (type(self), dict(zip(self._fields, self._key)))

    def copy(self, **changes: Any) -> Self:
        """A new object with these fields changed."""
        unknown = set(changes) - set(self._fields)
        if unknown:
            raise TypeError("%s has no field %s" % (type(self).__name__, ", ".join(sorted(unknown))))
        return type(self)(**{**dict(zip(self._fields, self._key)), **changes})

    def _element(self) -> ET.Element:
        """The element this object is written as in its collection."""
        raise NotImplementedError


def _rebuild(cls: type[_StyleValue], fields: dict[str, Any]) -> _StyleValue:
    return cls(**fields)


class Color(_StyleValue):
    """A colour that is more than an RGB value: a theme colour, a palette (indexed) colour, the
    automatic colour, any of them lightened or darkened by `tint` (-1 to 1). Style objects take
    a plain RGB colour as a string ("RRGGBB" or "AARRGGBB") and give it back as "AARRGGBB";
    other colours read from a file come back as `Color`."""

    __slots__ = ("rgb", "indexed", "theme", "tint", "auto")
    _fields = __slots__
    rgb: str | None
    indexed: int | None
    theme: int | None
    tint: float
    auto: bool

    def __init__(self, rgb: str | None = None, indexed: int | None = None, theme: int | None = None,
                 tint: float = 0, auto: bool = False) -> None:
        self._init(rgb=None if rgb is None else _rgb(rgb, "rgb"),
                   indexed=None if indexed is None else _number(indexed, "indexed colour", 0, integral=True),
                   theme=None if theme is None else _number(theme, "theme colour", 0, integral=True),
                   tint=_number(tint, "tint", -1, 1), auto=bool(auto))


ColorLike = str | Color | None  # "RRGGBB", "AARRGGBB", a Color, or none


def _color(value: ColorLike, what: str) -> str | Color | None:
    """A colour as style objects keep it: None, "AARRGGBB", or a `Color` that is more."""
    if value is None:
        return None
    if isinstance(value, Color):
        if value.rgb is not None and value == Color(value.rgb):
            return value.rgb
        return value
    return _rgb(value, what)


def _color_attrs(color: str | Color) -> dict[str, str]:
    if isinstance(color, str):
        return {"rgb": color}
    attrs = {}
    if color.auto:
        attrs["auto"] = "1"
    if color.indexed is not None:
        attrs["indexed"] = str(color.indexed)
    if color.rgb is not None:
        attrs["rgb"] = color.rgb
    if color.theme is not None:
        attrs["theme"] = str(color.theme)
    if color.tint:
        attrs["tint"] = _number_text(color.tint)
    return attrs


def _read_color(element: ET.Element | None) -> str | Color | None:
    """The colour of a colour element; None when it names none this model can hold."""
    if element is None:
        return None
    rgb, tint = element.get("rgb"), _parse_number(element.get("tint")) or 0
    if rgb is not None and _HEX_COLOR.match(rgb) and not tint and len(element.attrib) == 1:
        return _rgb(rgb, "rgb")
    try:
        color = _color(Color(rgb=rgb if rgb is not None and _HEX_COLOR.match(rgb) else None,
                            indexed=_int_or_none(element.get("indexed")),
                            theme=_int_or_none(element.get("theme")),
                            tint=max(-1, min(1, tint)),
                            auto=_parse_bool(element.get("auto"), False)), "colour")
    except (TypeError, ValueError):
        return None
    return None if color == Color() else color


def _int_or_none(text: str | None) -> int | None:
    number = _parse_number(text)
    return number if isinstance(number, int) and number >= 0 else None


UNDERLINES = ("single", "double", "singleAccounting", "doubleAccounting")
VERTICAL_ALIGNS = ("superscript", "subscript", "baseline")
FONT_SCHEMES = ("major", "minor")
# Font properties that are on when present, in the order they are written.
_FONT_FLAGS = (("bold", "b"), ("italic", "i"), ("strike", "strike"), ("condense", "condense"),
               ("extend", "extend"), ("outline", "outline"), ("shadow", "shadow"))


class Font(_StyleValue):
    """The font of a cell's text. `size` is in points; `underline` is one of `UNDERLINES`;
    `color` is "RRGGBB", "AARRGGBB" or a `Color`. A field left None leaves the workbook's
    default in force."""

    __slots__ = ("name", "size", "bold", "italic", "underline", "strike", "color", "vertAlign",
                 "charset", "family", "scheme", "outline", "shadow", "condense", "extend")
    _fields = __slots__
    name: str | None
    size: float | None
    bold: bool
    italic: bool
    underline: str | None
    strike: bool
    color: str | Color | None
    vertAlign: str | None
    charset: int | None
    family: int | None
    scheme: str | None
    outline: bool
    shadow: bool
    condense: bool
    extend: bool

    def __init__(self, name: str | None = None, size: float | None = None, bold: bool = False,
                 italic: bool = False, underline: str | bool | None = None, strike: bool = False,
                 color: ColorLike = None, vertAlign: str | None = None, charset: int | None = None,
                 family: int | None = None, scheme: str | None = None, outline: bool = False,
                 shadow: bool = False, condense: bool = False, extend: bool = False) -> None:
        if name is not None and not isinstance(name, str):
            raise TypeError("font name %r: a str" % (name,))
        self._init(name=name, size=None if size is None else _number(size, "font size", 1, 409),
                   bold=bool(bold), italic=bool(italic),
                   underline="single" if underline is True else _choice(
                       underline, "underline", UNDERLINES, ("none", False)),
                   strike=bool(strike), color=_color(color, "font color"),
                   vertAlign=_choice(vertAlign, "vertAlign", VERTICAL_ALIGNS),
                   charset=None if charset is None else _number(charset, "charset", 0, 255, True),
                   family=None if family is None else _number(family, "font family", 0, 14, True),
                   scheme=_choice(scheme, "font scheme", FONT_SCHEMES, ("none",)),
                   outline=bool(outline), shadow=bool(shadow), condense=bool(condense), extend=bool(extend))

    def _element(self) -> ET.Element:
        children = [_element(tag) for field, tag in _FONT_FLAGS if getattr(self, field)]
        if self.underline is not None:
            children.append(_element("u", None if self.underline == "single" else {"val": self.underline}))
        if self.vertAlign is not None:
            children.append(_element("vertAlign", {"val": self.vertAlign}))
        if self.size is not None:
            children.append(_element("sz", {"val": _number_text(self.size)}))
        if self.color is not None:
            children.append(_element("color", _color_attrs(self.color)))
        for tag, value in (("name", self.name), ("family", self.family), ("charset", self.charset),
                           ("scheme", self.scheme)):
            if value is not None:
                children.append(_element(tag, {"val": str(value)}))
        return _element("font", None, *children)

    @classmethod
    def _read(cls, element: ET.Element) -> Self:
        values = {}  # local name -> the last child of that name
        for child in element:
            if isinstance(child.tag, str):
                values[child.tag.rpartition("}")[2]] = child
        flags = {field: _parse_bool(values[tag].get("val"), True) for field, tag in _FONT_FLAGS if tag in values}
        underline = values.get("u")
        return _lenient(cls, **flags, name=_val(values.get("name")), size=_parse_number(_val(values.get("sz"))),
                        underline=None if underline is None else underline.get("val", "single"),
                        color=_read_color(values.get("color")),
                        vertAlign=_val(values.get("vertAlign")),
                        charset=_int_or_none(_val(values.get("charset"))),
                        family=_int_or_none(_val(values.get("family"))),
                        scheme=_val(values.get("scheme")))


def _val(element: ET.Element | None) -> str | None:
    return None if element is None else element.get("val")


def _lenient[T: _StyleValue](cls: type[T], **fields: Any) -> T:
    """`cls(**fields)`, without the fields that a damaged file gave values the constructor
    refuses: each field is tried alone."""
    try:
        return cls(**fields)
    except (TypeError, ValueError):
        return cls(**{name: value for name, value in fields.items() if _accepted(cls, name, value)})


def _accepted(cls: type[_StyleValue], name: str, value: object) -> bool:
    try:
        cls(**{name: value})
    except (TypeError, ValueError):
        return False
    return True


FILL_TYPES = ("solid", "darkDown", "darkGray", "darkGrid", "darkHorizontal", "darkTrellis", "darkUp",
              "darkVertical", "gray0625", "gray125", "lightDown", "lightGray", "lightGrid",
              "lightHorizontal", "lightTrellis", "lightUp", "lightVertical", "mediumGray")


class Fill(_StyleValue):
    """What fills a cell's background: a `PatternFill` or a `GradientFill`."""

    __slots__ = ()


class PatternFill(Fill):
    """A background of one pattern (`fill_type`, one of `FILL_TYPES`; "solid" shows `fgColor`
    alone) in the foreground colour over the background colour."""

    __slots__ = ("fill_type", "fgColor", "bgColor")
    _fields = __slots__
    fill_type: str | None
    fgColor: str | Color | None
    bgColor: str | Color | None

    def __init__(self, fill_type: str | None = None, fgColor: ColorLike = None, bgColor: ColorLike = None) -> None:
        self._init(fill_type=_choice(fill_type, "fill type", FILL_TYPES, ("none",)),
                   fgColor=_color(fgColor, "fgColor"), bgColor=_color(bgColor, "bgColor"))

    def _element(self) -> ET.Element:
        pattern = _element("patternFill", {"patternType": self.fill_type or "none"})
        for tag in ("fgColor", "bgColor"):
            color = getattr(self, tag)
            if color is not None:
                pattern.append(_element(tag, _color_attrs(color)))
        return _element("fill", None, pattern)

    @classmethod
    def _read(cls, pattern: ET.Element) -> Self:
        return _lenient(cls, fill_type=pattern.get("patternType"),
                        fgColor=_read_color(pattern.find(_M + "fgColor")),
                        bgColor=_read_color(pattern.find(_M + "bgColor")))


class GradientFill(Fill):
    """A background that passes through the colours of `stop`, a sequence of (position from 0
    to 1, colour): along the angle `degree` ("linear") or from the rectangle given by `left`,
    `right`, `top` and `bottom` outwards ("path")."""

    __slots__ = ("type", "degree", "left", "right", "top", "bottom", "stop")
    _fields = __slots__
    type: str
    degree: float
    left: float
    right: float
    top: float
    bottom: float
    stop: tuple[tuple[float, str | Color], ...]

    def __init__(self, type: str = "linear", degree: float = 0, left: float = 0, right: float = 0, top: float = 0,
                 bottom: float = 0, stop: Iterable[tuple[float, ColorLike]] = ()) -> None:
        stops = []
        for item in stop:
            position, color = item
            if color is None:
                raise ValueError("gradient stop at %r: a stop needs a colour" % (position,))
            stops.append((_number(position, "gradient stop", 0, 1), _color(color, "gradient stop color")))
        self._init(type=_choice(type, "gradient type", ("linear", "path")) or "linear",
                   degree=_number(degree, "degree"),
                   **{side: _number(value, side, 0, 1) for side, value in
                      (("left", left), ("right", right), ("top", top), ("bottom", bottom))},
                   stop=tuple(stops))

    def _element(self) -> ET.Element:
        attrs = {} if self.type == "linear" else {"type": self.type}
        for name in ("degree", "left", "right", "top", "bottom"):
            if getattr(self, name):
                attrs[name] = _number_text(getattr(self, name))
        stops = (_element("stop", {"position": _number_text(position)}, _element("color", _color_attrs(color)))
                 for position, color in self.stop)
        return _element("fill", None, _element("gradientFill", attrs, *stops))

    @classmethod
    def _read(cls, gradient: ET.Element) -> Self:
        stops = []
        for stop in gradient.findall(_M + "stop"):
            position, color = _parse_number(stop.get("position")), _read_color(stop.find(_M + "color"))
            if position is not None and 0 <= position <= 1 and color is not None:
                stops.append((position, color))
        numbers = {name: _parse_number(gradient.get(name)) or 0
                   for name in ("degree", "left", "right", "top", "bottom")}
        return _lenient(cls, type=gradient.get("type", "linear"), stop=stops, **numbers)


def _read_fill(element: ET.Element) -> Fill:
    pattern = element.find(_M + "patternFill")
    if pattern is not None:
        return PatternFill._read(pattern)
    gradient = element.find(_M + "gradientFill")
    if gradient is not None:
        return GradientFill._read(gradient)
    return PatternFill()


BORDER_STYLES = ("dashDot", "dashDotDot", "dashed", "dotted", "double", "hair", "medium", "mediumDashDot",
                 "mediumDashDotDot", "mediumDashed", "slantDashDot", "thick", "thin")
_SIDES = ("left", "right", "top", "bottom", "diagonal", "vertical", "horizontal")


class Side(_StyleValue):
    """One edge of a cell's border: its line `style` (one of `BORDER_STYLES`) and colour."""

    __slots__ = ("style", "color")
    _fields = __slots__
    style: str | None
    color: str | Color | None

    def __init__(self, style: str | None = None, color: ColorLike = None) -> None:
        self._init(style=_choice(style, "border style", BORDER_STYLES, ("none",)),
                   color=_color(color, "border color"))

    def _side_element(self, tag: str) -> ET.Element:
        side = _element(tag, None if self.style is None else {"style": self.style})
        if self.color is not None:
            side.append(_element("color", _color_attrs(self.color)))
        return side

    @classmethod
    def _read(cls, element: ET.Element | None) -> Self:
        if element is None:
            return cls()
        return _lenient(cls, style=element.get("style"), color=_read_color(element.find(_M + "color")))


class Border(_StyleValue):
    """The edges of a cell: each a `Side` (an empty `Side()` draws nothing). `vertical` and
    `horizontal` are the inner edges of a range; the diagonal is drawn upwards, downwards or
    both as `diagonal_up` and `diagonal_down` say."""

    __slots__ = ("left", "right", "top", "bottom", "diagonal", "diagonal_up", "diagonal_down",
                 "vertical", "horizontal", "outline")
    _fields = __slots__
    left: Side
    right: Side
    top: Side
    bottom: Side
    diagonal: Side
    diagonal_up: bool
    diagonal_down: bool
    vertical: Side
    horizontal: Side
    outline: bool

    def __init__(self, left: Side | None = None, right: Side | None = None, top: Side | None = None,
                 bottom: Side | None = None, diagonal: Side | None = None, diagonal_up: bool = False,
                 diagonal_down: bool = False, vertical: Side | None = None, horizontal: Side | None = None,
                 outline: bool = True) -> None:
        sides = {}
        for name, side in (("left", left), ("right", right), ("top", top), ("bottom", bottom),
                           ("diagonal", diagonal), ("vertical", vertical), ("horizontal", horizontal)):
            if side is None:
                side = Side()
            elif not isinstance(side, Side):
                raise TypeError("border %s: a Side, not %s" % (name, type(side).__name__))
            sides[name] = side
        self._init(**sides, diagonal_up=bool(diagonal_up), diagonal_down=bool(diagonal_down),
                   outline=bool(outline))

    def _element(self) -> ET.Element:
        attrs = {}
        if self.diagonal_up:
            attrs["diagonalUp"] = "1"
        if self.diagonal_down:
            attrs["diagonalDown"] = "1"
        if not self.outline:
            attrs["outline"] = "0"
        empty = Side()
        return _element("border", attrs, *(getattr(self, name)._side_element(name) for name in _SIDES
                                           if getattr(self, name) != empty))

    @classmethod
    def _read(cls, element: ET.Element) -> Self:
        return cls(**{name: Side._read(element.find(_M + name)) for name in _SIDES},
                   diagonal_up=_parse_bool(element.get("diagonalUp"), False),
                   diagonal_down=_parse_bool(element.get("diagonalDown"), False),
                   outline=_parse_bool(element.get("outline"), True))


HORIZONTAL_ALIGNMENTS = ("general", "left", "center", "right", "fill", "justify", "centerContinuous",
                         "distributed")
VERTICAL_ALIGNMENTS = ("top", "center", "bottom", "justify", "distributed")
# Field, attribute and default, in the schema's order of the attributes.
_ALIGNMENT_ATTRS = (("horizontal", "horizontal", None), ("vertical", "vertical", None),
                    ("text_rotation", "textRotation", 0), ("wrap_text", "wrapText", False),
                    ("indent", "indent", 0), ("relative_indent", "relativeIndent", 0),
                    ("justify_last_line", "justifyLastLine", False), ("shrink_to_fit", "shrinkToFit", False),
                    ("reading_order", "readingOrder", 0))


class Alignment(_StyleValue):
    """Where a cell's text sits: `horizontal` (one of `HORIZONTAL_ALIGNMENTS`), `vertical`
    (one of `VERTICAL_ALIGNMENTS`), wrapped or shrunk to fit, indented by `indent` steps, and
    turned by `text_rotation` degrees (0 to 180; 255 stacks the letters)."""

    __slots__ = tuple(field for field, _attr, _default in _ALIGNMENT_ATTRS)
    _fields = ("horizontal", "vertical", "wrap_text", "shrink_to_fit", "indent", "text_rotation",
               "relative_indent", "justify_last_line", "reading_order")
    horizontal: str | None
    vertical: str | None
    wrap_text: bool
    shrink_to_fit: bool
    indent: int
    text_rotation: int
    relative_indent: int
    justify_last_line: bool
    reading_order: int

    def __init__(self, horizontal: str | None = None, vertical: str | None = None, wrap_text: bool = False,
                 shrink_to_fit: bool = False, indent: int = 0, text_rotation: int = 0, relative_indent: int = 0,
                 justify_last_line: bool = False, reading_order: int = 0) -> None:
        text_rotation = _number(text_rotation, "text rotation", 0, 255, True)
        if 180 < text_rotation < 255:
            raise ValueError("text rotation %r: from 0 to 180 degrees, or 255 for stacked letters" % text_rotation)
        self._init(horizontal=_choice(horizontal, "horizontal alignment", HORIZONTAL_ALIGNMENTS),
                   vertical=_choice(vertical, "vertical alignment", VERTICAL_ALIGNMENTS),
                   wrap_text=bool(wrap_text), shrink_to_fit=bool(shrink_to_fit),
                   indent=_number(indent, "indent", 0, 255, True), text_rotation=text_rotation,
                   relative_indent=_number(relative_indent, "relative indent", -255, 255, True),
                   justify_last_line=bool(justify_last_line),
                   reading_order=_number(reading_order, "reading order", 0, 2, True))

    def _element(self) -> ET.Element:
        attrs = {}
        for field, attr, default in _ALIGNMENT_ATTRS:
            value = getattr(self, field)
            if value != default:
                attrs[attr] = "1" if value is True else str(value)
        return _element("alignment", attrs)

    @classmethod
    def _read(cls, element: ET.Element) -> Self:
        fields = {}
        for field, attr, default in _ALIGNMENT_ATTRS:
            text = element.get(attr)
            if text is not None:
                fields[field] = (_parse_bool(text, default) if isinstance(default, bool)
                                 else _parse_number(text) if default == 0 else text)
        return _lenient(cls, **fields)


class Protection(_StyleValue):
    """Whether a cell is locked and its formula hidden once its sheet is protected."""

    __slots__ = ("locked", "hidden")
    _fields = __slots__
    locked: bool
    hidden: bool

    def __init__(self, locked: bool = True, hidden: bool = False) -> None:
        self._init(locked=bool(locked), hidden=bool(hidden))

    def _element(self) -> ET.Element:
        attrs = {}
        if not self.locked:
            attrs["locked"] = "0"
        if self.hidden:
            attrs["hidden"] = "1"
        return _element("protection", attrs)

    @classmethod
    def _read(cls, element: ET.Element) -> Self:
        return cls(_parse_bool(element.get("locked"), True), _parse_bool(element.get("hidden"), False))


# Each kind of style object: its field in the style array, the collection its elements are kept
# in, how one is read from its element, and what id 0 stands for when it means "none".
_KINDS = {
    "font": (STYLE_FIELDS.index("fontId"), "fonts", Font._read, None),
    "fill": (STYLE_FIELDS.index("fillId"), "fills", _read_fill, None),
    "border": (STYLE_FIELDS.index("borderId"), "borders", Border._read, None),
    "alignment": (STYLE_FIELDS.index("alignmentId"), "alignments", Alignment._read, Alignment()),
    "protection": (STYLE_FIELDS.index("protectionId"), "protections", Protection._read, Protection()),
}
STYLE_KINDS = {"font": Font, "fill": Fill, "border": Border, "alignment": Alignment, "protection": Protection}
_DERIVED_LIMIT = 1 << 16
