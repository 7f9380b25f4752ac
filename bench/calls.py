"""Instruction calls: TransactionDecoder.call_tables from JSON lines against the
Anchor TypeScript client's instruction coder (decode, then format with the
accounts) on the same instructions, per IDL, on the real transactions beside
the repository cycled; and events with calls against events alone. Ratios are
measured in one run. Run by run.py; alone: python3 bench/calls.py [TRANSACTIONS].

The client is handed each call's data (base64) and accounts, taken from the
transactions where brisquel's own reading found the calls; reading the JSON
and decoding base58 is not timed for it, while brisquel reads the JSON itself.
"""

from __future__ import annotations

import base64
import json
import sys
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import anchor_client  # noqa: E402
import timing  # noqa: E402
import transactions  # noqa: E402
from encoder import REPO, borsh  # noqa: E402

from brisquel import TransactionDecoder  # noqa: E402

TARGET_CLIENT = 5.0   # calls per second, against the client's coder
TARGET_CLIENT_FROM_JSON = 7.7  # against the client from the same JSON: the lowest per program so far
TARGET_TOGETHER = 1.3  # events and calls, against events alone: at most
TARGET_DOM = 2.5  # call_tables from JSON lines, against simdjson's DOM parse of the same text: at most


def _keys(tx: dict[str, Any]) -> list[str]:
    message = tx["transaction"]["message"]
    keys = [k["pubkey"] if isinstance(k, dict) else k for k in message["accountKeys"]]
    loaded = (tx.get("meta") or {}).get("loadedAddresses") or {}
    if not any(isinstance(k, dict) for k in message["accountKeys"]):  # jsonParsed lists the loaded ones inline
        keys += loaded.get("writable", []) + loaded.get("readonly", [])
    return keys


def _instruction(tx: dict[str, Any], outer: int, inner: int | None) -> dict[str, Any]:
    if inner is None:
        return tx["transaction"]["message"]["instructions"][outer]
    group = next(g for g in tx["meta"]["innerInstructions"] if g["index"] == outer)
    return group["instructions"][inner]


