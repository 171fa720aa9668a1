"""Saving a workbook: the package assembled in a zip container, written through a temporary
file when the destination is a path."""

import os
import warnings
import xml.etree.ElementTree as ET
import zipfile
import zlib
from collections.abc import Callable
from types import ModuleType
from typing import IO, Any

_fast_zlib: ModuleType | None
try:  # the optional `fast` extra: a faster deflate with zlib's interface
    from isal import isal_zlib as _fast_zlib
except ImportError:
    _fast_zlib = None

from ..utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from .package import (APP, CORE, STYLES, THEME, WORKBOOK, app_properties, content_types, core_properties,
                      package_relationships, rels_part, sheet_part, workbook_part, workbook_relationships)
from .features import SheetPlan, comments_element, sheet_relationships, vml_drawing
from .styles import stylesheet_element
from .worksheet import write_worksheet
from .xml import to_bytes, use_lxml

__all__ = ["save_workbook", "COMPRESSION", "COMPRESSION_LEVEL"]

# How every part is compressed. Level 1 deflates a sheet of 10^6 cells three to four times as
# fast as zlib's default level 6, into a file about a quarter larger (bench/bench_write.py).
COMPRESSION = zipfile.ZIP_DEFLATED
COMPRESSION_LEVEL = 1

SHEET_STATES = ("visible", "hidden", "veryHidden")


def _check(wb: Any) -> None:
    if wb.read_only:
        raise ValueError("a read-only workbook cannot be saved; load it without read_only=True to edit and save it")
    if wb._saved:
        raise ValueError("this write-only workbook has been saved already: a write-only workbook can be saved once")
    if not wb.worksheets:
        raise ValueError("a workbook needs at least one sheet to be saved")
    states = [ws.sheet_state for ws in wb.worksheets]
    for state in states:
        if state not in SHEET_STATES:
            raise ValueError("sheet_state %r: a sheet is one of %s" % (state, ", ".join(map(repr, SHEET_STATES))))
    if "visible" not in states:
        raise ValueError("a workbook needs a visible sheet to be saved")
    if wb.epoch not in (WINDOWS_EPOCH, MAC_EPOCH):
        raise ValueError("epoch %r: a workbook counts dates from WINDOWS_EPOCH or MAC_EPOCH" % (wb.epoch,))


def save_workbook(wb: Any, filename: Any) -> None:
    """Writes `wb` to `filename`, a path or a binary file object (written from where it is)."""
    _check(wb)
    # A write-only workbook chose its serialiser when its rows began.
    lxml = wb._lxml if wb._lxml is not None else use_lxml()
    if isinstance(filename, (str, bytes, os.PathLike)):
        _save_to_path(wb, os.fsdecode(filename), lxml)
    else:
        _write_package(wb, filename, lxml)
    if wb.write_only:
        wb._saved = True
        wb.close()
    _warn_unsaved(wb, filename)


def _save_to_path(wb: Any, path: "str | os.PathLike[str]", lxml: bool) -> None:
    # Beside the real file, so that the rename stays on one file system and a link keeps
    # pointing at the saved workbook.
    path = os.path.realpath(path)
    folder, name = os.path.split(path)
    while True:
        # os.urandom as secrets.token_hex draws it, without importing secrets (and with it
        # hashlib) on the first save.
        temporary = os.path.join(folder, ".%s.%s.tmp" % (name, os.urandom(4).hex()))
        try:
            # Created like any new file (the umask applies), never over an existing one.
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "wb") as out:
            _write_package(wb, out, lxml)
        if os.path.exists(path):
            _copy_mode(path, temporary)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _copy_mode(source: str, destination: str) -> None:
    try:
        os.chmod(destination, os.stat(source).st_mode & 0o7777)
    except OSError:
        pass  # the saved file keeps the mode of a new file


def _write_package(wb: Any, out: IO[bytes], lxml: bool) -> None:
    """Writes the zip container to `out`. A sheet too large for a plain zip entry (2 GiB) is
    written again with the large-entry extension when `out` can be rewound."""
    try:
        start = out.tell() if out.seekable() else None
    except (AttributeError, OSError):
        start = None
    try:
        _write_zip(wb, out, lxml, False)
    except RuntimeError as exc:
        if start is None or "force_zip64" not in str(exc):
            raise
        out.seek(start)
        out.truncate()
        _write_zip(wb, out, lxml, True)


