"""TransactionDecoder against what a user writes today (json.loads of each
transaction, then parse_logs of its logs): transactions and events per
second from JSON lines text and from Python objects. Run by run.py; alone:
python3 bench/transactions.py [TRANSACTIONS]."""

from __future__ import annotations

import base64
import importlib.util
import json
import random
import sys
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synthetic  # noqa: E402
import timing  # noqa: E402
from encoder import REPO, borsh  # noqa: E402

from brisquel import EventDecoder, TransactionDecoder  # noqa: E402

TARGET_TEXT = 3.0

_spec = importlib.util.spec_from_file_location("transactions", REPO / "tests" / "transactions.py")
txs = importlib.util.module_from_spec(_spec)
sys.modules.setdefault("transactions", txs)
_spec.loader.exec_module(txs)


def sample(count: int, rng: random.Random) -> list[dict[str, Any]]:
    """`count` transactions of one program with the benchmark's events: an
    outer instruction that logs one event and emits one by self-CPI, a second
    that calls another program, and the usual text lines, in the json encoding."""
    program, other = txs.key("bench program"), txs.key("bench other")
    out = []
    for i in range(count):
        def event() -> bytes:
            name = rng.choice((synthetic.SWAP, synthetic.SMALL, synthetic.TEXT))
            return base64.b64decode(synthetic.event_line(name, rng).split(": ", 1)[1])

        tx = txs.Tx(calls=[
            txs.Call(program, [("text", "Program log: Instruction: Swap"), ("log", event()), ("cpi", event())]),
            txs.Call(other, [("text", "Program log: Instruction: Transfer")]),
        ], slot=300_000_000 + i)
        out.append(txs.encode(tx, "json"))
    return out


SHARED = REPO.parent / "shared"


def real_sample(count: int) -> tuple[list[dict[str, Any]], list[str]] | None:
    """The real mainnet transactions beside the repository (json and
    jsonParsed encodings, unwrapped), cycled to `count`, and the IDLs of the
    programs they hold."""
    sources = SHARED / "transactions" / "SOURCES.md"
    if not sources.exists():
        return None
    found = []
    for path in sorted((SHARED / "transactions").glob("*.json")):
        value = json.loads(path.read_text())
        for v in (value if isinstance(value, list) else [value]):
            v = v.get("result", v) if isinstance(v, dict) else v
            if isinstance(v, dict) and isinstance(v.get("transaction"), dict) and v.get("meta"):
                found.append(v)
    idls = [p.read_text() for p in sorted((SHARED / "idls").glob("*-current.json"))
            if json.loads(p.read_text()).get("address") in sources.read_text()]
    return [found[i % len(found)] for i in range(count)], idls


def run(count: int, runs: int) -> dict[str, Any]:
    idl = {**synthetic.IDL, "address": txs.key("bench program")}
    out = {"synthetic": run_one("synthetic", sample(count, random.Random(11)), [json.dumps(idl)], runs)}
    real = real_sample(count)
    if real is not None:
        out["real"] = run_one("real mainnet", real[0], real[1], runs)
        out["versions"] = run_versions(real[0], real[1], runs)
    return out


