"""Rich text: cell text made of runs, each with its own font properties.

`CellRichText` is a list whose items are plain `str` runs or `TextBlock`s (a text with an
`InlineFont`). `from_tree` builds one from a parsed string item (`si` or `is` element):
its direct text `t` comes first, then its runs `r`; phonetic runs (`rPh`) are not text.
The `_xHHHH_` escapes of each text are undone (`quillfen.utils.escapes`).
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import Any, Protocol

from ..utils.escapes import decode

__all__ = ["InlineFont", "TextBlock", "CellRichText", "localname", "item_runs"]


class Element(Protocol):
    """What is read of a parsed element: ElementTree's and lxml's elements both have it."""

    tag: Any  # str, or a function for comments and processing instructions
    text: str | None
    attrib: Any

    def __iter__(self) -> Any: ...

    def get(self, key: str, default: None = None) -> str | None: ...


Converter = Callable[[Any], Any]


def localname(tag: str) -> str:
    """The local part of an ElementTree tag ("{uri}t" -> "t")."""
    return tag.rpartition("}")[2]


def item_runs(node: Iterable[Element], font: Callable[[Element], InlineFont] | None = None
              ) -> tuple[str | None, list[tuple[InlineFont | None, str]]]:
    """The text of a string item (`si`) or inline string (`is`) element, as its parts:
    (the text of its last direct `t`, or None; [(font, the text of its last `t`) for each run
    `r` that has text]), escapes undone. Children are told apart by local name.

    A run's font is None unless `font` is given: then every `rPr` met is passed to it, in
    document order (so an invalid one raises wherever it is), and a run keeps its last result."""
    plain: str | None = None
    runs: list[tuple[InlineFont | None, str]] = []
    for child in node:
        if not isinstance(child.tag, str):
            continue
        tag = localname(child.tag)
        if tag == "t":
            # The last direct text wins, even when it is empty.
            plain = None if child.text is None else decode(child.text)
        elif tag == "r":
            text: str | None = None
            props: InlineFont | None = None
            for part in child:
                if not isinstance(part.tag, str):
                    continue
                ptag = localname(part.tag)
                if ptag == "t":
                    text = part.text
                elif ptag == "rPr" and font is not None:
                    props = font(part)
            if text is not None:
                runs.append((props, decode(text)))
    return plain, runs


def _bool(value: str | None) -> bool:
    if value is None:  # <b/> means bold
        return True
    if value in ("1", "true"):
        return True
    if value in ("0", "false"):
        return False
    raise ValueError(f"invalid boolean {value!r}")


def _int(value: str | None) -> int:
    if value is None:
        raise ValueError("missing value")
    return int(value)


def _float(value: str | None) -> float:
    if value is None:
        raise ValueError("missing value")
    return float(value)


def _choice(*choices: str, default: str | None = None) -> Callable[[str | None], str]:
    def convert(value: str | None) -> str:
        if value is None and default is not None:
            return default
        if value is None or value not in choices:
            raise ValueError(f"value must be one of {choices}, not {value!r}")
        return value
    return convert


def _str(value: str | None) -> str:
    if value is None:
        raise ValueError("missing value")
    return value


_COLOR_ATTRS: dict[str, Converter] = {"rgb": str, "theme": int, "tint": float, "indexed": int, "auto": _bool}

# Child element of rPr -> (attribute name, converter of its "val" attribute)
_FONT_FIELDS: dict[str, tuple[str, Converter]] = {
    "rFont": ("rFont", _str),
    "charset": ("charset", _int),
    "family": ("family", _float),
    "b": ("b", _bool),
    "i": ("i", _bool),
    "strike": ("strike", _bool),
    "outline": ("outline", _bool),
    "shadow": ("shadow", _bool),
    "condense": ("condense", _bool),
    "extend": ("extend", _bool),
    "sz": ("sz", _float),
    "u": ("u", _choice("single", "double", "singleAccounting", "doubleAccounting", "none",
                       default="single")),
    "vertAlign": ("vertAlign", _choice("superscript", "subscript", "baseline")),
    "scheme": ("scheme", _choice("major", "minor", "none")),
}


class InlineFont:
    """Font properties of one run (the `rPr` element). Unset properties are None."""

    __slots__ = tuple(name for name, _ in _FONT_FIELDS.values()) + ("color",)

    def __init__(self, **props: Any) -> None:
        for name in self.__slots__:
            setattr(self, name, props.pop(name, None))
        if props:
            raise TypeError(f"unexpected font properties: {sorted(props)}")

    @classmethod
    def from_tree(cls, node: Element) -> InlineFont:
        """Parse an `rPr` element. Raises ValueError for a property value that is not valid."""
        props: dict[str, Any] = {}
        for child in node:
            if not isinstance(child.tag, str):
                continue
            tag = localname(child.tag)
            if tag == "color":
                color: dict[str, Any] = {}
                for key, value in child.attrib.items():
                    convert = _COLOR_ATTRS.get(localname(key))
                    if convert is None:
                        continue  # attributes of other schemas do not change the colour
                    color[localname(key)] = convert(value)
                props["color"] = color
            elif tag in _FONT_FIELDS:
                name, convert = _FONT_FIELDS[tag]
                props[name] = convert(child.get("val"))
            # other children (extensions) carry nothing this model keeps
        return cls(**props)

    def _items(self) -> tuple[tuple[str, Any], ...]:
        return tuple((name, getattr(self, name)) for name in self.__slots__)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, InlineFont) and self._items() == other._items()

    def __hash__(self) -> int:
        # Equal fonts must hash alike: 11 == 11.0, and colours compare as dicts, whatever the
        # order of their attributes.
        return hash(tuple((k, _hashable(v)) for k, v in self._items()))

    def __repr__(self) -> str:
        props = ", ".join(f"{k}={v!r}" for k, v in self._items() if v is not None)
        return f"InlineFont({props})"


def _hashable(value: Any) -> Any:
    if isinstance(value, dict):
        return frozenset((k, _hashable(v)) for k, v in value.items())
    try:
        hash(value)
    except TypeError:
        return repr(value)  # a property value set by hand to something unhashable
    return value


class TextBlock:
    """A run of text with its font."""

    __slots__ = ("font", "text")

    def __init__(self, font: InlineFont, text: str) -> None:
        self.font = font
        self.text = text

    def __eq__(self, other: object) -> bool:
        return isinstance(other, TextBlock) and (self.font, self.text) == (other.font, other.text)

    def __hash__(self) -> int:
        return hash((self.font, self.text))

    def __str__(self) -> str:
        return self.text

    def __repr__(self) -> str:
        return f"TextBlock({self.font!r}, {self.text!r})"


class CellRichText(list[str | TextBlock]):
    """Rich cell text: a list of `str` and `TextBlock` runs; `str()` gives the plain text."""

    @classmethod
    def from_tree(cls, node: Element) -> CellRichText:
        """Runs of an `si` or `is` element: its direct text first, then each run with text."""
        plain, runs = item_runs(node, InlineFont.from_tree)
        result = cls()
        if plain is not None:
            result.append(plain)
        result.extend(TextBlock(font, text) if font is not None else text for font, text in runs)
        return result

    def __str__(self) -> str:
        return "".join(str(run) for run in self)

    def __repr__(self) -> str:
        return f"CellRichText({list.__repr__(self)})"
