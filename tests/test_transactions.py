"""TransactionDecoder: events of whole transactions, each decoded with its own
program's IDL, from logs and self-CPI instructions, in every encoding."""

from __future__ import annotations

import collections
import json
import re

import pytest

import borsh
from arrow_reader import schema, table
from brisquel import EventDecoder, TransactionDecoder
from conftest import SHARED_IDLS, make_idl, struct
from transactions import Call, Tx, encode, escape_values, key

A, B, C = key("program a"), key("program b"), key("other program")
# Two programs whose SwapEvent shares a discriminator but not a layout.
IDL_A = {**make_idl([struct("SwapEvent", [{"name": "amount", "type": "u64"}, {"name": "who", "type": "pubkey"}]),
                     struct("Note", [{"name": "text", "type": "string"}])], ["SwapEvent", "Note"]), "address": A}
IDL_B = {**make_idl([struct("SwapEvent", [{"name": "price", "type": "f64"}, {"name": "side", "type": "u8"}])],
                    ["SwapEvent"]), "address": B}


def swap_a(n: int) -> bytes:
    return borsh.encode_event(IDL_A, "SwapEvent", {"amount": n, "who": bytes([n % 256]) * 32})


def swap_b(x: float) -> bytes:
    return borsh.encode_event(IDL_B, "SwapEvent", {"price": x, "side": 1})


def note(text: str) -> bytes:
    return borsh.encode_event(IDL_A, "Note", {"text": text})


def decoder(**options) -> TransactionDecoder:
    return TransactionDecoder([json.dumps(IDL_A), json.dumps(IDL_B)], **options)


def summary(events) -> list[tuple]:
    return [(e.tx, e.program, e.instruction, e.inner, e.depth, e.source, e.truncated, e.name, e.fields)
            for e in events]


# A transaction of three outer instructions: A logs and self-CPIs (one both
# ways) and calls B, which self-CPIs at depth 3 and calls C (whose event-like
# lines are not ours); C is called at the top too, then B logs.
NESTED = Tx(calls=[
    Call(A, [("log", swap_a(1)), ("text", "Program log: Instruction: Swap"),
             Call(B, [("cpi", swap_b(2.5)), Call(C, [("log", swap_a(99))]), ("log", swap_b(3.5))]),
             ("both", note("twice")), ("cpi", swap_a(4))]),
    Call(C, [("log", swap_b(7.0))]),
    Call(B, [("log", swap_b(8.0)), ("text", "garbage that is no log line at all")]),
])


def test_events_are_attributed_to_their_programs_and_invocations():
    got = summary(decoder().decode([encode(NESTED)]))
    assert got == [
        (0, A, 0, None, 1, "log", False, "SwapEvent", {"amount": 1, "who": borsh.b58encode(bytes([1]) * 32)}),
        (0, B, 0, 1, 2, "cpi", False, "SwapEvent", {"price": 2.5, "side": 1}),
        (0, B, 0, 0, 2, "log", False, "SwapEvent", {"price": 3.5, "side": 1}),
        (0, A, 0, None, 1, "log+cpi", False, "Note", {"text": "twice"}),
        (0, A, 0, 4, 1, "cpi", False, "SwapEvent", {"amount": 4, "who": borsh.b58encode(bytes([4]) * 32)}),
        (0, B, 2, None, 1, "log", False, "SwapEvent", {"price": 8.0, "side": 1}),
    ]
    both_ways = [e for e in decoder().decode([encode(NESTED)], dedupe=False) if e.name == "Note"]
    assert [e.source for e in both_ways] == ["log", "cpi"]
    # parse_logs, which follows no program, takes the line C wrote for A's SwapEvent.
    amounts = [f.get("amount") for _, f in EventDecoder(json.dumps(IDL_A)).parse_logs(encode(NESTED)["meta"]["logMessages"])]
    assert 99 in amounts


