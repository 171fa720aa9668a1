"""The content types of a package's parts: by file extension, and overridden by part name.

Read from a file, the index is kept as it was until a part is added, removed or given another
type; then it is written anew, its entries in the order they were read, new ones after them.
"""

import posixpath
from xml.sax.saxutils import quoteattr

from ..constants import CONTENT_TYPES_NS
from .errors import damaged, parse_xml

__all__ = ["CONTENT_TYPES", "ContentTypes"]

CONTENT_TYPES = "[Content_Types].xml"
_DECLARATION = b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'


class ContentTypes:
    """Extension -> type (`defaults`) and part name -> type (`overrides`); names and
    extensions match without regard to case."""

    def __init__(self) -> None:
        self._defaults: dict[str, tuple[str, str]] = {}   # lower extension -> (extension, type)
        self._overrides: dict[str, tuple[str, str]] = {}  # lower part name -> (part name, type)
        self.changed = False

    @classmethod
    def parse(cls, data: bytes) -> "ContentTypes":
        found = cls()
        with damaged(CONTENT_TYPES):
            root = parse_xml(data)
        ns = "{%s}" % CONTENT_TYPES_NS
        for node in root:
            kind = node.get("ContentType", "")
            if node.tag == ns + "Default":
                extension = node.get("Extension", "")
                found._defaults.setdefault(extension.lower(), (extension, kind))
            elif node.tag == ns + "Override":
                name = node.get("PartName", "").lstrip("/")
                found._overrides.setdefault(name.lower(), (name, kind))
        return found

    def copy(self) -> "ContentTypes":
        copied = ContentTypes()
        copied._defaults = dict(self._defaults)
        copied._overrides = dict(self._overrides)
        copied.changed = self.changed
        return copied

    def type_of(self, part: str) -> str | None:
        """The content type of `part`, or None when the index gives it none."""
        override = self._overrides.get(part.lower())
        if override is not None:
            return override[1]
        default = self._defaults.get(_extension(part))
        return default[1] if default is not None else None

    def set(self, part: str, kind: str) -> None:
        """Gives `part` the type `kind`: through its extension's default when that is the
        type, else by an override."""
        if self.type_of(part) == kind:
            return
        if self.default(part) == kind:
            self._overrides.pop(part.lower(), None)
        else:
            self._overrides[part.lower()] = (part, kind)
        self.changed = True

    def default(self, part: str) -> str | None:
        found = self._defaults.get(_extension(part))
        return found[1] if found is not None else None

    def set_default(self, extension: str, kind: str) -> None:
        if self._defaults.get(extension.lower(), ("", None))[1] != kind:
            self._defaults[extension.lower()] = (extension, kind)
            self.changed = True

    def remove(self, part: str) -> None:
        if self._overrides.pop(part.lower(), None) is not None:
            self.changed = True

    def to_bytes(self) -> bytes:
        entries = ["<Default Extension=%s ContentType=%s/>" % (quoteattr(ext), quoteattr(kind))
                   for ext, kind in self._defaults.values()]
        entries += ["<Override PartName=%s ContentType=%s/>" % (quoteattr("/" + name), quoteattr(kind))
                    for name, kind in self._overrides.values()]
        body = '<Types xmlns="%s">%s</Types>' % (CONTENT_TYPES_NS, "".join(entries))
        return _DECLARATION + body.encode("utf-8")


def _extension(part: str) -> str:
    return posixpath.splitext(part)[1][1:].lower()
