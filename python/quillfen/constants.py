"""Names that reading and writing share: XML namespaces, relationship and content types, and
the limits of a worksheet. A leaf module: it imports nothing from the package."""

# Namespaces, in their transitional form unless marked strict.
MAIN_NS = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
STRICT_MAIN_NS = "http://purl.oclc.org/ooxml/spreadsheetml/main"
REL_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
DOC_REL_NS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
STRICT_DOC_REL_NS = "http://purl.oclc.org/ooxml/officeDocument/relationships"
CONTENT_TYPES_NS = "http://schemas.openxmlformats.org/package/2006/content-types"
CORE_PROPERTIES_NS = "http://schemas.openxmlformats.org/package/2006/metadata/core-properties"
EXTENDED_PROPERTIES_NS = "http://schemas.openxmlformats.org/officeDocument/2006/extended-properties"
DOC_PROPS_VTYPES_NS = "http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes"
DC_NS = "http://purl.org/dc/elements/1.1/"
DCTERMS_NS = "http://purl.org/dc/terms/"
DCMITYPE_NS = "http://purl.org/dc/dcmitype/"
XSI_NS = "http://www.w3.org/2001/XMLSchema-instance"
XML_NS = "http://www.w3.org/XML/1998/namespace"
MC_NS = "http://schemas.openxmlformats.org/markup-compatibility/2006"
# Drawings: the sheet's drawing part, DrawingML and charts.
XDR_NS = "http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing"
DRAWING_NS = "http://schemas.openxmlformats.org/drawingml/2006/main"
CHART_NS = "http://schemas.openxmlformats.org/drawingml/2006/chart"

# The attribute names the writers write as they stand (unprefixed ASCII names), as a pattern:
# row attributes, and the attributes of a loaded cell kept for saving it unchanged.
PLAIN_ATTRIBUTE = r"[A-Za-z_][A-Za-z0-9_.\-]*\Z"

# Prefixes written for namespaces that elements carried over from a loaded workbook may use.
KNOWN_PREFIXES = {
    DOC_REL_NS: "r",
    MC_NS: "mc",
    XDR_NS: "xdr",
    DRAWING_NS: "a",
    CHART_NS: "c",
    "http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac": "x14ac",
    "http://schemas.microsoft.com/office/spreadsheetml/2009/9/main": "x14",
    "http://schemas.microsoft.com/office/spreadsheetml/2010/11/main": "x15",
    "http://schemas.microsoft.com/office/spreadsheetml/2014/revision": "xr",
    "http://schemas.microsoft.com/office/excel/2006/main": "xm",
    "http://schemas.microsoft.com/office/spreadsheetml/2016/revision6": "xr6",
    "http://schemas.microsoft.com/office/spreadsheetml/2016/revision10": "xr10",
    "http://schemas.microsoft.com/office/spreadsheetml/2015/revision2": "xr2",
    "http://schemas.microsoft.com/office/spreadsheetml/2017/richdata2": "xr9",
}

# Relationship types.
OFFICE_DOCUMENT = DOC_REL_NS + "/officeDocument"
STRICT_OFFICE_DOCUMENT = STRICT_DOC_REL_NS + "/officeDocument"
WORKSHEET_REL = DOC_REL_NS + "/worksheet"
STYLES_REL = DOC_REL_NS + "/styles"
THEME_REL = DOC_REL_NS + "/theme"
SHARED_STRINGS_REL = DOC_REL_NS + "/sharedStrings"
EXTENDED_PROPERTIES_REL = DOC_REL_NS + "/extended-properties"
CORE_PROPERTIES_REL = "http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties"
DRAWING_REL = DOC_REL_NS + "/drawing"
CHART_REL = DOC_REL_NS + "/chart"
IMAGE_REL = DOC_REL_NS + "/image"
TABLE_REL = DOC_REL_NS + "/table"

# Content types.
_OFFICE = "application/vnd.openxmlformats-officedocument."
RELS_TYPE = "application/vnd.openxmlformats-package.relationships+xml"
WORKBOOK_TYPE = _OFFICE + "spreadsheetml.sheet.main+xml"
WORKSHEET_TYPE = _OFFICE + "spreadsheetml.worksheet+xml"
STYLES_TYPE = _OFFICE + "spreadsheetml.styles+xml"
THEME_TYPE = _OFFICE + "theme+xml"
SHARED_STRINGS_TYPE = _OFFICE + "spreadsheetml.sharedStrings+xml"
CORE_PROPERTIES_TYPE = "application/vnd.openxmlformats-package.core-properties+xml"
EXTENDED_PROPERTIES_TYPE = _OFFICE + "extended-properties+xml"
DRAWING_TYPE = _OFFICE + "drawing+xml"
CHART_TYPE = _OFFICE + "drawingml.chart+xml"
TABLE_TYPE = _OFFICE + "spreadsheetml.table+xml"

# The extent of a worksheet that spreadsheet programs open, and what one cell can hold. (The
# readers accept columns up to ZZZ, `utils.cells.MAX_COLUMN`.)
MAX_ROW = 1048576
MAX_SHEET_COLUMN = 16384  # XFD
MAX_TEXT = 32767          # characters of text in one cell
MAX_FORMULA = 8192        # characters of a formula, without its "="
