"""Sheets without cells to edit: chart sheets, dialog sheets and macro sheets read from a file.

They keep their place among the workbook's sheets and are saved as they were read; their
title, state and place can change, and the names defined for them stay with them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from .features import DefinedNames
from .worksheet import NamedSheet

if TYPE_CHECKING:
    from .workbook import Workbook

__all__ = ["KeptSheet", "KINDS"]

# The kinds of sheet a workbook lists, by the relationship type that points at their part.
KINDS = ("worksheet", "chartsheet", "dialogsheet", "macrosheet")


class KeptSheet(NamedSheet):
    """A chart sheet ("chartsheet"), dialog sheet ("dialogsheet") or macro sheet ("macrosheet"):
    `kind` says which. `wb.chartsheets` lists the chart sheets; every kind is in
    `wb.sheetnames` and found by `wb[title]`."""

    def __init__(self, workbook: Workbook, title: str, kind: str) -> None:
        super().__init__(workbook, title)
        self.kind = kind
        self.defined_names = DefinedNames()

    def __repr__(self) -> str:
        return "<%s %s %r>" % (type(self).__name__, self.kind, self.title)
