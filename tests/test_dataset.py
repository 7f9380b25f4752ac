"""brisquel.dataset and the export and tx commands: a cluster of worker processes
gives exactly the rows of the bare decoders on whole files, a lost worker loses
no row and doubles none, a bad file fails alone."""

from __future__ import annotations

import base64
import collections
import io
import json
import logging
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

import borsh
from arrow_reader import pa, pq
from brisquel import AccountDecoder, TableDecoder, TransactionDecoder
from brisquel._json_pieces import SourceError, json_pieces
from conftest import SHARED_IDLS, make_idl, struct
from test_accounts import ZERO_COPY, account_bytes, assert_tables_hold, real_accounts
from transactions import Call, Tx, encode, key

try:
    import dask
    import distributed
    import pandas  # noqa: F401
    from brisquel._process_cache import decoders
    from brisquel._sources import Decoding, pieces
    from brisquel.dataset import errors_dir, input_files, key_dir, read_accounts, read_calls, read_events, write_events
except ImportError:
    distributed = None

# The export and its pieces run on pyarrow, pandas and Dask.
needs_dask = pytest.mark.skipif(distributed is None, reason="needs pyarrow, pandas and Dask")

# The single-process path is asked for while the module's cluster runs.
pytestmark = pytest.mark.filterwarnings("ignore:Running on a single-machine scheduler")

A, B = key("program a"), key("program b")
IDL_A = {**make_idl([struct("SwapEvent", [{"name": "amount", "type": "u64"}, {"name": "who", "type": "pubkey"}]),
                     struct("Note", [{"name": "text", "type": "string"}])], ["SwapEvent", "Note"]), "address": A}
IDL_B = {**make_idl([struct("SwapEvent", [{"name": "price", "type": "f64"}])], ["SwapEvent"]), "address": B}
# Instructions with one-byte and two-byte discriminators; the inner calls' filler byte 1 is a swap of old.
IDL_A["instructions"] = [{"name": "swap", "discriminator": [1], "accounts": [{"name": "user"}, {"name": "pool"}],
                          "args": [{"name": "amount", "type": "u64"}]}]
IDL_B["instructions"] = [{"name": "route", "discriminator": [2, 2], "accounts": [{"name": "user"}],
                          "args": [{"name": "hops", "type": {"vec": "u8"}}]}]
IDLS = [json.dumps(IDL_A), json.dumps(IDL_B)]


def random_tx(rng: random.Random, n: int) -> Tx:
    def event():
        kind = rng.random()
        if kind < 0.4:
            body = borsh.encode_event(IDL_A, "SwapEvent", {"amount": rng.getrandbits(64), "who": rng.randbytes(32)})
        elif kind < 0.7:
            body = borsh.encode_event(IDL_A, "Note", {"text": "é" * rng.randint(0, 9)})
        else:
            body = borsh.encode_event(IDL_B, "SwapEvent", {"price": rng.random()})
        if rng.random() < 0.05:
            body = body[:-1]  # lands in the errors table
        return rng.choice(["log", "cpi", "both"]), body

    hops = bytes(rng.randrange(256) for _ in range(rng.randint(0, 3)))
    route = b"\2\2" + (len(hops) + (rng.random() < 0.1)).to_bytes(4, "little") + hops  # sometimes an error row
    calls = [Call(A, [event() for _ in range(rng.randint(0, 3))], data=b"\1" + rng.getrandbits(64).to_bytes(8, "little"),
                  accounts=[key(f"user {rng.randrange(5)}"), key("pool")]),
             Call(B, [event(), Call(A, [event()])], data=route, accounts=[key("user 0"), key("extra")])]
    return Tx(calls, signature=borsh.b58encode(n.to_bytes(64, "big")), slot=n, failed=rng.random() < 0.1,
              truncate_after=rng.choice([None] * 9 + [6]))


def json_lines(rng: random.Random, first: int, count: int) -> str:
    """Transactions in the shapes a line may take: alone, in a response, a block, nothing found, blank."""
    lines, n = [], first
    while n < first + count:
        shape = rng.random()
        if shape < 0.1:
            txs = [encode(random_tx(rng, n + i)) for i in range(3)]
            lines.append(json.dumps({"blockTime": 7, "transactions": [{k: v for k, v in t.items() if k != "blockTime"}
                                                                      for t in txs]}))
            n += 3
            continue
        tx = encode(random_tx(rng, n), rng.choice(["json", "jsonParsed", "base64"]))
        lines.append(json.dumps({"jsonrpc": "2.0", "id": n, "result": tx}) if shape < 0.3 else json.dumps(tx))
        if shape > 0.95:
            lines += ["", json.dumps({"jsonrpc": "2.0", "id": 0, "result": None})]
        n += 1
    return "\n".join(lines) + "\n"


def row(r: dict) -> tuple:
    # A body read with another layout: NaN; lists (remaining accounts) and structs as tuples.
    def frozen(v):
        if isinstance(v, dict):
            return row(v)
        return "NaN" if v != v else tuple(map(frozen, v)) if isinstance(v, list) else v
    return tuple((k, frozen(v)) for k, v in r.items())


def rows(table) -> collections.Counter:
    return collections.Counter(row(r) for r in pa.table(table).to_pylist())


