"""python -m brisquel, and the legacy-address helper it offers."""

from __future__ import annotations

import json
import random
import subprocess
import sys

import pytest

import borsh
import brisquel
from brisquel import EventDecoder, TableDecoder, TransactionDecoder, with_program_address
from conftest import REPO, make_idl, struct
from transactions import Call, Tx, encode, key

IDL = make_idl([struct("Ping", [{"name": "raw", "type": "bytes"}, {"name": "x", "type": "f32"},
                                {"name": "n", "type": "u128"}])], ["Ping"])
LINE = borsh.log_line(borsh.encode_event(IDL, "Ping", {"raw": b"\x01\xab", "x": float("nan"), "n": 2**100}))
EVENT = {"event": "Ping", "fields": {"raw": "01ab", "x": "NaN", "n": 2**100}}
TX = {"slot": 1, "meta": {"err": None, "logMessages": ["Program X invoke [1]", LINE, "Program X success"]}}


def run(*args, stdin=""):
    return subprocess.run([sys.executable, "-m", "brisquel", *map(str, args)], input=stdin,
                          capture_output=True, text=True, timeout=60)


@pytest.fixture
def idl_file(tmp_path):
    path = tmp_path / "idl.json"
    path.write_text(json.dumps(IDL))
    return path


@pytest.mark.parametrize("logs, events", [
    ("Program X invoke [1]\n" + LINE + "\r\n\n" + LINE, 2),
    (json.dumps([LINE, "Program log: hi", LINE]), 2),
    (json.dumps(TX), 1),
    (json.dumps({"jsonrpc": "2.0", "id": 1, "result": TX}), 1),
    (json.dumps({"jsonrpc": "2.0", "id": 1, "result": None}), 0),
    (json.dumps([TX, {"meta": None}, TX]), 2),
    (json.dumps(TX) + "\n" + json.dumps({"result": TX}) + "\n", 2),          # JSON lines
    (json.dumps({"transactions": [TX, TX]}), 2),                              # a block
    ("  \n" + json.dumps([LINE, "\ud800"], ensure_ascii=True), 1),           # a lone surrogate escape
    ("", 0),
])
def test_input_forms(idl_file, tmp_path, logs, events):
    path = tmp_path / "logs"
    path.write_text(logs, encoding="utf-8", errors="surrogatepass")
    for result in (run(idl_file, path), run(idl_file, "-", stdin=logs.encode("utf-8", "replace").decode())):
        assert result.returncode == 0, result.stderr
        assert [json.loads(line) for line in result.stdout.splitlines()] == [EVENT] * events


@pytest.mark.parametrize("logs, message", [
    ("[1, 2", "line 1, column 1: the text ends inside this value (cut short?)"),
    ('{"id": 1}', "line 1, column 1: a JSON-RPC response without `result` or `error`"),
    ('{"error": {"code": -32602, "message": "Invalid params"}}', "line 1, column 11: RPC error -32602: Invalid params"),
    ('{"meta": {"logMessages": "x"}}', "line 1, column 26: `meta.logMessages`: expected an array, found a string"),
    ("[1]", "line 1, column 2: `(array element)`: expected a log line (a string), an array of them or an object, "
             "found a number 1"),
    ('{"result": null}\n[1]', "line 2, column 2: `(array element)`: expected a log line"),
])
def test_bad_input_is_one_line(idl_file, logs, message):
    result = run(idl_file, "-", stdin=logs)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert result.stderr.startswith(f"brisquel: <stdin>: {message}"), result.stderr
    assert result.stderr.count("\n") == 1


def test_bad_files(tmp_path, idl_file):
    bad = tmp_path / "bad.json"
    bad.write_text("{")
    for args, message in [((tmp_path / "none.json",), "cannot read IDL file"),
                          ((bad,), "failed to parse IDL: EOF while parsing an object at line 1 column 1"),
                          ((idl_file, tmp_path / "none.txt"), "cannot read log file")]:
        result = run(*args)
        assert result.returncode == 1 and message in result.stderr and "Traceback" not in result.stderr


LEGACY = {"version": "0.1.0", "name": "old", "instructions": [],
          "events": [{"name": "Ping", "fields": [{"name": "someValue", "type": "u8", "index": False}]}]}


