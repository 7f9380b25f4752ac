"""Export throughput: events per second of `brisquel export`'s engine
(read_events + write_events) on 1 and 2 local worker processes, against the bare
TransactionDecoder.decode_tables on the same JSON lines files in one process,
measured in the same run. Timings only, never pass/fail.

    python3 bench/dataset.py [--events N] [--files N] [--runs N]

The dataset (at least --events events, in --files files) is generated once into
build/bench-dataset and reused. Targets: 2 workers at least 1.7 times 1 worker,
and 1 worker at least 0.8 times the bare decoder; when one is missed, the
phases of one file's export are timed in this process to say where time goes.
"""

from __future__ import annotations

import argparse
import base64
import json
import logging
import os
import random
import shutil
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synthetic  # noqa: E402
from encoder import REPO, borsh  # noqa: E402

sys.path.insert(0, str(REPO / "tests"))
from transactions import Call, Tx, encode  # noqa: E402

import pyarrow as pa  # noqa: E402

from brisquel import TransactionDecoder  # noqa: E402
from brisquel._part_writer import PartWriters, key_dir  # noqa: E402
from brisquel.dataset import read_events, write_events  # noqa: E402

DATA = REPO / "build" / "bench-dataset"
PROGRAM = "BenchProgram1111111111111111111111111111111"
IDL = json.dumps({**synthetic.IDL, "address": PROGRAM})
TARGET_SCALING = 1.7
TARGET_AGAINST_BARE = 0.8
EVENTS_PER_TX = 10


def payload(rng: random.Random) -> bytes:
    line = synthetic.event_line(rng.choice((synthetic.SWAP, synthetic.SWAP, synthetic.SMALL, synthetic.TEXT)), rng)
    return base64.b64decode(line.removeprefix("Program data: "))


def transaction(rng: random.Random, n: int) -> str:
    """A transaction of ten events, seven logged and three self-CPI'd, among other programs' work."""
    steps: list[Any] = [("text", "Program log: Instruction: Route")]
    steps += [("log", payload(rng)) for _ in range(EVENTS_PER_TX - 3)] + [("cpi", payload(rng)) for _ in range(3)]
    steps.insert(4, Call("TokenkegQfeZyiNwAJbNbGKPFXCWuBvf9Ss623VQ5DA", [("text", "Program log: Transfer")]))
    tx = Tx([Call("ComputeBudget111111111111111111111111111111"), Call(PROGRAM, steps)],
            signature=borsh.b58encode(n.to_bytes(64, "big")), slot=300_000_000 + n)
    return json.dumps(encode(tx), separators=(",", ":"))


def dataset(events: int, files: int) -> list[Path]:
    """The files, generated on first use: a pool of distinct transactions, cycled."""
    per_file = -(-events // (files * EVENTS_PER_TX))
    stamp = DATA / f"ready-{files}x{per_file}"
    paths = [DATA / f"tx-{f:02d}.jsonl" for f in range(files)]
    if stamp.exists():
        return paths
    shutil.rmtree(DATA, ignore_errors=True)
    DATA.mkdir(parents=True)
    rng = random.Random(11)
    pool = [transaction(rng, n) for n in range(1000)]
    print(f"generating {files} files of {per_file:,} transactions in {DATA} ...", file=sys.stderr)
    for f, path in enumerate(paths):
        with open(path, "w") as out:
            for i in range(per_file):
                out.write(pool[(f * 7 + i) % len(pool)])
                out.write("\n")
    stamp.touch()
    return paths


def bare(paths: list[Path]) -> tuple[float, int]:
    decoder = TransactionDecoder([IDL])
    started = time.perf_counter()
    events = 0
    for path in paths:
        decoded = decoder.decode_tables(path.read_bytes())
        events += sum(len(t) for t in decoded.values())
    return time.perf_counter() - started, events


def export(paths: list[Path], out: Path) -> tuple[float, int]:
    started = time.perf_counter()
    summary = write_events(read_events([str(p) for p in paths], IDL), out)
    if summary.failed:
        raise SystemExit(f"export failed: {summary.failed}")
    return time.perf_counter() - started, sum(summary.values())


def phases(path: Path, out: Path) -> dict[str, float]:
    """One file's export done step by step in this process (seconds)."""
    times: dict[str, float] = {}
    t = time.perf_counter()
    data = path.read_bytes()
    times["read the file"] = time.perf_counter() - t
    decoder = TransactionDecoder([IDL])
    t = time.perf_counter()
    decoded = decoder.decode_tables(data)
    times["decode (native)"] = time.perf_counter() - t
    t = time.perf_counter()
    tables = {k: pa.table(v) for k, v in decoded.items()}
    times["to pyarrow"] = time.perf_counter() - t
    t = time.perf_counter()
    writers = PartWriters(out, 0)  # as the export writes them
    for key, table in tables.items():
        writers.add(key_dir(key), table)
    writers.close()
    times["write Parquet"] = time.perf_counter() - t
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--runs", type=int, default=2, help="runs of each measure; the best counts")
    args = parser.parse_args()
    paths = dataset(args.events, args.files)
    size = sum(p.stat().st_size for p in paths)
    from distributed import Client, LocalCluster

    rows: dict[str, tuple[float, int]] = {}
    with tempfile.TemporaryDirectory(dir=REPO / "build") as scratch:
        out = Path(scratch)
        rows["bare decode_tables, 1 process"] = min(bare(paths) for _ in range(args.runs))
        for workers in (1, 2):
            started = time.perf_counter()
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                              silence_logs=logging.ERROR) as cluster, Client(cluster):
                ready = time.perf_counter() - started
                export(paths[:1], out / "warm")  # workers import and build their decoders
                rows[f"export, {workers} worker{'s' if workers > 1 else ''}"] = min(
                    export(paths, out / "events") for _ in range(args.runs))
                print(f"({workers} worker cluster started in {ready:.1f} s, not counted)", file=sys.stderr)
        rate = {name: events / seconds for name, (seconds, events) in rows.items()}
        base, one, two = rate.values()
        print(f"\n{sum(r[1] for r in list(rows.values())[:1]):,} events in {len(paths)} files "
              f"({size / 2**20:,.0f} MiB of JSON lines), best of {args.runs}")
        print(f"{'':34}{'seconds':>9}{'events/s':>13}")
        for name, (seconds, events) in rows.items():
            print(f"{name:34}{seconds:9.2f}{events / seconds:13,.0f}")
        checks = [("1 worker / bare decoder", one / base, TARGET_AGAINST_BARE),
                  ("2 workers / 1 worker", two / one, TARGET_SCALING)]
        print()
        for name, ratio, target in checks:
            print(f"{name:34}{ratio:9.2f}  (target {target})  {'met' if ratio >= target else 'MISSED'}")
        if any(ratio < target for _, ratio, target in checks):
            times = phases(paths[0], out)
            total = sum(times.values())
            print(f"\nwhere one file's export goes (in this process, {total:.2f} s):")
            for name, seconds in times.items():
                print(f"  {name:32}{seconds:7.2f} s  {100 * seconds / total:5.1f} %")
            print(f"  cores available: {len(os.sched_getaffinity(0))}; others' load counts against 2 workers")


if __name__ == "__main__":
    main()
