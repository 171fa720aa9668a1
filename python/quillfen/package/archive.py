"""The zip container of a workbook: its members read, inflated or as they are stored."""

import contextlib
import io
import os
import re
import struct
import threading
import zipfile
import zlib
from collections.abc import Callable, Generator, Iterator
from types import ModuleType
from typing import IO, BinaryIO, Self, cast

_fast_zlib: ModuleType | None
try:  # the optional `fast` extra: a faster inflate and CRC with zlib's interface
    from isal import isal_zlib as _fast_zlib
except ImportError:
    _fast_zlib = None

from .._native import engine
from ..utils.patterns import lazy
from .errors import InvalidFileError
from .members import open_member
from .strict import TransitionalNames

# An encrypted workbook is not a zip container but an OLE compound file holding the
# encrypted package, and so is a workbook of the older binary format (.xls): their first eight
# bytes. The names of the file's directory entries tell the two apart: 128-byte records at
# offsets that are multiples of 128, each starting with its name in UTF-16 (with a terminating
# NUL) whose length in bytes is at offset 64.
_OLE_MAGIC = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"
_COMPOUND_ENTRIES = {(name + "\0").encode("utf-16-le"): kind for name, kind in (
    ("EncryptedPackage", "encrypted"), ("Workbook", "binary"), ("Book", "binary"))}
_COMPOUND_NAMES = lazy(b"|".join(re.escape(name) for name in _COMPOUND_ENTRIES))
# Said wherever a file turns out to be of another format.
WHAT_QUILLFEN_READS = "quillfen reads .xlsx and .xlsm workbooks (Office Open XML): save it in that format"

# What a workbook is opened from: a path, or a seekable binary file object.
type PackageFile = str | os.PathLike[str] | IO[bytes]
# A part's stream: zipfile's, or the faster inflate's, or either with the Strict names renamed.
type PartStream = IO[bytes] | _Inflated | TransitionalNames


def _part_name(info: zipfile.ZipInfo) -> str:
    return info.filename.replace("\\", "/").lstrip("/")