def written(out, keys, kind="events") -> dict:
    """The rows of each key's dataset; an event without rows has none."""
    return {k: rows(pq.read_table(out / key_dir(k, kind))) if (out / key_dir(k, kind)).exists() else
            collections.Counter() for k in keys}


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """Four JSON lines files and four Parquet files of logs, with the rows the
    bare decoders give for each whole file."""
    rng = random.Random(7)
    folder = tmp_path_factory.mktemp("inputs")
    jsonl, parquet = [], []
    want_json, want_parquet = collections.defaultdict(collections.Counter), collections.defaultdict(collections.Counter)
    tx_decoder = TransactionDecoder(IDLS)
    table_decoders = [(A, TableDecoder(IDLS[0])), (B, TableDecoder(IDLS[1]))]
    for f in range(4):
        text = json_lines(rng, 1000 * f, rng.randint(20, 60))
        (path := folder / f"part{f}.jsonl").write_text(text)
        jsonl.append(str(path))
        whole = tx_decoder.decode_tables(text)
        for k, t in [*whole.items(), ("errors", whole.errors)]:
            want_json[k] += rows(t)
        calls = tx_decoder.call_tables(text)
        for k, t in [*calls.items(), ("errors", calls.errors)]:
            want_json[("calls", k)] += rows(t)

        txs = [encode(random_tx(rng, 1000 * f + i)) for i in range(rng.randint(20, 60))]
        logs = [t["meta"]["logMessages"] if i % 9 else None for i, t in enumerate(txs)]
        table = pa.table({"signature": [t["transaction"]["signatures"][0] for t in txs],
                          "slot": [t["slot"] for t in txs], "logMessages": pa.array(logs, pa.list_(pa.string()))})
        pq.write_table(table, path := folder / f"part{f}.parquet", row_group_size=7)
        parquet.append(str(path))
        for program, decoder in table_decoders:
            for name, t in decoder.decode(table.column("logMessages")).items():
                for r in pa.table(t).to_pylist():
                    context = {"_row": r.pop("_row"), "_line": r.pop("_line")}
                    kept = {c: table.column(c)[context["_row"]].as_py() for c in ("signature", "slot")}
                    want_parquet[(program, name)][row({**context, **kept, **r})] += 1
    return jsonl, parquet, want_json, want_parquet


@needs_dask
def test_pieces_of_any_size_give_the_rows_of_the_whole_text():
    rng = random.Random(3)
    decoder = decoders(Decoding("jsonl", tuple(IDLS)))
    for case in range(40):
        text = json_lines(rng, 0, rng.randint(1, 12))
        if case % 8 == 0:  # one indented value over many lines: read whole
            text = json.dumps([json.loads(line) for line in text.splitlines() if line], indent=1)
        whole = TransactionDecoder(IDLS).decode_tables(text)
        want = {("events", k): rows(t) for k, t in [*whole.items(), (None, whole.errors)]}
        size = rng.choice([1, 7, 300, 2000, len(text)])
        got = collections.defaultdict(collections.Counter)
        for piece in json_pieces(io.BytesIO(text.encode()), "f", size, decoder.decode):
            for k, t in piece.tables.items():
                got[k] += rows(t)
        assert {k: got[k] for k in want} == want, (case, size)
        if case % 8:
            lines = text.splitlines(keepends=True)
            at = rng.randrange(len(lines) + 1)
            bad = "".join(lines[:at] + ["[1, 2\n"] + lines[at:])
            with pytest.raises(SourceError, match=f"^f: line {at + 1}, column 1: "):
                list(json_pieces(io.BytesIO(bad.encode()), "f", size, decoder.decode))


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as c:
        yield c


@needs_dask
@pytest.mark.parametrize("kind", ["jsonl", "parquet"])
def test_cluster_gives_the_rows_of_the_bare_decoders(inputs, client, tmp_path, kind):
    jsonl, parquet, want_json, want_parquet = inputs
    if kind == "jsonl":
        # Small pieces: _tx must count on across them.
        events = read_events(jsonl, IDLS, chunk_bytes=3000)
        want = want_json
    else:
        events = read_events(parquet, IDLS, format="parquet", keep=["signature", "slot"])
        want = want_parquet
        assert events[(A, "Note")].npartitions == sum(pq.ParquetFile(p).num_row_groups for p in parquet)
    summary = write_events(events, tmp_path)
    assert not summary.failed and dict(summary) == {k: sum(want[k].values()) for k in events}
    assert written(tmp_path, events) == {k: want[k] for k in events}
    if kind == "jsonl":
        assert rows(pq.read_table(tmp_path / errors_dir())) == want_json["errors"] != {}
    frames = dask.compute(*events.values())
    assert {k: rows(pa.Table.from_pandas(f, preserve_index=False)) for k, f in zip(events, frames)} == \
        {k: want[k] for k in events}
    # The single-process path agrees, and a second export replaces the first.
    with dask.config.set(scheduler="sync"):
        assert write_events({k: events[k] for k in list(events)[:2]}, tmp_path) == dict(list(summary.items())[:2])
    assert written(tmp_path, events) == {k: want[k] for k in events}
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


@needs_dask
def test_frames_derived_from_read_events_write_what_they_compute(inputs, client, tmp_path):
    jsonl, _, want_json, _ = inputs
    events = read_events(jsonl, IDLS, chunk_bytes=3000)
    swaps = events[(A, "SwapEvent")]
    derived = {
        (A, "BigSwaps"): swaps[swaps.amount > 2**62][["_tx", "_signature", "amount", "who"]],
        (A, "Note"): events[(A, "Note")],  # as read_events made it, beside derived ones
        (B, "Prices"): events[(B, "SwapEvent")].assign(double=lambda f: f.price * 2),
        ("all", "errors"): events.errors[["_tx", "event", "message"]],
    }
    summary = write_events(derived, tmp_path)
    assert not summary.failed
    computed = dict(zip(derived, dask.compute(*derived.values())))
    for key, frame in computed.items():
        want = rows(pa.Table.from_pandas(frame, preserve_index=False))
        assert written(tmp_path, [key])[key] == want and summary[key] == sum(want.values()) > 0, key
    assert pq.read_schema(tmp_path / key_dir((A, "BigSwaps")) / "part-00000.parquet").names == \
        ["_tx", "_signature", "amount", "who"]
    assert rows(pq.read_table(tmp_path / errors_dir())) == want_json["errors"]

    import dask.dataframe as dd
    import pandas as pd
    with pytest.raises(TypeError, match="not a frame of read_events"):
        write_events({(A, "x"): dd.from_pandas(pd.DataFrame({"a": [1]}), npartitions=1)}, tmp_path)
    with pytest.raises(ValueError, match="more than one read_events call"):
        write_events({(A, "a"): swaps, (A, "b"): read_events(jsonl, IDLS)[(A, "Note")]}, tmp_path)
    with pytest.raises(ValueError, match="not one per source"):
        write_events({(A, "a"): swaps.repartition(npartitions=1)}, tmp_path)


