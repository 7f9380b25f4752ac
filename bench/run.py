"""Benchmarks of EventDecoder: parse_logs per batch against the cost of building
the same Python objects (marshal) and against JSON and MessagePack peers,
construction against json.loads of the IDL text, and scaling of time and
memory with the batch size; then TableDecoder against parse_logs (tables.py)
two threads against one (threads.py),
TransactionDecoder against json.loads with parse_logs (transactions.py), its
instruction calls against the Anchor TypeScript client (calls.py), and AccountDecoder against
the same client (accounts.py). Figures are ratios measured in the same run on
the same input; bench/results/latest.json keeps them for comparing commits.

    python3 bench/run.py [--lines N] [--runs N] [--quick] [--no-real] [--no-scaling]
"""

from __future__ import annotations

import argparse
import json
import marshal
import platform
import random
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import baselines  # noqa: E402
import calls  # noqa: E402
import codama  # noqa: E402
import idl_values  # noqa: E402
import synthetic  # noqa: E402
import tables  # noqa: E402
import threads  # noqa: E402
import timing  # noqa: E402
import transactions  # noqa: E402
import accounts  # noqa: E402
from encoder import REPO, borsh  # noqa: E402

import brisquel  # noqa: E402
from brisquel import EventDecoder  # noqa: E402

SHARED_IDLS = REPO.parent / "shared" / "idls"
RESULTS = Path(__file__).resolve().parent / "results" / "latest.json"

# Targets: parse_logs against marshal.loads of its own output; a non-event
# line against an event line; construction against json.loads of the text.
TARGET_MARSHAL = 1.5
# The realistic batch, a transaction mix, has the stricter target.
TARGET_MIX_MARSHAL = 1.0
TARGET_NON_EVENT = 0.1
TARGET_CONSTRUCTION = 3.0


def per_line(ns: float, lines: int) -> float:
    return ns / lines if lines else 0.0


def bench_batch(label: str, decoder: EventDecoder, lines: list[str], runs: int,
                expected: int | None = None) -> dict[str, Any]:
    result = decoder.parse_logs(lines)
    if expected is not None and len(result) != expected:
        raise SystemExit(f"{label}: decoded {len(result)} events, expected {expected}")
    if marshal.loads(marshal.dumps(result)) != result:
        raise SystemExit(f"{label}: the result does not survive marshal")
    candidates = {"parse_logs": lambda: decoder.parse_logs(lines), **baselines.loaders(result)}
    del result
    t = timing.interleaved(candidates, runs=runs)
    n = len(lines)
    row = {
        "lines": n,
        "events": expected,
        "ns_per_line": {name: per_line(t.median(name), n) for name in candidates},
        "ratio": {name: t.ratio("parse_logs", name) for name in candidates if name != "parse_logs"},
        # Each round's ratio: how far the median can be trusted on a busy machine.
        "ratio_marshal_rounds": [p / m for p, m in zip(t.samples["parse_logs"], t.samples["marshal"], strict=True)],
    }
    ns = row["ns_per_line"]
    r = row["ratio"]
    print(f"{label:<34} {n:>9,} {ns['parse_logs']:>9.1f} {ns['marshal']:>9.1f} {ns['json']:>9.1f} "
          f"{ns['msgpack']:>9.1f} {r['marshal']:>7.2f} {r['json']:>7.2f} {r['msgpack']:>7.2f}", flush=True)
    return row


def mix_verdict(row: dict[str, Any]) -> dict[str, Any]:
    """The mix batch against its target: met only if every round's ratio is
    within it, missed only if none is; else too noisy to tell (met None)."""
    rounds = row["ratio_marshal_rounds"]
    low, high = min(rounds), max(rounds)
    met = True if high <= TARGET_MIX_MARSHAL else False if low > TARGET_MIX_MARSHAL else None
    spread = f"rounds {low:.3f}-{high:.3f} ({len(rounds)})"
    return {"target": f"(d) transaction mix: parse_logs <= {TARGET_MIX_MARSHAL}x marshal.loads",
            "value": row["ratio"]["marshal"], "met": met, "spread": spread,
            "note": spread + ("" if met is not None else ", too noisy")}


def print_batch_header() -> None:
    print(f"{'batch':<34} {'lines':>9} {'ns/line':>9} {'marshal':>9} {'json':>9} {'msgpack':>9} "
          f"{'x mar':>7} {'x json':>7} {'x mpk':>7}")


