"""AccountDecoder on a getProgramAccounts response (JSON text, base64 data) to
Arrow tables: accounts per second, against the Anchor TypeScript client's
BorshAccountsCoder.decode on the same accounts (handed ready-made bytes); two
threads against one are in threads.py. The accounts are the real ones beside the repository
(Borsh and zero-copy), cycled into a large response. Run by run.py; alone:
python3 bench/accounts.py [ACCOUNTS]."""

from __future__ import annotations

import base64
import json
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import anchor_client  # noqa: E402
import timing  # noqa: E402
from encoder import REPO  # noqa: E402

from brisquel import AccountDecoder  # noqa: E402

TARGET_TS = 10.0
SHARED = REPO.parent / "shared"
# (account file, IDL, owner): Borsh and zero-copy programs.
ACCOUNTS = [
    ("marginfi/bank_sample_1.json", "marginfi-current.json", "MFv2hWf31Z9kbCa1snEPYctwafyhdvnV7FZnsebVacA"),
    ("marginfi/marginfi_account_sample_1.json", "marginfi-current.json",
     "MFv2hWf31Z9kbCa1snEPYctwafyhdvnV7FZnsebVacA"),
    ("meteora-dlmm/FJbEo74c2W4QLBBVUfUvi8VBWXtMdJVPuFpq2f6UV1iB.json", "meteora-dlmm-current.json",
     "LBUZKhRxPF3XUpBCjp4YzTKgLccjZhTSDM9YuVaPwxo"),
    ("meteora-dlmm/6ipV2Sn7GCVgKG3Doqz1MpM33hranTMqxDmShj8Ro8cx.json", "meteora-dlmm-current.json",
     "LBUZKhRxPF3XUpBCjp4YzTKgLccjZhTSDM9YuVaPwxo"),
    ("raydium-clmm/Ds33rQ1d4AXwxqyeXX6Pc3G4pFNr6iWb3dd8YfBBQMPr.bin", "raydium-clmm-current.json",
     "CAMMCzo5YL8w4VFF8KVHrK22GGUsp5VTaW7grrKgrWqK"),
    ("raydium-cpmm/D4FPEruKEHrG5TenZ2mpDGEfu1iUvTiqBxvpU8HLBvC2.json", "raydium-cpmm-current.json",
     "CPMMoo8L3F4NbTegBCKVNunggL7H1ZpdTHKxQB5qKP1C"),
    ("pump/finalized_current_layout_ffzxakv.json", "pump-current.json",
     "6EF8rrecthR5Dkzon8Nwu78hRvfCKubJ14M5uBEwF6P"),
]


def account_data(file: str) -> bytes:
    path = SHARED / "accounts" / file
    if path.suffix == ".bin":
        return path.read_bytes()
    value = json.loads(path.read_text())
    if "data_base64" in value.get("account", {}):
        return base64.b64decode(value["account"]["data_base64"])
    return base64.b64decode(value["account"]["data"][0])


def sample(count: int) -> tuple[list[dict[str, Any]], list[str], dict[str, list[str]]] | None:
    """`count` getProgramAccounts entries cycled from the real accounts, the IDL
    texts, and the base64 data of each IDL's accounts (for the TypeScript client)."""
    if not (SHARED / "accounts" / "SOURCES.md").exists():
        return None
    found = [(account_data(f), idl, owner) for f, idl, owner in ACCOUNTS]
    entries, per_idl = [], {}
    for i in range(count):
        data, idl, owner = found[i % len(found)]
        text = base64.b64encode(data).decode()
        entries.append({"pubkey": "11111111111111111111111111111111", "account": {
            "data": [text, "base64"], "owner": owner, "lamports": 1, "executable": False, "rentEpoch": 0}})
        per_idl.setdefault(idl, []).append(text)
    return entries, sorted(per_idl), per_idl


def anchor_ts_rate(per_idl: dict[str, list[str]]) -> float | None:
    """Accounts per second of BorshAccountsCoder.decode over all the accounts, or None without node."""
    if not anchor_client.installed():
        print("accounts: the Anchor TypeScript client is not installed (bench/anchor_ts/install): "
              "the comparison is left out")
        return None
    seconds, total = 0.0, 0
    for idl, texts in per_idl.items():
        result = anchor_client.rate("accounts", (SHARED / "idls" / idl).read_text(), [{"data": t} for t in texts], 2)
        if result is None:
            print("accounts: node could not run the Anchor TypeScript client: the comparison is left out")
            return None
        if result["failed"]:
            print(f"accounts: the TypeScript client failed {result['failed']} of {result['items']} "
                  f"{idl} accounts")
        seconds += len(texts) / result["per_second"]
        total += len(texts)
    return total / seconds


def run(count: int, runs: int) -> dict[str, Any]:
    found = sample(count)
    if found is None:
        print("\naccounts: no real accounts beside the repository: left out")
        return {}
    entries, idl_names, per_idl = found
    idls = [(SHARED / "idls" / name).read_text() for name in idl_names]
    owners = {idl: owner for _, idl, owner in ACCOUNTS}
    decoder = AccountDecoder(idls, addresses={i: owners[name] for i, name in enumerate(idl_names)})
    text = json.dumps({"jsonrpc": "2.0", "id": 1, "result": entries}).encode()
    counts = decoder.decode_tables(text).counts
    assert counts["decoded"] == count, counts

    t = timing.interleaved({
        "tables": lambda: decoder.decode_tables(text),
        "AccountStates": lambda: decoder.decode(text),
    }, runs=runs)
    out: dict[str, Any] = {"accounts": count, "bytes": len(text)}
    print(f"\n{'accounts (' + format(count, ',') + ', ' + format(len(text) >> 20, ',') + ' MB of JSON)':<44} "
          f"{'accounts/s (k)':>15}")
    for name in t.samples:
        rate = count / (t.median(name) / 1e9)
        out[name] = {"accounts_per_s": rate}
        print(f"{name:<44} {rate / 1e3:>15.1f}", flush=True)
    started = time.monotonic()
    ts = anchor_ts_rate(per_idl)
    if ts is not None:
        out["anchor_ts_per_s"] = ts
        out["x_anchor_ts"] = out["tables"]["accounts_per_s"] / ts
        print(f"{'Anchor TypeScript BorshAccountsCoder.decode':<44} {ts / 1e3:>15.1f}   "
              f"tables: {out['x_anchor_ts']:.1f}x ({time.monotonic() - started:.0f} s)")
    return out


def verdicts(report: dict[str, Any]) -> list[dict[str, Any]]:
    out = []
    if "x_anchor_ts" in report:
        out.append({"target": f"accounts: getProgramAccounts JSON to tables >= {TARGET_TS}x the Anchor TS client",
                    "value": report["x_anchor_ts"], "met": report["x_anchor_ts"] >= TARGET_TS})
    return out


if __name__ == "__main__":
    result = run(int(sys.argv[1]) if len(sys.argv) > 1 else 20_000, 5)
    for row in verdicts(result):
        print(f"  {'met ' if row['met'] else 'MISS'}  {row['target']}: {row['value']:.3f}")
