"""Opening a workbook: the container, the workbook part, styles and shared strings."""

import errno
import os
import xml.etree.ElementTree as ET
import zipfile

from .reader.package import InvalidFileError, Package
from .reader.sheet import MAIN_NS
from .styles import Stylesheet
from .utils.datetime import MAC_EPOCH, WINDOWS_EPOCH
from .worksheet import ReadOnlyWorksheet, Worksheet

_M = "{%s}" % MAIN_NS
_STRICT_M = "{http://purl.oclc.org/ooxml/spreadsheetml/main}"
_R_ID = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}id"
_STRICT_R_ID = "{http://purl.oclc.org/ooxml/officeDocument/relationships}id"


class Workbook:
    """An opened workbook: its sheets in workbook order, its styles and shared strings."""

    def __init__(self, package, read_only, data_only, rich_text):
        from .reader.helpers import reading_helpers
        from .reader.strings import read_shared_strings

        self._package = package
        self.read_only = read_only
        self.data_only = data_only
        self.rich_text = rich_text
        self.helpers = reading_helpers()
        main = package.main_part()
        root = ET.fromstring(package.read(main))
        ns = _STRICT_M if root.tag.startswith(_STRICT_M) else _M
        props = root.find(ns + "workbookPr")
        date1904 = props is not None and props.get("date1904", "").lower() in ("1", "true")
        self.epoch = MAC_EPOCH if date1904 else WINDOWS_EPOCH
        self.iso_dates = False  # the writer's choice for dates: serial numbers unless set
        rels = {rel.id: rel for rel in package.relationships(main)}
        kinds = {rel.kind: rel.target for rel in rels.values() if not rel.external}

        self.stylesheet = Stylesheet()
        if kinds.get("styles") in package:
            self.stylesheet = Stylesheet.from_xml(package.read(kinds["styles"]))
        self._cell_styles = self.stylesheet.cell_styles

        self.shared_strings = []
        if kinds.get("sharedStrings") in package:
            with package.open(kinds["sharedStrings"]) as source:
                self.shared_strings = read_shared_strings(source)

        sheet_cls = ReadOnlyWorksheet if read_only else Worksheet
        self._sheets = []
        sheets = root.find(ns + "sheets")
        for sheet in (sheets if sheets is not None else ()):
            rel = rels.get(sheet.get(_R_ID) or sheet.get(_STRICT_R_ID))
            if rel is None or rel.external or rel.kind != "worksheet" or rel.target not in package:
                continue  # chartsheets, dialog sheets and dangling entries hold no cells
            ws = sheet_cls(self, sheet.get("name"), rel.target)
            self._sheets.append(ws)
        if not read_only:
            for ws in self._sheets:
                ws._load()

    @property
    def sheetnames(self):
        return [ws.title for ws in self._sheets]

    @property
    def worksheets(self):
        return list(self._sheets)

    @property
    def active(self):
        return self._sheets[0] if self._sheets else None

    def __getitem__(self, name):
        for ws in self._sheets:
            if ws.title == name:
                return ws
        raise KeyError("Worksheet %r does not exist." % (name,))

    def __contains__(self, name):
        return name in self.sheetnames

    def __iter__(self):
        return iter(self._sheets)

    def close(self):
        """Releases the file; read-only sheets cannot be iterated afterwards."""
        self._package.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def load_workbook(filename, read_only=False, data_only=False, rich_text=False):
    """Opens an .xlsx workbook.

    `filename` is a path or a binary file object. `read_only` streams each sheet's rows as it
    is iterated instead of loading every cell; `data_only` gives formula cells their cached
    results instead of their formulas; `rich_text` keeps formatted runs of text as rich text
    objects instead of plain strings.
    """
    if isinstance(filename, (str, os.PathLike)) and not os.path.exists(filename):
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(filename))
    package = Package(filename)
    try:
        return Workbook(package, read_only, data_only, rich_text)
    except (ET.ParseError, KeyError, zipfile.BadZipFile) as exc:
        package.close()
        raise InvalidFileError("damaged workbook: %s" % exc) from exc
    except BaseException:
        package.close()
        raise
