"""Programs described by Codama documents, against @codama/dynamic-parsers on
the same input, end to end on both sides, ratios measured in one run:

- calls: TransactionDecoder.call_tables over JSON lines of the real
  transactions beside the repository (cycled), with the six programs' own
  documents, against JSON.parse, base58, parseInstruction and formatting its
  values, per instruction of those programs;
- token accounts: AccountDecoder.decode_tables on a getProgramAccounts
  response (base64 data) of random token accounts, against JSON.parse,
  base64, parseAccountData and formatting.

Run by run.py; alone: python3 bench/codama.py [--transactions N] [--accounts N].
"""

from __future__ import annotations

import argparse
import base64
import json
import random
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import timing  # noqa: E402
from encoder import REPO, borsh  # noqa: E402

from brisquel import AccountDecoder, TransactionDecoder  # noqa: E402

TARGET = 10.0
SHARED = REPO.parent / "shared"
CODAMA = SHARED / "idls" / "codama"
PEERS = REPO / "build" / "npm-peers"
FILES = ["associated-token-account.json", "compute-budget.json", "memo.json", "system.json", "token-2022.json",
         "token.json"]
TOKEN = "TokenkegQfeZyiNwAJbNbGKPFXCWuBvf9Ss623VQ5DA"
PEER_SAMPLE = 200  # transactions the peer is timed on (accounts: ten times as many)


def real_transactions() -> list[dict[str, Any]]:
    """The JSON-encoded real transactions beside the repository."""
    sources = SHARED / "transactions" / "SOURCES.md"
    out = []
    for file, path in re.findall(r"^\| `([^`]+)` \| `([^`]+)` \|", sources.read_text(), re.M):
        obj = json.loads((SHARED / "transactions" / file).read_text())
        for index, name in re.findall(r"\[(\d+)\]|\.(\w+)", path):
            obj = obj[int(index)] if index else obj[name]
        if isinstance(obj.get("transaction"), dict):
            out.append(obj)
    return out


def token_accounts(count: int) -> bytes:
    """A getProgramAccounts response of `count` random token accounts."""
    rng = random.Random(27)
    key = lambda: rng.randbytes(32)  # noqa: E731
    option = lambda some, body: (1 if some else 0).to_bytes(4, "little") + (body if some else bytes(len(body)))  # noqa: E731
    entries = []
    for _ in range(count):
        data = (key() + key() + rng.getrandbits(64).to_bytes(8, "little") + option(rng.random() < 0.2, key())
                + bytes([1]) + option(rng.random() < 0.1, rng.getrandbits(40).to_bytes(8, "little"))
                + rng.getrandbits(30).to_bytes(8, "little") + option(rng.random() < 0.1, key()))
        assert len(data) == 165
        entries.append({"pubkey": borsh.b58encode(key()), "account": {
            "data": [base64.b64encode(data).decode(), "base64"], "owner": TOKEN, "lamports": 2039280,
            "executable": False, "rentEpoch": 0, "space": 165}})
    return json.dumps({"jsonrpc": "2.0", "id": 1, "result": entries}).encode()


def peer_rate(mode: str, input_text: bytes, documents: list[Path]) -> dict[str, Any] | None:
    """The peer's items per second, or None (and why) where it cannot run."""
    if shutil.which("node") is None or not (PEERS / "node_modules" / "@codama" / "dynamic-parsers").is_dir():
        print(f"codama: @codama/dynamic-parsers is not installed (scripts/npm-peers): the {mode} comparison is left out")
        return None
    script = PEERS / "codama_rate.mjs"  # ESM resolves packages from the script's folder
    shutil.copyfile(REPO / "bench" / "codama_rate.mjs", script)
    with tempfile.NamedTemporaryFile(suffix=".json") as f:
        f.write(input_text)
        f.flush()
        done = subprocess.run(["node", str(script), mode, f.name, *map(str, documents)], capture_output=True,
                              text=True, timeout=600)
    if done.returncode != 0:
        print(f"codama: the peer failed: {done.stderr[-500:]}")
        return None
    return json.loads(done.stdout)


