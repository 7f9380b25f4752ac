"""Lines of text as an Arrow utf8 array, exported through the C data and C
stream interfaces with ctypes alone: Arrow input for the decoders where
pyarrow is missing (a free-threaded interpreter).

A struct's private_data names what it owns (in `_owned`), so a consumer may
move the struct anywhere before releasing it; a capsule releases its struct
when it goes, unless a consumer moved it out (leaving release null)."""

from __future__ import annotations

import array
import ctypes
import itertools
from typing import Any

from arrow_reader import ArrowArray, ArrowArrayStream, ArrowSchema

_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
# Called by a capsule's destructor with the dying capsule, to which no reference may be taken.
_capsule_pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p)(
    ("PyCapsule_GetPointer", ctypes.pythonapi))

_NAMES = {ArrowSchema: b"arrow_schema", ArrowArray: b"arrow_array", ArrowArrayStream: b"arrow_array_stream"}
_owned: dict[int, Any] = {}     # by private_data: what a live struct points into
_capsules: dict[int, Any] = {}  # by address: the structs capsules hold


def _release_type(kind):
    return dict(kind._fields_)["release"]


def _make_release(kind):
    def release(pointer):
        struct = pointer.contents
        _owned.pop(struct.private_data, None)
        struct.release = _release_type(kind)()
    return _release_type(kind)(release)


_RELEASE = {kind: _make_release(kind) for kind in _NAMES}


def _make_destructor(kind):
    def destroy(capsule):
        address = _capsule_pointer(capsule, _NAMES[kind])
        struct = _capsules.pop(address)
        if struct.release:
            struct.release(ctypes.byref(struct))
    return ctypes.CFUNCTYPE(None, ctypes.c_void_p)(destroy)


_DESTROY = {kind: _make_destructor(kind) for kind in _NAMES}


def _owning(struct, held: Any):
    """`struct`, made to release `held` when it is released."""
    held = (held,)  # a new object: its id is unique while it is kept
    _owned[id(held)] = held
    struct.private_data = id(held)
    struct.release = _RELEASE[type(struct)]
    return struct


def _capsule(struct) -> Any:
    _capsules[ctypes.addressof(struct)] = struct
    destroy = ctypes.cast(_DESTROY[type(struct)], ctypes.c_void_p)
    return _new_capsule(ctypes.addressof(struct), _NAMES[type(struct)], destroy)


def _pointer(data: bytes | None) -> ctypes.c_void_p:
    return ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p) if data else ctypes.c_void_p()


class Strings:
    """Lines (None for a null) as one utf8 array, by `__arrow_c_array__` or
    `__arrow_c_stream__`. Its callbacks run Python code, so a consumer must
    not call them (or drop its capsules) with an exception pending."""

    def __init__(self, lines: list[str | None]):
        data = [b"" if s is None else s.encode("utf-8", "surrogatepass") for s in lines]
        self.offsets = array.array("i", itertools.accumulate(map(len, data), initial=0)).tobytes()
        self.data = b"".join(data)
        self.length, self.nulls = len(lines), lines.count(None)
        self.valid = bytes(sum(1 << j for j in range(8) if i + j < len(lines) and lines[i + j] is not None)
                           for i in range(0, len(lines), 8)) if self.nulls else None

    def _schema(self) -> ArrowSchema:
        return _owning(ArrowSchema(format=b"u", name=b"", flags=2), None)

    def _array(self) -> ArrowArray:
        buffers = (ctypes.c_void_p * 3)(_pointer(self.valid), _pointer(self.offsets), _pointer(self.data))
        out = ArrowArray(length=self.length, null_count=self.nulls, n_buffers=3, buffers=buffers)
        return _owning(out, (self, buffers))

    def __arrow_c_array__(self, requested_schema=None):
        return _capsule(self._schema()), _capsule(self._array())

    def __arrow_c_stream__(self, requested_schema=None):
        done = []

        @ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))
        def get_schema(stream, out):
            out[0] = self._schema()
            return 0

        @ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
        def get_next(stream, out):
            out[0] = ArrowArray() if done else self._array()  # a released array: the end
            done.append(True)
            return 0

        stream = ArrowArrayStream(get_schema=get_schema, get_next=get_next)
        return _capsule(_owning(stream, (self, get_schema, get_next)))
