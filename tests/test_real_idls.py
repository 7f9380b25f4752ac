"""Published current-spec IDLs: each loads, and every event whose types are not
generic decodes the random values the test encodes for it."""

from __future__ import annotations

import json
import random

import pytest

import borsh
from brisquel import EventDecoder, TableDecoder
from conftest import SHARED_IDLS, jsonable

CURRENT = sorted(SHARED_IDLS.glob("*-current.json")) if SHARED_IDLS.is_dir() else []


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
                value = borsh.random_fields(fields, types, rng)
            except borsh.Unsupported:
                break
            lines.append(borsh.log_line(bytes(event["discriminator"]) + borsh.encode_fields(fields, value, types)))
            expected.append((event["name"], value))
    assert decoder.parse_logs(lines) == expected
    # The JSON sink writes, byte for byte, what the command line wrote of the Python values.
    tables = TableDecoder(path.read_text())
    assert tables.parse_logs(lines, json_fields=True) == [
        (name, json.dumps(jsonable(value), ensure_ascii=False)) for name, value in tables.parse_logs(lines)]
