"""The package of a workbook: its parts by name, the relationships between them and their
content types, over the zip container they were read from.

The reader opens a `Package` and reads parts from it; the workbook keeps it. A save makes a
`copy`, puts in it the parts that changed (new bytes, or a writer that streams them) and
removes those that went away, and `write` drains it into a new container: every part it was
not told about is copied as the source stores it, its compressed bytes untouched, under its
own name, with its own relationships and content type.
"""

import io
import zipfile
from collections.abc import Callable, Iterator
from typing import IO, Any

from ..constants import OFFICE_DOCUMENT, STRICT_OFFICE_DOCUMENT
from .archive import WHAT_QUILLFEN_READS, Archive, PackageFile, PartStream
from .content_types import CONTENT_TYPES, ContentTypes
from .errors import InvalidFileError
from .relationships import Relationship, Relationships, rels_part

__all__ = ["Package", "Part", "Relationship", "Relationships", "rels_part"]

# What streams a part's bytes into the entry it is written to.
PartWriter = Callable[[IO[bytes]], None]
# What makes a part's bytes after the other parts are written, or gives None to keep the source's.
PartMaker = Callable[[], bytes | None]
RELS_TYPE = "application/vnd.openxmlformats-package.relationships+xml"
# Compression methods whose bytes every reader of workbooks takes: a member stored otherwise is
# inflated and deflated again rather than copied.
_COPIED_METHODS = (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED)
# The start of the `mimetype` member of an OpenDocument file.
_OPEN_DOCUMENT = b"application/vnd.oasis.opendocument"


class Part:
    """A part: its name and where its bytes come from. A part of the source is its container
    `member`; a part put in for a save has `data`, or a `writer` that streams them (into an
    entry with the large-entry extension when `large`), or a `maker` that is asked for them
    once every other part is written: new bytes, or None for the source's."""

    __slots__ = ("name", "member", "data", "writer", "maker", "large")

    def __init__(self, name: str, member: zipfile.ZipInfo | None = None, data: bytes | None = None,
                 writer: PartWriter | None = None, maker: PartMaker | None = None, large: bool = False) -> None:
        self.name = name
        self.member = member
        self.data = data
        self.writer = writer
        self.maker = maker
        self.large = large

    @property
    def kept(self) -> bool:
        """Whether the part is the source's as it was read."""
        return self.member is not None and self.data is None and self.writer is None and self.maker is None


