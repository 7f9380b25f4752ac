"""Fetching from the loopback node (tests/rpc_node.py): the HTTP clients
Debian packages, fetching the same blocks (keep-alive, plain and gzip), against
urllib3; brisquel.fetch of a slot range against decoding the same blocks from
memory (and against decoding and writing them as fetch does); peak memory of a
range ten times longer; and, as its own run (--follow SECONDS), how long after
the node has a block its rows are in the output.

    python3 bench/fetch.py [--blocks N] [--per-block N] [--runs N] [--follow SECONDS]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import timing  # noqa: E402
from rpc_node import FIRST_SLOT, Chain, Node  # noqa: E402  (Node: the follow run)

TARGET_FETCH = 1.25        # fetch and decode against decoding from memory
TARGET_MEMORY = 1.20       # peak memory, a range 10 times longer
TARGET_FOLLOW_SECONDS = 2.0

IDLS = [p.read_text() for p in sorted((HERE.parent.parent / "shared" / "idls").glob("pump*-current.json"))]


def _request(slot: int) -> bytes:
    return json.dumps({"jsonrpc": "2.0", "id": 1, "method": "getBlock", "params": [
        slot, {"encoding": "base64", "transactionDetails": "full", "rewards": False,
               "maxSupportedTransactionVersion": 1}]}).encode()


def _clients(url: str, slots: list[int], gzip: bool) -> dict[str, Any]:
    """Each client fetching every block once over one kept-alive connection."""
    accept = {"Accept-Encoding": "gzip"} if gzip else {"Accept-Encoding": "identity"}
    headers = {"Content-Type": "application/json", **accept}
    out: dict[str, Any] = {}

    import urllib3
    pool = urllib3.PoolManager(maxsize=1)
    out["urllib3"] = lambda: [pool.request("POST", url, body=_request(s), headers=headers).data for s in slots]
    try:
        import httpx
        client = httpx.Client(headers=headers)
        out["httpx"] = lambda: [client.post(url, content=_request(s)).content for s in slots]
    except ImportError:
        pass
    try:
        import aiohttp

        async def all_blocks() -> list[bytes]:
            async with aiohttp.ClientSession(headers=headers, connector=aiohttp.TCPConnector(limit=1)) as session:
                bodies = []
                for s in slots:
                    async with session.post(url, data=_request(s)) as r:
                        bodies.append(await r.read())
                return bodies
        out["aiohttp"] = lambda: asyncio.run(all_blocks())
    except ImportError:
        pass
    try:
        import io
        import pycurl
        curl = pycurl.Curl()
        curl.setopt(pycurl.URL, url)
        curl.setopt(pycurl.HTTPHEADER, [f"{k}: {v}" for k, v in headers.items() if k != "Accept-Encoding"])
        curl.setopt(pycurl.ACCEPT_ENCODING, "gzip" if gzip else "identity")

        def with_curl() -> list[bytes]:
            bodies = []
            for s in slots:
                buffer = io.BytesIO()
                curl.setopt(pycurl.POSTFIELDS, _request(s))
                curl.setopt(pycurl.WRITEDATA, buffer)
                curl.perform()
                bodies.append(buffer.getvalue())
            return bodies
        out["libcurl (pycurl)"] = with_curl
    except ImportError:
        pass
    return out


def clients(blocks: int, per_block: int, runs: int) -> dict[str, Any]:
    chain = Chain(FIRST_SLOT, FIRST_SLOT + blocks * 2, per_block=per_block)
    slots = [s for s in range(chain.first, chain.last + 1) if chain.has_block(s)][:blocks]
    report: dict[str, Any] = {}
    with _node_process(chain.first, chain.last, per_block) as url:
        size = sum(len(chain.block(s, "base64")) for s in slots) / len(slots)
        print(f"\nHTTP clients: {len(slots)} blocks of {size / 1e6:.2f} MB on average, one kept-alive connection; "
              "time against urllib3 with the same encoding")
        for gzip in (False, True):
            t = timing.interleaved(_clients(url, slots, gzip), runs=runs)
            for name in t.samples:
                key = f"{name}{' gzip' if gzip else ''}"
                report[key] = t.ratio(name, "urllib3")
                print(f"  {key:<26} {report[key]:6.2f}  ({t.median(name) / len(slots) / 1e6:.2f} ms a block)")
    return report


@contextmanager
def _node_process(first: int, last: int, per_block: int, gzip: bool = True) -> Iterator[str]:
    """The loopback node in a process of its own (its work is not this process's), yielding its URL."""
    node = subprocess.Popen([sys.executable, str(HERE.parent / "tests" / "rpc_node.py"), "--slots", f"{first}:{last}",
                             "--per-block", str(per_block), "--seconds", "1800", *([] if gzip else ["--no-gzip"])],
                            stdout=subprocess.PIPE, text=True)
    try:
        yield node.stdout.readline().strip()
    finally:
        node.terminate()
        node.wait()


def fetch_against_memory(blocks: int, per_block: int, runs: int) -> dict[str, Any]:
    """brisquel.fetch of a range, against decoding its blocks from memory and
    writing them as fetch does (and against decoding alone); the node in a
    process of its own, answering plain and, as many providers do, gzip."""
    import pyarrow as pa

    from brisquel import TransactionDecoder
    from brisquel._fetch_run import fetch
    from brisquel._part_writer import PartWriters

    chain = Chain(FIRST_SLOT, FIRST_SLOT + blocks - 1, per_block=per_block)
    bodies = [chain.block(s, "base64") for s in range(chain.first, chain.last + 1) if chain.has_block(s)]
    decoder = TransactionDecoder(IDLS)
    work = Path(tempfile.mkdtemp(prefix="brisquel-bench-fetch-"))

    def fetched(url: str) -> Callable[[], None]:
        def run() -> None:
            out = work / "fetch"
            shutil.rmtree(out, ignore_errors=True)
            fetch(url, out, IDLS, slots=f"{chain.first}:{chain.last}")
        return run

    def decoded() -> None:
        for body in bodies:
            decoder.block_tables(body)

    def decoded_written() -> None:
        out = work / "memory"
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir()
        writers = PartWriters(out, 0)
        for body in bodies:
            events, calls, summary = decoder.block_tables(body)
            for name, group in (("events", events), ("calls", calls)):
                for key, table in group.items():
                    if len(table):
                        writers.add(f"{name}/{key[0]}/{key[1]}", pa.table(table))
            for name in ("transactions", "balances"):
                writers.add(name, pa.table(summary[name]))
        writers.close()

    try:
        with _node_process(chain.first, chain.last, per_block, gzip=False) as plain, \
                _node_process(chain.first, chain.last, per_block, gzip=True) as gzip:
            t = timing.interleaved({"fetch": fetched(plain), "fetch gzip": fetched(gzip), "decode": decoded,
                                    "decode+write": decoded_written}, runs=runs)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    row = {"blocks": len(bodies), "megabytes": sum(map(len, bodies)) / 1e6,
           "fetch/decode+write": t.ratio("fetch", "decode+write"), "fetch/decode": t.ratio("fetch", "decode"),
           "fetch gzip/decode+write": t.ratio("fetch gzip", "decode+write")}
    print(f"\nfetch of {len(bodies)} blocks ({row['megabytes']:.0f} MB of JSON) from the loopback node: "
          f"{row['fetch/decode+write']:.2f} x decoding them from memory and writing them as fetch does "
          f"({row['fetch gzip/decode+write']:.2f} x with gzip answers; {row['fetch/decode']:.2f} x decoding alone)")
    return row


def _peak_rss(url: str, first: int, blocks: int) -> int:
    """Peak resident memory (KiB) of a process that fetches `blocks` slots from the node at `url`."""
    code = f"""
import resource, tempfile
from brisquel._fetch_run import fetch
with tempfile.TemporaryDirectory() as out:
    fetch({url!r}, out, [], slots="{first}:{first + blocks - 1}", chunk=100, concurrency=2)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(done.stdout.split()[-1])


def memory(blocks: int, per_block: int) -> dict[str, Any]:
    """Peak memory of a fetch of `blocks` slots and of ten times as many, the node in a process of its own."""
    with _node_process(FIRST_SLOT, FIRST_SLOT + blocks * 10, per_block) as url:
        small, large = _peak_rss(url, FIRST_SLOT, blocks), _peak_rss(url, FIRST_SLOT, blocks * 10)
    row = {"blocks": blocks, "peak_kib": small, "peak_kib_10x": large, "growth": large / small}
    print(f"peak memory: {small / 1024:.0f} MiB fetching {blocks} slots, {large / 1024:.0f} MiB fetching "
          f"{blocks * 10} ({row['growth']:.2f} x)")
    return row


def follow(seconds: float, rate: float = 2.5) -> dict[str, Any]:
    """A chain that grows `rate` slots a second, followed for `seconds`: for each
    slot, from when the node has it to when its rows are in place."""
    from brisquel._fetch_run import fetch

    chain = Chain(FIRST_SLOT, FIRST_SLOT + int(seconds * rate) + 10, grow_per_second=rate)
    delays: list[float] = []

    def progress(summary: Any) -> None:
        # The units put in place since the last call: each slot's delay since the node had it.
        now = time.monotonic()
        done = json.loads((out / "_fetch.json").read_text())["done"]
        top = max(b for _, b in done)
        while len(delays) < top - chain.first + 1:
            slot = chain.first + len(delays)
            delays.append(now - (chain.started + (slot - chain.first) / rate))

    with tempfile.TemporaryDirectory() as work, Node(chain) as node:
        out = Path(work) / "out"
        import threading
        stop = threading.Event()
        threading.Timer(seconds, stop.set).start()
        fetch(node.url, out, IDLS, slots=f"{chain.first}:", follow=True, commitment="confirmed", stop=stop,
              progress=progress)
    row = {"seconds": seconds, "slots": len(delays), "median_s": statistics.median(delays),
           "p99_s": sorted(delays)[int(len(delays) * 0.99) - 1] if delays else 0.0, "max_s": max(delays)}
    print(f"\nfollow for {seconds:.0f} s at {rate} slots/s: {row['slots']} slots in place, from the node having "
          f"one to its rows in place: median {row['median_s']:.2f} s, p99 {row['p99_s']:.2f} s, max "
          f"{row['max_s']:.2f} s")
    return row


def verdicts(report: dict[str, Any]) -> list[dict[str, Any]]:
    out = []
    if "fetch" in report:
        value = report["fetch"]["fetch/decode+write"]
        out.append({"target": f"fetch against decoding (and writing) from memory <= {TARGET_FETCH}",
                    "value": value, "met": value <= TARGET_FETCH})
    if "memory" in report:
        out.append({"target": f"peak memory of a 10x range <= {TARGET_MEMORY}x", "value": report["memory"]["growth"],
                    "met": report["memory"]["growth"] <= TARGET_MEMORY})
    if "follow" in report:
        out.append({"target": f"follow: every block in place within {TARGET_FOLLOW_SECONDS} s",
                    "value": report["follow"]["max_s"], "met": report["follow"]["max_s"] <= TARGET_FOLLOW_SECONDS})
    return out


def run(blocks: int, per_block: int, runs: int) -> dict[str, Any]:
    report = {"clients": clients(min(blocks, 100), per_block, runs),
              "fetch": fetch_against_memory(blocks, per_block, runs),
              "memory": memory(max(20, blocks // 5), per_block)}
    return report


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--blocks", type=int, default=200)
    ap.add_argument("--per-block", type=int, default=200, help="transactions per block (at most)")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--follow", type=float, metavar="SECONDS", help="only the follow run, this long")
    args = ap.parse_args()
    report = {"follow": follow(args.follow)} if args.follow else run(args.blocks, args.per_block, args.runs)
    print("\ntargets")
    for row in verdicts(report):
        print(f"  {'met ' if row['met'] else 'MISS'}  {row['target']}: {row['value']:.3f}")


if __name__ == "__main__":
    main()