@needs_dask
def test_calls_are_written_beside_events_from_one_decoding(inputs, client, tmp_path):
    jsonl, parquet, want_json, _ = inputs
    both = read_events(jsonl, IDLS, chunk_bytes=3000, calls=True)
    assert list(both.calls) == [(A, "swap"), (B, "route")]
    done = []
    summary = write_events(both, tmp_path, progress=lambda result, n, total: done.append(result.path))
    assert sorted(done) == sorted(jsonl)  # one task, so one decoding, per file for both kinds
    want_calls = {k: want_json[("calls", k)] for k in both.calls}
    assert dict(summary) == {k: sum(want_json[k].values()) for k in both}
    assert summary.calls == {k: sum(w.values()) for k, w in want_calls.items()} and all(summary.calls.values())
    assert written(tmp_path, both) == {k: want_json[k] for k in both}
    assert {k: rows(pq.read_table(tmp_path / key_dir(k, "calls"))) for k in both.calls} == want_calls
    assert rows(pq.read_table(tmp_path / errors_dir("calls"))) == want_json[("calls", "errors")] != {}
    assert rows(pq.read_table(tmp_path / errors_dir())) == want_json["errors"]
    assert any(reason.startswith("call route: ") for reason in summary.skipped)
    # read_calls, the twin, decodes calls alone; its frames compute the same rows, and write as calls.
    only = read_calls(jsonl, IDLS, chunk_bytes=2000)
    frames = dict(zip(only, dask.compute(*only.values())))
    assert {k: rows(pa.Table.from_pandas(f, preserve_index=False)) for k, f in frames.items()} == want_calls
    assert rows(pa.Table.from_pandas(only.errors.compute(), preserve_index=False)) == want_json[("calls", "errors")]
    swaps = only[(A, "swap")]
    summary = write_events(only, tmp_path / "only", calls={(A, "big"): swaps[swaps.arg_amount > 2**62]})
    assert dict(summary) == {} and summary.calls[(A, "swap")] == sum(want_calls[(A, "swap")].values())
    assert 0 < summary.calls[(A, "big")] < summary.calls[(A, "swap")]
    assert not (tmp_path / "only" / "events").exists()
    with pytest.raises(ValueError, match="Parquet logs hold no instructions"):
        read_events(parquet, IDLS, format="parquet", calls=True)


def _holds(pid: int, path: str) -> bool:
    fds = f"/proc/{pid}/fd"
    return any(os.path.realpath(os.path.join(fds, fd)) == path for fd in os.listdir(fds))


