"""The zip container of a workbook: its parts and the relationships between them."""

import posixpath
import xml.etree.ElementTree as ET
import zipfile

from ..constants import OFFICE_DOCUMENT, REL_NS, STRICT_OFFICE_DOCUMENT


class InvalidFileError(ValueError):
    """The file is not a workbook that quillfen can open."""


class Relationship:
    __slots__ = ("id", "type", "target", "external")

    def __init__(self, id, type, target, external):
        self.id = id
        self.type = type
        self.target = target
        self.external = external

    @property
    def kind(self):
        """The last segment of the relationship type, e.g. "worksheet" or "sharedStrings"."""
        return self.type.rsplit("/", 1)[-1]


def _part_name(info):
    return info.filename.replace("\\", "/").lstrip("/")


class Package:
    """Read access to the parts of an Open Packaging container.

    Part names are used without a leading slash. Members stored with Windows path separators
    are found under their forward-slash names too, and names are matched without regard to
    case when the exact name is absent, as the container format asks.
    """

    def __init__(self, file):
        try:
            self._zip = zipfile.ZipFile(file)
        except (zipfile.BadZipFile, OSError) as exc:
            raise InvalidFileError("not a zip container: %s" % exc) from exc
        self._names = {}
        for info in self._zip.infolist():
            name = _part_name(info)
            self._names.setdefault(name, info)
            self._names.setdefault(name.lower(), info)

    def close(self):
        self._zip.close()

    def part_names(self):
        """The name of every part, in the order of the container."""
        names = (_part_name(info) for info in self._zip.infolist())
        return [name for name in names if name and not name.endswith("/")]

    def __contains__(self, part):
        return isinstance(part, str) and self._info(part) is not None

    def _info(self, part):
        part = part.lstrip("/")
        return self._names.get(part) or self._names.get(part.lower())

    def open(self, part):
        """A binary file object streaming the part's bytes."""
        info = self._info(part)
        if info is None:
            raise KeyError("no part named %r in the workbook" % part)
        return self._zip.open(info)

    def read(self, part):
        with self.open(part) as f:
            return f.read()

    def relationships(self, part):
        """The relationships of `part` ("" for the package itself), targets resolved to part names."""
        folder, name = posixpath.split(part.lstrip("/"))
        rels_part = posixpath.join(folder, "_rels", name + ".rels")
        if rels_part not in self:
            return []
        root = ET.fromstring(self.read(rels_part))
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

    def main_part(self):
        """The workbook part named by the package's officeDocument relationship."""
        for rel in self.relationships(""):
            if rel.type in (OFFICE_DOCUMENT, STRICT_OFFICE_DOCUMENT) and not rel.external:
                return rel.target
        if "xl/workbook.xml" in self:
            return "xl/workbook.xml"
        raise InvalidFileError("the container has no workbook part")