def run(transactions: int, accounts: int, runs: int) -> dict[str, Any]:
    if not CODAMA.is_dir() or not (SHARED / "transactions" / "SOURCES.md").exists():
        print("\ncodama: no Codama documents or real transactions beside the repository: left out")
        return {}
    documents = [CODAMA / f for f in FILES]
    out: dict[str, Any] = {}

    real = real_transactions()
    lines = "\n".join(json.dumps(real[i % len(real)]) for i in range(transactions)).encode() + b"\n"
    decoder = TransactionDecoder([p.read_text() for p in documents])
    tables = decoder.call_tables(lines, include_failed=True)
    calls = sum(len(t) for t in tables.values()) + len(tables.errors)
    t = timing.interleaved({"call_tables": lambda: decoder.call_tables(lines, include_failed=True)}, runs=runs)
    rate = calls / (t.median("call_tables") / 1e9)
    out["calls"] = {"transactions": transactions, "calls": calls, "calls_per_s": rate}
    print(f"\n{'codama calls (' + format(transactions, ',') + ' transactions)':<44} {'calls/s (k)':>15}")
    print(f"{'call_tables, six programs':<44} {rate / 1e3:>15.1f}", flush=True)
    # The peer takes milliseconds an instruction: a sample of the same lines gives its rate.
    sample = "\n".join(json.dumps(real[i % len(real)]) for i in range(min(transactions, PEER_SAMPLE))).encode()
    peer = peer_rate("calls", sample, documents)
    if peer is not None:
        out["calls"]["peer_per_s"] = peer["per_second"]
        out["calls"]["x_peer"] = rate / peer["per_second"]
        print(f"{'@codama/dynamic-parsers parseInstruction':<44} {peer['per_second'] / 1e3:>15.1f}   "
              f"call_tables: {out['calls']['x_peer']:.1f}x (peer: {peer['items']:,} instructions a round, "
              f"{peer['decoded']:,} parsed, {peer['rounds']} rounds)")

    response = token_accounts(accounts)
    token = AccountDecoder([(CODAMA / "token.json").read_text()])
    counts = token.decode_tables(response).counts
    assert counts["decoded"] == accounts, counts
    t = timing.interleaved({"decode_tables": lambda: token.decode_tables(response)}, runs=runs)
    rate = accounts / (t.median("decode_tables") / 1e9)
    out["accounts"] = {"accounts": accounts, "accounts_per_s": rate}
    print(f"{'token accounts: decode_tables':<44} {rate / 1e3:>15.1f}", flush=True)
    peer = peer_rate("accounts", token_accounts(min(accounts, PEER_SAMPLE * 10)), [CODAMA / "token.json"])
    if peer is not None:
        out["accounts"]["peer_per_s"] = peer["per_second"]
        out["accounts"]["x_peer"] = rate / peer["per_second"]
        print(f"{'@codama/dynamic-parsers parseAccountData':<44} {peer['per_second'] / 1e3:>15.1f}   "
              f"decode_tables: {out['accounts']['x_peer']:.1f}x")
    return out


def verdicts(report: dict[str, Any]) -> list[dict[str, Any]]:
    out = []
    for part, what in (("calls", "calls from JSON lines"), ("accounts", "token accounts from getProgramAccounts")):
        if "x_peer" in report.get(part, {}):
            value = report[part]["x_peer"]
            out.append({"target": f"codama: {what} >= {TARGET}x @codama/dynamic-parsers", "value": value,
                        "met": value >= TARGET})
    return out


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--transactions", type=int, default=20_000)
    ap.add_argument("--accounts", type=int, default=20_000)
    ap.add_argument("--runs", type=int, default=5)
    a = ap.parse_args()
    report = run(a.transactions, a.accounts, a.runs)
    for row in verdicts(report):
        print(f"  {'met ' if row['met'] else 'MISS'}  {row['target']}: {row['value']:.3f}")