def _open_writer(path: str) -> int:
    """The FIFO opened for writing, once a reader opens it."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
            os.set_blocking(fd, True)
            return fd
        except OSError:
            time.sleep(0.05)
    raise TimeoutError("no worker opened the FIFO")


@needs_dask
def test_a_lost_worker_loses_and_repeats_no_row(inputs, client, tmp_path):
    jsonl, _, want_json, _ = inputs
    fifo = str(tmp_path / "slow.jsonl")
    os.mkfifo(fifo)
    text = open(jsonl[0], "rb").read()
    events = read_events([*jsonl[1:], fifo], IDLS, chunk_bytes=2000)
    done: dict = {}
    thread = threading.Thread(target=lambda: done.update(summary=write_events(events, tmp_path / "out")))
    thread.start()
    # The worker reading the FIFO stages its first pieces, then dies holding it;
    # its task runs again elsewhere, on the same file, a plain one now.
    fd = _open_writer(fifo)
    os.write(fd, text[: len(text) // 2])
    holder = next(pid for pid in client.run(os.getpid).values() if _holds(pid, fifo))
    (tmp_path / "whole").write_bytes(text)
    os.replace(tmp_path / "whole", fifo)
    os.kill(holder, signal.SIGKILL)
    os.close(fd)
    thread.join(60)
    assert not done["summary"].failed
    assert written(tmp_path / "out", events) == {k: want_json[k] for k in events}


@needs_dask
def test_a_bad_file_fails_alone(inputs, tmp_path):
    jsonl, parquet, want_json, want_parquet = inputs
    good = open(jsonl[0]).read().splitlines(keepends=True)
    bad = {
        "truncated.jsonl": "".join(good)[:-40],
        "not_json.jsonl": "".join(good[:9] + ["nope\n"] + good[9:]),
        "empty.jsonl": "",
    }
    for name, text in bad.items():
        (tmp_path / name).write_text(text)
    with dask.config.set(scheduler="sync"):
        events = read_events([jsonl[0], *(tmp_path / n for n in bad)], IDLS, chunk_bytes=2000)
        assert not write_events(events, tmp_path / "out").written  # by default, a failed file: nothing written
        assert [p.name for p in (tmp_path / "out").iterdir()] == []
        summary = write_events(events, tmp_path / "out", skip_failed=True)
    assert {os.path.basename(p): m.split(": ", 1)[1] for p, m in summary.failed.items()} == {
        "truncated.jsonl": f"line {len(good)}, column 1: the text ends inside this value (cut short?)",
        "not_json.jsonl": "line 10, column 1: invalid JSON: not a JSON value",
        "empty.jsonl": "line 1, column 1: the text holds no JSON value",
    }
    only_good = {k: rows(TransactionDecoder(IDLS).decode_tables("".join(good))[k]) for k in events}
    assert written(tmp_path / "out", events) == only_good

    pq.write_table(pa.table({"logs": [["x"]]}), missing := tmp_path / "missing.parquet")
    pq.write_table(pa.table({"logMessages": [1, 2]}), wrong := tmp_path / "wrong.parquet")
    (tmp_path / "empty.parquet").write_bytes(b"")
    with dask.config.set(scheduler="sync"):
        events = read_events([parquet[0], missing, wrong, tmp_path / "empty.parquet"], IDLS, format="parquet")
        summary = write_events(events, tmp_path / "out", skip_failed=True)
    assert {os.path.basename(p): m.split(": ", 1)[1] for p, m in summary.failed.items()} == {
        "missing.parquet": "no column 'logMessages'",
        "wrong.parquet": "column 'logMessages': expected utf8, large_utf8, string_view or a list of one of them; "
                         "found int64",
        "empty.parquet": "Parquet file size is 0 bytes",
    }
    assert sum(summary.values()) == sum(map(collections.Counter.total, written(tmp_path / "out", events).values())) > 0


def brisquel(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "brisquel", *map(str, args)], input=stdin, capture_output=True,
                          text=True, timeout=120)


@pytest.fixture
def idls(tmp_path):
    """The IDLs as files."""
    paths = []
    for i, text in enumerate(IDLS):
        (path := tmp_path / f"idl{i}.json").write_text(text)
        paths.append(path)
    return paths


@needs_dask
def test_commands(inputs, idls, tmp_path):
    jsonl, _, want_json, _ = inputs
    (bad := tmp_path / "bad.jsonl").write_text(open(jsonl[1]).readline() + "[1,\n")
    result = brisquel("export", *idls, "--out", tmp_path / "out", jsonl[1], bad, "--workers", "1")
    assert result.returncode == 1 and result.stderr == f"brisquel: {bad}: line 2, column 1: " \
                                                      "the text ends inside this value (cut short?)\n"
    assert result.stdout == f"2 files, 1 failed: nothing written; the datasets in {tmp_path / 'out'} are as they " \
                            "were (--skip-failed writes the rows of the other files)\n"
    assert not (tmp_path / "out" / "events").exists()
    result = brisquel("export", *idls, "--out", tmp_path / "out", jsonl[1], bad, "--workers", "1", "--skip-failed")
    assert result.returncode == 1 and "SwapEvent" in result.stdout and "2 files, 1 failed" in result.stdout
    assert re.search(r"^program +instruction +rows$", result.stdout, re.M) and "route" in result.stdout
    whole = TransactionDecoder(IDLS).decode_tables(open(jsonl[1]).read())
    assert written(tmp_path / "out", whole.keys()) == {k: rows(t) for k, t in whole.items()}
    calls = TransactionDecoder(IDLS).call_tables(open(jsonl[1]).read())
    assert written(tmp_path / "out", calls.keys(), "calls") == {k: rows(t) for k, t in calls.items()}


def test_tx_command(idls):
    text = json_lines(random.Random(11), 0, 40)
    result = brisquel("tx", *idls, "-", stdin=text)
    assert result.returncode == 0, result.stderr
    got = [json.loads(line) for line in result.stdout.splitlines()]
    events = TransactionDecoder(IDLS).decode(text)
    assert [(g["tx"], g["program"], g["inner"], g["source"], g["event"]) for g in got] == \
        [(e.tx, e.program, e.inner, e.source, e.name) for e in events]



# --- account snapshots ---

# Account types named as events and instructions of IDLS are, so that kinds
# sharing a folder would show: A's "Note" (Borsh) and "swap" (read as zero-copy
# when asked to), B's "SwapEvent". A's "Note" and B's "SwapEvent" share a
# discriminator: the owner decides.
NOTE_DISC, SWAP_DISC = bytes(range(10, 18)), bytes(range(20, 28))
ACCOUNT_IDLS = [
    json.dumps({**make_idl([struct("Note", [{"name": "amount", "type": "u64"}, {"name": "who", "type": "pubkey"},
                                            {"name": "memo", "type": "string"}]),
                            struct("swap", [{"name": "a", "type": "u8"}, {"name": "b", "type": "u64"}])]),
                "address": A, "accounts": [{"name": "Note", "discriminator": list(NOTE_DISC)},
                                           {"name": "swap", "discriminator": list(SWAP_DISC)}]}),
    json.dumps({**make_idl([struct("SwapEvent", [{"name": "price", "type": "f64"}])]), "address": B,
                "accounts": [{"name": "SwapEvent", "discriminator": list(NOTE_DISC)}]}),
]
ACCOUNT_OPTIONS = {"zero_copy": {0: ["swap"]}, "old_versions": True}
OTHER = key("other program")


def account_data(rng: random.Random) -> tuple[str, bytes]:
    """An owner and its data: whole, with trailing bytes, an old version, cut
    short, zero-copy, of the other program, of no program here, of no type."""
    memo = "é" * rng.randint(0, 5)
    amount = rng.getrandbits(64).to_bytes(8, "little")
    note = NOTE_DISC + amount + rng.randbytes(32) + len(memo.encode()).to_bytes(4, "little") + memo.encode()
    return rng.choice([
        (A, note), (A, note + rng.randbytes(3)),
        (A, NOTE_DISC + amount),                          # ends where a field begins: an old version
        (A, NOTE_DISC + amount[:rng.randint(1, 7)]),      # ends inside one: an error row
        (A, SWAP_DISC + bytes([rng.randrange(256)]) + rng.randbytes(7) + amount),  # C layout: 7 bytes of padding
        (B, NOTE_DISC + rng.randbytes(8)),
        (OTHER, note),
        (A, rng.randbytes(8) + amount),                   # no discriminator of A's
    ])


def account_entry(rng: random.Random, n: int) -> dict:
    owner, data = account_data(rng)
    encoding = rng.choice(["base64", "base58", "base64+zstd"])
    if encoding == "base64+zstd":
        from compression import zstd
        data = zstd.compress(data)
    text = borsh.b58encode(data) if encoding == "base58" else base64.b64encode(data).decode()
    if rng.random() < 0.05:
        text = "@" + text  # data that cannot be read: an error row without a type
    return {"pubkey": key(f"account {n}"), "account": {"data": [text, encoding], "owner": owner, "lamports": n,
                                                       "executable": False, "rentEpoch": 0}}


@pytest.fixture(scope="module")
def snapshots(tmp_path_factory):
    """Account snapshots, as JSON (a getProgramAccounts response, JSON lines of
    entries, of getMultipleAccounts responses with missing accounts) and as
    Parquet (row groups of 7), with what AccountDecoder makes of each whole
    file: rows per key ("errors" too) and counts, per format."""
    rng = random.Random(5)
    folder = tmp_path_factory.mktemp("snapshots")
    decoder = AccountDecoder(ACCOUNT_IDLS, **ACCOUNT_OPTIONS)
    paths = collections.defaultdict(list)
    want = collections.defaultdict(lambda: collections.defaultdict(collections.Counter))
    counts = collections.defaultdict(collections.Counter)

    def expect(form, path, accounts):
        paths[form].append(path)
        tables = decoder.decode_tables(accounts)
        for k, t in [*tables.items(), ("errors", tables.errors)]:
            want[form][k] += rows(t)
        counts[form].update(tables.counts)

    for f in range(3):
        entries = [account_entry(rng, 1000 * f + i) for i in range(rng.randint(30, 60))]
        if f == 0:
            text = json.dumps({"jsonrpc": "2.0", "id": 1, "result": {"context": {"slot": 77}, "value": entries}})
        elif f == 1:
            text = "".join(json.dumps(e) + "\n" for e in entries)
        else:
            batches = [entries[i:i + 4] for i in range(0, len(entries), 4)]
            text = "".join(json.dumps({"jsonrpc": "2.0", "id": i, "result": {"context": {"slot": i}, "value": [
                e["account"] if rng.random() < 0.9 else None for e in batch]}}) + "\n" for i, batch in enumerate(batches))
        (path := folder / f"snapshot{f}.json").write_text(text)
        expect("jsonl", path, text)

        accounts = [(key(f"row {f} {i}"), *account_data(rng)) for i in range(rng.randint(30, 60))]
        pubkeys = [borsh.b58decode(p) if f == 1 else p for p, _, _ in accounts]
        snapshot = pa.table({
            "slot": pa.array([f] * len(accounts), pa.uint64()),
            "pubkey": pa.array(pubkeys, pa.binary(32) if f == 1 else pa.string()),
            "owner": [o for _, o, _ in accounts],
            "data": pa.array([d if i % 11 else None for i, (_, _, d) in enumerate(accounts)], pa.binary()),
            "lamports": pa.array(range(len(accounts)), pa.uint64()), "extra": [1] * len(accounts)})
        pq.write_table(snapshot, path := folder / f"snapshot{f}.parquet", row_group_size=7)
        expect("parquet", path, pq.read_table(path))
    return paths, want, counts


def written_accounts(out, keys) -> dict:
    return written(out, keys, "accounts")


@needs_dask
@pytest.mark.parametrize("form", ["jsonl", "parquet"])
def test_read_accounts_gives_the_rows_of_the_bare_decoder(snapshots, client, tmp_path, form):
    paths, want, counts = snapshots
    want, counts = want[form], counts[form]
    # Small pieces: a few JSON lines, or a few rows of a row group, at a time.
    frames = read_accounts(paths[form], ACCOUNT_IDLS, format=form, chunk_bytes=150, **ACCOUNT_OPTIONS)
    assert list(frames) == [(A, "Note"), (A, "swap"), (B, "SwapEvent")]
    if form == "parquet":
        assert len(frames.sources) == sum(pq.ParquetFile(p).num_row_groups for p in paths[form])
        assert len(list(pieces(decoders(frames._plan.decoding), frames.sources[0]))) > 1
    summary = write_events(frames, tmp_path)
    assert not summary.failed and dict(summary) == {} and summary.calls == {}
    assert summary.accounts == {k: sum(want[k].values()) for k in frames}
    assert all(summary.accounts.values()) and summary.accounts[(A, "Note")] == counts["decoded"] - sum(
        summary.accounts[k] for k in [(A, "swap"), (B, "SwapEvent")])
    assert written_accounts(tmp_path, frames) == {k: want[k] for k in frames}
    assert rows(pq.read_table(tmp_path / errors_dir("accounts"))) == want["errors"] != {}
    assert not (tmp_path / "events").exists() and not (tmp_path / "calls").exists()
    # What had no row is counted, by reason; so are the error rows.
    not_decoded = {"accounts of other programs": counts["other_owner"],
                   "accounts of no account type of their program": counts["no_match"],
                   "accounts missing (null)": counts["missing"]}
    assert {r: summary.skipped[r] for r in not_decoded} == not_decoded and all(not_decoded.values())
    assert sum(n for r, n in summary.skipped.items() if r.startswith("account ")) == \
        counts["failed"] + counts["unreadable"] == sum(want["errors"].values())
    reasons = summary.skipped.keys() - not_decoded.keys()
    assert "account Note: unexpected end of buffer: need N byte(s) at offset N, have N" in reasons
    assert any(r.startswith("account ?: account data is not ") for r in reasons) == (form == "jsonl")
    # The frames compute the same rows.
    computed = dask.compute(*frames.values(), frames.errors)
    assert {k: rows(pa.Table.from_pandas(f, preserve_index=False)) for k, f in zip([*frames, "errors"], computed)} \
        == {k: want[k] for k in [*frames, "errors"]}
    # Without the options, the zero-copy type and the old versions read otherwise.
    plain = read_accounts(paths[form], ACCOUNT_IDLS, format=form)
    with dask.config.set(scheduler="sync"):
        assert write_events(plain, tmp_path / "plain").accounts[(A, "Note")] < summary.accounts[(A, "Note")]
    assert written_accounts(tmp_path / "plain", [(A, "swap")]) != written_accounts(tmp_path, [(A, "swap")])


@needs_dask
def test_events_calls_and_accounts_of_one_run_keep_their_folders(inputs, snapshots, client, tmp_path):
    jsonl, _, want_json, _ = inputs
    paths, want, _ = snapshots
    both = read_events(jsonl, IDLS, calls=True)
    accounts = read_accounts(paths["jsonl"], ACCOUNT_IDLS, **ACCOUNT_OPTIONS)
    notes = accounts[(A, "Note")]
    done = []
    summary = write_events(both, tmp_path, accounts={**accounts, (A, "rich"): notes[notes.amount > 2**62]},
                           progress=lambda result, n, total: done.append((result.path, total)))
    assert sorted(done) == sorted((str(p), len(jsonl) + len(paths["jsonl"])) for p in [*jsonl, *paths["jsonl"]])
    # Event (A, "Note"), instruction (A, "swap") and the account types of those names: four folders.
    assert written(tmp_path, both) == {k: want_json[k] for k in both}
    assert {k: rows(pq.read_table(tmp_path / key_dir(k, "calls"))) for k in both.calls} == \
        {k: want_json[("calls", k)] for k in both.calls}
    assert written_accounts(tmp_path, accounts) == {k: want["jsonl"][k] for k in accounts}
    rich = written_accounts(tmp_path, [(A, "rich")])[(A, "rich")]
    assert rich and all(dict(r)["amount"] > 2**62 for r in rich) and rich < want["jsonl"][(A, "Note")]
    for kind, errors in [("events", want_json["errors"]), ("calls", want_json[("calls", "errors")]),
                         ("accounts", want["jsonl"]["errors"])]:
        assert rows(pq.read_table(tmp_path / errors_dir(kind))) == errors != {}, kind
    assert dict(summary) == {k: sum(want_json[k].values()) for k in both}
    assert summary.calls == {k: sum(want_json[("calls", k)].values()) for k in both.calls}
    assert summary.accounts == {**{k: sum(want["jsonl"][k].values()) for k in accounts}, (A, "rich"): rich.total()}
    assert summary.files == len(jsonl) + len(paths["jsonl"]) and summary.skipped["accounts of other programs"]

    # A later run of accounts alone replaces theirs and leaves the others.
    with dask.config.set(scheduler="sync"):
        write_events({(B, "SwapEvent"): accounts[(B, "SwapEvent")]}, tmp_path)
    assert written(tmp_path, both) == {k: want_json[k] for k in both}
    assert written_accounts(tmp_path, [(A, "rich")])[(A, "rich")] == rich

    with pytest.raises(TypeError, match=r"^accounts\[.*\]: not a frame of read_accounts"):
        write_events(both, tmp_path, accounts={(A, "Note"): both[(A, "Note")]})
    with pytest.raises(TypeError, match=r"^calls\[.*\]: not a frame of read_events"):
        write_events(both, tmp_path, calls={(A, "Note"): notes})
    with pytest.raises(ValueError, match="more than one read_accounts call"):
        write_events(accounts, tmp_path, accounts={(A, "x"): read_accounts(paths["jsonl"], ACCOUNT_IDLS)[(A, "Note")]})
    # One folder, two frames: refused, rather than one of them lost.
    with pytest.raises(ValueError, match=r"also given in events; accounts/.*/Note is written once"):
        write_events(accounts, tmp_path, accounts={(A, "Note"): notes[notes.amount > 5]})
    calls = read_calls(jsonl, IDLS)
    with pytest.raises(ValueError, match=r"also given in events; calls/.*/swap is written once"):
        write_events(calls, tmp_path, calls={(A, "swap"): calls[(A, "swap")]})


@needs_dask
def test_a_bad_snapshot_fails_alone(snapshots, tmp_path):
    paths, want, _ = snapshots
    good = paths["jsonl"][1].read_text().splitlines(keepends=True)  # JSON lines of entries
    bad = {"truncated.json": "".join(good)[:-40], "not_json.json": "".join(good[:3] + ["nope\n"] + good[3:]),
           "empty.json": "", "not_accounts.json": '{"result": [1]}'}
    for name, text in bad.items():
        (tmp_path / name).write_text(text)
    pq.write_table(pa.table({"owner": [A]}), tmp_path / "no_data.parquet")
    pq.write_table(pa.table({"owner": [A], "data": [1]}), tmp_path / "int_data.parquet")
    (tmp_path / "empty.parquet").write_bytes(b"")
    good_only = AccountDecoder(ACCOUNT_IDLS, **ACCOUNT_OPTIONS).decode_tables("".join(good))
    for form, files, messages in [
        ("jsonl", [paths["jsonl"][1], *(tmp_path / n for n in bad)], {
            "truncated.json": f"line {len(good)}, column 1: the text ends inside this value (cut short?)",
            "not_json.json": "line 4, column 1: invalid JSON: not a JSON value",
            "empty.json": "line 1, column 1: the text holds no JSON value",
            "not_accounts.json": "line 1, column 13: `(array element)`: expected an account"}),
        ("parquet", [paths["parquet"][0], *(tmp_path / n for n in ["no_data.parquet", "int_data.parquet",
                                                                  "empty.parquet"])], {
            "no_data.parquet": "no column 'data'",
            "int_data.parquet": "argument 'accounts': column 'data' ",
            "empty.parquet": "Parquet file size is 0 bytes"}),
    ]:
        with dask.config.set(scheduler="sync"):
            frames = read_accounts(files, ACCOUNT_IDLS, format=form, chunk_bytes=1000, **ACCOUNT_OPTIONS)
            summary = write_events(frames, tmp_path / form, skip_failed=True)
        failed = {os.path.basename(p): m.split(": ", 1)[1] for p, m in summary.failed.items()}
        assert failed.keys() == messages.keys() and all(failed[n].startswith(m) for n, m in messages.items()), failed
        wanted = {k: rows(good_only[k]) for k in frames} if form == "jsonl" else {
            k: rows(AccountDecoder(ACCOUNT_IDLS, **ACCOUNT_OPTIONS).decode_tables(pq.read_table(files[0]))[k])
            for k in frames}
        assert written_accounts(tmp_path / form, frames) == wanted and summary.accounts == {
            k: w.total() for k, w in wanted.items()}
        assert summary.files == len(files)


@needs_dask
@pytest.mark.skipif(not real_accounts(), reason="no real accounts beside the repository")
def test_export_command_writes_the_real_accounts_as_the_decoder_reads_them(tmp_path):
    # Each program's accounts in one getProgramAccounts response; one IDL file
    # per IDL and owner (a fixture's owner may be a test program's).
    idls: dict[str, str] = {}
    snapshots = collections.defaultdict(list)
    for param in real_accounts():
        file, path, encoding, pubkey, owner, _, _, idl = param.values
        name = f"{idl.removesuffix('.json')}-{owner[:8]}.json"
        if name not in idls:
            doc = json.loads((SHARED_IDLS / idl).read_text())
            if "address" in doc:
                doc["address"] = owner
            else:  # legacy
                doc.setdefault("metadata", {})["address"] = owner
            idls[name] = json.dumps(doc)
            (tmp_path / name).write_text(idls[name])
        data = base64.b64encode(account_bytes(file, path, encoding)).decode()
        snapshots[file.split("/")[0]].append({"pubkey": pubkey or key(file), "account": {
            "data": [data, "base64"], "owner": owner, "lamports": 1, "executable": False, "rentEpoch": 0}})
    inputs = []
    for program, entries in sorted(snapshots.items()):
        (path := tmp_path / f"{program}.json").write_text(json.dumps(
            {"jsonrpc": "2.0", "id": 1, "result": {"context": {"slot": 5}, "value": entries}}))
        inputs.append(path)
    (broken := tmp_path / "broken.json").write_text('{"result": [')
    zero_copy = ZERO_COPY["drift-current.json"]
    result = brisquel("export", *(tmp_path / n for n in idls), "--out", tmp_path / "out", "--accounts", *inputs, broken,
                      "--zero-copy", ",".join(zero_copy), "--old-versions", "--workers", "1", "--skip-failed")
    assert result.returncode == 1 and result.stderr == f"brisquel: {broken}: line 1, column 1: the text ends inside " \
                                                      "this value (cut short?)\n"
    assert re.search(r"^program +account type +rows$", result.stdout, re.M), result.stdout
    assert f"{len(inputs) + 1} files, 1 failed: 28 rows (28 accounts)" in result.stdout

    decoder = AccountDecoder(list(idls.values()), old_versions=True, zero_copy={
        i: zero_copy for i, name in enumerate(idls) if name.startswith("drift-current-")})
    states = [s for path in inputs for s in decoder.decode(path.read_text())]
    assert len(states) == 28
    keys = list(decoder.decode_tables("[]"))
    present = {k: pq.read_table(tmp_path / "out" / key_dir(k, "accounts")) for k in keys
               if (tmp_path / "out" / key_dir(k, "accounts")).exists()}
    assert set(present) == {(s.owner, s.name) for s in states}  # a dataset for each type with rows, and only those
    assert_tables_hold(present, states)
    assert not (tmp_path / "out" / errors_dir("accounts")).exists()  # no rows: not written


@pytest.mark.parametrize("missing, args, message", [
    ("pandas", [], "brisquel: export needs pyarrow, pandas and Dask"),
    ("dask", [], "brisquel: export needs pyarrow, pandas and Dask"),
    ("distributed", ["--workers", "1"], "brisquel: export on worker processes needs Dask's distributed"),
])
def test_export_without_its_libraries_says_what_to_install(tmp_path, idls, missing, args, message):
    for present in {"pyarrow", "pandas", "dask", "distributed"} - {missing}:
        pytest.importorskip(present, reason=f"{present} is not installed here: the message would name it first")
    (snapshot := tmp_path / "input.json").write_text("[]")
    # The module made unimportable, as on an interpreter that lacks it
    result = subprocess.run([sys.executable, "-c", f"import sys; sys.modules[{missing!r}] = None\n"
                             "from brisquel.__main__ import main; sys.exit(main())", "export", str(idls[0]), "--out",
                             str(tmp_path / "out"), str(snapshot), *args], capture_output=True, text=True, timeout=120)
    assert result.returncode == 1 and result.stderr.startswith(message), result.stderr
    assert "Traceback" not in result.stderr and not (tmp_path / "out").exists()


def tree(folder) -> dict:
    """Every file under `folder` and its bytes."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.fixture