def run_versions(objects: list[dict[str, Any]], idls: list[str], runs: int) -> dict[str, Any]:
    """The same real transactions (those that load no addresses) in the wire
    format, as version 0 and as version 1, without their meta, so that reading
    the wire format is most of the work: read for calls, time per wire byte."""
    forms: dict[str, list[dict[str, Any]]] = {"version 0": [], "version 1": []}
    wire_bytes = {"version 0": 0, "version 1": 0}
    for o in objects:
        v1 = txs.as_v1(o)
        if v1 is None:
            continue
        message, signatures = o["transaction"]["message"], o["transaction"]["signatures"]
        v0 = txs.legacy_wire(message, signatures, v0=True)
        forms["version 0"].append({"slot": o.get("slot"), "meta": None, "version": 0,
                                   "transaction": [base64.b64encode(v0).decode(), "base64"]})
        forms["version 1"].append({"slot": o.get("slot"), "meta": None, "version": 1,
                                   "transaction": v1["transaction"]})
        wire_bytes["version 0"] += len(v0)
        wire_bytes["version 1"] += len(base64.b64decode(v1["transaction"][0]))
    decoder = TransactionDecoder(idls)
    texts = {k: "\n".join(json.dumps(o) for o in v).encode() for k, v in forms.items()}
    assert decoder.calls(texts["version 0"]) == decoder.calls(texts["version 1"])
    t = timing.interleaved({k: (lambda text=text: decoder.call_tables(text)) for k, text in texts.items()}, runs=runs)
    per_byte = {k: t.median(k) / wire_bytes[k] for k in texts}
    ratio = per_byte["version 1"] / per_byte["version 0"]
    print(f"\nwire transactions read for calls ({len(forms['version 0']):,} real ones without their meta)")
    for k in texts:
        print(f"{k:<44} {per_byte[k]:>9.2f} ns per wire byte ({wire_bytes[k] / len(forms[k]):,.0f} bytes each)")
    print(f"{'version 1 / version 0, per wire byte':<44} {ratio:>9.2f}")
    return {"transactions": len(forms["version 0"]), "ns_per_byte": per_byte, "v1_over_v0": ratio}


def run_one(label: str, objects: list[dict[str, Any]], idls: list[str], runs: int) -> dict[str, Any]:
    count = len(objects)
    jsonl = "\n".join(json.dumps(o) for o in objects).encode()
    decoder = TransactionDecoder(idls, short_events="null")
    parsers = [EventDecoder(text) for text in idls]

    def today():
        found = 0
        for line in jsonl.splitlines():
            logs = json.loads(line)["meta"]["logMessages"]
            for p in parsers:  # which program wrote a line is not known: every IDL is tried
                found += len(p.parse_logs(logs))
        return found

    counts = {"today": today(), "text rows": sum(len(t) for t in decoder.decode_tables(jsonl).values()),
              "text TxEvents": len(decoder.decode(jsonl)), "objects rows": sum(
                  len(t) for t in decoder.decode_tables(objects).values()), "objects TxEvents": len(decoder.decode(objects))}
    t = timing.interleaved({
        "today": today,
        "text rows": lambda: decoder.decode_tables(jsonl),
        "text TxEvents": lambda: decoder.decode(jsonl),
        "objects rows": lambda: decoder.decode_tables(objects),
        "objects TxEvents": lambda: decoder.decode(objects),
    }, runs=runs)
    print(f"\n{label + ' transactions (' + format(count, ',') + ', ' + format(len(jsonl) >> 20, ',') + ' MB)':<44} "
          f"{'tx/s (k)':>9} {'events/s (k)':>13} {'x today':>8}")
    out: dict[str, Any] = {"transactions": count, "bytes": len(jsonl)}
    for name in t.samples:
        seconds = t.median(name) / 1e9
        row = {"tx_per_s": count / seconds, "events_per_s": counts[name] / seconds, "events": counts[name],
               "x_today": t.ratio("today", name)}
        out[name] = row
        print(f"{name:<44} {row['tx_per_s'] / 1e3:>9.1f} {row['events_per_s'] / 1e3:>13.1f} {row['x_today']:>8.2f}",
              flush=True)
    return out


def verdicts(report: dict[str, Any]) -> list[dict[str, Any]]:
    out = [{"target": f"transactions ({key}): JSON lines to rows >= {TARGET_TEXT}x json.loads + parse_logs",
            "value": row["text rows"]["x_today"], "met": row["text rows"]["x_today"] >= TARGET_TEXT}
           for key, row in report.items() if key != "versions"]
    if "versions" in report:
        ratio = report["versions"]["v1_over_v0"]
        out.append({"target": "version 1 wire transactions cost per byte <= 1.0x version 0", "value": ratio,
                    "met": ratio <= 1.0})
    return out


if __name__ == "__main__":
    result = run(int(sys.argv[1]) if len(sys.argv) > 1 else 20_000, 5)
    print("(today: json.loads of each line, then parse_logs of its logs with each IDL; it cannot see self-CPI events)")
    for v in verdicts(result):
        print(f"  {'met ' if v['met'] else 'MISS'}  {v['target']}: {v['value']:.2f}")
