"""A small Borsh encoder driven by Anchor IDL type JSON, for tests and benchmarks.

Values take the same shapes that `EventDecoder.parse_logs` returns, so that
`decode(encode(value)) == value` is the round-trip property:

    bool -> bool; u8..i256 -> int; f32/f64 -> float; bytes -> bytes;
    string -> str; pubkey/publicKey -> base58 str (32 raw bytes also accepted);
    option -> None or the inner value; vec/array -> list;
    defined struct -> dict (named fields), list (tuple fields), {} (no fields);
    defined enum -> the variant name (unit variant) or {name: fields value};
    defined alias -> the aliased value.

Types are written as in IDL JSON, current ("pubkey", {"defined": {"name": N}})
or legacy ("publicKey", {"defined": N}). `types` maps a name to its type
definition dict (current kinds "struct", "enum", "type"; legacy "alias").
"""

from __future__ import annotations

import base64
import hashlib
import math
import struct
from collections.abc import Mapping, Sequence
from typing import Any

B58_ALPHABET = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"
_B58_INDEX = {c: i for i, c in enumerate(B58_ALPHABET)}

_INT_FORMATS = {
    "u8": (1, False), "i8": (1, True), "u16": (2, False), "i16": (2, True),
    "u32": (4, False), "i32": (4, True), "u64": (8, False), "i64": (8, True),
    "u128": (16, False), "i128": (16, True), "u256": (32, False), "i256": (32, True),
}


def b58encode(data: bytes) -> str:
    n = int.from_bytes(data, "big")
    out = []
    while n:
        n, r = divmod(n, 58)
        out.append(B58_ALPHABET[r])
    zeros = len(data) - len(data.lstrip(b"\0"))
    return "1" * zeros + "".join(reversed(out))