def synthetic_batches(decoder: EventDecoder, count: int, runs: int) -> dict[str, Any]:
    rng = random.Random(20240601)
    out: dict[str, Any] = {}
    for key, name in (("a_swap", synthetic.SWAP), ("b_small", synthetic.SMALL), ("c_text", synthetic.TEXT)):
        lines = synthetic.event_lines(name, count, rng)
        out[key] = bench_batch(f"({key[0]}) {name}", decoder, lines, runs, expected=count)
    mix, events = synthetic.transaction_lines(count, rng)
    out["d_mix"] = bench_batch("(d) transaction mix, 20% events", decoder, mix, runs, expected=events)
    v = mix_verdict(out["d_mix"])
    mark = {True: "PASS", False: "MISS", None: "too noisy"}[v["met"]]
    print(f"  {mark}  {v['target']}: {v['value']:.3f} (median), {v['spread']}", flush=True)
    other, event_lines = synthetic.split_transactions(mix)
    out["d_non_event_lines"] = bench_batch("(d) its non-event lines", decoder, other, runs, expected=0)
    out["d_event_lines"] = bench_batch("(d) its event lines", decoder, event_lines, runs, expected=events)
    return out


def idl_text(path: Path) -> str:
    """The IDL's text; a legacy one without a program address gets one."""
    return brisquel.with_program_address(path.read_text(), "11111111111111111111111111111111")


def real_idl_pool(path: Path, count: int, rng: random.Random) -> tuple[EventDecoder, list[str], list[str]]:
    """The decoder of `path`, `count` distinct lines cycling over the events the
    generator can produce and the decoder reads back (an event whose name is
    declared twice decodes by the last struct of that name), and the skipped
    events."""
    text = idl_text(path)
    idl = json.loads(text)
    decoder = EventDecoder(text)
    types = borsh.type_table(idl)
    usable, skipped = [], []
    for event in idl.get("events") or []:
        try:
            sample = [idl_values.event_line(idl, types, event, rng) for _ in range(3)]
        except idl_values.Unsupported:
            skipped.append(event["name"])
            continue
        if len(decoder.parse_logs(sample)) != len(sample):
            skipped.append(event["name"])
            continue
        usable.append(event)
    lines = []
    for i in range(count if usable else 0):
        lines.append(idl_values.event_line(idl, types, usable[i % len(usable)], rng))
    return decoder, lines, skipped


def real_idl_batches(count: int, pool: int, runs: int) -> dict[str, Any]:
    out: dict[str, Any] = {}
    if not SHARED_IDLS.is_dir():
        print(f"(e) skipped: no IDLs at {SHARED_IDLS}")
        return out
    for path in sorted(SHARED_IDLS.glob("*.json")):
        rng = random.Random(path.stem)
        decoder, lines, skipped = real_idl_pool(path, min(pool, count), rng)
        if not lines:
            print(f"(e) {path.stem}: no event the generator can produce; skipped")
            continue
        row = bench_batch(f"(e) {path.stem}", decoder, synthetic.repeat_to(lines, count), runs, expected=count)
        row["distinct_lines"] = len(lines)
        row["skipped_events"] = skipped
        out[path.stem] = row
    skipped_any = {k: r["skipped_events"] for k, r in out.items() if r["skipped_events"]}
    for key, names in skipped_any.items():
        print(f"    {key}: skipped {len(names)} event(s) that cannot be generated or decode by another "
              f"layout (generics, unknown types, a name declared twice): {', '.join(names)}")
    return out


def construction(runs: int) -> dict[str, Any]:
    out: dict[str, Any] = {}
    if not SHARED_IDLS.is_dir():
        return out
    paths = sorted(SHARED_IDLS.glob("*.json"), key=lambda p: p.stat().st_size, reverse=True)
    print(f"\n{'construction':<34} {'bytes':>9} {'us':>9} {'json us':>9} {'x json':>7}")
    for i, path in enumerate(paths):
        text = idl_text(path)
        t = timing.interleaved({"EventDecoder": lambda: EventDecoder(text), "json": lambda: json.loads(text)},
                               runs=max(runs, 15), warmup=2)
        row = {
            "bytes": len(text.encode()),
            "us": {name: t.median(name) / 1000 for name in ("EventDecoder", "json")},
            "ratio_json": t.ratio("EventDecoder", "json"),
            "largest": i == 0,
        }
        out[path.stem] = row
        print(f"{path.stem:<34} {row['bytes']:>9,} {row['us']['EventDecoder']:>9.0f} {row['us']['json']:>9.0f} "
              f"{row['ratio_json']:>7.2f}{'  (largest)' if i == 0 else ''}", flush=True)
    return out


