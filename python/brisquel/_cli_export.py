"""python -m brisquel export: files of transactions (or Parquet logs) to one
Parquet dataset per event and, from transactions, one per instruction called;
with --accounts, account snapshots to one dataset per account type; on local
worker processes or a running Dask cluster.

    python -m brisquel export IDL [IDL ...] --out DIR INPUT ... [options]

    DIR/events/<program>/<Event>/part-*.parquet         DIR/events/_errors/
    DIR/calls/<program>/<instruction>/part-*.parquet    DIR/calls/_errors/
    DIR/accounts/<program>/<Account>/part-*.parquet     DIR/accounts/_errors/
    DIR/transactions/part-*.parquet                     DIR/balances/part-*.parquet

The IDL files come before --out, the inputs (files or folders) after it. Each
file is decoded once for its events and calls. While it runs, a progress line
on standard error (when that is a terminal); at the end, a summary on standard
output: rows per event, per instruction or per account type, rows skipped
and why, time.
A file that fails is named on standard error with its line and nothing is
written (--skip-failed: the other files are); the exit status is 1. Small
inputs are decoded in this process, larger ones on local worker processes.
"""

from __future__ import annotations

import argparse
import logging
import os
import signal
import sys
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, TextIO

from brisquel import IdlError
from brisquel._cli_accounts import add_decoder_options, zero_copy_of
from brisquel._common import (IDLS_THEN_INPUTS, CommandError, add_address_option, addresses_of, idl_error, plural,
                              read_idls, reason)

# Inputs up to this size are decoded in this process (on threads: the decoders
# release the interpreter lock) unless --workers says otherwise: starting worker
# processes takes seconds, more than decoding this much.
IN_PROCESS_BYTES = 256 << 20

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
    add_address_option(p)
    p.add_argument("--skip-failed", action="store_true",
                   help="when a file fails, write the rows of the others (by default a run with a failed file "
                        "writes nothing)")
    p.add_argument("--workers", type=int, metavar="N",
                   help="local worker processes; 0: decode in this process (default: in this process for inputs "
                        f"up to {IN_PROCESS_BYTES >> 20} MiB in all, else one worker per core)")
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
    if args.workers is not None and not 0 <= args.workers <= 1024:
        p.error("--workers: from 0 (this process) to 1024")
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
    addresses = addresses_of(args.address, args.idls, texts)
    _require_modules(cluster=False)
    from brisquel._export import clear_stale_staging
    from brisquel.dataset import AccountFrames, EventFrames, read_accounts, read_events, write_events

    files = _input_files(args.inputs)
    kind = args.format or _format_of(files)
    if kind == "jsonl" and (args.keep or args.logs_column):
        option = "--keep" if args.keep else "--logs-column"
        raise CommandError(f"{option} is for Parquet logs; JSON transactions carry _signature, _slot and _block_time "
                           "already")
    events: AccountFrames | EventFrames
    try:
        if args.accounts:
            events = read_accounts(files, texts, format=kind, zero_copy=zero_copy_of(args.zero_copy, texts, args.idls),
                                   old_versions=args.old_versions, chunk_bytes=args.chunk_mb << 20,
                                   addresses=addresses)
        else:
            events = read_events(files, texts, format=kind, logs_column=args.logs_column or "logMessages",
                                 keep=[k for k in args.keep.split(",") if k], short_events=args.short_events or "null",
                                 include_failed=args.include_failed, chunk_bytes=args.chunk_mb << 20,
                                 calls=args.calls and kind == "jsonl", addresses=addresses)
    except IdlError as e:
        raise idl_error(e, args.idls, texts, IDLS_THEN_INPUTS) from None
    except (ValueError, TypeError, OSError) as e:
        raise CommandError(reason(e)) from None
    if not events and not events.calls:
        what = "account types" if args.accounts else "events or instructions" if events.calls is not None else "events"
        raise CommandError(f"the IDLs declare no {what}: nothing to export")
    workers = _workers(args, files)
    if workers:
        _require_modules(cluster=True)
    try:
        with _client(args, workers):
            ready = time.monotonic() - started
            bar = _ProgressLine(events.sources, sys.stderr) if sys.stderr.isatty() else None
            try:
                summary = write_events(events, args.out, progress=bar.update if bar else None,
                                       skip_failed=args.skip_failed)
            except OSError as e:
                raise CommandError(f"cannot write to {args.out}: {reason(e)}") from None
            finally:
                if bar:
                    bar.close()
    except KeyboardInterrupt:
        # The workers are gone: nothing can write to a staging folder any more.
        clear_stale_staging(Path(args.out))
        print(f"brisquel: interrupted; the datasets in {args.out} are as they were", file=sys.stderr)
        return 130
    print_summary(summary, args.out, time.monotonic() - started, ready if workers else None, out)
    for message in summary.failed.values():
        print(f"brisquel: {message}", file=sys.stderr)
    return 1 if summary.failed else 0