class Archive:
    """Read access to the members of a zip container: each one inflated, or its raw
    compressed bytes.

    Part names are used without a leading slash. Members stored with Windows path separators
    are found under their forward-slash names too, and names are matched without regard to
    case when the exact name is absent, as the container format asks.

    A container opened from a path is read through a handle of its own, which stays open until
    `close` or `release`: the file may be replaced on disk (a save onto the same path) and the
    members are still those that were read. `check` tells whether the file was changed in
    place since.
    """

    def __init__(self, file: PackageFile) -> None:
        # Set for a workbook in the Strict namespaces: its parts are then read with the
        # Transitional names (`strict.TransitionalNames`).
        self.strict = False
        self.name = os.fspath(file) if isinstance(file, (str, os.PathLike)) else None
        # The size, time and identity of the file opened for a path (zipfile's, closed with it).
        self._stamp: tuple[int, ...] | None = None
        self._detached = False  # the container's bytes are in memory
        self._released = False  # the file is opened again when a member is wanted
        try:
            self._zip = zipfile.ZipFile(file)
        # NotImplementedError: a member needing a later zip version than zipfile reads.
        except (zipfile.BadZipFile, OSError, ValueError, EOFError, NotImplementedError, ArithmeticError,
                struct.error) as exc:
            if _head(file) == _OLE_MAGIC:
                raise InvalidFileError(_compound_message(_compound_kind(file))) from exc
            raise InvalidFileError("not a zip container: %s" % exc) from exc
        if self.name is not None and self._zip.fp is not None:
            self._stamp = _stamp(self._zip.fp)
        self._index()

    def _index(self) -> None:
        self._names: dict[str, zipfile.ZipInfo] = {}
        for info in self._zip.infolist():
            name = _part_name(info)
            self._names.setdefault(name, info)
            self._names.setdefault(name.lower(), info)

    def close(self) -> None:
        self._zip.close()
        self._released = False

    def check(self) -> None:
        """Raises InvalidFileError when the file the container was read from has changed on
        disk since (its size or modification time): its members are no longer those read."""
        if self._stamp is None or self._detached:
            return
        if self._released:
            try:
                assert self.name is not None
                stamp: tuple[int, ...] | None = _stamp_of(self.name)
            except OSError:
                stamp = None
        else:
            stamp = _stamp(self._zip.fp) if self._zip.fp is not None else None
        if stamp != self._stamp:
            raise InvalidFileError("the file changed on disk after it was loaded; load it again "
                                   "before saving", self.name)

    def release(self) -> None:
        """Lets go of the file while its members stay readable: when the file at the path is
        still the one read, it is opened again when they are wanted; else (it was replaced,
        by a save onto it) its bytes are kept in memory (`detach`)."""
        if self.name is None or self._detached or self._released or self._zip.fp is None:
            return
        try:
            same = _stamp_of(self.name) == self._stamp
        except OSError:
            same = False
        if not same:
            self.detach()
            return
        self._zip.close()
        self._released = True

    def _live(self) -> zipfile.ZipFile:
        """The zip container, opened again after `release`."""
        if self._released:
            self.check()
            assert self.name is not None
            self._zip = zipfile.ZipFile(self.name)
            self._released = False
            self.check()  # still the file read (it may have changed in between)
        return self._zip

    def detach(self) -> None:
        """Keeps the container's bytes in memory and lets go of what it was read from: the
        members stay readable when the file is closed, moved or changed (or, for a file object,
        when its owner closes or reuses it). Memory: the compressed container."""
        if self._detached:
            return
        try:
            self.check()
        except InvalidFileError:
            self.close()  # what it holds now is not what was read: `check` keeps saying so
            return
        with self._zip_lock():
            fp = self._zip.fp
            assert fp is not None
            fp.seek(0)
            data = fp.read()
        self._zip.close()
        self._zip = zipfile.ZipFile(io.BytesIO(data))
        self._detached = True
        self._index()

    def part_names(self) -> list[str]:
        """The name of every part, in the order of the container."""
        names = (_part_name(info) for info in self._zip.infolist())
        return [name for name in names if name and not name.endswith("/")]

    def __contains__(self, part: object) -> bool:
        return isinstance(part, str) and self.info(part) is not None

    def info(self, part: str) -> zipfile.ZipInfo | None:
        """The member holding `part`, or None."""
        part = part.lstrip("/")
        return self._names.get(part) or self._names.get(part.lower())

    def open(self, part: str, transitional: bool = True, ahead: bool = False, head: bool = False) -> PartStream:
        """A binary file object streaming the part's bytes; in a Strict workbook, with the
        Transitional namespace names unless `transitional` is false. `ahead` says that the part
        will be read to its end: a large one may then be inflated ahead of the reads; `head`,
        that only its first few kilobytes will be read."""
        stream = self._open(part, ahead, head)
        return TransitionalNames(stream) if self.strict and transitional else stream

    def _open(self, part: str, ahead: bool = False, head: bool = False) -> IO[bytes] | _Inflated:
        info = self.info(part)
        if info is None:
            raise KeyError("no part named %r in the workbook" % part)
        if info.header_offset < 0:
            # A damaged directory. Seeking a file there fails as the system's OSError, which
            # would be taken for a failing disk: the message is the one a stream in memory gives.
            raise InvalidFileError("negative seek value %d" % info.header_offset, part)
        native = engine()
        # The engine fills a block of a quarter of a megabyte at the first read; the others
        # inflate only as far as asked, which a glance at a part's head wants.
        if native is not None and not self._detached and not head:
            # The engine reads the file behind the container's (a descriptor of its own).
            member = open_member(native, self._live().fp, info, ahead)
            if member is not None:
                return member  # type: ignore[no-any-return]  # the engine's PartStream
        if self.name is not None and not self._detached and _fast_zlib \
                and info.compress_type == zipfile.ZIP_DEFLATED and not info.flag_bits & 1:
            member = _Inflated.open(self._reader, info)
            if member is not None:
                return member
        try:
            return self._live().open(info)
        # NotImplementedError: a compression method that zipfile lacks; RuntimeError: an
        # encrypted member; the others: a damaged local header.
        except (NotImplementedError, RuntimeError, zipfile.BadZipFile, zlib.error, EOFError,
                ValueError) as exc:
            raise InvalidFileError(str(exc), part) from exc

    def read(self, part: str, transitional: bool = True) -> bytes:
        with self.open(part, transitional) as f:
            return f.read()

    def _reader(self) -> BinaryIO:
        """A handle on the container's file with a position of its own: on the file read when
        it is still open (the path may name another file by now), else the path opened again."""
        fp = self._live().fp
        if fp is not None:
            return cast(BinaryIO, _Positional(fp))
        assert self.name is not None
        return open(self.name, "rb")

    def raw(self, info: zipfile.ZipInfo) -> Iterator[bytes]:
        """The compressed bytes of a member, in pieces, as the container holds them."""
        with self._zip_lock():
            fp = self._zip.fp
            assert fp is not None
            fp.seek(info.header_offset)
            header = fp.read(_LOCAL_HEADER.size)
            if len(header) != _LOCAL_HEADER.size or header[:4] != b"PK\x03\x04":
                raise InvalidFileError("a damaged member header", _part_name(info))
            _magic, name_len, extra_len = _LOCAL_HEADER.unpack(header)
            start = info.header_offset + _LOCAL_HEADER.size + name_len + extra_len
        left, at = info.compress_size, start
        while left > 0:
            with self._zip_lock():
                fp.seek(at)
                chunk = fp.read(min(left, 1 << 20))
            if not chunk:
                raise InvalidFileError("the member is cut short", _part_name(info))
            left -= len(chunk)
            at += len(chunk)
            yield chunk

    def _zip_lock(self) -> threading.RLock:
        # zipfile reads every member through its one file object under this lock.
        lock: threading.RLock = self._live()._lock  # type: ignore[attr-defined]
        return lock