def exported(inputs, idls, tmp_path):
    """An output folder that an earlier export filled, and what it holds."""
    jsonl = inputs[0]
    result = brisquel("export", *idls, "--out", tmp_path / "out", jsonl[0], "--workers", "0")
    assert result.returncode == 0, result.stderr
    return tmp_path / "out", tree(tmp_path / "out")


@needs_dask
@pytest.mark.parametrize("case", ["missing", "all failed", "one failed", "binary"])
def test_a_run_with_missing_or_failed_inputs_changes_no_dataset(inputs, idls, exported, tmp_path, case):
    out, before = exported
    good = inputs[0][1]
    (cut := tmp_path / "cut.jsonl").write_text(open(good).read()[:-30])
    (binary := tmp_path / "blob.json").write_bytes(bytes(range(256)))
    given, code, stdout, stderr = {
        "missing": ([good, tmp_path / "nosuch.json"], 1, "",
                    f"brisquel: cannot read {tmp_path / 'nosuch.json'}: no such file or folder; nothing was exported\n"),
        "all failed": ([cut, "--skip-failed"], 1, f"1 file, 1 failed: nothing written; the datasets in {out} are as "
                       "they were\n", f"brisquel: {cut}: line "),
        "one failed": ([good, cut], 1, f"2 files, 1 failed: nothing written; the datasets in {out} are as they were",
                       f"brisquel: {cut}: line "),
        "binary": ([good, binary], 1, "", f"brisquel: {binary}: binary data, not JSON text\n"),
    }[case]
    result = brisquel("export", *idls, "--out", out, *given)
    assert result.returncode == code and result.stdout.startswith(stdout) and result.stderr.startswith(stderr), result
    assert "Traceback" not in result.stderr
    assert tree(out) == before


