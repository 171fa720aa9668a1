"""Reading a workbook: the container, the workbook part, styles, shared strings and sheets,
into the model of `quillfen.workbook`."""

import errno
import io
import os
import warnings
import xml.etree.ElementTree as ET
from typing import IO, Any, Literal, overload

from ..constants import DOC_REL_NS, MAIN_NS, STRICT_DOC_REL_NS, STRICT_MAIN_NS
from ..utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from ..model.sheets import KINDS, KeptSheet
from ..model.tracking import book_state, remember
from ..model.workbook import Workbook
from ..model.worksheet import Worksheet
from ..package import Package, Relationships, rels_part
from ..package.errors import CONTENT_ERRORS, InvalidFileError, check_prolog, damaged, invalid, parse_xml
from .drawings import read_sheet_objects
from .features import read_cell_features, read_defined_names
from .helpers import reading_helpers
from .reports import read_workbook_protection
from .strings import read_shared_strings
from .styles import read_stylesheet
from .worksheet import ReadOnlyWorksheet, SheetSource, load_cells

__all__ = ["load_workbook", "Loaded"]

_R_IDS = ("{%s}id" % DOC_REL_NS, "{%s}id" % STRICT_DOC_REL_NS)
# Children of the workbook element that the writer writes itself or that carry nothing a
# saved copy loses (the file's own version stamps and revision pointers).
_WORKBOOK_WRITTEN = frozenset(("fileVersion", "workbookPr", "workbookProtection", "bookViews", "sheets",
                               "definedNames", "extLst", "AlternateContent", "revisionPtr"))
_CONTENT_TYPES = "[Content_Types].xml"
_WORKBOOK_TAGS = frozenset("{%s}workbook" % ns for ns in (MAIN_NS, STRICT_MAIN_NS))
# Parts whose content a saved copy derives again from the cells.
_DERIVED_KINDS = frozenset(("sharedStrings", "calcChain"))


class Loaded:
    """What the writer would leave out of a workbook it cannot save part by part (one in the
    Strict namespaces, which it saves as a Transitional one): the names of what it does not
    write, for the warning at save time."""

    def __init__(self) -> None:
        self.workbook_elements: list[str] = []  # local names of workbook elements not written
        self.parts: list[str] = []              # names of parts not written


type WorkbookFile = str | bytes | os.PathLike[str] | os.PathLike[bytes] | IO[bytes]


@overload
def load_workbook(filename: WorkbookFile, read_only: Literal[False] = False, data_only: bool = False,
                  rich_text: bool = False) -> Workbook[Worksheet]: ...
@overload
def load_workbook(filename: WorkbookFile, read_only: Literal[True], data_only: bool = False,
                  rich_text: bool = False) -> Workbook[ReadOnlyWorksheet]: ...
@overload
def load_workbook(filename: WorkbookFile, read_only: bool = False, data_only: bool = False,
                  rich_text: bool = False) -> Workbook[Worksheet | ReadOnlyWorksheet]: ...


def load_workbook(filename: WorkbookFile, read_only: bool = False, data_only: bool = False,
                  rich_text: bool = False) -> Workbook[Any]:
    """Opens an .xlsx workbook.

    `filename` is a path (`str`, `bytes` or `os.PathLike`) or a binary file object; one that
    cannot seek (standard input, a pipe) is read into memory first. `read_only` streams each sheet's rows as it
    is iterated instead of loading every cell; `data_only` gives formula cells their cached
    results instead of their formulas; `rich_text` keeps formatted runs of text as rich text
    objects instead of plain strings.
    """
    if isinstance(filename, (bytes, os.PathLike)):
        filename = os.fsdecode(filename)  # zipfile would take a bytes path for a file object
    if isinstance(filename, (str, os.PathLike)):
        if not os.path.exists(filename):
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(filename))
    else:
        filename = _binary_file(filename)
    package = Package.from_file(filename)
    try:
        return _read(package, read_only, data_only, rich_text)
    except InvalidFileError:
        package.close()
        raise
    except CONTENT_ERRORS as exc:
        package.close()
        raise invalid(exc) from exc
    except BaseException:
        package.close()
        raise


