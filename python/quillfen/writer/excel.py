"""Saving a workbook: its package (`writer.package`) drained into a zip container, written
through a temporary file when the destination is a path.

Everything that can stop a save happens before the destination is touched: the package is
planned, the warning naming what it cannot keep is given (a filter that raises stops the
save), and the file the workbook was read from is checked for changes since (it is read
again while the new file is written, and checked once more before the new file takes its
place)."""

import os
import secrets
import warnings
import zipfile
import zlib
from types import ModuleType
from typing import IO, Any

_fast_zlib: ModuleType | None
try:  # the optional `fast` extra: a faster deflate with zlib's interface
    from isal import isal_zlib as _fast_zlib
except ImportError:
    _fast_zlib = None

from ..package import Package
from ..utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from .package import saving
from .xml import use_lxml

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
    states = [ws.sheet_state for ws in wb._sheets]
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
    path = os.fsdecode(filename) if isinstance(filename, (str, bytes, os.PathLike)) else None
    _check_source(wb)
    plan = saving(wb, path, lxml)
    if plan.lost:
        where = path if path is not None else "the file"
        warnings.warn("quillfen cannot keep these; they were left out of %s: %s"
                      % (where, "; ".join(plan.lost)), UserWarning, stacklevel=3)
    if path is not None:
        _save_to_path(wb, path, lxml, plan.package)
    else:
        _write_package(wb, filename, lxml, plan.package)
    if wb.write_only:
        wb._saved = True
        wb.close()


def _check_source(wb: Any) -> None:
    """Raises InvalidFileError when the file the workbook was read from changed on disk: the
    parts saved unchanged are copied from it."""
    package = wb._package
    if package is not None and package.archive is not None:
        package.archive.check()


def _save_to_path(wb: Any, path: "str | os.PathLike[str]", lxml: bool, package: Package) -> None:
    # Beside the real file, so that the rename stays on one file system and a link keeps
    # pointing at the saved workbook.
    path = os.path.realpath(path)
    folder, name = os.path.split(path)
    while True:
        temporary = os.path.join(folder, ".%s.%s.tmp" % (name, secrets.token_hex(4)))
        try:
            # Created like any new file (the umask applies), never over an existing one.
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "wb") as out:
            _write_package(wb, out, lxml, package)
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


def _write_package(wb: Any, out: IO[bytes], lxml: bool, package: Package) -> None:
    """Writes the zip container to `out`. A part too large for a plain zip entry (2 GiB) is
    written again with the large-entry extension when `out` can be rewound."""
    try:
        start = out.tell() if out.seekable() else None
    except (AttributeError, OSError):
        start = None
    try:
        _write_zip(out, package, False)
    except RuntimeError as exc:
        if start is None or "force_zip64" not in str(exc):
            raise
        out.seek(start)
        out.truncate()
        _write_zip(out, package, True)
    _check_source(wb)  # what was copied from it is what was read


def _write_zip(out: IO[bytes], package: Package, large: bool) -> None:
    with zipfile.ZipFile(out, "w", COMPRESSION, compresslevel=COMPRESSION_LEVEL) as zf:
        def open_entry(name: str, large_part: bool) -> IO[bytes]:
            entry = zf.open(name, "w", force_zip64=large or large_part)
            _deflate_fast(entry)
            return entry

        package.write(zf, open_entry)


def _deflate_fast(part: IO[bytes]) -> None:
    """Has a zip entry just opened for writing deflate with isal when it is installed: three to
    five times as fast as zlib at level 1, for a part some 5% larger. zipfile has no way to name
    the compressor, so the entry's own is replaced before anything is written to it; an entry
    without one (another version of zipfile) keeps zlib's."""
    if _fast_zlib is not None and COMPRESSION == zipfile.ZIP_DEFLATED and getattr(part, "_compressor", None) is not None:
        compressor = _fast_zlib.compressobj(COMPRESSION_LEVEL, zlib.DEFLATED, -zlib.MAX_WBITS)
        part._compressor = compressor  # type: ignore[attr-defined]
