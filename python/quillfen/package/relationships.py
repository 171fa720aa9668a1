"""The relationships of a part (or of the package itself): what it points at, by id.

A relationships part read from a file is kept as it was read until something is added or
removed; then it is written anew, each relationship it already had keeping its id and its
target text as they were.
"""

import posixpath
from collections.abc import Iterator
from xml.sax.saxutils import quoteattr

from ..constants import REL_NS
from .errors import damaged, parse_xml

__all__ = ["Relationship", "Relationships", "rels_part", "relative_target"]

_DECLARATION = b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'


def rels_part(part: str) -> str:
    """The name of the relationships part of `part` ("" for the package)."""
    folder, _, name = part.rpartition("/")
    return "%s_rels/%s.rels" % (folder + "/" if folder else "", name)


def relative_target(source: str, target: str) -> str:
    """`target` (a part name) as a relationship of `source` names it: relative to its folder."""
    folder = posixpath.dirname(source)
    return posixpath.relpath(target, folder) if folder else target


class Relationship:
    """One relationship: `target` is a part name for an internal one (a path that leaves the
    package starts with "../"), the target text as written for an external one."""

    __slots__ = ("id", "type", "target", "external", "_text")

    def __init__(self, id: str | None, type: str, target: str, external: bool, text: str | None = None) -> None:
        self.id = id
        self.type = type
        self.target = target
        self.external = external
        self._text = text  # the Target attribute as read, written back as it was

    @property
    def kind(self) -> str:
        """The last segment of the relationship type, e.g. "worksheet" or "sharedStrings"."""
        return self.type.rsplit("/", 1)[-1]

    @property
    def outside(self) -> bool:
        """Whether an internal target names a place outside the package."""
        return not self.external and (self.target == ".." or self.target.startswith("../"))


class Relationships:
    """The relationships of the part `source`, in the order they were read or added."""

    def __init__(self, source: str, items: list[Relationship] | None = None) -> None:
        self.source = source
        self._items = list(items or ())
        self.changed = False

    @classmethod
    def parse(cls, source: str, data: bytes) -> "Relationships":
        part = rels_part(source)
        with damaged(part):
            root = parse_xml(data)
        folder = posixpath.dirname(source)
        items = []
        for rel in root.iter("{%s}Relationship" % REL_NS):
            text = target = rel.get("Target") or ""
            external = rel.get("TargetMode") == "External"
            if not external:
                # Inside the package a backslash separates folders, as some producers write
                # them; outside it is the target's own (a Windows path, a network share).
                target = text.replace("\\", "/")
                if target.startswith("/"):
                    target = target.lstrip("/")
                else:
                    target = posixpath.normpath(posixpath.join(folder, target))
            items.append(Relationship(rel.get("Id"), rel.get("Type", ""), target, external, text))
        return cls(source, items)

    def copy(self) -> "Relationships":
        copied = Relationships(self.source, self._items)
        copied.changed = self.changed
        return copied

    def __iter__(self) -> Iterator[Relationship]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def get(self, rel_id: str | None) -> Relationship | None:
        return next((rel for rel in self._items if rel.id == rel_id), None) if rel_id else None

    def of_kind(self, kind: str) -> list[Relationship]:
        return [rel for rel in self._items if rel.kind == kind]

    def add(self, type: str, target: str, external: bool = False, rel_id: str | None = None) -> str:
        """Adds a relationship to `target` (a part name, or the text of an external target)
        under the id `rel_id` when it is free, else the first free "rIdN"; returns the id."""
        taken = {rel.id for rel in self._items}
        if rel_id is None or rel_id in taken:
            number = 1
            while "rId%d" % number in taken:
                number += 1
            rel_id = "rId%d" % number
        self._items.append(Relationship(rel_id, type, target, external))
        self.changed = True
        return rel_id

    def remove(self, rel_id: str) -> None:
        self._items = [rel for rel in self._items if rel.id != rel_id]
        self.changed = True

    def to_bytes(self) -> bytes:
        entries = []
        for rel in self._items:
            text = rel._text if rel._text is not None else (
                rel.target if rel.external else relative_target(self.source, rel.target))
            attrs = [("Id", rel.id or ""), ("Type", rel.type), ("Target", text)]
            if rel.external:
                attrs.append(("TargetMode", "External"))
            entries.append("<Relationship %s/>" % " ".join("%s=%s" % (k, quoteattr(v)) for k, v in attrs))
        body = '<Relationships xmlns="%s">%s</Relationships>' % (REL_NS, "".join(entries))
        return _DECLARATION + body.encode("utf-8")
