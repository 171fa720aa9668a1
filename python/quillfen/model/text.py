"""The one check of text that the model hands to a file.

Every text a workbook writes (cell values, sheet titles, defined names, number formats, font
names, comments and their authors, hyperlinks, the attributes of row and column settings) is
checked here when it is assigned, so that nothing a serialiser cannot write, or a reader could
not read back, is ever held: ElementTree would write such a character as it is, into a file no
program opens, and lxml would refuse it in the middle of a save.
"""

import re
from typing import Any

__all__ = ["NOT_XML", "check_text", "TextField"]

# What XML 1.0 cannot carry: C0 controls other than tab, line feed and carriage return, lone
# surrogates (no UTF-8 file can hold them) and the non-characters U+FFFE and U+FFFF.
NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def check_text(value: object, field: str, limit: int | None = None) -> str:
    """`value` if it is a str that a file can carry (of at most `limit` characters, when
    given); otherwise TypeError or ValueError, naming `field` ("sheet title", "cell
    Sheet1!B3")."""
    if not isinstance(value, str):
        raise TypeError("%s is a str, not %s" % (field, type(value).__name__))
    if limit is not None and len(value) > limit:
        raise ValueError("%s cannot hold text of %d characters (at most %d)" % (field, len(value), limit))
    # PERF NOTE: printable text holds none of the characters refused, and isprintable() is
    # far cheaper than the search.
    if not value.isprintable():
        bad = NOT_XML.search(value)
        if bad is not None:
            raise ValueError("%s cannot hold the character %r at index %d: XML cannot carry it"
                             % (field, bad.group(), bad.start()))
    return value


class TextField:
    """An optional text attribute of a model object, checked by `check_text` whenever it is
    assigned: `target = TextField("a hyperlink's target")`. The value lives in the slot of
    the same name with a leading underscore."""

    __slots__ = ("field", "slot")

    def __init__(self, field: str) -> None:
        self.field = field
        self.slot = ""

    def __set_name__(self, owner: type, name: str) -> None:
        self.slot = "_" + name

    def __get__(self, obj: Any, owner: type | None = None) -> Any:
        if obj is None:
            return self
        return getattr(obj, self.slot)

    def __set__(self, obj: Any, value: str | None) -> None:
        setattr(obj, self.slot, None if value is None else check_text(value, self.field))
