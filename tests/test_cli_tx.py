"""python -m brisquel tx: what it prints and says at its end, held to the command as
it was (five readings of each piece, values mapped to JSON in Python), on
generated and real transactions, whole and broken."""

from __future__ import annotations

import contextlib
import io
import itertools
import json
import random
import re

import pytest

import borsh
from brisquel import ReadError, TransactionDecoder, TxCall, TxEvent, _cli_tx
from brisquel._common import CommandError, addresses_of, input_pieces, read_idls
from conftest import SHARED_IDLS, jsonable, reading_spy, struct
from test_calls import IDL_A, IDL_B, A, random_tx
from test_transactions import TRANSACTIONS, dig
from transactions import Call, Tx, encode

# --- the command as it was --------------------------------------------------


def old_run(argv: list[str], out: io.StringIO, err: io.StringIO) -> None:
    """Each piece read by decode, calls, count, decode_tables and (skip) a lenient
    decode; values mapped to JSON by jsonable."""
    args = _cli_tx.parser().parse_args(argv)
    idl_paths, source = (args.paths[:-1], args.paths[-1]) if len(args.paths) > 1 else (args.paths, "-")
    texts = read_idls(idl_paths)
    addresses = addresses_of(args.address, idl_paths, texts)
    decoder = TransactionDecoder(texts, addresses=addresses, short_events=args.short_events)
    lenient = TransactionDecoder(texts, addresses=addresses) if args.short_events == "skip" else None
    tally = _cli_tx._Tally()

    def decode(text, tx_base):
        failed = args.include_failed
        events = decoder.decode(text, include_failed=failed, dedupe=args.dedupe, start=tx_base)
        every_call = decoder.calls(text, include_failed=True, start=tx_base)
        calls = every_call if failed else [c for c in every_call if not c.failed]
        count = decoder.count(text)
        tally.transactions += count
        tally.events += len(events)
        tally.calls += len(calls)
        unreadable = [c for c in every_call if c.program is None]
        tally.unreadable += len(unreadable)
        tally.reasons.update(c.problem or "" for c in unreadable)
        tally.touched += len({e.tx for e in events} | {c.tx for c in every_call if c.program is not None})
        tally.failed += 0 if failed else len({c.tx for c in every_call if c.failed and c.program is not None})
        errors = decoder.decode_tables(text, include_failed=failed, dedupe=args.dedupe).errors
        tally.not_decoded += len(errors) - sum(1 for c in unreadable if failed or not c.failed)
        if lenient is not None:
            tally.short += len(lenient.decode(text, include_failed=failed, dedupe=args.dedupe)) - len(events)
        if args.calls:
            return sorted([*events, *calls], key=lambda item: (item.tx, isinstance(item, TxCall))), count
        return events, count

    for items in input_pieces(source, _cli_tx.CHUNK_BYTES, decode):
        for item in items:
            out.write(json.dumps(_call_object(item) if isinstance(item, TxCall) else _event_object(item, args.calls),
                                 ensure_ascii=False))
            out.write("\n")
    tally.report(args.calls, decoder.programs, err)


def _event_object(e: TxEvent, kind: bool) -> dict:
    return {**({"kind": "event"} if kind else {}),
            "tx": e.tx, "signature": e.signature, "slot": e.slot, "block_time": e.block_time,
            "program": e.program, "instruction": e.instruction, "inner": e.inner, "depth": e.depth,
            "source": e.source, "truncated": e.truncated, "event": e.name, "fields": jsonable(e.fields)}


def _call_object(c: TxCall) -> dict:
    return {"kind": "call", "tx": c.tx, "signature": c.signature, "slot": c.slot, "block_time": c.block_time,
            "program": c.program, "instruction": c.instruction, "inner": c.inner, "depth": c.depth,
            "failed": c.failed, "error": c.error._asdict() if c.error else None, "name": c.name,
            "args": None if c.args is None else jsonable(c.args), "accounts": c.accounts,
            "remaining": c.remaining, "problem": c.problem}


def outputs(run, argv: list[str]) -> tuple[str, str, str | None]:
    """A run's standard output, standard error and failure."""
    out, err = io.StringIO(), io.StringIO()
    failure = None
    with contextlib.redirect_stderr(err):
        try:
            run(argv, out, err) if run is old_run else run(argv, out)
        except CommandError as e:
            failure = str(e)
    return out.getvalue(), err.getvalue(), failure


OPTIONS = [[*calls, *failed, *dedupe, "--short-events", short]
           for calls, failed, dedupe, short in itertools.product(
               [[], ["--calls"]], [[], ["--include-failed"]], [[], ["--no-dedupe"]], ["null", "skip"])]