def items(decoder: TransactionDecoder, objects: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Each call brisquel finds: its data as base64 and its accounts' addresses."""
    out = []
    for call in decoder.calls(objects, include_failed=True):
        tx = objects[call.tx]
        ix = _instruction(tx, call.instruction, call.inner)
        keys = _keys(tx)
        accounts = [a if isinstance(a, str) else keys[a] for a in ix.get("accounts", [])]
        out.append({"data": base64.b64encode(borsh.b58decode(ix["data"])).decode(), "accounts": accounts})
    return out


def run(count: int, runs: int) -> dict[str, Any]:
    real = transactions.real_sample(count)
    if real is None:
        print("\ninstruction calls: no real transactions beside the repository; left out")
        return {}
    objects, idls = real
    jsonl = "\n".join(json.dumps(o) for o in objects).encode()
    out: dict[str, Any] = {"transactions": count, "per_idl": {}}
    print(f"\n{'instruction calls (' + format(count, ',') + ' real transactions, cycled)':<44} "
          f"{'calls':>8} {'calls/s (k)':>12} {'client (k)':>11} {'x client':>9} {'x DOM':>7} {'x whole':>9}")
    print("  (client: its decode and format handed ready-made bytes; whole: the client from the same JSON lines, "
          "JSON.parse, keys, base58, decode and format)")
    missing = False
    try:  # the floor: simdjson's DOM parse of the same JSON lines (a test-hook build has it)
        from brisquel._brisquel_testing import dom_parse_lines as dom_parse
    except ImportError:
        dom_parse = None
        print("  (brisquel._brisquel_testing is not installed: the simdjson DOM floor is left out)")
    for idl in idls:
        decoder = TransactionDecoder([idl])
        program = decoder.programs[0]
        mine = [o for o in objects if program in json.dumps(o["transaction"]["message"])]
        if not mine:
            continue
        text = "\n".join(json.dumps(o) for o in mine).encode()
        calls = sum(len(t) for t in decoder.call_tables(text, include_failed=True).values())
        if not calls:
            continue
        candidates = {"brisquel": lambda: decoder.call_tables(text, include_failed=True)}
        if dom_parse is not None:
            candidates["DOM"] = lambda: dom_parse(text)
        t = timing.interleaved(candidates, runs=runs)
        rate = calls / (t.median("brisquel") / 1e9)
        name = json.loads(idl).get("metadata", {}).get("name", program[:8])
        client = anchor_client.rate("instructions", idl, items(decoder, mine), 2.0)
        whole = anchor_client.rate("calls-from-json", idl, text, 2.0)
        row: dict[str, Any] = {"calls": calls, "calls_per_s": rate}
        if whole is not None and whole["decoded"]:
            row["x_client_from_json"] = rate / (whole["per_second"] * whole["decoded"] / whole["items"])
        if dom_parse is not None:
            row["x_dom"] = t.ratio("brisquel", "DOM")
        if client is not None and client["decoded"]:
            row["client_per_s"] = client["per_second"] * client["decoded"] / client["items"]
            row["client_failed"] = client["failed"]
            row["x_client"] = rate / row["client_per_s"]
        missing |= client is None
        out["per_idl"][name] = row
        shown = (f"{row['client_per_s'] / 1e3:>11.1f} {row['x_client']:>9.2f}" if "x_client" in row
                 else f"{'-':>11} {'-':>9}")
        dom = f"{row['x_dom']:>7.2f}" if "x_dom" in row else f"{'-':>7}"
        whole_x = f"{row['x_client_from_json']:>9.2f}" if "x_client_from_json" in row else f"{'-':>9}"
        print(f"{name:<44} {calls:>8,} {rate / 1e3:>12.1f} {shown} {dom} {whole_x}", flush=True)
    if missing:
        print("  (node or the Anchor TypeScript client is not installed: bench/anchor_ts/install; "
              "the comparison is left out)")

    decoder = TransactionDecoder(idls)
    t = timing.interleaved({
        "events": lambda: decoder.decode_tables(jsonl),
        "events and calls": lambda: decoder.all_tables(jsonl),
        "events, then calls": lambda: (decoder.decode_tables(jsonl), decoder.call_tables(jsonl)),
    }, runs=runs)
    out["together_over_events"] = t.ratio("events and calls", "events")
    out["apart_over_events"] = t.ratio("events, then calls", "events")
    print(f"{'events and calls (all_tables) / events alone':<44} {out['together_over_events']:>8.2f}")
    print(f"{'decode_tables + call_tables / events alone':<44} {out['apart_over_events']:>8.2f}")
    return out


def verdicts(report: dict[str, Any]) -> list[dict[str, Any]]:
    out = []
    for name, row in report.get("per_idl", {}).items():
        if "x_client_from_json" in row:
            out.append({"target": f"calls ({name}): JSON lines to tables >= {TARGET_CLIENT_FROM_JSON}x the Anchor "
                                  "TypeScript client from the same JSON lines", "value": row["x_client_from_json"],
                        "met": row["x_client_from_json"] >= TARGET_CLIENT_FROM_JSON})
        if "x_client" in row:
            out.append({"target": f"calls ({name}): JSON lines to tables >= {TARGET_CLIENT}x the Anchor TypeScript "
                                  "client's decode + format", "value": row["x_client"],
                        "met": row["x_client"] >= TARGET_CLIENT})
        if "x_dom" in row:
            out.append({"target": f"calls ({name}): call_tables from JSON lines <= {TARGET_DOM}x simdjson's DOM parse "
                                  "of the same text", "value": row["x_dom"], "met": row["x_dom"] <= TARGET_DOM})
    if "together_over_events" in report:
        value = report["together_over_events"]
        out.append({"target": f"events and calls <= {TARGET_TOGETHER}x events alone (real transactions)",
                    "value": value, "met": value <= TARGET_TOGETHER})
    return out


if __name__ == "__main__":
    result = run(int(sys.argv[1]) if len(sys.argv) > 1 else 20_000, 5)
    for v in verdicts(result):
        print(f"  {'met ' if v['met'] else 'MISS'}  {v['target']}: {v['value']:.2f}")