@pytest.mark.parametrize("encoding", ["json", "jsonParsed", "base64"])
def test_encodings_shapes_and_framings_give_the_same_events(encoding):
    txs = [NESTED, Tx(calls=NESTED.calls, loaded=[C, B], slot=None), Tx(calls=[Call(B, [("cpi", swap_b(1.0))])])]
    want = summary(decoder().decode([encode(t, "json") for t in txs]))
    objects = [encode(t, encoding) for t in txs]
    block = {"blockhash": key("block"), "blockTime": 5, "transactions": [{k: v for k, v in o.items() if k != "blockTime"}
                                                                        for o in objects]}
    responses = [{"jsonrpc": "2.0", "result": o, "id": i} for i, o in enumerate(objects)]
    for given in (objects, responses, json.dumps(objects), "\n".join(json.dumps(r) for r in responses),
                  json.dumps(responses).encode()):
        assert summary(decoder().decode(given)) == want
    from_block = decoder().decode(block)
    assert summary(from_block) == want and {e.block_time for e in from_block} == {5}
    tables = decoder().decode_tables(json.dumps(objects))
    assert sum(len(t) for t in tables.values()) == len(want)
    assert all(schema(decoder().schema(k)) == table(t).schema for k, t in tables.items())
    rows = table(tables[(B, "SwapEvent")]).to_pylist()
    assert [(r["_tx"], r["_instruction"], r["_inner"], r["_depth"], r["_source"], r["price"]) for r in rows] == [
        (e[0], e[2], e[3], e[4], e[5], e[8]["price"]) for e in want if e[1] == B]


def test_string_values_written_as_escapes_read_as_plain_ones():
    # Lines that escape every character of their strings among lines that
    # escape none: each line is read by what it holds itself.
    txs = [NESTED, Tx(calls=[Call(A, [("log", swap_a(255)), ("cpi", note("\u00e9/+"))])]), NESTED,
           Tx(calls=[Call(B, [("cpi", swap_b(1.0))])])]
    plain = [json.dumps(encode(t)) for t in txs]
    want = summary(decoder().decode("\n".join(plain)))
    assert len(want) > len(txs)
    for mixed in ("\n".join(escape_values(line) if i % 2 else line for i, line in enumerate(plain)),
                  "\n".join(line if i % 2 else escape_values(line) for i, line in enumerate(plain)),
                  escape_values(json.dumps([encode(t) for t in txs[:1]]))[:-1] + ", " + ", ".join(plain[1:]) + "]"):
        assert summary(decoder().decode(mixed)) == want
        got, expected = decoder().decode_tables(mixed), decoder().decode_tables("\n".join(plain))
        assert {k: table(t).to_pylist() for k, t in got.items()} == {k: table(t).to_pylist() for k, t in expected.items()}


def test_failed_truncated_and_broken_logs():
    failed = encode(Tx(calls=[Call(A, [("log", swap_a(1))])], failed=True))
    assert decoder().decode([failed]) == []
    assert [e.name for e in decoder().decode([failed], include_failed=True)] == ["SwapEvent"]
    # Cut after the first event: later self-CPIs are still found, the later log line is not.
    cut = encode(Tx(calls=[Call(A, [("log", swap_a(1)), ("cpi", swap_a(2)), ("log", swap_a(3))])], truncate_after=3))
    assert [(e.fields["amount"], e.source, e.truncated) for e in decoder().decode([cut])] == [
        (1, "log", True), (2, "cpi", True)]
    # Lines out of step: nothing is attributed until the next invoke [1], and nothing raises.
    broken = encode(NESTED)
    logs = broken["meta"]["logMessages"]
    logs.insert(1, f"Program {B} invoke [3]")
    logs.insert(5, "Program " + "\u00e9" * 3)
    got = decoder().decode([broken])
    assert all(e.instruction != 0 for e in got if e.source == "log")
    assert [e.fields for e in got if e.instruction == 2] == [{"price": 8.0, "side": 1}]


def test_bad_input_and_construction():
    d = decoder()
    for bad, message in (("{", "truncated|line 1"), ('{"error": {"code": -32000, "message": "gone"}}', "gone"),
                         ([{"transaction": 5}], "transaction"), ([b"x"], "not JSON data")):
        with pytest.raises((ValueError, TypeError), match=message):
            d.decode(bad)
    with pytest.raises(ValueError, match=r"idls\[0\] and idls\[1\] are both for program"):
        TransactionDecoder([json.dumps(IDL_A), json.dumps(IDL_A)])
    legacy = {"version": "0.1.0", "name": "legacy_prog", "instructions": [], "events": [
        {"name": "Ping", "fields": [{"name": "n", "type": "u8", "index": False}]}]}
    with pytest.raises(ValueError, match=r"idls\[1\]: the IDL names no program address"):
        TransactionDecoder([json.dumps(IDL_A), json.dumps(legacy)])
    for addresses in ({1: C}, {"legacy_prog": C}):
        d = TransactionDecoder([json.dumps(IDL_A), json.dumps(legacy)], addresses=addresses)
        assert d.programs == [A, C]
        ping = Tx(calls=[Call(C, [("log", borsh.discriminator("Ping") + b"\x05")])])
        assert [(e.program, e.name, e.fields) for e in d.decode([encode(ping)])] == [(C, "Ping", {"n": 5})]
    with pytest.raises(ValueError, match="_tx"):
        TransactionDecoder([json.dumps({**make_idl([struct("E", [{"name": "_tx", "type": "u8"}])], ["E"]),
                                        "address": A})])


