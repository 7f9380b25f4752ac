"""python -m brisquel IDL_FILE [LOG_FILE|-]: what it prints and says at its end,
held to the command as it was (plain_reference.py: JSON read by json.loads and
walked in Python, each batch read three times) on generated inputs of every
form it reads, and on the real transactions."""

from __future__ import annotations

import contextlib
import io
import itertools
import json
import random
import sys

import pytest

import plain_reference
from brisquel import ReadError, TableDecoder
from brisquel import __main__ as plain
from brisquel._common import CommandError, input_pieces
from conftest import SHARED_IDLS
from test_calls import random_tx
from test_cli_tx import IDL_EV, real_lines, unreadable, with_events
from transactions import encode


def outputs(run, argv: list[str]) -> tuple[str, str, str | None]:
    """A run's standard output, standard error and failure."""
    out, err = io.StringIO(), io.StringIO()
    failure = None
    with contextlib.redirect_stderr(err):
        try:
            run(plain._parser().parse_args(argv), out)
        except CommandError as e:
            failure = str(e)
    return out.getvalue(), err.getvalue(), failure


def assert_same(idl: str, path: str, options: list[str]) -> str:
    new = outputs(plain.run, [idl, path, *options])
    assert new == outputs(plain_reference.run, [idl, path, *options]), options
    return new[0]


# --- generated inputs -----------------------------------------------------------


def transactions(rng: random.Random, n: int) -> list[dict]:
    """Transactions with events of the IDL among their log lines: whole, older
    versions, cut short, forged; in every encoding; failed, unreadable."""
    out = []
    for _ in range(n):
        tx = random_tx(rng)[0]
        for call in tx.calls:
            with_events(rng, call)
        obj = encode(tx, rng.choice(["json", "jsonParsed", "base64", "v1"]))
        out.append(unreadable(rng, obj) if rng.random() < 0.15 else obj)
    return out


def value(rng: random.Random, txs: list[dict]) -> object:
    """One JSON value holding `txs`' log lines, in one of the shapes read."""
    shape = rng.choice(["tx", "response", "block", "array", "lines", "lists", "meta", "logs", "mixed"])
    if shape == "tx" and len(txs) == 1:
        return txs[0]
    if shape == "response" and len(txs) == 1:
        return {"jsonrpc": "2.0", "id": rng.randrange(9), "result": txs[0]}
    if shape == "block":
        return {"blockhash": "x", "blockTime": 5, "parentSlot": 1, "transactions": txs}
    if shape == "lines":
        return [line for tx in txs for line in tx["meta"]["logMessages"]]
    if shape == "lists":  # each transaction's lines, or a line alone
        return [rng.choice([tx["meta"]["logMessages"], *tx["meta"]["logMessages"][:1]]) for tx in txs]
    if shape == "meta":  # a bare meta, or a meta without its transaction
        return [{"logMessages": tx["meta"]["logMessages"]} if rng.random() < 0.5 else {"meta": tx["meta"]}
                for tx in txs]
    if shape == "logs":
        return [{"meta": None}, *({"logMessages": None} for _ in txs[:1])]
    if shape == "mixed":
        return [rng.choice([tx, {"jsonrpc": "2.0", "id": 1, "result": tx}, {"result": None},
                            {"blockhash": "y", "transactions": [tx]}]) for tx in txs]
    return txs


def generated_input(rng: random.Random, form: str) -> str:
    txs = transactions(rng, rng.randint(4, 12))
    if form == "plain":
        lines = [line for tx in txs for line in tx["meta"]["logMessages"]]
        ends = ["\n", "\n", "\r\n", "\n\n", "\r"]
        return rng.choice(["", "\n  \n"]) + "".join(line + rng.choice(ends) for line in lines)
    if form == "json":
        return json.dumps(value(rng, txs), indent=rng.choice([None, None, 1]), ensure_ascii=rng.random() < 0.5)
    cut = sorted(rng.sample(range(1, len(txs)), 2))
    groups = [txs[:cut[0]], txs[cut[0]:cut[1]], txs[cut[1]:]]
    return "".join(json.dumps(value(rng, g)) + rng.choice(["\n", "\n\n", "\r\n"]) for g in groups)


@pytest.mark.parametrize("seed, form", list(itertools.product(range(8), ["plain", "json", "json lines"])))
def test_the_command_prints_what_it_printed(tmp_path, monkeypatch, seed, form):
    rng = random.Random(seed)
    (idl := tmp_path / "idl.json").write_text(json.dumps(IDL_EV))
    (path := tmp_path / "logs").write_bytes(generated_input(rng, form).encode())
    monkeypatch.setattr(plain, "_CHUNK_BYTES", rng.choice([700, 5000, 1 << 20]))  # pieces of a few values
    monkeypatch.setattr(plain, "_BATCH", rng.choice([7, 4096]))
    for short in ("null", "skip"):
        assert_same(str(idl), str(path), ["--short-events", short])


class _Pipe(io.RawIOBase):
    """Standard input as a pipe gives it: bytes a few at a time, never seekable."""

    def __init__(self, data: bytes) -> None:
        self._data = memoryview(data)

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        n = min(len(buffer), len(self._data), 333)
        buffer[:n] = self._data[:n]
        self._data = self._data[n:]
        return n


