"""Published current-spec IDLs: each loads, and every event whose types are not
generic decodes the random values the test encodes for it."""

from __future__ import annotations

import json
import random

import pytest

import borsh
from brisquel import EventDecoder
from conftest import SHARED_IDLS

CURRENT = sorted(SHARED_IDLS.glob("*-current.json")) if SHARED_IDLS.is_dir() else []


class Generic(Exception):
    """The type needs generic arguments, which the decoder refuses."""


def random_value(ty, types, rng: random.Random, depth: int = 0):
    if depth > 12:
        raise Generic("too deep to generate")
    if isinstance(ty, str):
        if ty in ("bool",):
            return rng.random() < 0.5
        if ty[0] in "ui" and ty[1:].isdigit():
            bits = int(ty[1:])
            return rng.randint(-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if ty[0] == "i" else rng.getrandbits(bits)
        if ty == "f32":
            return borsh.f32_value(rng.uniform(-1e6, 1e6))
        if ty == "f64":
            return rng.uniform(-1e12, 1e12)
        if ty == "bytes":
            return rng.randbytes(rng.randint(0, 6))
        if ty == "string":
            return "".join(rng.choice("aé✓ 7_") for _ in range(rng.randint(0, 6)))
        if ty == "pubkey":
            return borsh.b58encode(rng.randbytes(32))
        raise AssertionError(ty)
    (kind, arg), = ty.items()
    if kind == "option":
        return None if depth > 4 or rng.random() < 0.3 else random_value(arg, types, rng, depth + 1)
    if kind == "vec":
        return [random_value(arg, types, rng, depth + 1) for _ in range(rng.randint(0, 2) if depth < 4 else 0)]
    if kind == "array":
        if not isinstance(arg[1], int):
            raise Generic("generic array length")
        return [random_value(arg[0], types, rng, depth + 1) for _ in range(arg[1])]
    if kind == "generic" or arg.get("generics"):
        raise Generic(kind)
    body = types[arg["name"]]["type"]
    if body["kind"] == "type":
        return random_value(body["alias"], types, rng, depth + 1)
    if body["kind"] == "struct":
        return fields_value(body.get("fields"), types, rng, depth + 1)
    variant = rng.choice(body["variants"])
    if "fields" not in variant or variant["fields"] is None:
        return variant["name"]
    return {variant["name"]: fields_value(variant["fields"], types, rng, depth + 1)}


def fields_value(fields, types, rng, depth):
    if fields is None:
        return {}
    if all(isinstance(f, dict) and "name" in f for f in fields):
        value = {}
        for f in fields:  # a repeated name keeps the later value
            value[f["name"]] = random_value(f["type"], types, rng, depth)
        return value
    return [random_value(t, types, rng, depth) for t in fields]


@pytest.mark.skipif(not CURRENT, reason="no published IDLs beside the repository")
@pytest.mark.parametrize("path", CURRENT, ids=lambda p: p.stem)
def test_published_idl_events_round_trip(path):
    idl = json.loads(path.read_text())
    decoder = EventDecoder(path.read_text())
    assert decoder.event_names == [e["name"] for e in idl.get("events", [])]
    types = borsh.type_table(idl)
    rng = random.Random(path.stem)
    lines, expected = [], []
    for event in idl.get("events", []):
        fields = types[event["name"]]["type"].get("fields")
        for _ in range(3):
            try:
                value = fields_value(fields, types, rng, 0)
            except Generic:
                break
            lines.append(borsh.log_line(bytes(event["discriminator"]) + borsh.encode_fields(fields, value, types)))
            expected.append((event["name"], value))
    assert decoder.parse_logs(lines) == expected
