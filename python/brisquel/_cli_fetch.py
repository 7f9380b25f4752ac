"""python -m brisquel fetch: straight from a node into the tables of an export.

    python -m brisquel fetch --rpc URL --out DIR [IDL ...] --slots A:B
    python -m brisquel fetch --rpc URL --out DIR [IDL ...] --slots A: --follow
    python -m brisquel fetch --rpc URL --out DIR [IDL ...] --address ADDR [--before SIG] [--until SIG]
    python -m brisquel fetch --rpc URL --out DIR IDL [IDL ...] --accounts PROGRAM [--filter dataSize=N] ...

DIR gets the datasets of `export` (events, calls, accounts, their _errors) and
`transactions` and `balances`, and DIR/_fetch.json, the manifest: the same
command again goes on where the last one stopped. --rpc may come from
$BRISQUEL_RPC instead (URLs hold keys: only the host is ever shown).
"""

from __future__ import annotations

import argparse
import sys
import threading
import time
from typing import Any, TextIO

from brisquel import IdlError
from brisquel._common import CommandError, idl_error, read_idls


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="brisquel fetch", allow_abbrev=False,
        usage="%(prog)s --rpc URL --out DIR [IDL ...] (--slots A:B | --slots A: --follow | --address ADDR | "
              "--accounts PROGRAM) [options]",
        description="Fetch blocks, an address's history or a program's accounts from a Solana RPC node into "
                    "Parquet datasets: those of `export` (events, calls, accounts) and `transactions` and "
                    "`balances`, which need no IDL. Run the same command again to resume.")
    p.add_argument("idls", nargs="*", metavar="IDL", help="IDL files of the programs to decode (none: only "
                   "the transactions and balances tables)")
    p.add_argument("--rpc", metavar="URL", help="the node (default: $BRISQUEL_RPC)")
    p.add_argument("--out", metavar="DIR", required=True, help="the output folder, with its manifest")
    source = p.add_mutually_exclusive_group(required=True)
    source.add_argument("--slots", metavar="A:B", help="the confirmed blocks of slots A to B (A: with --follow)")
    source.add_argument("--address", metavar="ADDR", help="the transactions of an address, newest first")
    source.add_argument("--accounts", metavar="PROGRAM", help="a snapshot of a program's accounts")
    p.add_argument("--before", metavar="SIG", help="--address: start before this signature")
    p.add_argument("--until", metavar="SIG", help="--address: stop at this signature")
    p.add_argument("--filter", action="append", default=[], metavar="dataSize=N|memcmp=OFFSET:BASE58",
                   help="--accounts: the node's filters (repeatable)")
    p.add_argument("--follow", action="store_true", help="--slots A: or --address: keep up with new blocks (or "
                   "signatures) until interrupted")
    p.add_argument("--commitment", choices=("processed", "confirmed", "finalized"), default="finalized")
    p.add_argument("--include-failed", action="store_true", help="events and calls of failed transactions too "
                   "(the transactions and balances tables always hold them)")
    p.add_argument("--no-calls", dest="calls", action="store_false", help="events only, no call tables")
    p.add_argument("--short-events", choices=("skip", "null"), default="null")
    p.add_argument("--chunk", type=int, metavar="N", help="slots per unit of work (default 100), or signatures "
                   "per page of a history (default 1000)")
    p.add_argument("--rps", type=float, metavar="N", help="at most N requests per second to the node")
    p.add_argument("--concurrency", type=int, default=4, metavar="N", help="requests in flight (default 4)")
    p.add_argument("--batch", type=int, default=100, metavar="N",
                   help="--address: transactions per JSON-RPC batch (default 100)")
    p.add_argument("--retries", type=int, default=8, metavar="N",
                   help="tries again after a failure, with growing waits, up to N times (default 8)")
    p.add_argument("--timeout", type=float, default=60.0, metavar="S", help="seconds without an answer (default 60)")
    p.add_argument("--max-response-mb", type=int, default=512, metavar="N",
                   help="the largest answer taken from the node, decompressed (default 512); a larger one stops "
                        "the run")
    p.add_argument("--workers", type=int, metavar="N", help="--slots A:B: on N local Dask worker processes")
    p.add_argument("--scheduler", metavar="ADDRESS", help="--slots A:B: on a running Dask cluster")
    return p


