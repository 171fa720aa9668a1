"""Cell objects: editable cells, the lighter cells of read-only sheets, and the empty filler."""

from .utils.cells import coordinate_of


class Cell:
    """A cell of an editable worksheet."""

    __slots__ = ("parent", "_style", "row", "column", "_value", "_hyperlink", "data_type", "_comment")

    def __init__(self, worksheet, row, column, value=None, style_array=None, data_type="n"):
        self.parent = worksheet
        self.row = row
        self.column = column
        self._value = value
        self._style = style_array
        self._hyperlink = None
        self._comment = None
        self.data_type = data_type

    @property
    def value(self):
        return self._value

    @value.setter
    def value(self, value):
        self._value = value
        self.data_type = _data_type_of(value)

    @property
    def coordinate(self):
        return coordinate_of(self.row, self.column)

    @property
    def hyperlink(self):
        return self._hyperlink

    @property
    def comment(self):
        return self._comment

    @property
    def style_array(self):
        return self._style

    def __repr__(self):
        title = getattr(self.parent, "title", "?")
        return "<Cell %r.%s>" % (title, self.coordinate)


def _data_type_of(value):
    if value is None or isinstance(value, (int, float)) and not isinstance(value, bool):
        return "n"
    if isinstance(value, bool):
        return "b"
    if isinstance(value, str):
        return "f" if value.startswith("=") and len(value) > 1 else "s"
    import datetime
    if isinstance(value, (datetime.datetime, datetime.date, datetime.time, datetime.timedelta)):
        return "d"
    return "s"


class ReadOnlyCell:
    """A cell streamed from a read-only worksheet; its attributes are fixed once read."""

    __slots__ = ("parent", "row", "column", "_value", "data_type", "_style_id", "formula", "cached_value")

    @property
    def value(self):
        return self._value

    @property
    def style_id(self):
        return self._style_id

    @property
    def coordinate(self):
        return coordinate_of(self.row, self.column)

    def __repr__(self):
        title = getattr(self.parent, "title", "?")
        return "<ReadOnlyCell %r.%s>" % (title, self.coordinate)


class _EmptyCell:
    """Fills the gaps of read-only rows."""

    __slots__ = ()
    value = None
    data_type = "n"
    is_date = False

    def __repr__(self):
        return "<EmptyCell>"


EMPTY_CELL = _EmptyCell()