@needs_dask
@pytest.mark.parametrize("workers", ["0", "1"])
def test_an_interrupted_export_keeps_the_datasets_and_leaves_no_staging(inputs, idls, exported, tmp_path, workers):
    out, before = exported
    fifo = str(tmp_path / "slow.jsonl")
    os.mkfifo(fifo)
    run = subprocess.Popen([sys.executable, "-m", "brisquel", "export", *map(str, idls), "--out", str(out), fifo,
                            "--workers", workers], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           start_new_session=True)
    fd = _open_writer(fifo)  # the export is reading: it has started, and staged what it read
    os.write(fd, open(inputs[0][1], "rb").read()[:5000])
    time.sleep(0.5)
    os.killpg(run.pid, signal.SIGINT)  # as Ctrl-C does: to the whole process group
    os.close(fd)  # a reader blocked on the FIFO reads its end
    stdout, stderr = run.communicate(timeout=60)
    assert run.returncode == 130 and stdout == "", (run.returncode, stdout, stderr)
    assert stderr == f"brisquel: interrupted; the datasets in {out} are as they were\n"
    assert tree(out) == before and not [p for p in os.listdir(out) if p.startswith(".")]


@needs_dask
def test_a_small_export_runs_here_and_writes_only_datasets_with_rows(inputs, idls, exported, tmp_path):
    out, before = exported
    # A staging folder that a killed run left: no run holds its lock.
    (out / ".staging-0123456789ab" / "events").mkdir(parents=True)
    (tiny := tmp_path / "tiny.jsonl").write_text(json.dumps(encode(Tx([Call(B, [("log", borsh.encode_event(
        IDL_B, "SwapEvent", {"price": 1.5}))])]))) + "\n")
    result = brisquel("export", *idls, "--out", out, tiny)
    assert result.returncode == 0, result.stderr
    assert re.search(r"^1 file: 1 row \(0 calls\) in .* s \(in this process, ", result.stdout, re.M), result.stdout
    # A's datasets of the earlier run are gone with A's rows: every dataset holds this run's rows.
    assert [p for p in tree(out) if not p.startswith("events/_errors")] == [
        f"events/{B}/SwapEvent/part-00000.parquet", "transactions/part-00000.parquet"], tree(out).keys()
    assert written(out, [(B, "SwapEvent")])[(B, "SwapEvent")].total() == 1


