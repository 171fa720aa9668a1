"""The zip container of a workbook: its parts and the relationships between them."""

import io
import os
import posixpath
import struct
import zipfile
import zlib
from types import ModuleType
from typing import IO, BinaryIO, Self

_fast_zlib: ModuleType | None
try:  # the optional `fast` extra: a faster inflate and CRC with zlib's interface
    from isal import isal_zlib as _fast_zlib
except ImportError:
    _fast_zlib = None

from .._native import engine
from ..constants import OFFICE_DOCUMENT, REL_NS, STRICT_OFFICE_DOCUMENT
from .errors import InvalidFileError, damaged, parse_xml
from .members import open_member
from .strict import TransitionalNames

# An encrypted workbook is not a zip container but an OLE compound file holding the
# encrypted package: its first eight bytes.
_OLE_MAGIC = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"

# What a workbook is opened from: a path, or a seekable binary file object.
type PackageFile = str | os.PathLike[str] | IO[bytes]
# A part's stream: zipfile's, or the faster inflate's, or either with the Strict names renamed.
type PartStream = IO[bytes] | _Inflated | TransitionalNames


class Relationship:
    __slots__ = ("id", "type", "target", "external")

    def __init__(self, id: str | None, type: str, target: str, external: bool) -> None:
        self.id = id
        self.type = type
        self.target = target
        self.external = external

    @property
    def kind(self) -> str:
        """The last segment of the relationship type, e.g. "worksheet" or "sharedStrings"."""
        return self.type.rsplit("/", 1)[-1]


def _part_name(info: zipfile.ZipInfo) -> str:
    return info.filename.replace("\\", "/").lstrip("/")


