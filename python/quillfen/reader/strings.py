"""The shared string table, in pure Python.

This reader defines the value of every string item: the text of the item's last direct `t`
element, followed by the text of each run (`r`) that has one (its last `t`); phonetic runs and
any other children are not text. Children are recognised by local name, items (`si`) only in
the SpreadsheetML main namespace. The `_xHHHH_` escapes of each text are undone
(`quillfen.utils.escapes`).

With rich text kept, an item with a formatted run (a run `r` with run properties `rPr`) is a
`CellRichText` of the same runs; every other item, and one whose run properties the rich-text
model refuses, is plain text.
"""

import contextlib
import io
import xml.etree.ElementTree as ET
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager
from typing import IO, Any, cast
from xml.etree.ElementTree import XMLPullParser

from quillfen._native import native_or_pure
from quillfen.constants import MAIN_NS
from quillfen.package.errors import CONTENT_ERRORS, PrologCheck
from quillfen.reader.source import Source, read_chunk
from quillfen.model.richtext import CellRichText, item_runs, localname

__all__ = ["item_text", "has_formatted_run", "read_string_table", "read_shared_strings"]

_SI_TAG = "{%s}si" % MAIN_NS


def item_text(node: ET.Element) -> str:
    """Plain text of a string item (`si`) or inline string (`is`) element."""
    plain, runs = item_runs(node)
    return (plain or "") + "".join(text for _font, text in runs)


def has_formatted_run(node: ET.Element) -> bool:
    """Whether a string item (`si`) or inline string (`is`) has a run with run properties."""
    return any(localname(run.tag) == "r" and any(localname(p.tag) == "rPr" for p in run if isinstance(p.tag, str))
               for run in node if isinstance(run.tag, str))


def rich_item(node: ET.Element) -> str | CellRichText:
    """The value of a string item in rich-text mode (see the module docstring)."""
    if not has_formatted_run(node):
        return item_text(node)
    try:
        return CellRichText.from_tree(node)
    except (ValueError, TypeError):
        # Run properties the rich-text model cannot hold: the text is kept, plain, as it was
        # before rich text was asked for.
        return item_text(node)


def read_string_table(source: Source, rich: bool = False) -> list[str | CellRichText]:
    """The list of strings of a shared string part read from the binary file object `source`;
    with `rich`, formatted items are rich text."""
    strings: list[str | CellRichText] = []
    parser: XMLPullParser[ET.Element] = XMLPullParser(events=("start", "end"))
    prolog = PrologCheck()
    depth = 0
    root: ET.Element | None = None
    while True:
        chunk = read_chunk(source.read)
        prolog.feed(chunk, not chunk)
        if chunk:
            parser.feed(chunk)
        else:
            parser.close()
        # Only start and end events are asked for: each comes with its element.
        for event, node in cast("Iterator[tuple[str, ET.Element]]", parser.read_events()):
            if event == "start":
                depth += 1
                if root is None:
                    root = node
                continue
            depth -= 1
            if node.tag == _SI_TAG:
                strings.append(rich_item(node) if rich else item_text(node))
                if depth == 1:
                    # Processed items need not stay in memory. (root is set at the first start event.)
                    root.clear()  # type: ignore[union-attr]
        if not chunk:
            return strings


def read_shared_strings(source: IO[bytes] | Callable[[], AbstractContextManager[Source]],
                        rich: bool = False) -> list[Any]:
    """The shared string table of the binary file object `source`: natively when the engine is
    available and reproduces the part exactly, else (NativeFallback) by the pure-Python reader.
    With `rich`, formatted items are rich text.

    `source` may also be a callable that opens the part afresh: each reader then reads its own
    stream from the start. (A zip member read again after a seek is no longer checked against
    its CRC, so damage that one reader met could pass unseen by the other.)"""
    from quillfen.reader.helpers import reading_helpers, rich_string_helpers

    open_part: Callable[[], AbstractContextManager[Source]]
    if callable(source):
        open_part = source
    else:
        if not _seekable(source):
            source = io.BytesIO(source.read())
        start = source.tell()

        def rewound() -> AbstractContextManager[Source]:
            if source.tell() != start:  # a seek would end the CRC check of a zip member
                source.seek(start)
            return contextlib.nullcontext(source)

        open_part = rewound

    def read(reader: Callable[[Source], list[Any]]) -> list[Any]:
        with open_part() as stream:
            return reader(stream)

    helpers = rich_string_helpers() if rich else reading_helpers()
    return native_or_pure(lambda engine: read(lambda s: engine.read_string_table(s, helpers)),
                          lambda: read(lambda s: read_string_table(s, rich)), decline=CONTENT_ERRORS)


def _seekable(source: IO[bytes]) -> bool:
    try:
        return bool(source.seekable())
    except AttributeError:
        return False