def test_program_id_option_for_legacy_idls(tmp_path):
    path = tmp_path / "legacy.json"
    path.write_text(json.dumps(LEGACY))
    line = borsh.log_line(borsh.discriminator("Ping") + b"\x2a")
    assert "Program id missing" in run(path, "-", stdin=line).stderr
    result = run(path, "-", "--program-id", "11111111111111111111111111111111", stdin=line)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {"event": "Ping", "fields": {"some_value": 42}}


ADDR = "Prog1111111111111111111111111111111111111111"


@pytest.mark.parametrize("document, address", [
    (LEGACY, ADDR),
    ({**LEGACY, "metadata": None}, ADDR),
    ({**LEGACY, "metadata": {"origin": "x"}}, ADDR),
    ({**LEGACY, "metadata": {"address": None}}, ADDR),
    ({**LEGACY, "metadata": {"address": "Other"}}, "Other"),
    ({**LEGACY, "metadata": "text"}, None),
    ({**LEGACY, "metadata": {"spec": "0.1.0"}}, None),
    ([1, 2], None),
])
def test_with_program_address(document, address):
    text = json.dumps(document)
    out = with_program_address(text, ADDR)
    if address is None:
        assert out == text
    else:
        assert json.loads(out)["metadata"]["address"] == address
        assert {k: v for k, v in json.loads(out).items() if k != "metadata"} == \
            {k: v for k, v in document.items() if k != "metadata"}
    assert with_program_address("{not json", ADDR) == "{not json"
    assert with_program_address('{"x": NaN}', ADDR) == '{"x": NaN}'


def test_demo_files_decode():
    result = run(REPO / "examples" / "events_idl.json", REPO / "examples" / "logs.txt")
    assert result.returncode == 0, result.stderr
    events = [json.loads(line)["event"] for line in result.stdout.splitlines()]
    assert events == ["SwapExecuted"] * 3 + ["LiquidityChanged"] * 2 + ["ProposalPosted", "OracleUpdated"]


def test_tx_names_the_file_that_fails(tmp_path, idl_file):
    (copy := tmp_path / "copy.json").write_text(idl_file.read_text())
    (bad := tmp_path / "bad.json").write_text("{")
    (legacy := tmp_path / "legacy.json").write_text(json.dumps(LEGACY))
    (txs := tmp_path / "txs.jsonl").write_text(json.dumps(encode(Tx([]))) + "\nnope\n")
    for args, message in [
        ((idl_file, bad, "-"), f"{bad}: failed to parse IDL: EOF while parsing an object"),
        ((idl_file, legacy, "-"), f"{legacy}: the IDL names no program address"),
        ((idl_file, copy, "-"), f"{idl_file} and {copy} are both for program 11111111111111111111111111111111"),
        ((idl_file, txs), f"{txs}: line 2, column 1: invalid JSON"),
    ]:
        result = run("tx", *args)
        assert result.returncode == 1 and result.stderr.startswith(f"brisquel: {message}"), result.stderr
        assert result.stderr.count("\n") == 1


@pytest.mark.parametrize("seed", range(3))
def test_tx_calls_prints_each_transactions_events_then_its_calls(tmp_path, seed):
    from conftest import jsonable
    from test_calls import IDL_A, IDL_B, decoder, random_tx

    rng = random.Random(seed)
    txs = [encode(random_tx(rng)[0]) for _ in range(6)]
    for tx in txs:  # an event of A in each, so that both kinds interleave
        tx["meta"]["logMessages"][1:1] = [borsh.log_line(borsh.discriminator("Ev") + b"\x05")]
    idls = []
    for n, idl in enumerate((IDL_A, IDL_B)):
        idls.append(tmp_path / f"idl{n}.json")
        events = [{"name": "Ev", "discriminator": list(borsh.discriminator("Ev"))}] if n == 0 else []
        idls[-1].write_text(json.dumps({**idl, "events": events,
                                        "types": [*idl["types"], struct("Ev", [{"name": "n", "type": "u8"}])]}))
    (path := tmp_path / "txs.jsonl").write_text("".join(json.dumps(t) + "\n" for t in txs))
    result = run("tx", *idls, path, "--calls", "--include-failed")
    assert result.returncode == 0, result.stderr
    got = [json.loads(line) for line in result.stdout.splitlines()]
    d = TransactionDecoder([p.read_text() for p in idls])
    calls = d.calls(txs, include_failed=True)
    assert calls == decoder().calls(txs, include_failed=True)
    assert [(o["tx"], o["name"], o["args"], o["accounts"], o["error"]) for o in got if o["kind"] == "call"] == [
        (c.tx, c.name, jsonable(c.args), c.accounts, c.error and c.error._asdict()) for c in calls]
    assert [(o["tx"], o["fields"]) for o in got if o["kind"] == "event"] == [
        (e.tx, e.fields) for e in d.decode(txs, include_failed=True)]
    assert [o["tx"] for o in got] == sorted(o["tx"] for o in got)
    assert not any(a["tx"] == b["tx"] and (a["kind"], b["kind"]) == ("call", "event") for a, b in zip(got, got[1:]))
    assert {o["kind"] for o in got} == {"event", "call"}
    plain = run("tx", *idls, path)
    assert all("kind" not in json.loads(line) for line in plain.stdout.splitlines())