def _binary_file(file: IO[bytes]) -> IO[bytes]:
    """A seekable binary file object for the container: `file` itself, or its bytes read into
    memory when it cannot seek (a pipe)."""
    if isinstance(file, io.TextIOBase):
        raise TypeError("load_workbook() needs a binary file object: open the file in binary "
                        "mode ('rb'), not as text")
    if not callable(getattr(file, "read", None)):
        raise TypeError("load_workbook() takes a path (str, bytes or os.PathLike) or a binary "
                        "file object, not %s" % type(file).__name__)
    seekable = getattr(file, "seekable", None)
    if callable(seekable) and seekable():
        return file
    data = file.read()
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError("load_workbook() needs a binary file object: its read() gave %s, not "
                        "bytes" % type(data).__name__)
    return io.BytesIO(data)


def _read(package: Package, read_only: bool, data_only: bool, rich_text: bool) -> Workbook[Any]:
    wb = Workbook._blank(read_only=read_only, data_only=data_only, rich_text=rich_text)
    wb._package = package
    wb.helpers = reading_helpers()
    loaded = wb._loaded = Loaded()
    if _CONTENT_TYPES in package:
        # Not read otherwise; a document type declaration is refused in every XML part.
        with damaged(_CONTENT_TYPES):
            check_prolog(package.read(_CONTENT_TYPES))
    main = package.main_part()
    with damaged(main):
        root = parse_xml(package.read(main))
    if root.tag not in _WORKBOOK_TAGS:
        # A draft of the format, or another vocabulary: read as it is, it would give no sheets.
        raise InvalidFileError("the workbook part's root element is %s, not the workbook of a SpreadsheetML "
                               "namespace quillfen reads (Transitional or Strict)" % root.tag, main)
    strict = root.tag.startswith("{%s}" % STRICT_MAIN_NS)
    package.strict = strict  # the other parts are read with the Transitional names
    ns = "{%s}" % (STRICT_MAIN_NS if strict else MAIN_NS)
    props = root.find(ns + "workbookPr")
    date1904 = props is not None and props.get("date1904", "").lower() in ("1", "true")
    wb.epoch = MAC_EPOCH if date1904 else WINDOWS_EPOCH
    rels = package.relationships(main)
    kinds = {rel.kind: rel.target for rel in rels if not rel.external}
    written = {main}

    if kinds.get("styles") in package:
        with damaged(kinds["styles"]):
            wb.stylesheet = read_stylesheet(package.read(kinds["styles"]))
        written.add(kinds["styles"])
    if kinds.get("sharedStrings") in package:
        with damaged(kinds["sharedStrings"]):
            wb.shared_strings = read_shared_strings(lambda: package.open(kinds["sharedStrings"]), rich=rich_text)
    if kinds.get("theme") in package:
        written.add(kinds["theme"])
    written.update(target for kind, target in kinds.items() if kind in _DERIVED_KINDS)
    _read_properties(wb, package, written)

    positions: dict[int, Any] = {}
    sheets = root.find(ns + "sheets")
    claimed: dict[str, str] = {}
    for position, sheet in enumerate(sheets if sheets is not None else ()):
        title = sheet.get("name")
        kind, part = _sheet_part(package, main, rels, sheet, claimed)
        # A sheet without a name (a damaged file) is kept and named below.
        ws: Any
        if kind == "worksheet":
            ws = (ReadOnlyWorksheet if read_only else Worksheet)(wb, title)  # type: ignore[arg-type]
            written.add(part)
        else:
            ws = KeptSheet(wb, title, kind)  # type: ignore[arg-type]
        ws._source = SheetSource(ws, package, part)
        ws.sheet_state = sheet.get("state", "visible")
        positions[position] = ws
        wb._sheets.append(ws)
    _name_nameless(wb, main)
    for ws in wb.worksheets:
        _check_root(ws)
    view = root.find("%sbookViews/%sworkbookView" % (ns, ns))
    if view is not None:
        wb._active = positions.get(_int(view.get("activeTab", "0")))
    loaded.workbook_elements = [_local(child.tag) for child in root
                                if _local(child.tag) not in _WORKBOOK_WRITTEN
                                and not _only_calc_id(child)]
    protection = root.find(ns + "workbookProtection")
    if protection is not None:
        wb._protection = read_workbook_protection(protection)
    names = root.find(ns + "definedNames")
    if names is not None and read_defined_names(wb, names, positions):
        loaded.workbook_elements.append("definedNames")
    if not read_only:
        for ws in wb.worksheets:
            load_cells(ws)
            written.update(read_cell_features(ws, package))
            written.update(read_sheet_objects(ws, package))
            remember(ws)
        wb._baseline = book_state(wb)
        wb._styles_baseline = wb.stylesheet.snapshot()
        wb._core_baseline = [ET.tostring(node) for node in wb.core_properties]
        if package.archive is not None and package.archive.name is None:
            # A file object: its owner may close or reuse it, and a save copies from it.
            package.archive.detach()
    written = {name.lower() for name in written}  # part names match in any case
    loaded.parts = [name for name in package.part_names()
                    if name.lower() not in written and not _is_plumbing(name)]
    return wb


