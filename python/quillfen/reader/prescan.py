"""Sheet prescan: facts about a worksheet part without loading its cells.

`prescan_sheet(source, want_rows, corners, helpers)` returns a dict with, in this order:

* ``"head"`` and ``"tail"``: the children of the worksheet element before and after
  ``sheetData``, as (exact bytes, namespaces in scope) pairs, ready for `parse_snippet`;
* ``"rows"``: with `want_rows`, (row number, [(key, value), ...]) for every row that carries
  a formatting attribute (one in no namespace besides ``r`` and ``spans``), all of its
  attributes in tag order;
* ``"corners"``: for each requested (row, column), the ``s`` attribute text of the last cell
  at that position, or None when there is no such cell or it has no ``s``.

This module is the pure-Python implementation (expat, streaming) and the reference of the
native one; `prescan` picks the engine when it can and falls back here.
"""

import xml.etree.ElementTree as ET
import xml.parsers.expat as expat

from .._native import native_or_pure
from ..constants import MAIN_NS
from ..utils.cells import coordinate_to_tuple
from .sheet import READ_CHUNK, in_scope, is_native_int, tag_end, to_int64

__all__ = ["prescan", "prescan_sheet", "dimension_ref"]

_SEP = "\x01"
_I64 = 2**63


def prescan(open_part, want_rows=False, corners=(), helpers=None):
    """Prescan of the part that `open_part()` opens (a fresh binary file object per call):
    natively when the engine is available, else (or when it declines the input) in pure Python.
    """
    if helpers is None:
        from .helpers import reading_helpers
        helpers = reading_helpers()
    corners = list(corners)

    def run(scan):
        with open_part() as source:
            return scan(source, want_rows, corners, helpers)

    return native_or_pure(lambda engine: run(engine.prescan_sheet), lambda: run(prescan_sheet))


def dimension_ref(open_part):
    """The ref of the worksheet's dimension element (its first one, before the cell data ends),
    or None when it has none: the part is read only up to it."""
    def native(engine):
        with open_part() as source:
            found = engine.find_dimension(source)
        if found is None:
            return None
        from .helpers import parse_snippet
        return parse_snippet(*found).get("ref")

    def pure():
        with open_part() as source:
            return _find_dimension(source)

    return native_or_pure(native, pure)


def _find_dimension(source):
    dimension, sheet_data = "{%s}dimension" % MAIN_NS, "{%s}sheetData" % MAIN_NS
    for _event, element in ET.iterparse(source, events=("end",)):
        if element.tag == dimension:
            return element.get("ref")
        if element.tag == sheet_data:
            return None
        element.clear()  # the cells of a sheet without a dimension element are not kept
    return None


def _split(name):
    """expat's "uri SEP local [SEP prefix]" as (uri, local, prefix)."""
    parts = name.split(_SEP)
    if len(parts) == 1:
        return "", parts[0], ""
    return parts[0], parts[1], parts[2] if len(parts) == 3 else ""


def prescan_sheet(source, want_rows, corners, helpers):
    """The pure-Python prescan (see the module docstring)."""
    if not isinstance(want_rows, bool):
        raise TypeError("prescan_sheet() argument 'want_rows' must be bool, not %s" % type(want_rows).__name__)
    if not isinstance(helpers, dict):
        raise TypeError("prescan_sheet() argument 'helpers' must be dict, not %s" % type(helpers).__name__)
    wanted = {}
    for item in corners:
        if not isinstance(item, tuple) or len(item) != 2:
            raise TypeError("prescan_sheet() argument 'corners' must hold (row, column) tuples, not %s"
                            % type(item).__name__)
        wanted.setdefault((to_int64(item[0]), to_int64(item[1])), None)
    try:
        row_index = dict.__getitem__(helpers, "row_index")
    except KeyError:
        raise TypeError("missing helper row_index") from None
    scan = _Prescan(want_rows, wanted, row_index, helpers)
    scan.run(source)
    return {"head": scan.head, "tail": scan.tail, "rows": scan.rows, "corners": wanted}