def _require_modules(cluster: bool) -> None:
    """Imports what an export runs on, or says what to install."""
    import importlib

    names = ("distributed",) if cluster else ("pyarrow", "pandas", "dask")
    for name in names:
        try:
            importlib.import_module(name)
        except ImportError as e:
            if cluster:
                raise CommandError(f"export on worker processes needs Dask's distributed (Debian: python3-distributed; "
                                   f"pip: brisquel[export]): {e}; --workers 0 exports in this process") from None
            raise CommandError(f"export needs pyarrow, pandas and Dask (Debian: python3-pyarrow, python3-pandas, "
                               f"python3-dask; pip: brisquel[export]): {e}") from None


def _input_files(inputs: list[str]) -> list[str]:
    """The input files, each folder's data files said on standard error; every path
    must exist, so that a run never starts without one of its inputs."""
    from brisquel.dataset import DATA_SUFFIXES, find_inputs

    missing = [path for path in inputs if not os.path.exists(path)]
    if missing:
        raise CommandError(f"cannot read {', '.join(missing)}: no such file or folder; nothing was exported")
    found = find_inputs(inputs)
    for folder, (taken, skipped) in found.folders.items():
        subfolders = {os.path.dirname(f) for f in taken} - {""}
        note = f"brisquel: {folder}: {plural(len(taken), 'file')}"
        if subfolders:
            note += f" (in it and {plural(len(subfolders), 'subfolder')})"
        if skipped:
            shown = ", ".join(skipped[:3]) + (", …" if len(skipped) > 3 else "")
            note += (f"; {plural(len(skipped), 'other file')} skipped, as data files end in "
                     f"{', '.join(DATA_SUFFIXES)}: {shown}")
        print(note, file=sys.stderr)
    unreadable = [f for f in found.files if not os.access(f, os.R_OK)]
    if unreadable:
        raise CommandError(f"cannot read {', '.join(unreadable)}: permission denied; nothing was exported")
    if not found.files:
        raise CommandError("no input files in " + " ".join(inputs))
    return found.files


def _workers(args: argparse.Namespace, files: list[str]) -> int:
    """How many worker processes to start: none for --workers 0, a scheduler's, or small inputs."""
    if args.scheduler:
        return -1
    if args.workers is not None:
        return int(args.workers)
    size = sum(os.stat(f).st_size for f in files)
    return 0 if size <= IN_PROCESS_BYTES else os.process_cpu_count() or 1


def _format_of(files: list[str]) -> str:
    kinds = {"parquet" if f.endswith((".parquet", ".pq")) else "jsonl" for f in files}
    if len(kinds) > 1:
        raise CommandError("the inputs mix Parquet and JSON files: give --format, or export them apart")
    return kinds.pop()


@contextmanager
def _client(args: argparse.Namespace, workers: int) -> Iterator[Any]:
    """The Dask scheduler for the run: this process's threads (workers 0), local
    worker processes, or a running scheduler's (workers -1)."""
    if workers == 0:
        import dask

        with dask.config.set(scheduler="threads", num_workers=os.process_cpu_count() or 1):
            yield None
        return
    from distributed import Client, LocalCluster

    if workers < 0:
        try:
            client = Client(args.scheduler, timeout="10s")
        except (OSError, TimeoutError) as e:
            raise CommandError(f"cannot reach the scheduler at {args.scheduler}: {e}") from None
        with client:
            yield client
        return
    # The workers ignore Ctrl-C (they inherit that): this process stops them, after
    # removing the staging folder, instead of each printing its traceback.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                               silence_logs=logging.ERROR)
    finally:
        signal.signal(signal.SIGINT, previous)
    with cluster, Client(cluster) as client:
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


def print_summary(summary: Any, out_dir: str, seconds: float, ready: float | None, out: TextIO) -> None:
    """Rows per event, per instruction and per account type, rows skipped by reason, and the time (`ready`: until
    the workers were up; None: there were none)."""
    failed = f", {len(summary.failed)} failed" if summary.failed else ""
    if not summary.written:
        others = " (--skip-failed writes the rows of the other files)" if len(summary.failed) < summary.files else ""
        out.write(f"{plural(summary.files, 'file')}{failed}: nothing written; the datasets in {out_dir} are as they "
                  f"were{others}\n")
        return
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
            out.write(f"{'':<44}  ({empty} more {what}{'s' if empty > 1 else ''} without rows, not written)\n")
    if summary.tables:  # transactions and balances, which need no IDL
        out.write("\n" + "".join(f"{name:<{46 + width}}  {n:>{number},}\n" for (_, name), n in summary.tables.items()))
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
    singular = {"calls": "call", "accounts": "account"}
    calls = "".join(f" ({plural(sum(counts.values()), singular[kind])})" for kind, _, counts in kinds
                    if kind != "events")
    rate = f"{rows / max(summary.seconds, 1e-9):,.0f} rows/s"
    where = f"in this process, {rate}" if ready is None else f"{ready:.1f} s to get the workers, {rate} after"
    out.write(f"\n{plural(summary.files, 'file')}{failed}: {plural(rows, 'row')}{calls} in {seconds:.1f} s ({where}), "
              f"written to {out_dir}\n")
