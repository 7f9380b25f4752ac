"""An independent writer of zero-copy (repr C) account bodies, written from the
layout rules of the programs' target (SBF): every primitive aligned to its
size except 128-bit integers, aligned to 8; public keys and bools byte arrays;
arrays aligned as their element; a struct aligned to its widest field (at
least `align(N)`), its size rounded up to that; `packed` structs without any
padding; `transparent` structs laid out as their one field. Padding is filled
with a marker byte, so a reader that does not skip it reads garbage.

Also random struct types and values for it (IDL JSON, current format).
"""

from __future__ import annotations

import struct
from collections.abc import Mapping
from typing import Any

import borsh

_SCALARS = {  # size, align
    "bool": (1, 1), "u8": (1, 1), "i8": (1, 1), "u16": (2, 2), "i16": (2, 2), "u32": (4, 4), "i32": (4, 4),
    "f32": (4, 4), "u64": (8, 8), "i64": (8, 8), "f64": (8, 8), "u128": (16, 8), "i128": (16, 8),
    "pubkey": (32, 1),
}
PAD = b"\xa5"


def _align_up(n: int, a: int) -> int:
    return (n + a - 1) // a * a


def layout(ty: Any, types: Mapping[str, Any]) -> tuple[int, int]:
    """(size, align) of a type expression."""
    if isinstance(ty, str):
        return _SCALARS[ty]
    (kind, arg), = ty.items()
    if kind == "array":
        size, align = layout(arg[0], types)
        return size * arg[1], align
    return struct_layout(types[arg["name"]], types)[:2]


def struct_layout(definition: Mapping[str, Any], types: Mapping[str, Any]) -> tuple[int, int, list[int]]:
    """(size, align, field offsets) of a struct definition."""
    fields = definition["type"].get("fields") or []
    repr_ = definition.get("repr") or {"kind": "c"}
    sizes = [layout(f["type"], types) for f in fields]
    if repr_["kind"] == "transparent":
        (size, align), = sizes
        return size, align, [0]
    offsets, end, align = [], 0, 1
    for size, a in sizes:
        if repr_.get("packed"):
            a = 1
        end = _align_up(end, a)
        offsets.append(end)
        end += size
        align = max(align, a)
    if repr_.get("align"):
        align = max(align, repr_["align"])
    return _align_up(end, align), align, offsets


def write(ty: Any, value: Any, types: Mapping[str, Any]) -> bytes:
    if isinstance(ty, str):
        return borsh.encode(ty, value)
    (kind, arg), = ty.items()
    if kind == "array":
        return b"".join(write(arg[0], v, types) for v in value)
    return write_struct(types[arg["name"]], value, types)


def write_struct(definition: Mapping[str, Any], value: Mapping[str, Any], types: Mapping[str, Any]) -> bytes:
    fields = definition["type"].get("fields") or []
    size, _, offsets = struct_layout(definition, types)
    out = bytearray(PAD * size)
    for f, at in zip(fields, offsets, strict=True):
        body = write(f["type"], value[f["name"]], types)
        out[at:at + len(body)] = body
    return bytes(out)


# --- random types and values ---

_REPRS = [None, {"kind": "c"}, {"kind": "c", "packed": True}, {"kind": "c", "align": 16}, {"kind": "c", "align": 4},
          {"kind": "transparent"}]


def random_struct(rng: Any, defs: list[dict[str, Any]], depth: int = 0) -> dict[str, Any]:
    """A new struct definition appended to `defs` (its nested ones before it), returned."""
    repr_ = rng.choice(_REPRS)
    count = 1 if repr_ and repr_["kind"] == "transparent" else rng.randint(1, 5)
    fields = [{"name": f"f{i}", "type": random_type(rng, defs, depth + 1)} for i in range(count)]
    definition: dict[str, Any] = {"name": f"S{len(defs)}", "type": {"kind": "struct", "fields": fields}}
    if repr_ is not None:
        definition["repr"] = repr_
    defs.append(definition)
    return definition


def random_type(rng: Any, defs: list[dict[str, Any]], depth: int) -> Any:
    roll = rng.random()
    if depth < 3 and roll < 0.15:
        return {"defined": {"name": random_struct(rng, defs, depth)["name"]}}
    if depth < 3 and roll < 0.3:
        return {"array": [random_type(rng, defs, depth + 1), rng.randint(0, 3)]}
    return rng.choice(sorted(_SCALARS))


def random_value(ty: Any, types: Mapping[str, Any], rng: Any) -> Any:
    if isinstance(ty, str):
        if ty == "bool":
            return rng.random() < 0.5
        if ty == "pubkey":
            return borsh.b58encode(rng.randbytes(32))
        if ty == "f32":
            return struct.unpack("<f", struct.pack("<f", rng.uniform(-1e6, 1e6)))[0]
        if ty == "f64":
            return rng.uniform(-1e12, 1e12)
        size = _SCALARS[ty][0] * 8
        return rng.randrange(-(1 << (size - 1)), 1 << (size - 1)) if ty[0] == "i" else rng.getrandbits(size)
    (kind, arg), = ty.items()
    if kind == "array":
        return [random_value(arg[0], types, rng) for _ in range(arg[1])]
    fields = types[arg["name"]]["type"].get("fields") or []
    return {f["name"]: random_value(f["type"], types, rng) for f in fields}
