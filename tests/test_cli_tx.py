"""TransactionDecoder.decode_counted on generated transactions: decode's events,
calls' calls and the counts of the separate readings, from one."""

from __future__ import annotations

import itertools
import json
import random

import pytest

import borsh
from brisquel import ReadError, TransactionDecoder
from conftest import jsonable, struct
from test_calls import IDL_A, IDL_B, A, random_tx
from transactions import Call, Tx, encode

# --- generated transactions ---------------------------------------------------

EV_FIELDS = [{"name": "n", "type": "u8"}, {"name": "note", "type": "string"}, {"name": "raw", "type": "bytes"},
             {"name": "x", "type": "f64"}, {"name": "big", "type": "u128"}]
IDL_EV = {**IDL_A, "events": [{"name": "Ev", "discriminator": list(borsh.discriminator("Ev"))}],
          "types": [*IDL_A["types"], struct("Ev", EV_FIELDS)]}
NOTES = ["", "plain", 'quo"te \\ back', "tab\tnew\nline\x01\x1f\x7f", "\u00e9t\u00e9 \u2603 \U0001f600"]
FLOATS = [0.0, -0.0, 1.5, 1e16, 1e-05, 123456.789, float("nan"), float("inf"), float("-inf")]


def event_body(rng: random.Random) -> bytes:
    """An Ev body: whole, an older version (cut where a field begins), cut inside
    a field, or with a forged string length."""
    value = {"n": rng.randrange(256), "note": rng.choice(NOTES), "raw": rng.randbytes(rng.randint(0, 5)),
             "x": rng.choice(FLOATS), "big": rng.choice([0, 2**64, 2**128 - 1])}
    parts = [borsh.encode(f["type"], value[f["name"]]) for f in EV_FIELDS]
    body = b"".join(parts)
    roll = rng.random()
    if roll < 0.2:
        body = b"".join(parts[:rng.randint(1, len(parts) - 1)])
    elif roll < 0.3:
        body = body[:rng.randrange(1, len(body))]
    elif roll < 0.35:
        body = body[:1] + b"\xff\xff\xff\x7f" + body[5:]
    return borsh.discriminator("Ev") + body


def with_events(rng: random.Random, call: Call) -> None:
    """Events of A's, logged, self-CPI'd or both, among each of its calls' steps."""
    if call.program == A:
        for _ in range(rng.choice([0, 1, 1, 2])):
            kind = rng.choice(["log", "log", "cpi", "both"])
            call.steps.insert(rng.randint(0, len(call.steps)), (kind, event_body(rng)))
    for step in call.steps:
        if isinstance(step, Call):
            with_events(rng, step)


def unreadable(rng: random.Random, tx: dict) -> dict:
    """The same transaction in a form that cannot be read (failed or not)."""
    tx = {**tx, "meta": {**tx["meta"], "err": rng.choice([None, {"InstructionError": [0, {"Custom": 1}]}])}}
    return rng.choice([{**tx, "version": 2}, {**tx, "version": 7},
                       {**tx, "transaction": ["!!" * rng.randint(1, 3), "base64"]}])


def generated_lines(rng: random.Random) -> list[str]:
    lines = []
    for _ in range(rng.randint(8, 16)):
        tx = random_tx(rng)[0]
        for call in tx.calls:
            with_events(rng, call)
        obj = encode(tx, rng.choice(["json", "json", "jsonParsed", "base64", "v1"]))
        roll = rng.random()
        if roll < 0.1:
            obj = unreadable(rng, obj)
        elif roll < 0.2:
            obj = {"jsonrpc": "2.0", "id": 1, "result": obj}
        lines.append(json.dumps(obj))
    return lines


def test_counts_are_those_of_the_separate_readings():
    # decode_counted's lists are decode's and calls', with json_fields the values' JSON text.
    rng = random.Random(11)
    text = "\n".join([*generated_lines(rng), json.dumps(unreadable(rng, encode(Tx([Call(A)]))))])
    for short_events, failed, dedupe in itertools.product(["null", "skip"], [False, True], [False, True]):
        d = TransactionDecoder([json.dumps(IDL_EV), json.dumps(IDL_B)], short_events=short_events)
        events, calls, counts, problems = d.decode_counted(text, include_failed=failed, dedupe=dedupe, start=4)
        # (repr: NaN is no value equal to itself)
        assert repr(events) == repr(d.decode(text, include_failed=failed, dedupe=dedupe, start=4))
        assert repr(calls) == repr([c for c in d.calls(text, include_failed=True, start=4) if failed or not c.failed])
        as_json = d.decode_counted(text, include_failed=failed, dedupe=dedupe, start=4, json_fields=True)
        assert [e.fields for e in as_json[0]] == [json.dumps(jsonable(e.fields), ensure_ascii=False) for e in events]
        assert [c.args for c in as_json[1]] == [c.args if c.args is None else json.dumps(jsonable(c.args),
                                                                                          ensure_ascii=False)
                                                for c in calls]
        assert as_json[2:] == (counts, problems) and counts["read"] == d.count(text)
        assert sum(problems.values()) == counts["unreadable"] > 0
    with pytest.raises(ReadError):
        d.decode_counted("{")
