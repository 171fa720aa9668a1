"""The package a workbook is stored in: its parts by name, the relationships between them and
their content types, read from a zip container (`archive`) and written back into one (`parts`).
The reader fills the model from a `Package`; the writer drains one into a new container."""

from .content_types import CONTENT_TYPES, ContentTypes
from .errors import InvalidFileError
from .parts import Package, Part
from .relationships import Relationship, Relationships, relative_target, rels_part

__all__ = ["CONTENT_TYPES", "ContentTypes", "InvalidFileError", "Package", "Part", "Relationship",
           "Relationships", "relative_target", "rels_part"]
