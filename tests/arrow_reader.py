"""Tables read through the Arrow C stream interface with ctypes alone, for
interpreters that have no pyarrow (a free-threaded one): the schema with its
field metadata, and rows as pyarrow's to_pylist() gives them, for every type
the decoders export.

`table(obj)` and `schema(obj)` give pyarrow's objects where pyarrow is
installed (read by this module too, which must agree) and this module's
otherwise; both answer the few questions the tests ask of a table (to_pylist,
column, schema, field, metadata, equals).
"""

from __future__ import annotations

import ctypes
import decimal
import struct
from dataclasses import dataclass, field
from typing import Any

import pytest

try:
    import pyarrow as pa
    import pyarrow.parquet as pq
except ImportError:
    pa = pq = None

# For tests about pyarrow itself (Arrow inputs, Parquet), which skip without it.
needs_pyarrow = pytest.mark.skipif(pa is None, reason="needs pyarrow")


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_void_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))), ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))), ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64), ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))), ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))), ("private_data", ctypes.c_void_p),
]


class ArrowArrayStream(ctypes.Structure):
    pass


ArrowArrayStream._fields_ = [
    ("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))),
    ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))),
    ("get_last_error", ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))), ("private_data", ctypes.c_void_p),
]

_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

NULLABLE = 2
# Fixed-width values by format: struct code and width.
PRIMITIVES = {"c": "b", "C": "B", "s": "h", "S": "H", "i": "i", "I": "I", "l": "q", "L": "Q", "f": "f", "g": "d"}


@dataclass(frozen=True)
class DataType:
    """A type by its C data interface format; children are Fields (the
    dictionary's value type is `dictionary`, the format that of its indices)."""

    format: str
    children: tuple[Field, ...] = ()
    dictionary: DataType | None = None

    @property
    def num_fields(self) -> int:
        return len(self.children)

    def field(self, key: int | str) -> Field:
        return Schema(self.children).field(key)

    @property
    def value_field(self) -> Field:
        return self.children[0]


@dataclass(frozen=True)
class Field:
    name: str
    type: DataType
    nullable: bool
    metadata: dict[bytes, bytes] | None = field(default=None, hash=False)


class Schema(list):
    """The top-level fields, by position or name."""

    def field(self, key: int | str) -> Field:
        if isinstance(key, int):
            return self[key]
        (found,) = [f for f in self if f.name == key]
        return found

    @property
    def names(self) -> list[str]:
        return [f.name for f in self]


class types:  # noqa: N801  (the pyarrow.types predicates the tests use)
    is_decimal = staticmethod(lambda t: t.format.startswith("d:"))
    is_fixed_size_binary = staticmethod(lambda t: t.format.startswith("w:"))
    is_list = staticmethod(lambda t: t.format == "+l")
    is_fixed_size_list = staticmethod(lambda t: t.format.startswith("+w:"))
    is_struct = staticmethod(lambda t: t.format == "+s")
    is_dictionary = staticmethod(lambda t: t.dictionary is not None)


def _metadata(address: int | None) -> dict[bytes, bytes] | None:
    if not address:
        return None

    def int32(at: int) -> int:
        return struct.unpack("=i", ctypes.string_at(at, 4))[0]

    count, at, out = int32(address), address + 4, {}
    for _ in range(count):
        size = int32(at)
        key = ctypes.string_at(at + 4, size)
        at += 4 + size
        size = int32(at)
        out[key] = ctypes.string_at(at + 4, size)
        at += 4 + size
    return out


def _field(s: ArrowSchema) -> Field:
    children = tuple(_field(s.children[i].contents) for i in range(s.n_children))
    dictionary = _field(s.dictionary.contents).type if s.dictionary else None
    return Field(s.name.decode(), DataType(s.format.decode(), children, dictionary), bool(s.flags & NULLABLE),
                 _metadata(s.metadata))


def _bytes(address: int | None, start: int, size: int) -> bytes:
    # Buffers of empty arrays may be null.
    return ctypes.string_at(address + start, size) if size > 0 else b""