@needs_dask
def test_folders_give_their_data_files_and_say_so(inputs, idls, tmp_path):
    folder = tmp_path / "in"
    (folder / "day2" / ".cache").mkdir(parents=True)
    for name, source in [("a.jsonl", 0), ("day2/b.JSON", 1), ("day2/.cache/c.jsonl", 2), (".d.jsonl", 3)]:
        (folder / name).write_text(open(inputs[0][source]).read())
    (folder / "SOURCES.md").write_text("# not data\n")
    (folder / "day2" / "notes.txt").write_text("nor this\n")
    assert input_files([folder]) == [str(folder / "a.jsonl"), str(folder / "day2" / "b.JSON")]
    result = brisquel("export", *idls, "--out", tmp_path / "out", folder, "--no-calls")
    assert result.returncode == 0, result.stderr
    assert result.stderr == (f"brisquel: {folder}: 2 files (in it and 1 subfolder); 2 other files skipped, as data "
                             "files end in .json, .jsonl, .ndjson, .parquet, .pq: SOURCES.md, day2/notes.txt\n")
    both = "".join(open(p).read() for p in inputs[0][:2])
    assert sum(written(tmp_path / "out", [(A, "Note")])[(A, "Note")].values()) == \
        len(TransactionDecoder(IDLS).decode_tables(both)[(A, "Note")])


