"""Shortcuts of the decoding hot path give what the plain way would: wide
structs filled from a prepared dict, integers built from machine words."""

from __future__ import annotations

import json

import pytest

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