@pytest.mark.parametrize("seed, form", list(itertools.product(range(3), ["plain", "json", "json lines"])))
def test_standard_input_prints_what_a_file_does(tmp_path, monkeypatch, seed, form):
    # What was read to tell JSON from plain text is read again from a stream that cannot go back.
    rng = random.Random(100 + seed)
    (idl := tmp_path / "idl.json").write_text(json.dumps(IDL_EV))
    data = ("\n" * rng.choice([0, 3, 9000]) + generated_input(rng, form)).encode()
    (path := tmp_path / "logs").write_bytes(data)
    monkeypatch.setattr(plain, "_CHUNK_BYTES", 2000)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(_Pipe(data))))
    assert outputs(plain.run, [str(idl), "-"]) == outputs(plain_reference.run, [str(idl), str(path)])


def test_standard_input_read_in_part_already(tmp_path, monkeypatch):
    # A file as standard input is read from where it stands, not from its start.
    rng = random.Random(7)
    (idl := tmp_path / "idl.json").write_text(json.dumps(IDL_EV))
    data = generated_input(rng, "json lines").encode()
    (path := tmp_path / "logs").write_bytes(b"not JSON, read by someone else\n" + data)
    (rest := tmp_path / "rest").write_bytes(data)
    stdin = open(path, "rb")
    stdin.readline()
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(stdin))
    with stdin:
        assert outputs(plain.run, [str(idl), "-"]) == outputs(plain_reference.run, [str(idl), str(rest)])


def _table_decoder_idls() -> list[str]:
    idls = []
    for p in sorted(SHARED_IDLS.glob("*-current.json")):
        try:
            TableDecoder(p.read_text())
        except ValueError:
            continue
        idls.append(str(p))
    return idls


@pytest.mark.skipif(not real_lines(), reason="no real transactions beside the repository")
def test_real_transactions_print_what_they_printed(tmp_path, monkeypatch):
    lines = real_lines()
    (jsonl := tmp_path / "real.jsonl").write_text("".join(line + "\n" for line in lines))
    (array := tmp_path / "real.json").write_text(json.dumps([json.loads(line) for line in lines], indent=1))
    monkeypatch.setattr(plain, "_CHUNK_BYTES", 1 << 16)
    printed = 0
    for idl in _table_decoder_idls():
        for path, short in itertools.product([jsonl, array], ["null", "skip"]):
            printed += assert_same(idl, str(path), ["--short-events", short]).count("\n")
    assert printed > 10


# --- one reading ------------------------------------------------------------------


def test_the_command_reads_each_piece_once(tmp_path, monkeypatch):
    (idl := tmp_path / "idl.json").write_text(json.dumps(IDL_EV))
    rng = random.Random(5)
    readings: list[str] = []

    class Spy:
        def __init__(self, *args, **kw):
            self._decoder = TableDecoder(*args, **kw)

        def __getattr__(self, name):
            readings.append(name)
            return getattr(self._decoder, name)

    monkeypatch.setattr(plain, "TableDecoder", Spy)
    monkeypatch.setattr(plain, "_CHUNK_BYTES", 10)  # a piece a line
    monkeypatch.setattr(plain, "_BATCH", 10)
    for form in ("json lines", "plain"):
        (path := tmp_path / "logs").write_text(generated_input(rng, form))
        readings.clear()
        out, err, _ = outputs(plain.run, [str(idl), str(path), "--short-events", "skip"])
        lines = int(err.split()[2])  # "brisquel: read N log lines, ..."
        pieces = len(list(input_pieces(str(path), 10, lambda text, base: (None, 0)))) if form == "json lines" \
            else -(-lines // 10)
        assert out and readings == ["parse_logs_counted"] * pieces, form


@pytest.mark.parametrize("short_events", ["null", "skip"])
def test_counts_are_those_of_the_separate_readings(short_events):
    # One reading gives parse_logs' events, decode's errors and the older versions a lenient decoder decodes.
    rng = random.Random(17)
    txs = transactions(rng, 30)
    lines = [line for tx in txs for line in tx["meta"]["logMessages"]]
    d = TableDecoder(json.dumps(IDL_EV), short_events=short_events)
    events, counts = d.parse_logs_counted(lines)
    assert repr(events) == repr(d.parse_logs(lines))  # (repr: NaN is no value equal to itself)
    short = len(TableDecoder(json.dumps(IDL_EV)).parse_logs(lines)) - len(events)
    assert counts == {"lines": len(lines), "not_decoded": len(d.decode(lines).errors), "short": short}
    assert counts["not_decoded"] > counts["short"] == (short if short_events == "skip" else 0)
    assert d.parse_logs_counted(lines, json_fields=True)[0] == d.parse_logs(lines, json_fields=True)
    # The same lines in RPC JSON: every transaction's, failed and unreadable ones' too.
    for text in (json.dumps(txs), "\n".join(map(json.dumps, txs)), json.dumps({"blockhash": "x", "transactions": txs})):
        assert repr(d.parse_logs_counted(text.encode())) == repr((events, counts))


@pytest.mark.parametrize("text, lines", [
    ('["a", "b"]', 2),
    ('[["a", "b"], "c", []]', 3),
    ('{"logMessages": ["a"]}', 1),
    ('{"meta": {"logMessages": ["a", "b"]}}', 2),
    ('{"blockhash": "x", "transactions": [{"meta": {"logMessages": ["a"]}}, {"logMessages": ["b"]}]}', 2),
    ('["\\ud800 a lone surrogate", {"logMessages": ["\\udfff"]}]', 2),
])
def test_log_line_shapes_only_for_log_lines(text, lines):
    # The shapes only the plain command reads; TransactionDecoder refuses them, as RPC JSON they are not.
    assert TableDecoder(json.dumps(IDL_EV)).parse_logs_counted(text.encode())[1]["lines"] == lines
    with pytest.raises(ReadError):
        from brisquel import TransactionDecoder

        TransactionDecoder([json.dumps(IDL_EV)]).count(text)