def scaling(decoder: EventDecoder, base: dict[str, list[str]], largest: int, runs: int) -> dict[str, Any]:
    """ns per line from 1,000 lines up to `largest`, and the memory of the
    largest batch against the memory its result keeps."""
    out: dict[str, Any] = {}
    sizes = [n for n in (1_000, 10_000, 100_000, 1_000_000, 10_000_000) if n <= largest]
    # Small batches are repeated so that every sample does about as much work
    # and keeps as many objects alive; marshal.loads of the same results shows
    # what the memory system alone adds as batches grow.
    print(f"\n{'scaling (ns/line)':<34} " + " ".join(f"{n:>11,}" for n in sizes) + f" {'max/min':>8}")
    for key, lines in base.items():
        ns: dict[str, list[float]] = {"parse_logs": [], "marshal": []}
        for n in sizes:
            batch = synthetic.repeat_to(lines, n)
            marshalled = marshal.dumps(decoder.parse_logs(batch))
            t = timing.interleaved({"parse_logs": lambda: decoder.parse_logs(batch),
                                    "marshal": lambda: marshal.loads(marshalled)},
                                   runs=runs, repeat=max(1, 100_000 // n))
            for name in ns:
                ns[name].append(per_line(t.median(name), n))
            del batch, marshalled
        ns["ratio"] = [p / m for p, m in zip(ns["parse_logs"], ns["marshal"], strict=True)]
        spread = {name: max(v) / min(v) for name, v in ns.items()}
        out[key] = {"sizes": sizes, "ns_per_line": ns["parse_logs"], "max_over_min": spread["parse_logs"],
                    "marshal_ns_per_line": ns["marshal"], "marshal_max_over_min": spread["marshal"],
                    "ratio_marshal": ns["ratio"], "ratio_max_over_min": spread["ratio"]}
        for name, fmt in (("parse_logs", ".1f"), ("marshal", ".1f"), ("ratio", ".3f")):
            print(f"{key + ' ' + name:<34} " + " ".join(f"{x:>11{fmt}}" for x in ns[name])
                  + f" {spread[name]:>8.2f}", flush=True)

    print(f"\n{'memory of ' + format(largest, ',') + ' lines':<34} {'peak MB':>9} {'result MB':>9} "
          f"{'objects MB':>10} {'peak/result':>11}")
    for key in base:
        probe = subprocess.run([sys.executable, str(Path(__file__).resolve().parent / "memory_probe.py"), key,
                                str(largest)], capture_output=True, text=True, check=True)
        m = json.loads(probe.stdout)
        m["peak_over_result"] = m["peak_bytes"] / m["result_bytes"]
        out[key]["memory"] = m
        print(f"{key:<34} {m['peak_bytes'] / 1e6:>9.1f} {m['result_bytes'] / 1e6:>9.1f} "
              f"{m['object_bytes'] / 1e6:>10.1f} {m['peak_over_result']:>11.3f}", flush=True)
    return out


def verdicts(report: dict[str, Any]) -> list[dict[str, Any]]:
    rows = []
    for key in ("a_swap", "b_small", "c_text"):
        if key in report["batches"]:
            value = report["batches"][key]["ratio"]["marshal"]
            rows.append({"target": f"({key[0]}) parse_logs <= {TARGET_MARSHAL}x marshal.loads",
                         "value": value, "met": value <= TARGET_MARSHAL})
    b = report["batches"]
    if "d_mix" in b:
        rows.append(mix_verdict(b["d_mix"]))
    if "d_non_event_lines" in b:
        value = b["d_non_event_lines"]["ns_per_line"]["parse_logs"] / b["d_event_lines"]["ns_per_line"]["parse_logs"]
        rows.append({"target": f"(d) non-event line <= {TARGET_NON_EVENT} x event line",
                     "value": value, "met": value <= TARGET_NON_EVENT})
    largest = next((v for v in report["construction"].values() if v["largest"]), None)
    if largest:
        value = largest["ratio_json"]
        rows.append({"target": f"construction (largest IDL) <= {TARGET_CONSTRUCTION}x json.loads",
                     "value": value, "met": value <= TARGET_CONSTRUCTION})
    for key, s in report["scaling"].items():
        # Flat: the cost per line against marshal.loads of the same result
        # does not grow with the batch (raw ns/line also shows cache effects).
        rows.append({"target": f"scaling {key}: max/min over sizes of ns/line over marshal's <= 1.25",
                     "value": s["ratio_max_over_min"], "met": s["ratio_max_over_min"] <= 1.25})
        m = s.get("memory")
        if m:
            rows.append({"target": f"memory {key}: peak <= 1.10 x result", "value": m["peak_over_result"],
                         "met": m["peak_over_result"] <= 1.10})
    return rows


def git_commit() -> str:
    try:
        return subprocess.run(["git", "-C", str(REPO), "describe", "--always", "--dirty"], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    # No git at hand (the build root has none): read the checked-out commit.
    try:
        head = (REPO / ".git" / "HEAD").read_text().strip()
        if not head.startswith("ref: "):
            return head[:12]
        ref = head[5:]
        loose = REPO / ".git" / ref
        if loose.exists():
            return loose.read_text().strip()[:12]
        for line in (REPO / ".git" / "packed-refs").read_text().splitlines():
            if line.endswith(" " + ref):
                return line.split()[0][:12]
    except OSError:
        pass
    return "unknown"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--lines", type=int, default=100_000, help="lines per batch (default 100,000)")
    ap.add_argument("--runs", type=int, default=5, help="timed rounds per figure, after one warm-up (default 5)")
    ap.add_argument("--pool", type=int, default=5_000, help="distinct lines per real IDL, cycled (default 5,000)")
    ap.add_argument("--scale-max", type=int, default=1_000_000, help="largest batch of the scaling check")
    ap.add_argument("--quick", action="store_true", help="10,000 lines, 3 rounds, scaling to 100,000")
    ap.add_argument("--no-real", action="store_true", help="skip the real IDLs")
    ap.add_argument("--no-scaling", action="store_true", help="skip the scaling and memory checks")
    ap.add_argument("--no-tables", action="store_true", help="skip TableDecoder against parse_logs")
    ap.add_argument("--no-threads", action="store_true", help="skip two threads against one (threads.py)")
    ap.add_argument("--transactions", type=int, default=20_000, help="transactions per batch (default 20,000)")
    ap.add_argument("--no-transactions", action="store_true", help="skip TransactionDecoder")
    ap.add_argument("--no-calls", action="store_true", help="skip the instruction calls")
    ap.add_argument("--accounts", type=int, default=20_000, help="accounts per response (default 20,000)")
    ap.add_argument("--no-accounts", action="store_true", help="skip AccountDecoder")
    ap.add_argument("--no-codama", action="store_true", help="skip the Codama programs against their own parsers")
    ap.add_argument("--output", type=Path, default=RESULTS)
    args = ap.parse_args()
    if args.quick:
        args.lines, args.runs, args.scale_max, args.transactions = 10_000, 3, 100_000, 2_000
        args.accounts = 2_000
    args.runs = max(args.runs, 1)

    started = time.time()
    print(f"brisquel from {Path(brisquel.__file__).parent}; Python {platform.python_version()}; commit {git_commit()}")
    print(f"{args.lines:,} lines per batch; median of {args.runs} rounds after a warm-up; ratios are "
          f"parse_logs time over the baseline's (median of the per-round ratios)\n")
    decoder = EventDecoder(json.dumps(synthetic.IDL))
    report: dict[str, Any] = {
        "commit": git_commit(), "python": platform.python_version(), "module": brisquel.__file__,
        "lines": args.lines, "runs": args.runs, "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
    }
    print_batch_header()
    report["batches"] = synthetic_batches(decoder, args.lines, args.runs)
    report["real_idls"] = {} if args.no_real else real_idl_batches(args.lines, args.pool, args.runs)
    report["construction"] = {} if args.no_real else construction(args.runs)
    report["scaling"] = {}
    if not args.no_scaling:
        rng = random.Random(7)
        base = {"a_swap": synthetic.event_lines(synthetic.SWAP, 100_000, rng),
                "b_small": synthetic.event_lines(synthetic.SMALL, 100_000, rng)}
        report["scaling"] = scaling(decoder, base, args.scale_max, args.runs)

    report["tables"] = {} if args.no_tables else tables.run(args.lines, args.runs)
    report["threads"] = {} if args.no_threads else threads.run(64_588 if args.quick else 645_882, args.runs)
    report["transactions"] = {} if args.no_transactions else transactions.run(args.transactions, args.runs)
    report["calls"] = {} if args.no_calls else calls.run(args.transactions, args.runs)

    report["accounts"] = {} if args.no_accounts else accounts.run(args.accounts, args.runs)
    report["codama"] = {} if args.no_codama else codama.run(args.transactions, args.accounts, args.runs)

    report["targets"] = verdicts(report)
    if report["tables"]:
        report["targets"] += tables.verdicts(report["tables"])
    if report["threads"]:
        report["targets"] += threads.verdicts(report["threads"])
    if report["transactions"]:
        report["targets"] += transactions.verdicts(report["transactions"])
    if report["calls"]:
        report["targets"] += calls.verdicts(report["calls"])
    report["targets"] += accounts.verdicts(report["accounts"])
    report["targets"] += codama.verdicts(report["codama"])
    print("\ntargets")
    for row in report["targets"]:
        mark = "????" if row["met"] is None else ("met " if row["met"] else "MISS")
        print(f"  {mark}  {row['target']}: {row['value']:.3f}{'  ' + row['note'] if 'note' in row else ''}")
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(report, indent=1) + "\n")
    print(f"\nwrote {args.output} in {time.time() - started:.0f} s")


if __name__ == "__main__":
    main()
