"""Random values for the events of a real IDL (current or legacy type JSON), and
the log lines that carry them."""

from __future__ import annotations

import random
from collections.abc import Mapping
from typing import Any

from encoder import borsh

_CHARS = "abcdefghijklmnopqrstuvwxyz0123456789 _-é✓"


class Unsupported(Exception):
    """A type the generator cannot produce (generic) or the decoder refuses."""


def _scalar(ty: str, rng: random.Random) -> Any:
    if ty == "bool":
        return rng.random() < 0.5
    if ty[0] in "ui" and ty[1:].isdigit():
        bits = int(ty[1:])
        # Mostly small magnitudes, as amounts are, with some full-width values.
        width = rng.choice([bits // 4 or 1, bits // 2, bits])
        value = rng.getrandbits(width)
        if ty[0] == "i":
            value = value // 2 if rng.random() < 0.5 else -(value // 2) - 1
        return value
    if ty == "f32":
        return borsh.f32_value(rng.uniform(-1e6, 1e6))
    if ty == "f64":
        return rng.uniform(-1e12, 1e12)
    if ty == "bytes":
        return rng.randbytes(rng.randint(0, 16))
    if ty == "string":
        return "".join(rng.choices(_CHARS, k=rng.randint(0, 16)))
    if ty in ("pubkey", "publicKey"):
        return rng.randbytes(32)
    raise Unsupported(ty)


def random_value(ty: Any, types: Mapping[str, Any], rng: random.Random, depth: int = 0) -> Any:
    if depth > 12:
        raise Unsupported("nested too deep")
    if isinstance(ty, str):
        return _scalar(ty, rng)
    (kind, arg), = ty.items()
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
    return definition_value(types[name]["type"], types, rng, depth + 1)


def definition_value(body: Mapping[str, Any], types: Mapping[str, Any], rng: random.Random, depth: int) -> Any:
    if body.get("generics"):
        raise Unsupported("generic definition")
    kind = body["kind"]
    if kind == "type":
        return random_value(body["alias"], types, rng, depth)
    if kind == "alias":
        return random_value(body["value"], types, rng, depth)
    if kind == "struct":
        return fields_value(body.get("fields"), types, rng, depth)
    variant = rng.choice(body["variants"])
    if variant.get("fields") is None:
        return variant["name"]
    return {variant["name"]: fields_value(variant["fields"], types, rng, depth)}


def fields_value(fields: Any, types: Mapping[str, Any], rng: random.Random, depth: int) -> Any:
    if fields is None:
        return {}
    if all(isinstance(f, Mapping) and "name" in f and "type" in f for f in fields):
        return {f["name"]: random_value(f["type"], types, rng, depth) for f in fields}
    return [random_value(t, types, rng, depth) for t in fields]


def event_line(idl: Mapping[str, Any], types: Mapping[str, Any], event: Mapping[str, Any],
               rng: random.Random) -> str:
    """A log line of `event` with random field values; Unsupported when the
    event's types cannot be generated."""
    name = event["name"]
    disc = bytes(event["discriminator"]) if "discriminator" in event else borsh.discriminator(name)
    if "fields" in event:  # legacy: the event lists its own fields
        fields = event["fields"]
    else:
        body = types[name]["type"]
        if body.get("generics"):
            raise Unsupported("generic event")
        fields = body.get("fields")
    try:
        body = borsh.encode_fields(fields, fields_value(fields, types, rng, 0), types)
    except (KeyError, ValueError, TypeError) as e:
        raise Unsupported(str(e)) from e
    return borsh.log_line(disc + body)
