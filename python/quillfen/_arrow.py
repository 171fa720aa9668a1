"""The pure-Python path's `arrow_table`: the very table the engine's `_quillfen.arrow_table` makes
from the frames' typed columns, exported through the Arrow C data and stream interfaces with
ctypes (no pyarrow). See `quillfen.frames`.

Every exported struct keeps what it shows alive in `_KEPT` until its release callback runs; a
child that a consumer moved out is released on its own.
"""

from __future__ import annotations

import ctypes
import datetime
import math
from array import array
from collections.abc import Iterable, Iterator
from itertools import accumulate, compress
from typing import Any

from . import _native

__all__ = ["ArrowTable", "FrameReadError", "arrow_table", "read_stream"]

_I32_MAX = 2**31 - 1
_FORMATS = {"empty": b"n", "int": b"l", "float": b"g", "bool": b"b", "datetime": b"tsu:"}
_NULLABLE = 2


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


_ReleaseSchema = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
_ReleaseArray = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))), ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", _ReleaseSchema), ("private_data", ctypes.c_void_p)]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64), ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))), ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", _ReleaseArray), ("private_data", ctypes.c_void_p)]
_GetSchema = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))
_GetNext = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
_GetError = ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))
_ReleaseStream = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))
ArrowArrayStream._fields_ = [
    ("get_schema", _GetSchema), ("get_next", _GetNext), ("get_last_error", _GetError),
    ("release", _ReleaseStream), ("private_data", ctypes.c_void_p)]

# What each exported struct shows, by the key in its private_data, until it is released.
_KEPT: dict[int, Any] = {}
_next_key = 0


def _keep(obj: Any) -> int:
    global _next_key
    _next_key += 1
    _KEPT[_next_key] = obj
    return _next_key


class _Column:
    """A finished column: its format, length, null count and buffers (ctypes arrays, None for
    an absent one), and its dictionary for dictionary-encoded text."""

    __slots__ = ("name", "format", "length", "null_count", "buffers", "dictionary")

    def __init__(self, name: bytes, fmt: bytes, length: int, null_count: int, buffers: list[Any],
                 dictionary: _Column | None = None) -> None:
        self.name, self.format, self.length, self.null_count = name, fmt, length, null_count
        self.buffers, self.dictionary = buffers, dictionary


