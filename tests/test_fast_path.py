"""Shortcuts of the decoding hot path give what the plain way would: wide
structs filled from a prepared dict, integers built from machine words."""

from __future__ import annotations

import json
import struct as st

import pytest

import borsh
from borsh import encode_event, log_line
from brisquel import EventDecoder
from conftest import make_idl, struct


def named(names: list[str]) -> list[dict[str, str]]:
    return [{"name": n, "type": "u16"} for n in names]


@pytest.mark.parametrize("names", [
    ["a", "b", "c", "d", "e"],                          # fits a new dict
    ["a", "b", "c", "d", "e", "f"],                     # one more: the prepared dict
    [f"f{i}" for i in range(40)],
    ["a", "b", "a", "c", "d", "e", "f", "b"],           # repeated names: first place, last value
    ["z", "y", "x", "w", "v", "u", "z", "z", "t"],
])
def test_named_fields_order_and_values(names):
    idl = make_idl([struct("E", named(names))], ["E"])
    values = list(range(1, len(names) + 1))
    line = log_line(encode_event(idl, "E", values))
    expected = {}
    for name, value in zip(names, values):  # as storing field by field gives
        expected[name] = value
    [(_, fields)] = EventDecoder(json.dumps(idl)).parse_logs([line])
    assert list(fields.items()) == list(expected.items())


def test_wide_dicts_are_new_each_time():
    names = [f"k{i}" for i in range(8)]
    idl = make_idl([
        struct("Row", named(names)),
        struct("E", [{"name": "rows", "type": {"vec": {"defined": {"name": "Row"}}}}]),
    ], ["E"])
    decoder = EventDecoder(json.dumps(idl))
    rows = [dict(zip(names, range(i, i + 8))) for i in range(3)]
    payload = encode_event(idl, "E", {"rows": rows})
    line = log_line(payload)
    [(_, first)] = decoder.parse_logs([line])
    assert first == {"rows": rows}
    first["rows"][0]["k0"] = "changed"
    del first["rows"][1]["k1"]
    assert decoder.parse_logs([line]) == [("E", {"rows": rows})]
    # A line that fails half-way leaves nothing behind for the next one.
    assert decoder.parse_logs([log_line(payload[:-3]), line]) == [("E", {"rows": rows})]


WIDE = [2**63, 2**64 - 1, 2**64, 2**90 - 1, 2**90, 2**96 + 12345, 2**120, 2**127 - 1, 2**127, 2**128 - 1]


@pytest.mark.parametrize("ty, value", [("u128", v) for v in WIDE] + [
    ("i128", s * v) for v in WIDE if v < 2**127 for s in (1, -1)
] + [("i128", -(2**127)), ("i128", -(2**63) - 1), ("i128", -(2**63)), ("u128", 0), ("i128", -1)])
def test_128_bit_integers(ty, value):
    idl = make_idl([struct("E", [{"name": "v", "type": ty}, {"name": "w", "type": {"vec": ty}}])], ["E"])
    line = log_line(encode_event(idl, "E", {"v": value, "w": [value, value // 3]}))
    [(_, fields)] = EventDecoder(json.dumps(idl)).parse_logs([line])
    assert fields == {"v": value, "w": [value, value // 3]}
    assert type(fields["v"]) is int


class Text(str):
    pass


def test_lists_and_tuples_read_in_place():
    idl = make_idl([struct("E", [{"name": "v", "type": "u64"}])], ["E"])
    decoder = EventDecoder(json.dumps(idl))
    lines, expected = [], []
    spaced = lambda s: s.replace(": ", ": \u3000", 1) + "\u2029\u00a0"  # noqa: E731
    for i, form in enumerate([str, spaced, Text, lambda s: Text(spaced(s))] * 3):
        lines.append(form(log_line(encode_event(idl, "E", {"v": i}))))
        lines.append(form("Program log: Instruction: Swap ✓"))
        expected.append(("E", {"v": i}))
    lines += lines[1::2]  # the same objects again
    assert decoder.parse_logs(lines) == expected
    assert decoder.parse_logs(tuple(lines)) == expected
    assert decoder.parse_logs(lines[::-1]) == expected[::-1]


SCALARS = [
    ("bool", [True, False, True]), ("u8", [0, 255, 7]), ("i8", [-128, 127, -1]), ("u16", [65535, 0, 9]),
    ("i16", [-32768, 32767, 0]), ("u32", [2**32 - 1, 0, 5]), ("i32", [-(2**31), 2**31 - 1, -5]),
    ("f32", [0.5, -2.0, float("inf")]), ("u64", [2**64 - 1, 0, 2**40]), ("i64", [-(2**63), 2**63 - 1, 0]),
    ("f64", [0.1, -1e300, 0.0]), ("u128", [2**128 - 1, 5, 2**64]), ("i128", [-(2**127), 2**100, -1]),
    ("pubkey", [bytes(32), bytes([0] * 31 + [1]), b"\xff" * 32]),
]


@pytest.mark.parametrize("ty, values", SCALARS, ids=[t for t, _ in SCALARS])
def test_lists_of_scalars(ty, values):
    """vec and array of each fixed-width scalar, read at once when all bytes are there."""
    idl = make_idl([struct("E", [{"name": "v", "type": {"vec": ty}}, {"name": "a", "type": {"array": [ty, 3]}}])],
                   ["E"])
    decoder = EventDecoder(json.dumps(idl))
    payload = encode_event(idl, "E", {"v": values, "a": values})
    [(_, fields)] = decoder.parse_logs([log_line(payload)])
    expected = [borsh.b58encode(v) for v in values] if ty == "pubkey" else values
    assert fields == {"v": expected, "a": expected}
    assert decoder.parse_logs([log_line(payload[:-1])]) == []  # the array's last element cut short


@pytest.mark.parametrize("length", [1, 4097])  # a short list is read at once, a long one element by element
def test_lists_keep_the_nesting_bound(decode, length):
    # Each Node takes two levels (its option and itself), its list one and the
    # list's elements one more: both ways must agree on where the bound falls.
    node = struct("Node", [{"name": "next", "type": {"option": {"defined": {"name": "Node"}}}},
                           {"name": "items", "type": {"vec": "u8"}}])
    idl = make_idl([node, struct("E", [{"name": "v", "type": {"defined": {"name": "Node"}}}])], ["E"])
    items = st.pack("<I", length) + b"\x07" * length
    outcomes = []
    for depth in range(58, 68):
        status, value = decode(idl, b"\x01" * depth + b"\x00" + items * (depth + 1))
        outcomes.append(value if status == "error" else "ok")
        if status == "ok":
            value = value["v"]
            for _ in range(depth + 1):
                assert value["items"] == [7] * length
                value = value["next"]
            assert value is None
    assert outcomes == ["ok"] * 5 + ["type nesting exceeds 128 levels"] * 5