@needs_dask
def test_export_takes_program_addresses(inputs, tmp_path):
    # A legacy IDL names no address: --address gives it, read_events' addresses= as well.
    legacy = {"version": "0.1.0", "name": "old_b", "instructions": [],
              "events": [{"name": "SwapEvent", "fields": [{"name": "price", "type": "f64", "index": False}]}]}
    (idl := tmp_path / "legacy.json").write_text(json.dumps(legacy))
    result = brisquel("export", idl, "--out", tmp_path / "out", inputs[0][0])
    assert result.returncode == 1 and "give one in `addresses`" in result.stderr
    result = brisquel("export", idl, "--out", tmp_path / "out", inputs[0][0], "--address", f"old_b={B}")
    assert result.returncode == 0, result.stderr
    want = TransactionDecoder(IDLS).decode_tables(open(inputs[0][0]).read())[(B, "SwapEvent")]
    assert written(tmp_path / "out", [(B, "SwapEvent")])[(B, "SwapEvent")].total() == len(want) > 0
    assert list(read_events(inputs[0][0], [json.dumps(legacy)], addresses={0: B})) == [(B, "SwapEvent")]
    with pytest.raises(ValueError, match="no IDL is of a program named 'new_b'"):
        read_events(inputs[0][0], [json.dumps(legacy)], addresses={"new_b": B})


@pytest.mark.parametrize("idl, args, error", [
    (ACCOUNT_IDLS[0], ["--accounts", "--keep", "slot"],
     "brisquel export: error: --keep is for transactions, not --accounts\n"),
    (ACCOUNT_IDLS[0], ["--accounts", "--no-calls"],
     "brisquel export: error: --no-calls is for transactions, not --accounts\n"),
    (ACCOUNT_IDLS[0], ["--old-versions"], "brisquel export: error: --zero-copy and --old-versions are for --accounts\n"),
    # Checked once the export's own modules (pandas, Dask) are loaded.
    pytest.param(ACCOUNT_IDLS[0], ["--accounts", "--zero-copy", "Note,Nope"],
                 "brisquel: --zero-copy: no IDL among {idl} defines type Nope\n", marks=needs_dask),
    # Nothing to export: said, not a traceback.
    pytest.param(IDLS[1], ["--accounts"], "brisquel: the IDLs declare no account types: nothing to export\n",
                 marks=needs_dask),
    pytest.param(json.dumps({**make_idl([]), "address": A}), [], "brisquel: the IDLs declare no events or "
                 "instructions: nothing to export\n", marks=needs_dask),
    pytest.param(IDLS[1], ["--keep", "slot"], "brisquel: --keep is for Parquet logs; JSON transactions carry "
                 "_signature, _slot and _block_time already\n", marks=needs_dask),
])
def test_export_command_refuses_what_it_cannot_do(tmp_path, idl, args, error):
    (path := tmp_path / "idl.json").write_text(idl)
    (snapshot := tmp_path / "input.json").write_text("[]")
    result = brisquel("export", path, "--out", tmp_path / "out", snapshot, *args)
    assert result.returncode in (1, 2) and result.stderr.splitlines()[-1] + "\n" == error.format(idl=path)
    assert not (tmp_path / "out").exists()
