"""Transaction versions: version 1 (message first, a config instead of
compute-budget instructions) read in every form as versions 0 and legacy are,
checked against @solana/kit's own encoding; and a transaction that cannot be
read is an error row that leaves the others alone."""

from __future__ import annotations

import base64
import json
import random

import pytest

import borsh
import npm_peers
from arrow_reader import table
from test_calls import real  # noqa: F401  (fixture)
from test_calls import IDL_A, IDL_B, TRANSACTIONS, random_tx
from test_transactions import TRANSACTIONS
from transactions import as_v1, encode, v1_wire
from brisquel import TransactionDecoder

CONFIG_NAMES = ("priority_fee", "compute_unit_limit", "loaded_accounts_data_size_limit", "heap_size")


def kit_transactions(count: int, seed: int) -> list[dict]:
    out = npm_peers.run("v1_transactions.mjs", count, seed, package="@solana/kit")
    return [json.loads(line) for line in out.splitlines()]


def config_of(t: dict) -> dict:
    return {k: None if t["config"][k] is None else int(t["config"][k]) for k in CONFIG_NAMES}


def json_form(t: dict) -> dict:
    """The node's json encoding of a kit transaction."""
    message = {
        "header": dict(zip(("numRequiredSignatures", "numReadonlySignedAccounts", "numReadonlyUnsignedAccounts"),
                           t["header"])),
        "accountKeys": t["keys"], "recentBlockhash": t["blockhash"],
        "instructions": [{"programIdIndex": p, "accounts": a, "data": borsh.b58encode(bytes.fromhex(d)),
                          "stackHeight": 1} for p, a, d in t["instructions"]],
        "transactionConfig": {json_name: config_of(t)[name] for json_name, name in zip(
            ("priorityFee", "computeUnitLimit", "loadedAccountsDataSizeLimit", "heapSize"), CONFIG_NAMES)},
    }
    return {"version": 1, "meta": None, "transaction": {"signatures": t["signatures"], "message": message}}


def test_kit_encodings_read_back_in_every_form(hooks):
    kit = kit_transactions(150, 385)
    assert {len(t["instructions"]) for t in kit} >= {0, 64} and max(len(t["signatures"]) for t in kit) == 12
    for t in kit:
        wire = base64.b64decode(t["base64"])
        got = hooks.parse_wire(wire)
        assert not isinstance(got, str), got
        assert got["version"] == 1 and got["lookups"] == 0
        assert list(got["header"]) == t["header"]
        assert [borsh.b58encode(k) for k in got["keys"]] == t["keys"]
        assert borsh.b58encode(got["blockhash"]) == t["blockhash"]
        assert [borsh.b58encode(s) for s in got["signatures"]] == t["signatures"]
        assert [(p, list(a), d.hex()) for p, a, d in got["instructions"]] == [tuple(i) for i in t["instructions"]]
        assert got["config"] == config_of(t)
    # Through the transaction reader, as a node sends them: base64, base58 and json.
    forms = {
        "base64": [{"version": 1, "meta": None, "transaction": [t["base64"], "base64"]} for t in kit],
        "base58": [{"version": 1, "meta": None, "transaction": [t["base58"], "base58"]} for t in kit],
        "json": [json_form(t) for t in kit],
    }
    for form, objects in forms.items():
        read = hooks.read_transactions("\n".join(json.dumps(o) for o in objects))
        assert len(read) == len(kit)
        for t, r in zip(kit, read):
            assert r["problem"] is None, (form, r["problem"])
            assert (r["version"], r["signature"], r["keys"]) == (1, t["signatures"][0], t["keys"]), form
            assert r["config"] == config_of(t)
            assert r["outer"] == [(t["keys"][p], [t["keys"][i] for i in a], bytes.fromhex(d))
                                  for p, a, d in t["instructions"]], form


@pytest.mark.skipif(not (TRANSACTIONS / "SOURCES.md").exists(), reason="no real transactions beside the repository")
def test_real_transactions_as_version_1_give_the_same_events_and_calls(real):  # noqa: F811
    d, _, txs = real
    pairs = [(tx, as_v1(tx)) for _, tx in txs if "transaction" in tx and isinstance(tx["transaction"], dict)]
    pairs = [(tx, v1) for tx, v1 in pairs if v1 is not None]
    assert len(pairs) >= 15
    original, v1 = [tx for tx, _ in pairs], [v for _, v in pairs]
    assert d.decode(v1, include_failed=True) == d.decode(original, include_failed=True)
    assert d.calls(v1, include_failed=True) == d.calls(original, include_failed=True)
    events = d.decode_tables(json.dumps(v1), include_failed=True)
    assert len(table(events.errors)) == len(table(d.decode_tables(original, include_failed=True).errors))


