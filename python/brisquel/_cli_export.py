"""python -m brisquel export: files of transactions (or Parquet logs) to one
Parquet dataset per event and, from transactions, one per instruction called;
with --accounts, account snapshots to one dataset per account type; on local
worker processes or a running Dask cluster.

    python -m brisquel export IDL [IDL ...] --out DIR INPUT ... [options]

    DIR/events/<program>/<Event>/part-*.parquet         DIR/events/_errors/
    DIR/calls/<program>/<instruction>/part-*.parquet    DIR/calls/_errors/
    DIR/accounts/<program>/<Account>/part-*.parquet     DIR/accounts/_errors/

The IDL files come before --out, the inputs (files or folders) after it. Each
file is decoded once for its events and calls. While it runs, a progress line
on standard error (when that is a terminal); at the end, a summary on standard
output: rows per event, per instruction or per account type, rows skipped
and why, time.
A file that fails is named on standard error with its line, none of its rows
are written, the others are, and the exit status is 1.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, TextIO

from brisquel import IdlError
from brisquel._cli_accounts import add_decoder_options, zero_copy_of
from brisquel._common import CommandError, idl_error, read_idls, reason

_TRANSACTION_OPTIONS = ("--logs-column", "--keep", "--include-failed", "--no-calls", "--short-events")


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="brisquel export", usage="%(prog)s IDL [IDL ...] --out DIR INPUT ... [options]", allow_abbrev=False,
        description="Decode the events of many files into one Parquet dataset per event: "
                    "DIR/events/<program>/<Event>/part-*.parquet, and the bodies that failed to decode in "
                    "DIR/events/_errors; from JSON transactions, the instruction calls too: "
                    "DIR/calls/<program>/<instruction>/, DIR/calls/_errors. With --accounts, the inputs are "
                    "account snapshots: one dataset per account type, DIR/accounts/<program>/<Account>/, and "
                    "DIR/accounts/_errors.")
    p.add_argument("paths", nargs="*", help=argparse.SUPPRESS)
    p.add_argument("--out", metavar="DIR", help="the output folder; each event's dataset there is replaced")
    p.add_argument("--format", choices=("jsonl", "parquet"),
                   help="of the inputs: RPC JSON (one value per line, or per file) or Parquet "
                        "(default: Parquet for names ending in .parquet, else JSON)")
    p.add_argument("--logs-column", metavar="NAME", help="Parquet: the column of log lines (default: logMessages)")
    p.add_argument("--keep", default="", metavar="COLUMNS",
                   help="Parquet: comma-separated columns copied into every event row (e.g. slot,signature)")
    p.add_argument("--include-failed", action="store_true",
                   help="JSON: events and calls of failed transactions too")
    p.add_argument("--no-calls", dest="calls", action="store_false", help="JSON: events only, no call tables")
    p.add_argument("--short-events", choices=("skip", "null"),
                   help="'null' (the default): old events, shorter than the IDL's layout, decode with the missing "
                        "fields null; 'skip': such bodies do not decode")
    p.add_argument("--accounts", action="store_true",
                   help="the inputs are account snapshots: RPC JSON as the accounts command reads it, or Parquet "
                        "with columns owner and data (and pubkey, lamports, slot)")
    add_decoder_options(p, "with --accounts: ")
    p.add_argument("--workers", type=int, metavar="N", help="local worker processes (default: the machine's cores)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="use a running `dask scheduler` (e.g. tcp://HOST:8786) and its workers instead")
    p.add_argument("--chunk-mb", type=int, default=64, metavar="N",
                   help="JSON files are read N MiB at a time (default 64), Parquet account snapshots about N MiB "
                        "of account data at a time: bounds a worker's memory")
    return p


def parse(argv: list[str]) -> argparse.Namespace:
    p = parser()
    at = next((i for i, a in enumerate(argv) if a == "--out" or a.startswith("--out=")), None)
    if at is None:
        p.parse_intermixed_args(argv)  # --help and bad options first
        p.error("--out DIR is required")
    idl_count = len(p.parse_intermixed_args(argv[:at]).paths)
    args = p.parse_intermixed_args(argv)
    args.idls, args.inputs = args.paths[:idl_count], args.paths[idl_count:]
    if not args.idls:
        p.error("give the IDL files before --out DIR")
    if not args.inputs:
        p.error("give the input files after --out DIR")
    if args.workers is not None and args.scheduler:
        p.error("--workers and --scheduler exclude each other")
    if args.workers is not None and not 1 <= args.workers <= 1024:
        p.error("--workers: from 1 to 1024")
    if not 1 <= args.chunk_mb <= 1024:
        p.error("--chunk-mb: from 1 to 1024")
    if not args.accounts and (args.zero_copy or args.old_versions):
        p.error("--zero-copy and --old-versions are for --accounts")
    given = (args.logs_column is not None, bool(args.keep), args.include_failed, not args.calls,
             args.short_events is not None)
    if args.accounts and any(given):
        p.error(f"{_TRANSACTION_OPTIONS[given.index(True)]} is for transactions, not --accounts")
    return args


def run(argv: list[str], out: TextIO) -> int:
    started = time.monotonic()
    args = parse(argv)
    texts = read_idls(args.idls)
    try:
        from brisquel.dataset import input_files, read_accounts, read_events, write_events
    except ImportError as e:
        if (e.name or "").split(".")[0] not in ("pyarrow", "pandas", "dask", "distributed"):
            raise
        raise CommandError(f"export needs pyarrow, pandas and Dask (Debian: python3-pyarrow, python3-pandas, "
                           f"python3-dask, python3-distributed): {e}") from None

    files = input_files(args.inputs)
    if not files:
        raise CommandError("no input files in " + " ".join(args.inputs))
    kind = args.format or _format_of(files)
    try:
        if args.accounts:
            events = read_accounts(files, texts, format=kind, zero_copy=zero_copy_of(args.zero_copy, texts, args.idls),
                                   old_versions=args.old_versions, chunk_bytes=args.chunk_mb << 20)
        else:
            events = read_events(files, texts, format=kind, logs_column=args.logs_column or "logMessages",
                                 keep=[k for k in args.keep.split(",") if k], short_events=args.short_events or "null",
                                 include_failed=args.include_failed, chunk_bytes=args.chunk_mb << 20,
                                 calls=args.calls and kind == "jsonl")
    except IdlError as e:
        raise idl_error(e, args.idls) from None
    if not events and not events.calls:
        what = "account types" if args.accounts else "events or instructions" if events.calls is not None else "events"
        raise CommandError(f"the IDLs declare no {what}: nothing to export")
    with _client(args):
        ready = time.monotonic() - started
        bar = _ProgressLine(events.sources, sys.stderr) if sys.stderr.isatty() else None
        try:
            summary = write_events(events, args.out, progress=bar.update if bar else None)
        except OSError as e:
            raise CommandError(f"cannot write to {args.out}: {reason(e)}") from None
        finally:
            if bar:
                bar.close()
    print_summary(summary, args.out, time.monotonic() - started, ready, out)
    for message in summary.failed.values():
        print(f"brisquel: {message}", file=sys.stderr)
    return 1 if summary.failed else 0


def _format_of(files: list[str]) -> str:
    kinds = {"parquet" if f.endswith((".parquet", ".pq")) else "jsonl" for f in files}
    if len(kinds) > 1:
        raise CommandError("the inputs mix Parquet and JSON files: give --format, or export them apart")
    return kinds.pop()


@contextmanager
def _client(args: argparse.Namespace) -> Iterator[Any]:
    from distributed import Client, LocalCluster

    if args.scheduler:
        try:
            client = Client(args.scheduler, timeout="10s")
        except (OSError, TimeoutError) as e:
            raise CommandError(f"cannot reach the scheduler at {args.scheduler}: {e}") from None
        with client:
            yield client
        return
    workers = args.workers or os.process_cpu_count() or 1
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        yield client


class _ProgressLine:
    """One line on a terminal, redrawn a few times a second: files done, rows, rate."""

    def __init__(self, sources: list[Any], stream: TextIO) -> None:
        self._stream = stream
        self._left: dict[str, int] = {}
        for source in sources:
            self._left[source[0]] = self._left.get(source[0], 0) + 1
        self._files = len(self._left)
        self._done = 0
        self._rows = 0
        self._started = time.monotonic()
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    def update(self, result: Any, done: int, total: int) -> None:
        with self._lock:
            self._rows += sum(result.rows.values())
            self._left[result.path] -= 1
            if not self._left[result.path]:
                self._done += 1
        self._draw()

    def _loop(self) -> None:
        while not self._stop.wait(0.25):
            self._draw()

    def _draw(self) -> None:
        with self._lock:
            seconds = time.monotonic() - self._started
            width = 24
            filled = width * self._done // max(1, self._files)
            line = (f"\r[{'#' * filled}{'.' * (width - filled)}] {self._done}/{self._files} files  "
                    f"{self._rows:,} rows  {self._rows / max(seconds, 1e-9):,.0f} rows/s  {seconds:.0f} s")
            self._stream.write(line + "\033[K")
            self._stream.flush()

    def close(self) -> None:
        self._stop.set()
        self._thread.join()
        self._stream.write("\r\033[K")
        self._stream.flush()


def print_summary(summary: Any, out_dir: str, seconds: float, ready: float, out: TextIO) -> None:
    """Rows per event, per instruction and per account type, rows skipped by reason, and the time (`ready`: until
    the workers were up)."""
    # Events always but in an export of accounts alone; the other kinds where there are any.
    kinds = [("events", "event", dict(summary))] if summary or not summary.accounts else []
    kinds += [(kind, what, counts) for kind, what, counts in (("calls", "instruction", summary.calls),
                                                              ("accounts", "account type", summary.accounts)) if counts]
    sections = [(what, counts) for _, what, counts in kinds]
    rows = sum(sum(counts.values()) for _, counts in sections)
    width = max([len(key[1]) for _, counts in sections for key, n in counts.items() if n] + [11])
    number = max([len(f"{n:,}") for _, counts in sections for n in counts.values()] +
                 [len(f"{n:,}") for n in summary.skipped.values()] + [4])
    for i, (what, counts) in enumerate(sections):
        written = [(key, n) for key, n in counts.items() if n]
        empty = len(counts) - len(written)
        out.write(("\n" if i else "") + f"{'program':<44}  {what:<{width}}  {'rows':>{number}}\n")
        for (program, name), n in written:
            out.write(f"{program:<44}  {name:<{width}}  {n:>{number},}\n")
        if empty:
            out.write(f"{'':<44}  ({empty} more {what}{'s' if empty > 1 else ''} without rows)\n")
    if summary.skipped:
        shown = summary.skipped.most_common(20)
        wide = min(100, max(46 + width, *(len(reason) for reason, _ in shown)))
        out.write(f"\n{'rows skipped, by reason':<{wide}}  {'rows':>{number}}\n")
        for reason, n in shown:
            if len(reason) > wide:
                reason = reason[:wide - 1] + "…"
            out.write(f"{reason:<{wide}}  {n:>{number},}\n")
        if len(summary.skipped) > 20:
            folders = " and ".join(f"{out_dir}/{kind}/_errors" for kind, _, _ in kinds)
            out.write(f"({len(summary.skipped) - 20} more reasons: see {folders})\n")
    failed = f", {len(summary.failed)} failed" if summary.failed else ""
    calls = "".join(f" ({sum(counts.values()):,} {kind})" for kind, _, counts in kinds if kind != "events")
    out.write(f"\n{summary.files} files{failed}: {rows:,} rows{calls} in {seconds:.1f} s ({ready:.1f} s to get the "
              f"workers, {rows / max(summary.seconds, 1e-9):,.0f} rows/s after), written to {out_dir}\n")
