"""TableDecoder.decode on two threads against one, in a process that also
builds Python objects with parse_logs between the timings, as an application
that mixes both does: 2.6 M mixed log lines (a batch of 645,882 lines of
transactions, a fifth of them events, four times) split in halves; one thread decodes both
halves in turn, two threads one half each. The figure is the median over
rounds of (one thread's time / two threads' time), for a list and for an
Arrow array. Run by run.py; alone: python3 bench/threads.py [LINES] [ROUNDS]
[--quiet-process]."""

from __future__ import annotations

import gc
import json
import random
import statistics
import sys
import threading
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synthetic  # noqa: E402

from brisquel import EventDecoder, TableDecoder  # noqa: E402

TARGET = 1.8


def timed(work, inputs: list[Any], threads: int) -> float:
    """Seconds to decode every input: on `threads` threads started together, each taking its share."""
    shares = [inputs[i::threads] for i in range(threads)]
    barrier = threading.Barrier(threads + 1)
    kept: list[Any] = []  # results live on, as a caller's would, and are freed untimed

    def run(share: list[Any]) -> None:
        barrier.wait()
        for item in share:
            kept.append(work(item))

    pool = [threading.Thread(target=run, args=(share,)) for share in shares]
    for t in pool:
        t.start()
    gc.disable()
    try:
        barrier.wait()
        start = time.perf_counter()
        for t in pool:
            t.join()
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    del kept
    return elapsed


def run(batch_lines: int = 645_882, rounds: int = 7, mixed: bool = True) -> dict[str, Any]:
    import pyarrow as pa

    rng = random.Random(20240601)
    batch, _ = synthetic.transaction_lines(batch_lines, rng)
    lines = batch * 4
    half = len(lines) // 2
    halves = {"list": [lines[:half], lines[half:]], "arrow": [pa.array(lines[:half]), pa.array(lines[half:])]}
    text = json.dumps(synthetic.IDL)
    decoder, events = TableDecoder(text), EventDecoder(text)
    out: dict[str, Any] = {"lines": len(lines), "mixed": mixed}
    print(f"\n{'two threads over one':<28} {'lines':>10} {'median':>8} {'min':>6} {'max':>6}"
          f"   ({'with parse_logs between' if mixed else 'nothing else in the process'})")
    for kind, inputs in halves.items():
        decoder.decode(inputs[0])  # warm-up
        ratios = []
        for _ in range(rounds):
            if mixed:
                events.parse_logs(batch)
            one = timed(decoder.decode, inputs, 1)
            if mixed:
                events.parse_logs(batch)
            two = timed(decoder.decode, inputs, 2)
            ratios.append(one / two)
        out[kind] = {"median": statistics.median(ratios), "ratios": ratios}
        print(f"{kind:<28} {len(lines):>10,} {statistics.median(ratios):>8.2f} {min(ratios):>6.2f} "
              f"{max(ratios):>6.2f}", flush=True)
    return out


def verdicts(report: dict[str, Any]) -> list[dict[str, Any]]:
    where = "with parse_logs" if report["mixed"] else "alone"
    return [{"target": f"threads {kind} ({where}): two threads >= {TARGET}x one", "value": report[kind]["median"],
             "met": report[kind]["median"] >= TARGET} for kind in ("list", "arrow")]


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    result = run(int(args[0]) if args else 645_882, int(args[1]) if len(args) > 1 else 7,
                 mixed="--quiet-process" not in sys.argv)
    for v in verdicts(result):
        print(f"  {'met ' if v['met'] else 'MISS'}  {v['target']}: {v['value']:.2f}")