class Package:
    """Parts by name (matched without regard to case, as the container format asks), their
    relationships and their content types. A package made without an archive is empty."""

    def __init__(self, archive: Archive | None = None) -> None:
        self.archive = archive
        self._parts: dict[str, Part] = {}
        if archive is not None:
            for name in archive.part_names():
                self._parts.setdefault(name.lower(), Part(name, archive.info(name)))
        self._rels: dict[str, Relationships] = {}
        self._types: ContentTypes | None = None
        self._origin: Package | None = None

    @classmethod
    def from_file(cls, file: PackageFile) -> "Package":
        """The package in a zip container: a path, or a seekable binary file object."""
        return cls(Archive(file))

    @property
    def strict(self) -> bool:
        """Whether the workbook is in the Strict namespaces (its parts are read with the
        Transitional names)."""
        return self.archive is not None and self.archive.strict

    @strict.setter
    def strict(self, value: bool) -> None:
        if self.archive is not None:
            self.archive.strict = value

    def close(self) -> None:
        if self.archive is not None:
            self.archive.close()

    # -------------------------------------------------------------- reading

    def __contains__(self, part: object) -> bool:
        return isinstance(part, str) and part.lstrip("/").lower() in self._parts

    def part(self, name: str) -> Part | None:
        return self._parts.get(name.lstrip("/").lower())

    def part_names(self) -> list[str]:
        """The name of every part, in the order they will be written."""
        return [part.name for part in self._ordered()]

    def rels_changed(self) -> bool:
        """Whether any relationship was added or removed since the package was copied."""
        return any(rels.changed for rels in self._rels.values())

    def open(self, part: str, transitional: bool = True, ahead: bool = False, head: bool = False) -> PartStream:
        """A binary file object streaming the part's bytes; in a Strict workbook, with the
        Transitional namespace names unless `transitional` is false. `ahead` says that the part
        will be read to its end: a large one may then be inflated ahead of the reads; `head`,
        that only its first few kilobytes will be read."""
        found = self.part(part)
        if found is not None and found.data is not None:
            return io.BytesIO(found.data)
        if found is None or found.member is None or self.archive is None or found.writer is not None:
            raise KeyError("no part named %r in the workbook" % part)
        return self.archive.open(found.name, transitional, ahead, head)

    def read(self, part: str, transitional: bool = True) -> bytes:
        with self.open(part, transitional) as f:
            return f.read()

    def relationships(self, part: str) -> Relationships:
        """The relationships of `part` ("" for the package itself): changing them changes
        the package's relationships part."""
        key = part.lstrip("/").lower()
        found = self._rels.get(key)
        if found is None:
            name = rels_part(part.lstrip("/"))
            if name in self:
                found = Relationships.parse(part.lstrip("/"), self.read(name))
            else:
                found = Relationships(part.lstrip("/"))
            self._rels[key] = found
        return found

    @property
    def content_types(self) -> ContentTypes:
        if self._types is None:
            self._types = ContentTypes.parse(self.read(CONTENT_TYPES)) if CONTENT_TYPES in self else ContentTypes()
        return self._types

    def content_type(self, part: str) -> str | None:
        return self.content_types.type_of(part)

    def main_part(self) -> str:
        """The workbook part named by the package's officeDocument relationship."""
        for rel in self.relationships(""):
            if rel.type in (OFFICE_DOCUMENT, STRICT_OFFICE_DOCUMENT) and not rel.external:
                return rel.target
        if "xl/workbook.xml" in self:
            return "xl/workbook.xml"
        if "mimetype" in self and self.read("mimetype", transitional=False).startswith(_OPEN_DOCUMENT):
            kind = self.read("mimetype", transitional=False)[len(_OPEN_DOCUMENT):].decode("ascii", "replace")
            what = "an OpenDocument spreadsheet (.ods)" if kind == ".spreadsheet" else "an OpenDocument file"
            raise InvalidFileError("the file is %s, which quillfen does not read; %s" % (what, WHAT_QUILLFEN_READS))
        raise InvalidFileError("the container has no workbook part")

    def reachable(self) -> set[str]:
        """The (lower-case) names of the parts reached from the package's relationships."""
        seen: set[str] = set()
        todo = [""]
        while todo:
            source = todo.pop()
            for rel in self.relationships(source):
                key = rel.target.lower()
                if rel.external or rel.outside or key in seen or key not in self._parts:
                    continue
                seen.add(key)
                todo.append(rel.target)
        return seen

    # -------------------------------------------------------------- changing, for a save

    def copy(self) -> "Package":
        """A package with the same parts, to be changed and written: this one stays as it is."""
        copied = Package.__new__(Package)
        copied.archive = self.archive
        copied._parts = dict(self._parts)
        copied._rels = {key: rels.copy() for key, rels in self._rels.items()}
        copied._types = self.content_types.copy()
        copied._origin = self
        return copied

    def put(self, name: str, data: bytes | None = None, *, writer: PartWriter | None = None,
            content_type: str | None = None, maker: PartMaker | None = None, large: bool = False) -> None:
        """Puts in the part `name` (in the place of one of that name, else last) with its
        bytes, the writer of its bytes or their maker (see `Part`); `content_type` is its
        type, or None to keep the one it has."""
        key = name.lower()
        old = self._parts.get(key)
        member = old.member if old is not None and maker is not None else None
        self._parts[key] = Part(old.name if old is not None else name, member, data, writer, maker, large)
        if content_type is not None:
            self.content_types.set(name, content_type)

    def remove(self, name: str) -> None:
        """Takes out the part `name`, its relationships and its content type."""
        key = name.lower()
        part = self._parts.pop(key, None)
        if part is None:
            return
        self.content_types.remove(part.name)
        rels = rels_part(part.name)
        if rels.lower() in self._parts:
            self._parts.pop(rels.lower())
        self._rels.pop(key, None)

    def free_name(self, template: str, number: int = 1) -> str:
        """The first name `template % n` (n from `number` on) that no part has."""
        while (template % number).lower() in self._parts:
            number += 1
        return template % number

    def drop_unreachable(self) -> list[str]:
        """Removes the parts that the source reached through relationships and this package
        no longer reaches (those only a removed part used); parts the source did not reach
        either are kept. Returns the names removed."""
        origin = self._origin
        if origin is None:
            return []
        lost = origin.reachable() - self.reachable()
        removed = [self._parts[key].name for key in lost if key in self._parts]
        for name in removed:
            self.remove(name)
        return removed

    def _finish(self) -> None:
        """Writes the relationships and content types that changed into their parts."""
        for key, rels in list(self._rels.items()):
            if not rels.changed:
                continue
            name = rels_part(rels.source)
            if len(rels):
                self.put(name, rels.to_bytes())
                if self.content_types.type_of(name) is None:
                    self.content_types.set_default("rels", RELS_TYPE)
            else:
                self._parts.pop(name.lower(), None)
            rels.changed = False
        if self._types is not None and self._types.changed:
            data = self._types.to_bytes()
            if CONTENT_TYPES.lower() in self._parts:
                self.put(CONTENT_TYPES, data)
            else:
                self._parts = {CONTENT_TYPES.lower(): Part(CONTENT_TYPES, data=data), **self._parts}
            self._types.changed = False

    # -------------------------------------------------------------- writing

    def _ordered(self) -> Iterator[Part]:
        parts = list(self._parts.values())
        yield from (part for part in parts if part.maker is None)
        yield from (part for part in parts if part.maker is not None)

    def write(self, zf: zipfile.ZipFile, open_entry: Callable[[str, bool], Any]) -> None:
        """Writes every part into `zf`: the source's as it stores them, the others from their
        bytes, writer or maker, each through `open_entry(name, large)` (a writable entry)."""
        self._finish()
        for part in self._ordered():
            data = part.maker() if part.maker is not None else part.data
            if part.writer is None and data is None and part.member is not None and self.archive is not None:
                if part.member.compress_type in _COPIED_METHODS:
                    _copy_member(zf, part.name, part.member, self.archive.raw(part.member))
                    continue
                data = self.archive.read(part.name, transitional=False)
            with open_entry(part.name, part.large) as out:
                if part.writer is not None:
                    part.writer(out)
                elif data is not None:
                    out.write(data)