# --- what a run says it read and left out, and errors that point the right way ---

P = key("program p")
BODY = borsh.encode_event(IDL, "Ping", {"raw": b"\x01", "x": 1.5, "n": 7})
SHORT, CUT = BODY[:-16], BODY[:-3]  # an older version, without `n`; a body cut inside `n`


def _txs():
    return [Tx([Call(P, [("log", BODY)])]), Tx([Call(key("other"), [])]), Tx([Call(P, [("log", SHORT)])]),
            Tx([Call(P, [("log", CUT)])]), Tx([Call(P, [], data=b"\x07", fails=True)])]


@pytest.mark.parametrize("command, short_events, printed, stderr", [
    ("tx", "null", 2, ["read 5 transactions, printed 2 events",
                       "left out 1 failed transaction calling the IDLs' programs; --include-failed prints them",
                       f"no event or call of the IDLs' programs ({P}) decoded in 2 transactions",
                       "could not decode 1 event body (TransactionDecoder.decode_tables lists them with the reasons)"]),
    ("tx", "skip", 1, ["read 5 transactions, printed 1 event",
                       "left out 1 failed transaction calling the IDLs' programs; --include-failed prints them",
                       f"no event or call of the IDLs' programs ({P}) decoded in 3 transactions",
                       "skipped 1 event body that ended early (older, shorter versions of their event); "
                       "--short-events null decodes them",
                       "could not decode 1 event body (TransactionDecoder.decode_tables lists them with the reasons)"]),
    ("plain", "null", 2, ["read 18 log lines, printed 2 events",
                          "could not decode 1 event body (TableDecoder.decode lists them with the reasons)"]),
    ("plain", "skip", 1, ["read 18 log lines, printed 1 event",
                          "skipped 1 event body that ended early (older, shorter versions of their event); "
                          "--short-events null decodes them",
                          "could not decode 1 event body (TableDecoder.decode lists them with the reasons)"]),
])
def test_runs_say_what_they_read_and_left_out(tmp_path, command, short_events, printed, stderr):
    idl = {**IDL, "address": P, "instructions": [{"name": "go", "discriminator": [7], "accounts": [], "args": []}]}
    (idl_path := tmp_path / "idl.json").write_text(json.dumps(idl))
    (txs := tmp_path / "txs.jsonl").write_text("".join(json.dumps(encode(t)) + "\n" for t in _txs()))
    # The plain form reads the lines of every transaction, the failed one's too.
    result = run(*(["tx"] if command == "tx" else []), idl_path, txs, "--short-events", short_events)
    assert result.returncode == 0 and len(result.stdout.splitlines()) == printed
    assert result.stderr.splitlines() == [f"brisquel: {line}" for line in stderr]


def test_old_event_versions_decode_alike_in_every_form(tmp_path, idl_file):
    lines = [borsh.log_line(b) for b in (BODY, SHORT, CUT)]
    (logs := tmp_path / "logs.txt").write_text("\n".join(lines))
    old = {"raw": "01", "x": 1.5, "n": None}
    for form in ([], ["--short-events", "null"]):
        printed = [json.loads(line) for line in run(idl_file, logs, *form).stdout.splitlines()]
        assert [e["fields"] for e in printed] == [{"raw": "01", "x": 1.5, "n": 7}, old]
    assert TableDecoder(json.dumps(IDL)).parse_logs(lines) == [("Ping", {"raw": b"\x01", "x": 1.5, "n": 7}),
                                                              ("Ping", {"raw": b"\x01", "x": 1.5, "n": None})]
    assert len(EventDecoder(json.dumps(IDL)).parse_logs(lines)) == 1  # whole bodies only, as ever