def _stamp(file: IO[bytes]) -> tuple[int, ...]:
    return _stamp_of(file.fileno())


def _stamp_of(file: int | str) -> tuple[int, ...]:
    """The size, modification time and identity of a file (a descriptor or a path)."""
    st = os.stat(file)
    return (st.st_size, st.st_mtime_ns, st.st_ino, st.st_dev)


_LOCAL_HEADER = struct.Struct("<4s22xHH")


class _Positional(io.RawIOBase):
    """Reads a file through positional reads on a descriptor of its own: a position of its own
    whatever other handles on the file do meanwhile, and readable after they are closed."""

    def __init__(self, file: IO[bytes]) -> None:
        super().__init__()
        self._fd = os.dup(file.fileno())
        self._at = 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        self._at = offset if whence == os.SEEK_SET else self._at + offset
        return self._at

    def tell(self) -> int:
        return self._at

    def read(self, n: int | None = -1) -> bytes:
        if n is None or n < 0:
            n = max(os.fstat(self._fd).st_size - self._at, 0)
        data = os.pread(self._fd, n, self._at)
        self._at += len(data)
        return data

    def close(self) -> None:
        if not self.closed:
            os.close(self._fd)
        super().close()


def _compound_message(kind: str | None) -> str:
    if kind == "binary":
        return ("the file is a workbook in the older binary format (.xls), which quillfen does not read; "
                + WHAT_QUILLFEN_READS)
    if kind == "encrypted":
        return "the workbook is password-protected (encrypted); quillfen cannot open encrypted workbooks"
    return "the file is an OLE compound document, not a workbook quillfen reads; " + WHAT_QUILLFEN_READS


def _compound_kind(file: PackageFile) -> str | None:
    """What an OLE compound file holds: "binary" (a workbook of the older binary format, which
    may be encrypted too) or "encrypted" (an encrypted workbook package), by the names of its
    directory entries; None when it has neither. Read in pieces: a directory entry, 128 bytes at
    a multiple of 128, never straddles two."""
    found = set()
    offset = 0
    for chunk in _chunks(file, 1 << 20):
        for match in _COMPOUND_NAMES.finditer(chunk):
            at = match.start()
            length = chunk[at + 64:at + 66]
            if (offset + at) % 128 == 0 and length == struct.pack("<H", len(match.group())):
                found.add(_COMPOUND_ENTRIES[match.group()])
        offset += len(chunk)
    return "binary" if "binary" in found else "encrypted" if "encrypted" in found else None