def assert_same_runs(monkeypatch, paths: list[str], chunk: int) -> list[str]:
    """Every option set prints exactly what the command printed; the outputs."""
    monkeypatch.setattr(_cli_tx, "CHUNK_BYTES", chunk)
    printed = []
    for options in OPTIONS:
        new = outputs(_cli_tx.run, [*paths, *options])
        assert new == outputs(old_run, [*paths, *options]), options
        printed.append(new[0])
    return printed


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


def broken(rng: random.Random, lines: list[str], how: str) -> list[str]:
    """`lines` broken as `how` says: the last line cut short, a line that is no
    JSON, or an instruction whose accounts are no list (which only reading for
    calls trips on), alone or before a cut."""
    lines = list(lines)
    if how in ("calls only", "calls then cut"):
        at = rng.randrange(len(lines) // 2)
        obj = encode(Tx([Call(A, data=b"\x07\x01")]))
        obj["transaction"]["message"]["instructions"][0]["accounts"] = "none"
        lines[at] = json.dumps(obj)
    if how in ("cut", "calls then cut"):
        lines[-1] = lines[-1][:len(lines[-1]) // 2]
    if how == "not json":
        lines.insert(rng.randrange(1, len(lines)), "{not json")
    return lines


@pytest.mark.parametrize("seed, how", [(seed, how) for seed in range(6) for how in (
    "whole", "cut", "not json", "calls only", "calls then cut")])
def test_the_command_prints_what_it_printed_reading_each_piece_once(tmp_path, monkeypatch, seed, how):
    rng = random.Random(seed)
    idls = []
    for n, idl in enumerate((IDL_EV, IDL_B)):
        idls.append(str(tmp_path / f"idl{n}.json"))
        (tmp_path / f"idl{n}.json").write_text(json.dumps(idl))
    lines = broken(rng, generated_lines(rng), how)
    (path := tmp_path / "txs.jsonl").write_text("".join(line + "\n" for line in lines))
    # Pieces of a few lines each, so that counts and tx numbers carry from one to the next; a text broken
    # twice in one piece.
    chunk = 1 << 20 if how == "calls then cut" else rng.choice([1500, 6000, 1 << 20])
    printed = assert_same_runs(monkeypatch, [*idls, str(path)], chunk)
    if how == "whole":
        assert any('"kind": "call"' in p for p in printed) and any('"event": "Ev"' in p for p in printed)


def real_lines() -> list[str]:
    sources = TRANSACTIONS / "SOURCES.md"
    if not sources.exists():
        return []
    cases = re.findall(r"^\| `([^`]+)` \| `([^`]+)` \|", sources.read_text(), re.M)
    return [json.dumps(dig(json.loads((TRANSACTIONS / file).read_text()), path)) for file, path in cases]


@pytest.mark.skipif(not real_lines(), reason="no real transactions beside the repository")
def test_real_transactions_print_what_they_printed(tmp_path, monkeypatch):
    idls = [str(p) for p in sorted(SHARED_IDLS.glob("*-current.json"))
            if _usable(p.read_text())]
    (path := tmp_path / "real.jsonl").write_text("".join(line + "\n" for line in real_lines()))
    printed = assert_same_runs(monkeypatch, [*idls, str(path)], chunk=1 << 16)
    assert min(p.count("\n") for p in printed) > 10


def _usable(idl: str) -> bool:
    try:
        TransactionDecoder([idl])
        return True
    except ValueError:
        return False


def test_the_command_reads_each_piece_once(tmp_path, monkeypatch):
    # What is printed and every count at the end come from one reading of each piece.
    (idl := tmp_path / "idl.json").write_text(json.dumps(IDL_EV))
    rng = random.Random(3)
    (path := tmp_path / "txs.jsonl").write_text("".join(line + "\n" for line in generated_lines(rng)))
    readings: list = []
    monkeypatch.setattr(_cli_tx, "TransactionDecoder", reading_spy(TransactionDecoder, readings))
    monkeypatch.setattr(_cli_tx, "CHUNK_BYTES", 4000)
    pieces = len(list(input_pieces(str(path), 4000, lambda text, base: (None, 0))))
    out = io.StringIO()
    with contextlib.redirect_stderr(io.StringIO()):
        _cli_tx.run([str(idl), str(path), "--calls", "--short-events", "skip"], out)
    assert pieces > 2 and readings == ["decode_counted"] * pieces and out.getvalue()


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