@pytest.mark.parametrize("command", ["tx", "plain"])
def test_input_cut_on_its_last_line_prints_what_came_before(tmp_path, command):
    idl = {**IDL, "address": P}
    (idl_path := tmp_path / "idl.json").write_text(json.dumps(idl))
    text = "".join(json.dumps(encode(Tx([Call(P, [("log", BODY)])]))) + "\n" for _ in range(9))
    (cut := tmp_path / "cut.jsonl").write_text(text + json.dumps(encode(Tx([])))[:40])
    result = run(*(["tx"] if command == "tx" else []), idl_path, cut)
    assert result.returncode == 1 and len(result.stdout.splitlines()) == 9
    reason = "the text ends inside this value (cut short?)"
    assert result.stderr.startswith(f"brisquel: {cut}: line 10, column ") and reason in result.stderr
    assert result.stderr.count("\n") == 1


CODAMA = {"kind": "rootNode", "standard": "codama", "version": "1.0.0", "program": {"name": "token"}}


def test_errors_point_the_right_way(tmp_path, idl_file):
    (codama := tmp_path / "codama.json").write_text(json.dumps(CODAMA))
    (text := tmp_path / "notes.txt").write_text("not an IDL\n")
    (txs := tmp_path / "txs.json").write_text(json.dumps({"jsonrpc": "2.0", "id": 1, "result": encode(Tx([]))}))
    (blob := tmp_path / "account.bin").write_bytes(bytes(range(256)) * 4)
    (legacy := tmp_path / "legacy.json").write_text(json.dumps(LEGACY))
    for args, status, message in [
        (["txs", idl_file, txs], 2, "'txs' is neither a command nor an IDL file; did you mean 'tx'?"),
        (["tx", codama, txs], 1, f"{codama}: failed to read Codama document: missing field `kind` at program"),
        ([codama, "-"], 1, f"{codama}: a Codama document, which describes no events"),
        (["tx", text, txs], 1, f"{text}: not an IDL: the text is not JSON (failed to parse IDL: "),
        (["tx", idl_file, txs, txs], 1, f"{txs} is not an IDL but transactions or accounts (RPC JSON): the IDL "
                                        "files come first, then one input (the last path)"),
        (["accounts", idl_file, blob], 1, f"{blob}: binary data, not JSON text"),
        (["tx", legacy, txs], 1, f"{legacy}: the IDL names no program address"),
        (["tx", legacy, txs, "--address", f"new={ADDR}"], 1, f"--address new={ADDR}: no IDL is for 'new'; "
                                                             f"the IDLs: {legacy} (old)"),
        (["tx", legacy, idl_file, txs, "--address", ADDR], 1, f"--address {ADDR}: say which IDL it is for"),
        (["accounts", legacy, txs, "--address", "old=notbase58"], 1,
         "--address old=notbase58: 'notbase58' is not a program address (base58 text of 32 bytes)"),
    ]:
        result = run(*args)
        assert (result.returncode, result.stderr.count("\n")) == (status, 1), (args, result.stderr)
        assert result.stderr.startswith(f"brisquel: {message}"), (args, result.stderr)


def test_address_option_and_version(tmp_path):
    (legacy := tmp_path / "legacy.json").write_text(json.dumps(LEGACY))
    address = key("old program")
    tx = encode(Tx([Call(address, [("log", borsh.discriminator("Ping") + b"\x2a")])]))
    for option in (["--address", f"old={address}"], ["--address", f"{legacy}={address}"], ["--program-id", address]):
        result = run("tx", legacy, "-", *option, stdin=json.dumps(tx))
        assert result.returncode == 0, result.stderr
        assert [(e["program"], e["fields"]) for e in map(json.loads, result.stdout.splitlines())] == [
            (address, {"some_value": 42})]
    import tomllib

    version = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["version"]
    assert brisquel.__version__ == version
    assert run("--version").stdout == f"brisquel {version}\n"
