"""How reading reports a damaged file: one exception, `InvalidFileError`, naming the part and,
where known, the sheet and cell; and the refusal of document type declarations.

A failure caused by what a file holds surfaces as `InvalidFileError`, raised from the original
error, whether it is met while the workbook opens or later, while a read-only sheet streams or
a sheet is prescanned. Errors of the calling code (a wrong argument type) are not converted:
they are raised before any part is read, outside the regions guarded here.
"""

import contextlib
import xml.etree.ElementTree as ET
import xml.parsers.expat as expat
import zipfile
import zlib
from collections.abc import Callable, Iterator
from typing import NoReturn

from ..formula import TokenizerError, TranslatorError
from ..utils.cells import coordinate_of

__all__ = ["InvalidFileError", "DoctypeRefused", "CONTENT_ERRORS", "damaged", "invalid",
           "refuse_doctype", "check_prolog", "parse_xml", "PrologCheck", "sheet_location"]


class InvalidFileError(ValueError):
    """The file is not a workbook that quillfen can open, or a part of it is damaged.

    `part`, `sheet` and `cell` say where the damage was found, as far as it is known (None
    otherwise); the message names them too."""

    def __init__(self, message: str, part: str | None = None, sheet: str | None = None,
                 cell: str | None = None) -> None:
        super().__init__(_located(message, part, sheet, cell))
        self.part, self.sheet, self.cell = part, sheet, cell


class DoctypeRefused(ValueError):
    """A part declares a document type. Workbook parts never need one, and expanding the
    entities it may define costs time and memory without bound ("billion laughs"), so every
    part that declares one is refused, as the native engine refuses it."""

    def __init__(self) -> None:
        super().__init__("document type declarations are not allowed")


# What reading a damaged part raises: malformed XML, a value or reference that the package's
# conversions refuse, an index the file gets wrong, an unknown encoding in a part's declaration
# (LookupError), damaged compressed data, a TypeError from a helper handed values of the wrong
# shape (the attributes of a data-table formula), a shared formula that cannot be tokenized or
# moved to the cell that shares it. RuntimeError is not among them: it is what the native
# engine raises for a call re-entering a busy object, an error of the caller.
CONTENT_ERRORS = (ValueError, LookupError, ArithmeticError, TypeError, expat.ExpatError,
                  ET.ParseError, zipfile.BadZipFile, zlib.error, EOFError, TokenizerError,
                  TranslatorError)


def _quote_sheet(title: str) -> str:
    if title.replace("_", "").isalnum() and not title[:1].isdigit():
        return title
    return "'%s'" % title.replace("'", "''")


def _located(message: str, part: str | None, sheet: str | None, cell: str | None) -> str:
    if sheet is not None:
        where: str | None = _quote_sheet(str(sheet)) + ("!" + cell if cell else "")
        where = "%s (%s)" % (where, part) if part else where
    else:
        where = part
    return "%s: %s" % (where, message) if where else message


def invalid(exc: BaseException, part: str | None = None, sheet: str | None = None,
            cell: str | None = None) -> InvalidFileError:
    """The `InvalidFileError` for `exc`, an error met reading `part` (raise it `from exc`)."""
    if isinstance(exc, InvalidFileError):
        return exc
    if isinstance(exc, (expat.ExpatError, ET.ParseError, zipfile.BadZipFile, zlib.error, EOFError)):
        cell = None  # the message says where in the XML or the container; a cell would mislead
    text = str(exc) or type(exc).__name__
    if isinstance(exc, KeyError) and len(exc.args) == 1 and isinstance(exc.args[0], str):
        text = exc.args[0]  # not its repr
    if part is None and sheet is None:
        text = "damaged workbook: " + text
    return InvalidFileError(text, part, sheet, cell)


@contextlib.contextmanager
def damaged(part: str | None, sheet: str | None = None,
            where: Callable[[], str | None] | None = None) -> Iterator[None]:
    """Turns the content errors raised inside into `InvalidFileError` about `part` (and
    `sheet`); `where()`, when given, names the cell (or row) being read at the time."""
    try:
        yield
    except InvalidFileError:
        raise
    except CONTENT_ERRORS as exc:
        cell = where() if where is not None else None
        raise invalid(exc, part, sheet, cell) from exc


def sheet_location(row: int | None, column: int | None) -> str | None:
    """"B7" for a cell, "7:7" for a whole row (column None); None when nothing is known."""
    if row is None:
        return None
    if column is None:
        return "%d:%d" % (row, row)
    try:
        return coordinate_of(row, column)
    except ValueError:  # beyond the columns that have letters
        return "R%dC%d" % (row, column)


# ---- document type declarations ---------------------------------------------------------

def _refuse(*_args: object) -> NoReturn:
    raise DoctypeRefused()


def refuse_doctype(parser: expat.XMLParserType) -> expat.XMLParserType:
    """Makes the expat `parser` raise `DoctypeRefused` at the start of a document type
    declaration: before its internal subset is read, so no entity is ever defined."""
    parser.StartDoctypeDeclHandler = _refuse
    return parser


class _RootSeen(Exception):
    pass


def _stop(*_args: object) -> NoReturn:
    raise _RootSeen()


def check_prolog(data: bytes) -> None:
    """Raises `DoctypeRefused` when the XML document `data` (bytes) declares a document type.
    Only the prolog is parsed: the check stops at the root element's start tag. Malformed
    input is left to the parser that reads the document."""
    parser = refuse_doctype(expat.ParserCreate())
    parser.StartElementHandler = _stop
    try:
        parser.Parse(data, True)
    except (_RootSeen, expat.ExpatError):
        pass


def parse_xml(data: bytes) -> ET.Element:
    """`ET.fromstring(data)` for a whole part, its document type declaration refused."""
    check_prolog(data)
    return ET.fromstring(data)


class PrologCheck:
    """`check_prolog` for a part that is fed in pieces: `feed` each piece before it is parsed;
    after the root element's start tag it costs nothing."""

    __slots__ = ("_parser",)

    def __init__(self) -> None:
        parser = refuse_doctype(expat.ParserCreate())
        parser.StartElementHandler = _stop
        self._parser: expat.XMLParserType | None = parser

    def feed(self, data: bytes, final: bool = False) -> None:
        if self._parser is None:
            return
        try:
            self._parser.Parse(data, final)
        except (_RootSeen, expat.ExpatError):
            self._parser = None