def damaged(rng: random.Random, wire: bytes) -> bytes:
    """Version 1 bytes cut, forged or flipped the ways a bad writer or a bad disk would."""
    b = bytearray(wire)
    how = rng.randrange(7)
    if how == 0:
        return bytes(b[: rng.randrange(len(b))])
    if how == 1:
        b[rng.choice((40, 41))] = rng.randrange(256)  # the instruction or key count
    elif how == 2:
        b[4 + rng.randrange(4)] |= 1 << rng.randrange(8)  # the config mask
    elif how == 3:
        b[0] = rng.choice((0x80, 0x82, 0xFF))  # the version
    elif how == 4:
        b += bytes(rng.randrange(1, 70))
    else:
        for _ in range(rng.randint(1, 4)):
            b[rng.randrange(len(b))] = rng.randrange(256)
    return bytes(b)


@pytest.mark.parametrize("seed", range(6))
def test_a_transaction_that_cannot_be_read_is_an_error_row_and_the_rest_decode(seed):
    rng = random.Random(seed)
    d = TransactionDecoder([json.dumps(IDL_A), json.dumps(IDL_B)])
    good = [encode(random_tx(rng)[0], "v1") for _ in range(12)]
    texts = []
    for tx in good:
        wire = base64.b64decode(tx["transaction"][0])
        bad = {**tx, "transaction": [base64.b64encode(damaged(rng, wire)).decode(), "base64"]}
        texts += [json.dumps(tx), json.dumps(bad)]
    text = "\n".join(texts)
    clean = d.calls(good, include_failed=True)
    calls = d.calls(text, include_failed=True)
    # The good ones, at even places, give what they give alone.
    assert [c._replace(tx=c.tx // 2) for c in calls if c.tx % 2 == 0] == clean
    problems = [c for c in calls if c.problem is not None and c.program is None]
    for c in problems:
        assert c.tx % 2 == 1 and c.instruction is None and c.name is None and c.args is None
        assert c.problem.startswith(("version 1 transaction: ", "transaction version ", "version 0 transaction: "
                                     "its first byte (0x80)", "legacy or version 0 ")), c
    call_errors = table(d.call_tables(text, include_failed=True).errors).to_pylist()
    event_errors = table(d.decode_tables(text, include_failed=True).errors).to_pylist()
    unreadable = [(c.tx, c.problem) for c in problems]
    assert [(r["_tx"], r["message"]) for r in call_errors if r["program"] is None] == unreadable
    assert [(r["_tx"], r["message"]) for r in event_errors if r["program"] is None] == unreadable
    assert all(r["_source"] is None and r["event"] is None for r in event_errors if r["program"] is None)
    assert d.count(text) == len(texts)


def test_unknown_versions_and_the_config_of_json_transactions(hooks):
    tx = encode(random_tx(random.Random(1))[0], "json")
    lines = [{**tx, "version": 2}, {**tx, "version": "v2"}, tx,
             {**tx, "version": 1, "transaction": {**tx["transaction"], "message": {
                 **tx["transaction"]["message"], "transactionConfig": {"priorityFee": 7, "computeUnitLimit": None}}}}]
    read = hooks.read_transactions("\n".join(json.dumps(t) for t in lines))
    assert [r["problem"] for r in read] == ["transaction version 2 is not supported",
                                           'transaction version "v2" is not supported', None, None]
    assert read[3]["version"] == 1 and read[3]["config"]["priority_fee"] == 7
    assert read[3]["config"]["compute_unit_limit"] is None and read[2]["version"] is None
    # Compute-budget instructions set nothing in the config; version 1's config does.
    wire = v1_wire(tx["transaction"]["message"], tx["transaction"]["signatures"], {"heap_size": 65536})
    assert hooks.parse_wire(wire)["config"] == {"priority_fee": None, "compute_unit_limit": None,
                                                "loaded_accounts_data_size_limit": None, "heap_size": 65536}


def test_the_tx_command_says_which_transactions_it_could_not_read(tmp_path):
    import subprocess
    import sys

    rng = random.Random(3)
    good = encode(random_tx(rng)[0], "v1")
    broken = {**good, "transaction": ["gQ==", "base64"]}
    (idl := tmp_path / "a.json").write_text(json.dumps(IDL_A))
    (path := tmp_path / "txs.jsonl").write_text(f"{json.dumps(good)}\n{json.dumps(broken)}\n")
    done = subprocess.run([sys.executable, "-m", "brisquel", "tx", idl, path, "--calls", "--include-failed"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert ("could not read 1 transaction (for example: version 1 transaction: transaction bytes end inside "
            "the message header (offset 1))") in done.stderr
    assert "could not decode" not in done.stderr
    printed = [json.loads(line) for line in done.stdout.splitlines()]
    assert [o["problem"] for o in printed if o["tx"] == 1] == [
        "version 1 transaction: transaction bytes end inside the message header (offset 1)"]