def _buffer(data: bytes | bytearray | array[Any]) -> Any:
    raw = memoryview(data).cast("B")
    # 8-aligned, as the engine's buffers are (ctypes allocates with malloc).
    out = (ctypes.c_uint64 * max(1, (len(raw) + 7) // 8))()
    ctypes.memmove(out, bytes(raw), len(raw))
    return out


def _bits(marks: bytes | bytearray) -> bytes:
    """A bitmap with bit i set where marks[i] is nonzero (least significant bit first)."""
    text = bytes(marks).translate(_BIT_TEXT)[::-1]
    return int(text or b"0", 2).to_bytes((len(marks) + 7) // 8, "little")


_BIT_TEXT = bytes([48] + [49] * 255)  # 0 -> "0", anything else -> "1"


def _validity(nulls: bytes | bytearray | None, rows: int) -> tuple[Any, int]:
    if nulls is None:
        return None, 0
    if len(nulls) != rows:
        raise ValueError("arrow_table(): a column's missing-value marks holds %d values, not %d" % (len(nulls), rows))
    missing = rows - bytes(nulls).count(0)
    return (_buffer(_bits(bytes(nulls).translate(_INVERT))) if missing else None), missing


_INVERT = bytes([1] + [0] * 255)


def _text(name: bytes, values: list[str | None], dictionary: bool) -> _Column:
    rows = len(values)
    present = [value is not None for value in values]
    encoded = [b"" if value is None else _utf8(value) for value in values]
    lengths = list(map(len, encoded))
    offsets = [0, *accumulate(lengths)]
    validity = _buffer(_bits(bytes(present))) if not all(present) else None
    null_count = rows - sum(present)
    plain = offsets[-1] + len(offsets) * 4
    if dictionary and rows:
        indices, distinct = _dictionary(encoded, present, plain)
        if indices is not None:
            values_column = _plain_text(b"", distinct, 0, None)
            return _Column(name, b"i", rows, null_count, [validity, _buffer(array("i", indices))], values_column)
    return _plain_text(name, encoded, null_count, validity)


def _utf8(value: Any) -> bytes:
    if not isinstance(value, str):
        raise TypeError("arrow_table(): a text column holds %s" % type(value).__name__)
    return value.encode()


def _dictionary(encoded: list[bytes], present: list[bool], plain: int) -> tuple[list[int] | None, list[bytes]]:
    """The indices and distinct values of a text column when they take at most half its plain
    bytes, as the engine decides it (nothing else leads to the same table)."""
    seen: dict[bytes, int] = {}
    distinct_bytes = 0
    fixed = len(encoded) * 4
    if (fixed + 4) * 2 > plain:
        return None, []
    indices = [0] * len(encoded)
    for i in compress(range(len(encoded)), present):
        value = encoded[i]
        index = seen.get(value)
        if index is None:
            index = seen[value] = len(seen)
            distinct_bytes += len(value)
            if (distinct_bytes + (len(seen) + 1) * 4 + fixed) * 2 > plain:
                return None, []
        indices[i] = index
    return indices, list(seen)


def _plain_text(name: bytes, encoded: list[bytes], null_count: int, validity: Any) -> _Column:
    offsets = [0, *accumulate(map(len, encoded))]
    large = offsets[-1] > _I32_MAX
    return _Column(name, b"U" if large else b"u", len(encoded), null_count,
                   [validity, _buffer(array("q" if large else "i", offsets)), _buffer(b"".join(encoded))])


def _column(name: str, spec: Any, rows: int, dictionary: bool, text_of: Any) -> _Column:
    if not (isinstance(spec, tuple) and len(spec) == 3 and isinstance(spec[0], str)):
        raise TypeError("arrow_table(): a column is a (kind, data, nulls) tuple")
    kind, data, nulls = spec
    label = name.encode()
    if kind == "empty":
        return _Column(label, b"n", rows, rows, [])
    if kind == "mixed":  # only the engine makes these parts, and says their values
        engine: Any = _native._engine
        data, kind = [value for part in data for value in engine.mixed_values(*part)], "object"
    if kind == "object":
        if text_of is None:
            raise TypeError("arrow_table(): an object column needs text_of")
        if not isinstance(data, list):
            raise TypeError("arrow_table() argument 'text column' must be list, not %s" % type(data).__name__)
        data, kind = [None if value is None else text_of(value) for value in data], "text"
    if kind == "text":
        if not isinstance(data, list):
            raise TypeError("arrow_table() argument 'text column' must be list, not %s" % type(data).__name__)
        if len(data) != rows:
            raise ValueError("arrow_table(): a column's data holds %d values, not %d" % (len(data), rows))
        return _text(label, data, dictionary)
    if kind not in _FORMATS:
        raise ValueError("arrow_table(): unknown column kind %r" % kind)
    raw = bytes(memoryview(data).cast("B"))
    width = 1 if kind == "bool" else 8
    if len(raw) != rows * width:
        raise ValueError("arrow_table(): a column's data holds %d values, not %d" % (len(raw) // width, rows))
    values = _buffer(_bits(raw) if kind == "bool" else raw)
    validity, missing = _validity(nulls, rows)
    return _Column(label, _FORMATS[kind], rows, missing, [validity, values])


# ---------------------------------------------------------------- export

def _address(obj: Any) -> int | None:
    return None if obj is None else ctypes.addressof(obj)


def _release_node(struct: Any, released: Any) -> None:
    """Releases an exported schema or array struct: what its node kept, then each child and the
    dictionary that a consumer did not move out (those have no release any more)."""
    if not struct.release:
        return
    kept = _KEPT.pop(struct.private_data, None)
    for child in (kept.children if kept is not None else ()):
        if child.release:
            child.release(ctypes.pointer(child))
    if kept is not None and kept.dictionary is not None and kept.dictionary.release:
        kept.dictionary.release(ctypes.pointer(kept.dictionary))
    struct.release = released


_release_schema: Any = _ReleaseSchema(lambda pointer: _release_node(pointer.contents, _ReleaseSchema()))


class _SchemaNode:
    __slots__ = ("name", "children", "pointers", "dictionary")

    def __init__(self, name: bytes, children: list[ArrowSchema], dictionary: ArrowSchema | None) -> None:
        self.name, self.children, self.dictionary = name, children, dictionary
        self.pointers = (ctypes.POINTER(ArrowSchema) * max(1, len(children)))(*map(ctypes.pointer, children))


def _fill_schema(out: ArrowSchema, fmt: bytes, name: bytes, flags: int, children: list[ArrowSchema],
                 dictionary: ArrowSchema | None) -> None:
    node = _SchemaNode(name, children, dictionary)
    out.format, out.name, out.metadata, out.flags = _FORMAT_CONSTANTS[fmt], name, None, flags
    out.n_children = len(children)
    out.children = ctypes.cast(node.pointers, ctypes.POINTER(ctypes.POINTER(ArrowSchema))) if children else None
    out.dictionary = ctypes.pointer(dictionary) if dictionary is not None else None
    out.release = _release_schema
    out.private_data = _keep(node)


# Format strings that outlive every schema (a c_char_p field keeps no reference of its own).
_FORMAT_CONSTANTS = {fmt: fmt for fmt in (b"n", b"l", b"g", b"b", b"tsu:", b"u", b"U", b"i", b"+s")}


def _column_schema(column: _Column, out: ArrowSchema) -> None:
    dictionary = None
    if column.dictionary is not None:
        dictionary = ArrowSchema()
        _fill_schema(dictionary, column.dictionary.format, b"", _NULLABLE, [], None)
    _fill_schema(out, column.format, column.name, _NULLABLE, [], dictionary)


def _export_schema(columns: list[_Column], out: ArrowSchema) -> None:
    children = [ArrowSchema() for _ in columns]
    for column, child in zip(columns, children):
        _column_schema(column, child)
    _fill_schema(out, b"+s", b"", 0, children, None)


_release_array: Any = _ReleaseArray(lambda pointer: _release_node(pointer.contents, _ReleaseArray()))


class _ArrayNode:
    __slots__ = ("column", "buffers", "children", "pointers", "dictionary")

    def __init__(self, keep: Any, buffers: list[Any], children: list[ArrowArray], dictionary: ArrowArray | None) -> None:
        self.column, self.children, self.dictionary = keep, children, dictionary
        self.buffers = (ctypes.c_void_p * max(1, len(buffers)))(*map(_address, buffers))
        self.pointers = (ctypes.POINTER(ArrowArray) * max(1, len(children)))(*map(ctypes.pointer, children))


def _fill_array(out: ArrowArray, length: int, null_count: int, offset: int, buffers: list[Any], keep: Any,
                children: list[ArrowArray], dictionary: ArrowArray | None) -> None:
    node = _ArrayNode(keep, buffers, children, dictionary)
    out.length, out.null_count, out.offset = length, null_count, offset
    out.n_buffers, out.n_children = len(buffers), len(children)
    out.buffers = ctypes.cast(node.buffers, ctypes.POINTER(ctypes.c_void_p))
    out.children = ctypes.cast(node.pointers, ctypes.POINTER(ctypes.POINTER(ArrowArray))) if children else None
    out.dictionary = ctypes.pointer(dictionary) if dictionary is not None else None
    out.release = _release_array
    out.private_data = _keep(node)


def _nulls_in(column: _Column, start: int, length: int) -> int:
    if column.format == b"n":
        return length
    validity = column.buffers[0] if column.buffers else None
    if validity is None:
        return 0
    if start == 0 and length == column.length:
        return column.null_count
    bits = bytes(validity)
    present = sum((bits[i >> 3] >> (i & 7)) & 1 for i in range(start, start + length))
    return length - present


def _column_array(column: _Column, start: int, length: int, out: ArrowArray) -> None:
    dictionary = None
    if column.dictionary is not None:
        dictionary = ArrowArray()
        _column_array(column.dictionary, 0, column.dictionary.length, dictionary)
    _fill_array(out, length, _nulls_in(column, start, length), start, column.buffers, column, [], dictionary)


def _export_batch(columns: list[_Column], start: int, length: int, out: ArrowArray) -> None:
    children = [ArrowArray() for _ in columns]
    for column, child in zip(columns, children):
        _column_array(column, start, length, child)
    _fill_array(out, length, 0, 0, [None], columns, children, None)


class _Stream:
    __slots__ = ("columns", "rows", "batch_rows", "next", "sent")

    def __init__(self, columns: list[_Column], rows: int, batch_rows: int) -> None:
        self.columns, self.rows, self.batch_rows, self.next, self.sent = columns, rows, batch_rows, 0, False


def _on_stream_schema(stream: Any, out: Any) -> int:
    state = _KEPT[stream.contents.private_data]
    _export_schema(state.columns, out.contents)
    return 0


_stream_schema: Any = _GetSchema(_on_stream_schema)


def _on_stream_next(stream: Any, out: Any) -> int:
    state = _KEPT[stream.contents.private_data]
    if state.next >= state.rows and state.sent:
        out.contents.release = _ReleaseArray()  # the end of the stream
        return 0
    length = min(state.batch_rows, state.rows - state.next)
    _export_batch(state.columns, state.next, length, out.contents)
    state.next += length
    state.sent = True
    return 0


_stream_next: Any = _GetNext(_on_stream_next)


def _on_stream_error(stream: Any) -> None:
    return None


_stream_error: Any = _GetError(_on_stream_error)


def _on_release_stream(stream: Any) -> None:
    struct = stream.contents
    if struct.release:
        _KEPT.pop(struct.private_data, None)
        struct.release = _ReleaseStream()


_release_stream: Any = _ReleaseStream(_on_release_stream)


_CapsuleDestructor = ctypes.PYFUNCTYPE(None, ctypes.c_void_p)
_PyCapsule_New = ctypes.pythonapi["PyCapsule_New"]
_PyCapsule_New.restype = ctypes.py_object
_PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_STREAM_NAME = b"arrow_array_stream"
_SCHEMA_NAME = b"arrow_schema"
# The capsule is passed to its destructor as a plain address: as a Python object it would be
# revived in the middle of its own deallocation.
_PyCapsule_GetPointer = ctypes.pythonapi["PyCapsule_GetPointer"]
_PyCapsule_GetPointer.restype = ctypes.c_void_p
_PyCapsule_GetPointer.argtypes = [ctypes.c_void_p, ctypes.c_char_p]


def _free_capsule(capsule: int, name: bytes, struct: Any) -> None:
    pointer = ctypes.cast(_PyCapsule_GetPointer(capsule, name), ctypes.POINTER(struct))
    if pointer.contents.release:  # a consumer that took the struct over left it empty
        pointer.contents.release(pointer)
    _KEPT.pop(ctypes.addressof(pointer.contents), None)


_free_stream_capsule: Any = _CapsuleDestructor(lambda capsule: _free_capsule(capsule, _STREAM_NAME, ArrowArrayStream))


_free_schema_capsule: Any = _CapsuleDestructor(lambda capsule: _free_capsule(capsule, _SCHEMA_NAME, ArrowSchema))


class ArrowTable:
    """A table of typed columns, read through the Arrow PyCapsule protocol (the pure-Python
    path's twin of `_quillfen.ArrowTable`)."""

    __slots__ = ("_columns", "_rows", "_batch_rows")

    def __init__(self, columns: list[_Column], rows: int, batch_rows: int) -> None:
        self._columns, self._rows, self._batch_rows = columns, rows, batch_rows

    @property
    def num_rows(self) -> int:
        return self._rows

    @property
    def column_names(self) -> list[str]:
        return [column.name.decode() for column in self._columns]

    @property
    def batch_rows(self) -> int:
        return self._batch_rows

    def __len__(self) -> int:
        return self._rows

    @staticmethod
    def _live() -> int:
        """The exported Arrow structs (of every table) whose release has not run yet."""
        return len(_KEPT)

    def __repr__(self) -> str:
        return "<ArrowTable: %d rows, %d columns>" % (self._rows, len(self._columns))

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """A PyCapsule 'arrow_array_stream' of the table's record batches."""
        state = _Stream(self._columns, self._rows, self._batch_rows)
        stream = ArrowArrayStream(_stream_schema, _stream_next, _stream_error, _release_stream, _keep(state))
        _KEPT[ctypes.addressof(stream)] = stream
        return _PyCapsule_New(ctypes.addressof(stream), _STREAM_NAME, ctypes.cast(_free_stream_capsule, ctypes.c_void_p))

    def __arrow_c_schema__(self) -> object:
        """A PyCapsule 'arrow_schema' of the table's schema (a struct of its columns)."""
        schema = ArrowSchema()
        _export_schema(self._columns, schema)
        _KEPT[ctypes.addressof(schema)] = schema
        return _PyCapsule_New(ctypes.addressof(schema), _SCHEMA_NAME, ctypes.cast(_free_schema_capsule, ctypes.c_void_p))


def arrow_table(names: list[str], columns: Iterable[Any], rows: int, batch_rows: int, dictionary: bool,
                text_of: Any = None) -> ArrowTable:
    """The table of `columns`, one (kind, data, nulls) per name (see `_quillfen.arrow_table`)."""
    if rows < 0 or batch_rows < 1:
        raise ValueError("arrow_table(): rows must not be negative, batch_rows must be positive")
    specs = iter(columns)
    made = []
    for name in names:
        spec = next(specs, None)
        if spec is None:
            raise ValueError("arrow_table(): fewer columns than names")
        made.append(_column(name, spec, rows, bool(dictionary), text_of))
    return ArrowTable(made, rows, batch_rows)



# ---------------------------------------------------------------- reading another library's stream

_EPOCH = datetime.datetime(1970, 1, 1)
_TIME_UNITS = {"s": 1_000_000, "m": 1_000, "u": 1}
_INT_CODES = {"c": "b", "s": "h", "i": "i", "l": "q", "C": "B", "S": "H", "I": "I", "L": "Q"}


class FrameReadError(TypeError):
    """A frame column of a type that quillfen does not write."""


def read_stream(source: Any) -> tuple[list[str], Iterator[list[list[Any]]]]:
    """The column names of the frame `source` (anything with `__arrow_c_stream__`) and its record
    batches, each a list of columns of Python values (None where missing), read with ctypes: the
    pure-Python path's twin of the engine's stream reader, for the same types."""
    capsule = source.__arrow_c_stream__()
    stream = ArrowArrayStream()
    source = ctypes.cast(_capsule_pointer(capsule, _STREAM_NAME), ctypes.POINTER(ArrowArrayStream)).contents
    if not source.release:
        raise ValueError("the frame's stream was already taken")
    ctypes.memmove(ctypes.addressof(stream), ctypes.addressof(source), ctypes.sizeof(stream))
    source.release = _ReleaseStream()  # moved: ours to release
    schema = ArrowSchema()
    try:
        _check(stream, stream.get_schema(ctypes.byref(stream), ctypes.byref(schema)))
        fields = [schema.children[i].contents for i in range(schema.n_children)]
        names = [(field.name or b"").decode() for field in fields]
        formats = [_field_format(field) for field in fields]
    except BaseException:
        if schema.release:
            schema.release(ctypes.byref(schema))
        stream.release(ctypes.byref(stream))
        raise
    return names, _batches(stream, schema, formats)


# A function object of its own: the capsule destructors' one takes the capsule as an address.
_GetPointerOf = ctypes.pythonapi["PyCapsule_GetPointer"]
_GetPointerOf.restype, _GetPointerOf.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]


def _capsule_pointer(capsule: Any, name: bytes) -> int:
    address: int = _GetPointerOf(capsule, name)
    return address


def _check(stream: ArrowArrayStream, code: int) -> None:
    if code:
        message = stream.get_last_error(ctypes.byref(stream)) if stream.get_last_error else None
        raise RuntimeError("the frame's stream failed: %s" % (message.decode() if message else "error %d" % code))


def _field_format(field: ArrowSchema) -> tuple[str, str]:
    """(format, dictionary values' format or "") of a field, if quillfen writes it."""
    fmt = (field.format or b"").decode()
    if field.dictionary:
        values = (field.dictionary.contents.format or b"").decode()
        if fmt in _INT_CODES and values in ("u", "U", "vu"):
            return fmt, values
    elif fmt in _INT_CODES or fmt in ("n", "f", "g", "b", "u", "U", "vu", "tdD", "tdm") or (
            len(fmt) == 4 and fmt[:2] == "ts" and fmt[2] in "smun" and fmt[3] == ":"):
        return fmt, ""
    raise FrameReadError("a frame column of format %r cannot be written" % fmt)


def _batches(stream: ArrowArrayStream, schema: ArrowSchema, formats: list[tuple[str, str]]) -> Iterator[list[list[Any]]]:
    try:
        while True:
            batch = ArrowArray()
            _check(stream, stream.get_next(ctypes.byref(stream), ctypes.byref(batch)))
            if not batch.release:
                return
            try:
                yield [_values(batch.children[i].contents, fmt, values, batch.length)
                       for i, (fmt, values) in enumerate(formats)]
            finally:
                batch.release(ctypes.byref(batch))
    finally:
        schema.release(ctypes.byref(schema))
        stream.release(ctypes.byref(stream))


def _raw(array: ArrowArray, index: int, size: int) -> bytes:
    address = array.buffers[index]
    return ctypes.string_at(address, size) if address and size else b""


def _present(array: ArrowArray, length: int) -> list[bool]:
    if not array.null_count or not array.buffers[0]:
        return [True] * length
    bits = _raw(array, 0, (array.offset + length + 7) // 8)
    return [bool(bits[i >> 3] >> (i & 7) & 1) for i in range(array.offset, array.offset + length)]


def _texts(array: ArrowArray, fmt: str, first: int, length: int) -> list[str]:
    if fmt == "vu":
        views = _raw(array, 1, (first + length) * 16)
        out = []
        for i in range(first, first + length):
            size = int.from_bytes(views[i * 16:i * 16 + 4], "little", signed=True)
            if size <= 12:
                out.append(views[i * 16 + 4:i * 16 + 4 + size].decode())
            else:
                buffer = int.from_bytes(views[i * 16 + 8:i * 16 + 12], "little")
                offset = int.from_bytes(views[i * 16 + 12:i * 16 + 16], "little")
                out.append(ctypes.string_at(array.buffers[2 + buffer] + offset, size).decode())
        return out
    code = "i" if fmt == "u" else "q"
    offsets = array_of(code, _raw(array, 1, (first + length + 1) * (4 if code == "i" else 8)))[first:]
    data = _raw(array, 2, offsets[-1]) if length else b""
    return [data[offsets[i]:offsets[i + 1]].decode() for i in range(length)]


def array_of(code: str, raw: bytes) -> array[Any]:
    out = array(code)
    out.frombytes(raw)
    return out


def _values(column: ArrowArray, fmt: str, dictionary: str, length: int) -> list[Any]:
    """The Python values of a column of a batch, as the package writes them."""
    if fmt == "n" and not dictionary:
        return [None] * length
    present = _present(column, length)
    first = column.offset
    values: list[Any]
    if dictionary:
        indices = array_of(_INT_CODES[fmt], _raw(column, 1, (first + length) * array(_INT_CODES[fmt]).itemsize))
        words = column.dictionary.contents
        texts = _texts(words, dictionary, words.offset, words.length)
        values = [texts[i] if 0 <= i < len(texts) else None for i in indices[first:]]  # a missing one may point anywhere
    elif fmt in _INT_CODES or fmt in ("f", "g"):
        code = _INT_CODES.get(fmt) or ("f" if fmt == "f" else "d")
        values = list(array_of(code, _raw(column, 1, (first + length) * array(code).itemsize))[first:])
        if fmt in ("f", "g"):
            values = [None if v != v or v in (math.inf, -math.inf) else v for v in values]  # a file holds no NaN
    elif fmt == "b":
        bits = _raw(column, 1, (first + length + 7) // 8)
        values = [bool(bits[i >> 3] >> (i & 7) & 1) for i in range(first, first + length)]
    elif fmt in ("u", "U", "vu"):
        values = _texts(column, fmt, first, length)
    elif fmt in ("tdD", "tdm"):
        raw = array_of("i" if fmt == "tdD" else "q", _raw(column, 1, (first + length) * (4 if fmt == "tdD" else 8)))
        per_day = 1 if fmt == "tdD" else 86_400_000
        values = [datetime.date(1970, 1, 1) + datetime.timedelta(days=v // per_day) for v in raw[first:]]
    else:  # time stamps
        raw = array_of("q", _raw(column, 1, (first + length) * 8))[first:]
        unit = fmt[2]
        values = [_EPOCH + datetime.timedelta(microseconds=v // 1000 if unit == "n" else v * _TIME_UNITS[unit])
                  for v in raw]
    return [value if keep else None for value, keep in zip(values, present)]