def _chunks(file: PackageFile, size: int) -> Generator[bytes]:
    """`file` (a path or a seekable binary file object) from its start, in pieces of `size`
    bytes (the last one shorter); nothing when it cannot be read. A file object is left where
    it was."""
    try:
        f = open(file, "rb") if isinstance(file, (str, os.PathLike)) else file
        at = f.tell()
        try:
            f.seek(0)
            while chunk := _read_full(f, size):
                yield chunk
        finally:
            if f is file:
                f.seek(at)
            else:
                f.close()
    except (OSError, ValueError, AttributeError):
        return


def _read_full(f: IO[bytes], size: int) -> bytes:
    pieces = []
    while size and (piece := f.read(size)):
        pieces.append(piece)
        size -= len(piece)
    return b"".join(pieces)


def _head(file: PackageFile) -> bytes | None:
    """The first eight bytes of `file` (a path or a seekable binary file object), or None."""
    with contextlib.closing(_chunks(file, 8)) as chunks:
        return next(chunks, None)


class _Inflated(io.RawIOBase):
    """A deflated part read through the faster inflate: the bytes zipfile gives, with the same
    CRC check at the end (and zlib.error for damaged data, as zipfile raises). As zipfile, it
    stops at the size the zip entry declares: data inflating past it is damage found there,
    however much more it would give (issue 24: a part declared as 1,000 bytes inflated to 1 GB
    before its CRC was checked)."""

    _LOCAL_HEADER = _LOCAL_HEADER

    @classmethod
    def open(cls, opener: Callable[[], BinaryIO], info: zipfile.ZipInfo) -> Self | None:
        """The member's stream, or None when its local header is not what zipfile would accept
        (zipfile then reads it and reports the damage in its own words)."""
        f = opener()
        try:
            f.seek(info.header_offset)
            header = f.read(cls._LOCAL_HEADER.size)
            if len(header) != cls._LOCAL_HEADER.size:
                f.close()
                return None
            magic, name_len, extra_len = cls._LOCAL_HEADER.unpack(header)
            if magic != b"PK\x03\x04":
                f.close()
                return None
            f.seek(name_len + extra_len, os.SEEK_CUR)
        except BaseException:
            f.close()
            raise
        return cls(f, info)

    def __init__(self, f: BinaryIO, info: zipfile.ZipInfo) -> None:
        super().__init__()
        self._f = f
        self._info = info
        self._left = info.compress_size
        self._inflate = _fast_zlib.decompressobj(-15)  # type: ignore[union-attr]  # made only when installed
        self._crc = 0
        self._size = 0

    def readable(self) -> bool:
        return True

    def close(self) -> None:
        if not self.closed:
            self._f.close()
        super().close()

    def read(self, n: int | None = -1) -> bytes:
        if n is None or n < 0:
            return b"".join(iter(lambda: self.read(1 << 20), b""))
        if n == 0:
            return b""
        # One byte past the declared size is enough to know the part goes on.
        n = min(n, self._info.file_size - self._size + 1)
        try:
            while True:
                if self._inflate.unconsumed_tail:
                    data: bytes = self._inflate.decompress(self._inflate.unconsumed_tail, n)
                elif self._inflate.eof:
                    self._check()
                    return b""
                elif self._left > 0:
                    raw = self._f.read(min(self._left, 1 << 16))
                    if not raw:
                        raise EOFError("Truncated file header")
                    self._left -= len(raw)
                    data = self._inflate.decompress(raw, n)
                else:
                    # All input is in; what the inflater still holds comes out, or the data is cut.
                    data = self._inflate.decompress(b"", n)
                    if not data:
                        self._check()
                        return b""
                if data:
                    if self._size + len(data) > self._info.file_size:
                        raise zipfile.BadZipFile("Bad CRC-32 for file %r" % self._info.filename)
                    self._crc = _fast_zlib.crc32(data, self._crc)  # type: ignore[union-attr]  # as above
                    self._size += len(data)
                    return data
        except _fast_zlib.error as exc:  # type: ignore[union-attr]  # as above
            raise zlib.error(*exc.args) from None

    def _check(self) -> None:
        if self._crc != self._info.CRC or self._size != self._info.file_size or not self._inflate.eof:
            raise zipfile.BadZipFile("Bad CRC-32 for file %r" % self._info.filename)

