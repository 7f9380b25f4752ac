"""TableDecoder against parse_logs on the benchmark's batches (a) swap and
(d) transaction mix: events per second from a Python list and from an Arrow
array, one thread and two, and against the Anchor TypeScript client's
BorshEventCoder.decode on the same log lines (where node and the client are
installed: bench/anchor_ts/install); and the peak memory of a large decode
against the buffers of its output. Run by run.py; alone: python3 bench/tables.py [LINES]."""

from __future__ import annotations

import json
import random
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import anchor_client  # noqa: E402
import synthetic  # noqa: E402
import timing  # noqa: E402

from brisquel import EventDecoder, TableDecoder  # noqa: E402

TARGET_LIST = 5.0
TARGET_ARROW = 8.0
TARGET_TWO_THREADS = 1.8
TARGET_MEMORY = 1.5
TARGET_TS_LIST = 10.0
TARGET_TS_ARROW = 30.0


def batches(count: int) -> dict[str, list[str]]:
    rng = random.Random(20240601)
    mix, _ = synthetic.transaction_lines(count, rng)
    return {"(a) swap": synthetic.event_lines(synthetic.SWAP, count, rng), "(d) transaction mix": mix}


def threads_throughput(work, threads: int, rounds: int) -> float:
    """Seconds for `threads` threads to each run work(i) `rounds` times, started together."""
    barrier = threading.Barrier(threads + 1)

    def run(i: int) -> None:
        barrier.wait()
        for _ in range(rounds):
            work(i)

    pool = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in pool:
        t.join()
    return time.perf_counter() - start


def run(count: int, runs: int) -> dict[str, Any]:
    import pyarrow as pa

    text = json.dumps(synthetic.IDL)
    events, tables = EventDecoder(text), TableDecoder(text, short_events="skip")  # the same work as parse_logs
    out: dict[str, Any] = {}
    print(f"\n{'tables: events/s (M)':<28} {'events':>8} {'parse_logs':>11} {'list':>8} {'arrow':>8} "
          f"{'x list':>7} {'x arrow':>8} {'2 threads':>10}")
    for label, lines in batches(count).items():
        n_events = len(events.parse_logs(lines))
        array = pa.array(lines)
        arrays = [pa.array(list(lines)) for _ in range(2)]
        t = timing.interleaved({"parse_logs": lambda: events.parse_logs(lines), "list": lambda: tables.decode(lines),
                                "arrow": lambda: tables.decode(array)}, runs=runs)
        rate = {k: n_events / (t.median(k) / 1e9) for k in t.samples}
        one = min(threads_throughput(lambda i: tables.decode(arrays[i]), 1, 3) for _ in range(runs))
        two = min(threads_throughput(lambda i: tables.decode(arrays[i]), 2, 3) for _ in range(runs))
        scaling = 2 * one / two
        row = {"events": n_events, "events_per_s": rate,
               "x_list": t.ratio("parse_logs", "list"), "x_arrow": t.ratio("parse_logs", "arrow"),
               "two_threads": scaling}
        out[label] = row
        print(f"{label:<28} {n_events:>8,} {rate['parse_logs'] / 1e6:>11.2f} {rate['list'] / 1e6:>8.2f} "
              f"{rate['arrow'] / 1e6:>8.2f} {row['x_list']:>7.2f} {row['x_arrow']:>8.2f} {scaling:>10.2f}",
              flush=True)
        client = anchor_client.rate("events", text, [{"line": line} for line in lines], 2.0)
        if client is not None:
            if client["decoded"] != n_events:
                print(f"  (the TypeScript client decoded {client['decoded']} events, not {n_events})")
            ts = client["per_second"] * client["decoded"] / client["items"]
            # The client keeps public keys as bytes (PublicKey objects); base58 text
            # is most of a key-heavy event's cost here, so keys as bytes are shown too.
            raw = TableDecoder(text, short_events="skip", pubkeys="binary")
            binary = n_events / (timing.interleaved({"arrow": lambda: raw.decode(array)}, runs=runs).median("arrow")
                                 / 1e9)
            row["ts_events_per_s"] = ts
            row["x_ts_list"], row["x_ts_arrow"] = rate["list"] / ts, rate["arrow"] / ts
            row["x_ts_arrow_binary_keys"] = binary / ts
            print(f"{'  Anchor TS BorshEventCoder':<28} {ts / 1e6:>29.2f} M events/s; list {row['x_ts_list']:.1f}x, "
                  f"arrow {row['x_ts_arrow']:.1f}x (keys as bytes: {row['x_ts_arrow_binary_keys']:.1f}x)", flush=True)
    if not anchor_client.installed():
        print("  (node or the Anchor TypeScript client is not installed: bench/anchor_ts/install; the comparison "
              "is left out)")
    probe = subprocess.run([sys.executable, __file__, "--memory", str(max(count, 100_000) * 5)], capture_output=True,
                           text=True, check=True)
    out["memory"] = json.loads(probe.stdout)
    m = out["memory"]
    print(f"{'memory of ' + format(m['lines'], ',') + ' mixed lines':<28} peak {m['peak_bytes'] / 1e6:.1f} MB, "
          f"output buffers {m['output_bytes'] / 1e6:.1f} MB: {m['peak_over_output']:.2f}x", flush=True)
    return out