def b58decode(text: str) -> bytes:
    n = 0
    for c in text:
        n = n * 58 + _B58_INDEX[c]
    zeros = len(text) - len(text.lstrip("1"))
    body = n.to_bytes((n.bit_length() + 7) // 8, "big") if n else b""
    return b"\0" * zeros + body


def discriminator(name: str, namespace: str = "event") -> bytes:
    """The first 8 bytes of SHA-256("{namespace}:{name}")."""
    return hashlib.sha256(f"{namespace}:{name}".encode()).digest()[:8]


def log_line(payload: bytes, prefix: str = "Program data: ") -> str:
    return prefix + base64.b64encode(payload).decode("ascii")


def type_table(idl: Mapping[str, Any]) -> dict[str, Any]:
    """Name -> definition, the last of equal names winning, as the decoder does.
    For a legacy document the accounts and the events' own structs are added
    after `types`, in that order."""
    table: dict[str, Any] = {}
    for d in idl.get("types") or []:
        table[d["name"]] = d
    if _is_legacy(idl):
        for d in idl.get("accounts") or []:
            table[d["name"]] = d
        for e in idl.get("events") or []:
            table[e["name"]] = {"name": e["name"], "type": {"kind": "struct", "fields": e.get("fields") or []}}
    return table


def _is_legacy(idl: Mapping[str, Any]) -> bool:
    meta = idl.get("metadata")
    return not (isinstance(meta, Mapping) and isinstance(meta.get("spec"), str))


def event_fields(idl: Mapping[str, Any], name: str) -> Any:
    """The field list of event `name`'s struct (None when it declares none)."""
    definition = type_table(idl)[name]
    return definition["type"].get("fields")


def encode_event(idl: Mapping[str, Any], name: str, value: Any) -> bytes:
    """Discriminator + Borsh body of the first event named `name`."""
    event = next(e for e in idl.get("events") or [] if e["name"] == name)
    disc = bytes(event["discriminator"]) if "discriminator" in event else discriminator(name)
    return disc + encode_fields(event_fields(idl, name), value, type_table(idl))


def encode_fields(fields: Any, value: Any, types: Mapping[str, Any] | None = None) -> bytes:
    """A field list: None (no fields), named [{name, type}, ...] or tuple [type, ...].
    Named values may be given as a mapping by field name or as a sequence in order."""
    if fields is None:
        return b""
    if _is_named(fields):
        if isinstance(value, Mapping):
            items = [value[f["name"]] for f in fields]
        else:
            items = list(value)
        return b"".join(encode(f["type"], v, types) for f, v in zip(fields, items, strict=True))
    return b"".join(encode(t, v, types) for t, v in zip(fields, value, strict=True))


def _is_named(fields: Sequence[Any]) -> bool:
    return all(isinstance(f, Mapping) and "name" in f and "type" in f for f in fields)


def encode(ty: Any, value: Any, types: Mapping[str, Any] | None = None) -> bytes:
    types = types or {}
    if isinstance(ty, Mapping) and len(ty) == 1 and next(iter(ty.values())) is None:
        ty = next(iter(ty))  # {"u8": null} is "u8"
    if isinstance(ty, str):
        return _encode_scalar(ty, value)
    (kind, arg), = ty.items()
    if kind == "option":
        return b"\0" if value is None else b"\1" + encode(arg, value, types)
    if kind == "vec":
        return struct.pack("<I", len(value)) + b"".join(encode(arg, v, types) for v in value)
    if kind == "array":
        elem, length = arg
        if len(value) != length:
            raise ValueError(f"array of {length} given {len(value)} values")
        return b"".join(encode(elem, v, types) for v in value)
    if kind == "defined":
        name = arg if isinstance(arg, str) else arg["name"]
        return encode_defined(types[name], value, types)
    if kind == "definedWithTypeArgs":
        return encode_defined(types[arg["name"]], value, types)
    raise ValueError(f"cannot encode type {ty!r}")


def encode_defined(definition: Mapping[str, Any], value: Any, types: Mapping[str, Any]) -> bytes:
    body = definition["type"]
    kind = body["kind"]
    if kind == "struct":
        return encode_fields(body.get("fields"), value, types)
    if kind == "enum":
        variants = body["variants"]
        if isinstance(value, str):
            name, inner = value, None
        else:
            (name, inner), = value.items()
        index = next(i for i, v in enumerate(variants) if v["name"] == name)
        fields = variants[index].get("fields")
        return bytes([index]) + (b"" if fields is None else encode_fields(fields, inner, types))
    if kind in ("type", "alias"):
        return encode(body["alias"] if kind == "type" else body["value"], value, types)
    raise ValueError(f"cannot encode definition kind {kind!r}")


def _encode_scalar(ty: str, value: Any) -> bytes:
    if ty == "bool":
        return b"\1" if value else b"\0"
    if ty in _INT_FORMATS:
        width, signed = _INT_FORMATS[ty]
        return int(value).to_bytes(width, "little", signed=signed)
    if ty == "f32":
        return struct.pack("<f", value)
    if ty == "f64":
        return struct.pack("<d", value)
    if ty == "bytes":
        return struct.pack("<I", len(value)) + bytes(value)
    if ty == "string":
        raw = value.encode("utf-8", "surrogatepass") if isinstance(value, str) else bytes(value)
        return struct.pack("<I", len(raw)) + raw
    if ty in ("pubkey", "publicKey"):
        raw = value if isinstance(value, (bytes, bytearray)) else b58decode(value)
        if len(raw) != 32:
            raise ValueError(f"a public key is 32 bytes, got {len(raw)}")
        return bytes(raw)
    raise ValueError(f"cannot encode type {ty!r}")


def f32_value(x: float) -> float:
    """The float that an f32 field holding `x` decodes to (x rounded to single)."""
    if math.isnan(x) or math.isinf(x):
        return x
    return struct.unpack("<f", struct.pack("<f", x))[0]


# --- random values of IDL types (tests and benchmarks) ---

_CHARS = "abcdefghijklmnopqrstuvwxyz0123456789 _-é✓日"


class Unsupported(Exception):
    """A type that random values cannot be made for: generic, or naming a type
    the document lacks."""


def _random_scalar(ty: str, rng: Any) -> Any:
    if ty == "bool":
        return rng.random() < 0.5
    if ty in _INT_FORMATS:
        width, signed = _INT_FORMATS[ty]
        bits = 8 * width
        # Mostly small magnitudes, as amounts are, with full-width values too.
        value = rng.getrandbits(rng.choice([bits // 4, bits // 2, bits]))
        if signed:
            value = value // 2 if rng.random() < 0.5 else -(value // 2) - 1
        return value
    if ty == "f32":
        return f32_value(rng.uniform(-1e6, 1e6))
    if ty == "f64":
        return rng.uniform(-1e12, 1e12)
    if ty == "bytes":
        return rng.randbytes(rng.randint(0, 16))
    if ty == "string":
        return "".join(rng.choices(_CHARS, k=rng.randint(0, 16)))
    if ty in ("pubkey", "publicKey"):
        return b58encode(rng.randbytes(32))
    raise Unsupported(ty)


def random_value(ty: Any, types: Mapping[str, Any], rng: Any, depth: int = 0) -> Any:
    """A random value of IDL type `ty` (current or legacy JSON), shaped as the
    decoder returns it; `rng` is a random.Random."""
    if depth > 12:
        raise Unsupported("nested too deep")
    if isinstance(ty, str):
        return _random_scalar(ty, rng)
    ((kind, arg),) = ty.items()
    if kind == "option":
        return None if depth > 4 or rng.random() < 0.3 else random_value(arg, types, rng, depth + 1)
    if kind == "vec":
        return [random_value(arg, types, rng, depth + 1) for _ in range(rng.randint(0, 3) if depth < 4 else 0)]
    if kind == "array":
        element, length = arg
        if not isinstance(length, int):
            raise Unsupported("generic array length")
        return [random_value(element, types, rng, depth + 1) for _ in range(length)]
    if kind != "defined" or (isinstance(arg, Mapping) and arg.get("generics")):
        raise Unsupported(kind)
    name = arg if isinstance(arg, str) else arg["name"]
    if name not in types:
        raise Unsupported(f"unknown type {name}")
    body = types[name]["type"]
    if body["kind"] in ("type", "alias"):
        return random_value(body["alias"] if body["kind"] == "type" else body["value"], types, rng, depth + 1)
    if body["kind"] == "struct":
        return random_fields(body.get("fields"), types, rng, depth + 1)
    variant = rng.choice(body["variants"])
    if variant.get("fields") is None:
        return variant["name"]
    return {variant["name"]: random_fields(variant["fields"], types, rng, depth + 1)}


def random_fields(fields: Any, types: Mapping[str, Any], rng: Any, depth: int = 0) -> Any:
    """A random value of a field list: dict (named; a repeated name keeps the
    later value), list (tuple) or {} (none)."""
    if fields is None:
        return {}
    if _is_named(fields):
        return {f["name"]: random_value(f["type"], types, rng, depth) for f in fields}
    return [random_value(t, types, rng, depth) for t in fields]