def test_int_subclasses_are_read_by_value_not_by_their_text():
    class Loud(int):
        def __str__(self):
            return "5"

    for value in (2**70, -(2**70)):
        tx = encode(NESTED)
        tx["blockTime"] = Loud(value)
        with pytest.raises(ValueError, match=f"found a number {value}"):
            decoder().decode([tx])


# --- real mainnet transactions ----------------------------------------------

TRANSACTIONS = SHARED_IDLS.parent / "transactions"


def real_cases():
    sources = TRANSACTIONS / "SOURCES.md"
    if not sources.exists():
        return []
    text = sources.read_text()
    rows = re.findall(r"^\| `([^`]+)` \| `([^`]+)` \| [^|]*\| [^|]*\| [^|]*\| [^|]*\| ([^|]*)\| ([^|]*)\|", text, re.M)
    return [pytest.param(*row, id=f"{row[0]}{row[1]}") for row in rows]


def dig(obj, path: str):
    for index, name in re.findall(r"\[(\d+)\]|\.(\w+)", path):
        obj = obj[int(index)] if index else obj[name]
    return obj


@pytest.fixture(scope="module")
def real_decoder():
    text = (TRANSACTIONS / "SOURCES.md").read_text()
    ids = dict(re.findall(r"^\| ([\w-]+) \| `(\w+)` \| \d+ \| [^|]*\.json", text, re.M))
    idls = {name: (SHARED_IDLS / f"{name}-current.json").read_text() for name in ids
            if (SHARED_IDLS / f"{name}-current.json").exists()}
    # Old events are prefixes of the current layouts: decode them with nulls.
    return TransactionDecoder(list(idls.values()), short_events="null"), {n: ids[n] for n in idls}


@pytest.mark.skipif(not real_cases(), reason="no real transactions beside the repository")
@pytest.mark.parametrize("file, path, logs, cpis", real_cases())
def test_real_transactions_agree_with_their_record(real_decoder, file, path, logs, cpis):
    d, ids = real_decoder
    tx = dig(json.loads((TRANSACTIONS / file).read_text()), path)
    # Failed transactions keep their logs, and SOURCES.md counts their events too.
    tables = d.decode_tables([tx], dedupe=False, include_failed=True)
    got = collections.Counter()
    for k, events in [*tables.items(), (None, tables.errors)]:
        for row in table(events).to_pylist():
            got[(k[0] if k else row["program"], row["_source"])] += 1
    want = collections.Counter()
    for column, source in ((logs, "log"), (cpis, "cpi")):
        for name, count in re.findall(r"([\w-]+) (\d+)", column):
            if name in ids:
                want[(ids[name], source)] += int(count)
    assert got == want
    # Objects and text read alike; with dedupe, both-ways events pair up.
    events = d.decode([tx], include_failed=True)
    assert summary(events) == summary(d.decode(json.dumps(tx), include_failed=True))
    both = sum(1 for e in events if e.source == "log+cpi")
    assert both <= min(sum(v for (p, s), v in want.items() if s == source) for source in ("log", "cpi"))


@pytest.mark.skipif(not real_cases(), reason="no real transactions beside the repository")
def test_old_event_versions_decode_by_default_on_real_transactions(real_decoder):
    # Most events on chain are older, shorter versions of today's layouts.
    d, ids = real_decoder
    idls = [(SHARED_IDLS / f"{name}-current.json").read_text() for name in ids]
    txs = []
    for case in real_cases():
        file, path = case.values[:2]
        txs.append(dig(json.loads((TRANSACTIONS / file).read_text()), path))
    default = TransactionDecoder(idls).decode(txs)
    assert summary(default) == summary(d.decode(txs))
    assert len(default) > 2 * len(TransactionDecoder(idls, short_events="skip").decode(txs))