def verdicts(report: dict[str, Any]) -> list[dict[str, Any]]:
    rows = []
    for label, row in report.items():
        if label == "memory":
            rows.append({"target": f"tables: peak memory <= {TARGET_MEMORY}x output buffers",
                         "value": row["peak_over_output"], "met": row["peak_over_output"] <= TARGET_MEMORY})
            continue
        rows.append({"target": f"tables {label}: list >= {TARGET_LIST}x parse_logs events/s",
                     "value": row["x_list"], "met": row["x_list"] >= TARGET_LIST})
        rows.append({"target": f"tables {label}: arrow >= {TARGET_ARROW}x parse_logs events/s",
                     "value": row["x_arrow"], "met": row["x_arrow"] >= TARGET_ARROW})
        rows.append({"target": f"tables {label}: two threads >= {TARGET_TWO_THREADS}x one",
                     "value": row["two_threads"], "met": row["two_threads"] >= TARGET_TWO_THREADS})
        if "x_ts_list" in row:
            rows.append({"target": f"tables {label}: list >= {TARGET_TS_LIST}x Anchor TS BorshEventCoder events/s",
                         "value": row["x_ts_list"], "met": row["x_ts_list"] >= TARGET_TS_LIST})
            rows.append({"target": f"tables {label}: arrow >= {TARGET_TS_ARROW}x Anchor TS BorshEventCoder events/s",
                         "value": row["x_ts_arrow"], "met": row["x_ts_arrow"] >= TARGET_TS_ARROW})
    return rows


def memory(lines_count: int) -> None:
    """In a fresh process: resident peak of one decode of an Arrow array of
    mixed lines, over the bytes of the tables it returns."""
    import gc

    import pyarrow as pa

    rng = random.Random(3)
    mix, _ = synthetic.transaction_lines(lines_count, rng)
    array = pa.array(mix)
    del mix
    decoder = TableDecoder(json.dumps(synthetic.IDL))
    decoder.decode(array[:1000])
    gc.collect()
    status = Path("/proc/self/status")

    def kib(field: str) -> int:
        return next(int(line.split()[1]) for line in status.read_text().splitlines() if line.startswith(field + ":"))

    Path("/proc/self/clear_refs").write_text("5")  # the peak starts again from here
    before = kib("VmRSS")
    decoded = decoder.decode(array)
    peak = kib("VmHWM") - before
    output = sum(pa.table(t).nbytes for t in decoded.values())
    print(json.dumps({"lines": lines_count, "peak_bytes": peak * 1024, "output_bytes": output,
                      "peak_over_output": peak * 1024 / output}))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--memory":
        memory(int(sys.argv[2]))
    else:
        result = run(int(sys.argv[1]) if len(sys.argv) > 1 else 100_000, 5)
        for v in verdicts(result):
            print(f"  {'met ' if v['met'] else 'MISS'}  {v['target']}: {v['value']:.2f}")