def _filters(items: list[str]) -> list[tuple[str, Any]]:
    out: list[tuple[str, Any]] = []
    for item in items:
        kind, _, value = item.partition("=")
        try:
            if kind == "dataSize":
                out.append(("dataSize", int(value)))
                continue
            if kind == "memcmp":
                offset, _, data = value.partition(":")
                if data:
                    out.append(("memcmp", (int(offset), data)))
                    continue
        except ValueError:
            pass
        raise CommandError(f"--filter {item}: expected dataSize=N or memcmp=OFFSET:BASE58")
    return out


def run(argv: list[str], out: TextIO) -> int:
    p = parser()
    args = p.parse_intermixed_args(argv)
    for name in ("concurrency", "batch"):
        if getattr(args, name) < 1:
            p.error(f"--{name}: at least 1")
    if args.retries < 0 or (args.chunk is not None and args.chunk < 1):
        p.error("--retries: at least 0; --chunk: at least 1")
    if args.workers is not None and args.scheduler:
        p.error("--workers and --scheduler exclude each other")
    texts = read_idls(args.idls)
    try:
        from brisquel._fetch import FetchError
        from brisquel._fetch_run import fetch
        from brisquel._rpc import NodeError
    except ImportError as e:
        raise CommandError(f"fetch needs pyarrow and urllib3 (Debian: python3-pyarrow, python3-urllib3): {e}") from None
    bar = _ProgressLine(sys.stderr) if sys.stderr.isatty() else None
    try:
        summary = fetch(args.rpc, args.out, texts, slots=args.slots, address=args.address, before=args.before,
                        until=args.until, accounts=args.accounts, filters=_filters(args.filter), follow=args.follow,
                        commitment=args.commitment, include_failed=args.include_failed,
                        short_events=args.short_events, calls=args.calls, chunk=args.chunk, rps=args.rps,
                        concurrency=args.concurrency, batch=args.batch, retries=args.retries, timeout=args.timeout,
                        max_response_mb=args.max_response_mb,
                        workers=args.workers, scheduler=args.scheduler, progress=bar.update if bar else None)
    except IdlError as e:
        raise idl_error(e, args.idls) from None
    except (FetchError, NodeError, ValueError) as e:
        raise CommandError(f"fetch stopped: {e}. What was finished is kept: the same command resumes") from None
    finally:
        if bar:
            bar.close()
    print_summary(summary, args.out, out)
    return 130 if summary.stopped else 0


class _ProgressLine:
    """One line on a terminal: units, blocks or signatures, rows, retries, skipped slots, rate."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._summary: Any = None
        self._started = time.monotonic()
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    def update(self, summary: Any) -> None:
        with self._lock:
            self._summary = summary
        self._draw()

    def _loop(self) -> None:
        while not self._stop.wait(0.25):
            self._draw()

    def _draw(self) -> None:
        with self._lock:
            s = self._summary
            seconds = time.monotonic() - self._started
            if s is None:
                line = f"\rfetch: starting  {seconds:.0f} s"
            else:
                rows = sum(s.rows.values())
                done = f"{s.blocks:,} blocks" if s.blocks or not s.signatures else f"{s.signatures:,} signatures"
                line = (f"\rfetch from {s.host}: {done}  {rows:,} rows  {s.retries:,} retries  {s.skipped:,} skipped"
                        f"  {rows / max(seconds, 1e-9):,.0f} rows/s  {seconds:.0f} s")
            self._stream.write(line + "\033[K")
            self._stream.flush()

    def close(self) -> None:
        self._stop.set()
        self._thread.join()
        self._stream.write("\r\033[K")
        self._stream.flush()


def print_summary(s: Any, out_dir: str, out: TextIO) -> None:
    """Rows per dataset, what was fetched and skipped, the node's retries, the time."""
    written = sorted((folder, n) for folder, n in s.rows.items() if n)
    width = max([len(f) for f, _ in written] + [7])
    if written:
        out.write(f"{'dataset':<{width}}  {'rows':>12}\n")
        for folder, n in written:
            out.write(f"{folder:<{width}}  {n:>12,}\n")
        out.write("\n")
    rows = sum(n for _, n in written)
    what = f"{s.blocks:,} blocks ({s.skipped:,} slots skipped)" if s.blocks or s.skipped else \
        f"{s.signatures:,} signatures" if s.signatures else f"{s.units} snapshot" if s.units else "nothing new"
    state = "stopped (the same command resumes)" if s.stopped else "complete" if s.complete else "in progress"
    out.write(f"{what} from {s.host}: {rows:,} rows in {s.seconds:.1f} s, {s.requests:,} requests, "
              f"{s.retries:,} retries; {state}{', resumed' if s.resumed else ''}; written to {out_dir}\n")