def _copy_member(zf: zipfile.ZipFile, name: str, member: zipfile.ZipInfo, chunks: Iterator[bytes]) -> None:
    """Writes a member's compressed bytes into `zf` as they are, under `name`: zipfile has no
    call for that, so the entry is made as its own `mkdir` makes one, with the member's sizes
    and checksum (no data descriptor: they are known before the bytes)."""
    info = zipfile.ZipInfo(name, member.date_time)
    info.compress_type = member.compress_type
    info.flag_bits = member.flag_bits & 0x07  # encryption and the deflate options
    info.CRC, info.compress_size, info.file_size = member.CRC, member.compress_size, member.file_size
    info.external_attr = member.external_attr or 0o600 << 16
    large = info.file_size > zipfile.ZIP64_LIMIT or info.compress_size > zipfile.ZIP64_LIMIT
    with zf._lock:  # type: ignore[attr-defined]
        if zf._writing:  # type: ignore[attr-defined]
            raise ValueError("a zip entry is open for writing")
        fp = zf.fp
        assert fp is not None
        if zf._seekable:  # type: ignore[attr-defined]
            fp.seek(zf.start_dir)
        info.header_offset = fp.tell()
        zf._writecheck(info)  # type: ignore[attr-defined]
        zf._didModify = True  # type: ignore[attr-defined]
        fp.write(info.FileHeader(large))
        for chunk in chunks:
            fp.write(chunk)
        zf.filelist.append(info)
        zf.NameToInfo[info.filename] = info
        zf.start_dir = fp.tell()