def _write_zip(wb: Any, out: IO[bytes], lxml: bool, large: bool) -> None:
    sheets = wb.worksheets
    theme = wb._loaded.theme if wb._loaded is not None else None
    active = wb.active
    with zipfile.ZipFile(out, "w", COMPRESSION, compresslevel=COMPRESSION_LEVEL) as zf:
        def put(part: str, root: ET.Element) -> None:
            zf.writestr(part, to_bytes(root, lxml))

        plans = [SheetPlan(ws, number) for number, ws in enumerate(sheets, 1)]
        put("[Content_Types].xml", content_types(len(sheets), theme is not None,
                                                 [plan.comments_part for plan in plans if plan.comments and plan.comments_part]))
        put(rels_part(""), package_relationships())
        put(CORE, core_properties(wb.core_properties))
        put(APP, app_properties())
        put(WORKBOOK, workbook_part(wb))
        put(rels_part(WORKBOOK), workbook_relationships(len(sheets), theme is not None))
        for number, (ws, plan) in enumerate(zip(sheets, plans), 1):
            if wb.write_only:
                with zf.open(sheet_part(number), "w", force_zip64=large or ws._large()) as part:
                    _deflate_fast(part)
                    ws._write_part(part, ws is active, lxml, plan)
            else:
                with zf.open(sheet_part(number), "w", force_zip64=large) as part:
                    _deflate_fast(part)
                    write_worksheet(ws, part, ws is active, lxml, plan)
            _put_sheet_parts(put, zf, number, plan)
        # Last: writing the sheets adds their cells' formats.
        put(STYLES, stylesheet_element(wb.stylesheet))
        if theme is not None:
            zf.writestr(THEME, theme)


def _put_sheet_parts(put: Callable[[str, ET.Element], None], zf: zipfile.ZipFile, number: int,
                     plan: SheetPlan) -> None:
    """The parts a sheet points at: its relationships, comments and their drawing."""
    rels = sheet_relationships(plan)
    if rels is not None:
        put(rels_part(sheet_part(number)), rels)
    if plan.comments and plan.comments_part and plan.vml_part:
        put(plan.comments_part, comments_element(plan.comments))
        zf.writestr(plan.vml_part, vml_drawing(plan))


def _deflate_fast(part: IO[bytes]) -> None:
    """Has a zip entry just opened for writing deflate with isal when it is installed: three to
    five times as fast as zlib at level 1, for a part some 5% larger. zipfile has no way to name
    the compressor, so the entry's own is replaced before anything is written to it; an entry
    without one (another version of zipfile) keeps zlib's."""
    if _fast_zlib is not None and COMPRESSION == zipfile.ZIP_DEFLATED and getattr(part, "_compressor", None) is not None:
        compressor = _fast_zlib.compressobj(COMPRESSION_LEVEL, zlib.DEFLATED, -zlib.MAX_WBITS)
        part._compressor = compressor  # type: ignore[attr-defined]


def _warn_unsaved(wb: Any, filename: Any) -> None:
    """One warning naming everything that was read from a file and is not written: worksheet
    elements, workbook elements and other parts."""
    found = []
    for ws in wb.worksheets:
        names = list(ws._unsaved)
        if names:
            found.append("sheet %r: %s" % (ws.title, ", ".join(names)))
    loaded = wb._loaded
    if loaded is not None and loaded.workbook_elements:
        found.append("workbook: %s" % ", ".join(loaded.workbook_elements))
    if loaded is not None and loaded.parts:
        found.append("parts: %s" % ", ".join(loaded.parts))
    if found:
        where = os.fsdecode(filename) if isinstance(filename, (str, bytes, os.PathLike)) else "the file"
        warnings.warn("quillfen does not save these yet; they were left out of %s: %s"
                      % (where, "; ".join(found)), UserWarning, stacklevel=4)