def _sheet_part(package: Package, main: str, rels: Relationships, sheet: ET.Element,
                claimed: dict[str, str]) -> tuple[str, str]:
    """(kind, part name) of a sheet the workbook lists: a sheet that cannot be read is a
    damaged workbook, never a sheet left out or read empty."""
    title = sheet.get("name")
    rel_id = next((sheet.get(name) for name in _R_IDS if sheet.get(name)), None)
    rel = rels.get(rel_id)
    if rel is None:
        raise InvalidFileError("the sheet's relationship %r is not among the workbook's" % rel_id,
                               rels_part(main), title)
    if rel.external or rel.outside:
        raise InvalidFileError("the sheet's part %r is outside the workbook" % rel.target, rels_part(main), title)
    if rel.kind not in KINDS:
        raise InvalidFileError("the sheet's relationship is of the type %r, not of a sheet" % rel.type,
                               rels_part(main), title)
    if rel.target not in package:
        raise InvalidFileError("the sheet's part is missing", rel.target, title)
    key = rel.target.lower()
    if key in claimed:
        # Each claim would load the whole part again.
        raise InvalidFileError("the part is also that of the sheet %r" % claimed[key], rel.target, title)
    claimed[key] = title or ""
    return rel.kind, rel.target


def _check_root(ws: Any) -> None:
    """A worksheet's part must be one: a part of another kind would read as an empty sheet."""
    root, declared, _encoding = ws._source.root()
    qname = root[1:].split(None, 1)[0].rstrip(b"/>").decode("utf-8", "replace")
    prefix, _, local = qname.rpartition(":")
    if local != "worksheet" or declared.get(prefix) != MAIN_NS:
        raise InvalidFileError("the part is not a worksheet (its root element is %r in the namespace %r)"
                               % (local, declared.get(prefix)), ws._part, ws.title)


def _name_nameless(wb: Workbook[Any], main: str) -> None:
    """Gives each sheet that the file left without a name the first free "SheetN": a sheet
    titled None could not be saved, nor could another sheet be added or renamed beside it."""
    nameless = [ws for ws in wb._sheets if not ws.title]
    for ws in nameless:
        ws._title = ""  # taken by no title, so that the free title is found among the others
    for ws in nameless:
        ws._title = wb._free_title()
        warnings.warn("%s: a sheet without a name, read as %r" % (main, ws.title), stacklevel=4)


def _read_properties(wb: Workbook[Any], package: Package, written: set[str]) -> None:
    """The document properties are kept to be written back; the application's statistics are
    made again. A damaged properties part is left out, and so reported as not written."""
    for rel in package.relationships(""):
        if rel.external or rel.target not in package:
            continue
        if rel.kind in ("extended-properties", "extendedProperties"):  # Transitional, Strict
            written.add(rel.target)
        elif rel.kind == "core-properties":  # under the package's or the office namespace
            with damaged(rel.target):
                try:
                    wb.core_properties = list(parse_xml(package.read(rel.target)))
                except ET.ParseError:
                    continue
            written.add(rel.target)


def _only_calc_id(element: ET.Element) -> bool:
    # The calculation settings Excel writes by default name only its engine's version; the
    # writer writes its own, which ask for a full calculation on opening.
    return _local(element.tag) == "calcPr" and set(element.attrib) <= {"calcId", "fullCalcOnLoad"}


def _is_plumbing(name: str) -> bool:
    # The container's own index and the relationship parts: the writer makes its own.
    return name == _CONTENT_TYPES or name.endswith(".rels") or name.endswith("/")


def _local(tag: object) -> str:
    return tag.rpartition("}")[2] if isinstance(tag, str) else ""


def _int(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        return -1