class Package:
    """Read access to the parts of an Open Packaging container.

    Part names are used without a leading slash. Members stored with Windows path separators
    are found under their forward-slash names too, and names are matched without regard to
    case when the exact name is absent, as the container format asks.
    """

    def __init__(self, file: PackageFile) -> None:
        # Set for a workbook in the Strict namespaces: its parts are then read with the
        # Transitional names (`strict.TransitionalNames`).
        self.strict = False
        # Deflated parts are inflated from a handle of our own when the container is a file on
        # disk and a faster inflate is installed; otherwise zipfile reads them.
        self._path = os.fspath(file) if isinstance(file, (str, os.PathLike)) and _fast_zlib else None
        try:
            self._zip = zipfile.ZipFile(file)
        # NotImplementedError: a member needing a later zip version than zipfile reads.
        except (zipfile.BadZipFile, OSError, ValueError, EOFError, NotImplementedError, ArithmeticError,
                struct.error) as exc:
            if _head(file) == _OLE_MAGIC:
                raise InvalidFileError("the workbook is password-protected (encrypted); quillfen "
                                       "cannot open encrypted workbooks") from exc
            raise InvalidFileError("not a zip container: %s" % exc) from exc
        self._names: dict[str, zipfile.ZipInfo] = {}
        for info in self._zip.infolist():
            name = _part_name(info)
            self._names.setdefault(name, info)
            self._names.setdefault(name.lower(), info)

    def close(self) -> None:
        self._zip.close()

    def part_names(self) -> list[str]:
        """The name of every part, in the order of the container."""
        names = (_part_name(info) for info in self._zip.infolist())
        return [name for name in names if name and not name.endswith("/")]

    def __contains__(self, part: object) -> bool:
        return isinstance(part, str) and self._info(part) is not None

    def _info(self, part: str) -> zipfile.ZipInfo | None:
        part = part.lstrip("/")
        return self._names.get(part) or self._names.get(part.lower())

    def open(self, part: str, transitional: bool = True, ahead: bool = False) -> PartStream:
        """A binary file object streaming the part's bytes; in a Strict workbook, with the
        Transitional namespace names unless `transitional` is false. `ahead` says that the part
        will be read to its end: a large one may then be inflated ahead of the reads."""
        stream = self._open(part, ahead)
        return TransitionalNames(stream) if self.strict and transitional else stream

    def _open(self, part: str, ahead: bool = False) -> IO[bytes] | _Inflated:
        info = self._info(part)
        if info is None:
            raise KeyError("no part named %r in the workbook" % part)
        if info.header_offset < 0:
            # A damaged directory. Seeking a file there fails as the system's OSError, which
            # would be taken for a failing disk: the message is the one a stream in memory gives.
            raise InvalidFileError("negative seek value %d" % info.header_offset, part)
        native = engine()
        if native is not None:
            member = open_member(native, self._zip.fp, info, ahead)
            if member is not None:
                return member  # type: ignore[no-any-return]  # the engine's PartStream
        if self._path is not None and info.compress_type == zipfile.ZIP_DEFLATED and not info.flag_bits & 1:
            member = _Inflated.open(self._path, info)
            if member is not None:
                return member
        try:
            return self._zip.open(info)
        # NotImplementedError: a compression method that zipfile lacks; RuntimeError: an
        # encrypted member; the others: a damaged local header.
        except (NotImplementedError, RuntimeError, zipfile.BadZipFile, zlib.error, EOFError,
                ValueError) as exc:
            raise InvalidFileError(str(exc), part) from exc

    def read(self, part: str, transitional: bool = True) -> bytes:
        with self.open(part, transitional) as f:
            return f.read()

    def relationships(self, part: str) -> list[Relationship]:
        """The relationships of `part` ("" for the package itself), targets resolved to part names."""
        folder, name = posixpath.split(part.lstrip("/"))
        rels_part = posixpath.join(folder, "_rels", name + ".rels")
        if rels_part not in self:
            return []
        with damaged(rels_part):
            root = parse_xml(self.read(rels_part))
        result = []
        for rel in root.iter("{%s}Relationship" % REL_NS):
            target = (rel.get("Target") or "").replace("\\", "/")
            external = rel.get("TargetMode") == "External"
            if not external:
                if target.startswith("/"):
                    target = target.lstrip("/")
                else:
                    target = posixpath.normpath(posixpath.join(folder, target))
            result.append(Relationship(rel.get("Id"), rel.get("Type", ""), target, external))
        return result

    def main_part(self) -> str:
        """The workbook part named by the package's officeDocument relationship."""
        for rel in self.relationships(""):
            if rel.type in (OFFICE_DOCUMENT, STRICT_OFFICE_DOCUMENT) and not rel.external:
                return rel.target
        if "xl/workbook.xml" in self:
            return "xl/workbook.xml"
        raise InvalidFileError("the container has no workbook part")


def _head(file: PackageFile) -> bytes | None:
    """The first eight bytes of `file` (a path or a seekable binary file object), or None."""
    try:
        if isinstance(file, (str, os.PathLike)):
            with open(file, "rb") as f:
                return f.read(8)
        at = file.tell()
        try:
            file.seek(0)
            return file.read(8)
        finally:
            file.seek(at)
    except (OSError, ValueError, AttributeError):
        return None


class _Inflated(io.RawIOBase):
    """A deflated part read through the faster inflate: the bytes zipfile gives, with the same
    CRC check at the end (and zlib.error for damaged data, as zipfile raises)."""

    _LOCAL_HEADER = struct.Struct("<4s22xHH")

    @classmethod
    def open(cls, path: str, info: zipfile.ZipInfo) -> Self | None:
        """The member's stream, or None when its local header is not what zipfile would accept
        (zipfile then reads it and reports the damage in its own words)."""
        f = open(path, "rb")
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
                    self._crc = _fast_zlib.crc32(data, self._crc)  # type: ignore[union-attr]  # as above
                    self._size += len(data)
                    return data
        except _fast_zlib.error as exc:  # type: ignore[union-attr]  # as above
            raise zlib.error(*exc.args) from None

    def _check(self) -> None:
        if self._crc != self._info.CRC or self._size != self._info.file_size or not self._inflate.eof:
            raise zipfile.BadZipFile("Bad CRC-32 for file %r" % self._info.filename)

