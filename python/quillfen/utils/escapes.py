"""The `_xHHHH_` escapes of cell text.

Spreadsheet files carry characters that XML cannot (and a carriage return, which XML turns into
a line feed) as `_xHHHH_`: the character's UTF-16 code unit in four hexadecimal digits, a
surrogate pair as two escapes in a row. Programs that read the files show the character, so a
text typed as "_x000D_" must be stored as "_x005F_x000D_" (an escaped underscore, then the rest
as it is) to come back unchanged.

`decode` undoes the escapes of text read from a file; `encode` protects text written to one,
so that `decode(encode(text)) == text` for every text.
"""

import re

__all__ = ["decode", "encode"]

# Characters XML 1.0 cannot hold that an escape carries: C0 controls other than tab, line feed
# and carriage return, and the non-characters U+FFFE and U+FFFF. (Lone surrogates cannot be
# written at all: the cells refuse them.)
_ESCAPED_CHARS = "\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff"

# A high and a low surrogate in a row make one character; either alone is kept as it stands
# (no text can hold a lone surrogate). Matches are taken left to right and never overlap.
_ESCAPE = re.compile("_x([dD][89abAB][0-9a-fA-F]{2})__x([dD][c-fC-F][0-9a-fA-F]{2})_|_x([0-9a-fA-F]{4})_")

# What `encode` changes: an underscore that would start an escape once written (followed by
# "x", four hex digits and an underscore, or by a character that is itself written as an
# escape), and each character of `_ESCAPED_CHARS`.
_PROTECT = re.compile("_(?=x[0-9a-fA-F]{4}[_%s])|[%s]" % (_ESCAPED_CHARS, _ESCAPED_CHARS))


def _decoded(match: re.Match[str]) -> str:
    high, low, single = match.groups()
    if single is None:
        return chr(0x10000 + ((int(high, 16) - 0xD800) << 10) + int(low, 16) - 0xDC00)
    code = int(single, 16)
    return match.group() if 0xD800 <= code <= 0xDFFF else chr(code)


def decode(text: str) -> str:
    """Text read from a file with its `_xHHHH_` escapes undone."""
    return _ESCAPE.sub(_decoded, text) if "_x" in text else text


def _protected(match: re.Match[str]) -> str:
    found = match.group()
    return "_x005F_" if found == "_" else "_x%04X_" % ord(found)


def encode(text: str) -> str:
    """Text as it is written to a file: each underscore that would be read as the start of an
    escape, and each character XML cannot hold, escaped."""
    if "_x" not in text and text.isprintable():
        return text
    return _PROTECT.sub(_protected, text)