class _Prescan:
    def __init__(self, want_rows, corners, row_index, helpers):
        self.want_rows = want_rows
        self.corners = corners
        self.row_index = row_index
        self.coordinate_to_tuple = helpers.get("coordinate_to_tuple", coordinate_to_tuple)
        self.head, self.tail, self.rows = [], [], []
        self.rows_wanted = want_rows or bool(corners)
        self.row = 0      # last row number seen
        self.col = 0      # column of the last cell of the current row
        self.depth = 0
        self.sheet_data_seen = False
        self.in_sheet_data = False
        self.capture_start = None   # byte offset of the element being captured (depth 2)
        self.capture_empty_end = None  # offset past its "/>" when it is self-closing
        self.root_bindings = []
        self.pending_ns = []

    def run(self, source):
        parser = expat.ParserCreate(namespace_separator=_SEP)
        parser.namespace_prefixes = True
        parser.ordered_attributes = True
        parser.StartNamespaceDeclHandler = self._on_ns
        parser.StartElementHandler = self._on_start
        parser.EndElementHandler = self._on_end
        self.parser = parser
        self.buf = bytearray()
        self.base = 0
        read = source.read
        while True:
            chunk = read(READ_CHUNK)
            if not isinstance(chunk, (bytes, bytearray)):
                raise TypeError("read() should return bytes, not %s" % type(chunk).__name__)
            if self.capture_start is None:
                # Nothing before the parser's position is needed again.
                drop = self.parser.CurrentByteIndex - self.base
                if drop > READ_CHUNK:
                    del self.buf[:drop]
                    self.base += drop
            self.buf += chunk
            parser.Parse(bytes(chunk), not chunk)
            if not chunk:
                return

    def _tag_end(self, start):
        return tag_end(self.buf, self.base, start)

    def _namespaces(self):
        # Around a child of the root only the root's own declarations are in scope.
        return in_scope(self.root_bindings)

    def _on_ns(self, prefix, uri):
        self.pending_ns.append((prefix or "", uri or ""))

    def _on_start(self, name, attrs):
        self.depth += 1
        depth = self.depth
        if depth == 1:
            self.root_bindings = self.pending_ns
        self.pending_ns = []
        if depth == 2:
            uri, local, _ = _split(name)
            if not self.sheet_data_seen and uri == MAIN_NS and local == "sheetData":
                self.sheet_data_seen = self.in_sheet_data = True
            else:
                start = self.capture_start = self.parser.CurrentByteIndex
                end = self._tag_end(start)
                self.capture_empty_end = end if self.buf[end - self.base - 2] == 0x2F else None
            return
        if not self.in_sheet_data:
            return
        uri, local, _ = _split(name)
        if uri != MAIN_NS:
            return
        if local == "row" and self.rows_wanted:
            self._row(attrs)
        elif local == "c" and self.corners:
            self._cell(attrs)

    def _on_end(self, name):
        depth = self.depth
        self.depth -= 1
        if depth != 2:
            return
        if self.capture_start is None:
            self.in_sheet_data = False
            return
        start, self.capture_start = self.capture_start, None
        end = self.capture_empty_end or self._tag_end(self.parser.CurrentByteIndex)
        snippet = bytes(self.buf[start - self.base:end - self.base])
        (self.tail if self.sheet_data_seen else self.head).append((snippet, self._namespaces()))

    def _row(self, attrs):
        r = None
        formatted = False
        for i in range(0, len(attrs), 2):
            uri, local, _ = _split(attrs[i])
            if uri:
                continue
            if local == "r":
                if r is None:
                    r = attrs[i + 1]
            elif local != "spans":
                formatted = True
        if r is None:
            if self.row + 1 >= _I64:
                raise OverflowError("row index out of range")
            self.row += 1
        elif is_native_int(r):
            self.row = int(r)
        else:
            self.row = to_int64(int(self.row_index(r)))
        self.col = 0
        if self.want_rows and formatted:
            listed = []
            for i in range(0, len(attrs), 2):
                uri, local, _ = _split(attrs[i])
                listed.append(("{%s}%s" % (uri, local) if uri else local, attrs[i + 1]))
            self.rows.append((self.row, listed))

    def _cell(self, attrs):
        r = s = None
        for i in range(0, len(attrs), 2):
            name = attrs[i]
            if name == "r" and r is None:
                r = attrs[i + 1]
            elif name == "s" and s is None:
                s = attrs[i + 1]
        if r:
            row, col = self.coordinate_to_tuple(r)
            row, self.col = to_int64(row), to_int64(col)
        else:
            if self.col + 1 >= _I64:
                raise OverflowError("column index out of range")
            self.col += 1
            row = self.row
        key = (row, self.col)
        if key in self.corners:
            self.corners[key] = s