def _bits(address: int, offset: int, length: int) -> list[bool]:
    data = _bytes(address, 0, (offset + length + 7) // 8)
    return [bool(data[i >> 3] >> (i & 7) & 1) for i in range(offset, offset + length)]


def _column(t: DataType, a: ArrowArray, start: int = 0, length: int | None = None) -> list[Any]:
    """The values of rows [start, start + length) of array `a` (its own offset applied)."""
    length = a.length - start if length is None else length
    if length == 0:
        return []
    off = a.offset + start
    buffers = [a.buffers[i] for i in range(a.n_buffers)]
    valid = _bits(buffers[0], off, length) if buffers and buffers[0] and a.null_count != 0 else [True] * length
    f = t.format
    if t.dictionary is not None:
        indices = _column(DataType(f), a, start, length)
        values = _column(t.dictionary, a.dictionary.contents)
        out = [None if i is None else values[i] for i in indices]
    elif f == "b":
        out = _bits(buffers[1], off, length)
    elif f in PRIMITIVES:
        width = struct.calcsize(PRIMITIVES[f])
        out = list(memoryview(_bytes(buffers[1], off * width, length * width)).cast(PRIMITIVES[f]))
    elif f in ("u", "z"):
        ends = memoryview(ctypes.string_at(buffers[1] + off * 4, (length + 1) * 4)).cast("i")
        data = _bytes(buffers[2], ends[0], ends[-1] - ends[0])
        out = [data[ends[i] - ends[0]:ends[i + 1] - ends[0]] for i in range(length)]
        if f == "u":
            out = [v.decode() for v in out]
    elif f.startswith("w:"):
        width = int(f[2:])
        data = _bytes(buffers[1], off * width, length * width)
        out = [data[i * width:(i + 1) * width] for i in range(length)]
    elif f.startswith("d:"):
        precision_scale = f[2:].split(",")
        scale, width = int(precision_scale[1]), int(precision_scale[2]) // 8 if len(precision_scale) > 2 else 16
        data = _bytes(buffers[1], off * width, length * width)
        # From text: exact at any precision (arithmetic would round to 28 digits).
        # In a context of this thread's own: new threads may share their parent's.
        with decimal.localcontext():
            out = [decimal.Decimal(f"{int.from_bytes(data[i * width:(i + 1) * width], 'little', signed=True)}E-{scale}")
                   for i in range(length)]
    elif f == "+l":
        ends = memoryview(ctypes.string_at(buffers[1] + off * 4, (length + 1) * 4)).cast("i")
        values = _column(t.value_field.type, a.children[0].contents, ends[0], ends[-1] - ends[0])
        out = [values[ends[i] - ends[0]:ends[i + 1] - ends[0]] for i in range(length)]
    elif f.startswith("+w:"):
        size = int(f[3:])
        values = _column(t.value_field.type, a.children[0].contents, off * size, length * size)
        out = [values[i * size:(i + 1) * size] for i in range(length)]
    elif f == "+s":
        columns = [_column(c.type, a.children[i].contents, off, length) for i, c in enumerate(t.children)]
        out = [{c.name: col[i] for c, col in zip(t.children, columns)} for i in range(length)]
    else:
        raise NotImplementedError(f"Arrow format {f!r}")
    return [v if ok else None for v, ok in zip(out, valid)]


class Table:
    """A whole stream: its schema and its rows, each a dict."""

    def __init__(self, schema: Schema, rows: list[dict[str, Any]]):
        self.schema, self._rows = schema, rows

    def to_pylist(self) -> list[dict[str, Any]]:
        return [dict(r) for r in self._rows]

    def column(self, name: str) -> Column:
        return Column([r[name] for r in self._rows])

    @property
    def column_names(self) -> list[str]:
        return self.schema.names

    @property
    def num_rows(self) -> int:
        return len(self._rows)

    def __len__(self) -> int:
        return len(self._rows)

    def select(self, names: list[str]) -> Table:
        return Table(Schema(self.schema.field(n) for n in names), [{n: r[n] for n in names} for r in self._rows])

    def equals(self, other: Table) -> bool:
        return self.schema == other.schema and _same_values(self._rows, other._rows)


@dataclass
class Column:
    values: list[Any]

    def to_pylist(self) -> list[Any]:
        return list(self.values)

    def __len__(self) -> int:
        return len(self.values)


def _same_values(a: Any, b: Any) -> bool:
    # NaN equals itself here, as Table.equals treats it in pyarrow.
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (a != a and b != b)
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(_same_values(a[k], b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(_same_values(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def read_stream(obj: Any) -> Table:
    """Reads `obj.__arrow_c_stream__()` whole, releasing every struct it is handed."""
    capsule = obj.__arrow_c_stream__()
    stream = ArrowArrayStream.from_address(_capsule_pointer(capsule, b"arrow_array_stream"))
    try:
        c_schema = ArrowSchema()
        if stream.get_schema(ctypes.byref(stream), ctypes.byref(c_schema)) != 0:
            raise OSError(stream.get_last_error(ctypes.byref(stream)))
        try:
            schema = Schema(_field(c_schema).type.children)
        finally:
            c_schema.release(ctypes.byref(c_schema))
        row_type = DataType("+s", tuple(schema))
        rows: list[dict[str, Any]] = []
        while True:
            batch = ArrowArray()
            if stream.get_next(ctypes.byref(stream), ctypes.byref(batch)) != 0:
                raise OSError(stream.get_last_error(ctypes.byref(stream)))
            if not batch.release:
                return Table(schema, rows)
            try:
                rows += _column(row_type, batch)
            finally:
                batch.release(ctypes.byref(batch))
    finally:
        if stream.release:
            stream.release(ctypes.byref(stream))


def read_schema(obj: Any) -> Schema:
    capsule = obj.__arrow_c_schema__()
    c_schema = ArrowSchema.from_address(_capsule_pointer(capsule, b"arrow_schema"))
    return Schema(_field(c_schema).type.children)


def pyarrow_type(t: DataType) -> Any:
    """The pyarrow type of a format, to hold the reader's schemas against pyarrow's."""
    f = t.format
    if t.dictionary is not None:
        return pa.dictionary(pyarrow_type(DataType(f)), pyarrow_type(t.dictionary))
    if f in PRIMITIVES or f in ("b", "u", "z"):
        return pa.type_for_alias({"c": "int8", "C": "uint8", "s": "int16", "S": "uint16", "i": "int32", "I": "uint32",
                                  "l": "int64", "L": "uint64", "f": "float", "g": "double", "b": "bool", "u": "string",
                                  "z": "binary"}[f])
    if f.startswith("w:"):
        return pa.binary(int(f[2:]))
    if f.startswith("d:"):
        precision, scale, *width = map(int, f[2:].split(","))
        return (pa.decimal256 if width == [256] else pa.decimal128)(precision, scale)
    if f == "+l":
        return pa.list_(pyarrow_field(t.value_field))
    if f.startswith("+w:"):
        return pa.list_(pyarrow_field(t.value_field), int(f[3:]))
    if f == "+s":
        return pa.struct([pyarrow_field(c) for c in t.children])
    raise NotImplementedError(f"Arrow format {f!r}")


def pyarrow_field(f: Field) -> Any:
    return pa.field(f.name, pyarrow_type(f.type), f.nullable, f.metadata)


def check_against_pyarrow(got: Table | Schema, want: Any) -> None:
    """That this reader sees what pyarrow sees: fields with their metadata, and rows."""
    fields = got.schema if isinstance(got, Table) else got
    want_schema = want.schema if hasattr(want, "schema") else want
    assert pa.schema([pyarrow_field(f) for f in fields]).equals(want_schema, check_metadata=True), \
        f"arrow_reader reads the schema\n{fields}\nwhere pyarrow reads\n{want_schema}"
    if isinstance(got, Table):
        mine, theirs = got.to_pylist(), want.to_pylist()
        assert len(mine) == len(theirs), f"arrow_reader reads {len(mine)} rows where pyarrow reads {len(theirs)}"
        for i, (a, b) in enumerate(zip(mine, theirs)):
            assert _same_values(a, b), f"arrow_reader reads row {i} as\n{a}\nwhere pyarrow reads\n{b}"


def table(obj: Any) -> Any:
    """A table of anything with __arrow_c_stream__: pyarrow's where it is
    installed (and then read by this module too, which must agree), this
    module's otherwise."""
    if pa is None:
        return read_stream(obj)
    want = pa.table(obj)
    # Larger tables take this reader long and reach no path smaller ones miss.
    if want.num_rows <= 1000:
        check_against_pyarrow(read_stream(obj), want)
    return want


def rows(obj: Any) -> list[dict[str, Any]]:
    """The rows of a table, by the quickest reader at hand (and unchecked)."""
    return pa.table(obj).to_pylist() if pa is not None else read_stream(obj).to_pylist()


def schema(obj: Any) -> Any:
    """A schema of anything with __arrow_c_schema__, as `table` gives tables."""
    if pa is None:
        return read_schema(obj)
    want = pa.schema(obj)
    check_against_pyarrow(read_schema(obj), want)
    return want


if pa is not None:
    types = pa.types  # noqa: F811
