"""Running an export: one task per source that writes every dataset's part of
it, staged under the output folder and put in place once every task is done.

A dataset is either an event's (or instruction's) table as read_events plans
it, decoded piece by piece (bounded memory), or a frame derived from
read_events' frames (a column selection, a filter), whose partition is
computed in the task from the same source, decoded once per process. Events
and calls of one plan come from the same task, one decoding per source. A run
may hold more than one plan (transactions' events and calls, and account
snapshots' accounts): each plan's sources have their tasks, and every dataset
is put in place at the end, together."""

from __future__ import annotations

import fcntl
import os
import re
import shutil
import time
import uuid
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, cast

import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

from brisquel._json_pieces import SourceError
from brisquel._part_writer import PartWriters, tag_dir
from brisquel._process_cache import decoded, decoders
from brisquel._sources import ACCOUNTS, CALLS, EVENTS, Decoding, Key, Plan, Source, Tag, pieces


class ExportSummary(dict[Key, int]):
    """Rows per event key, `calls` the rows per instruction key, `accounts` per
    account type, and what did not make it: `skipped` (rows, or accounts, by
    reason), `failed` (file -> message; none of its rows written). `written`
    says whether the datasets were put in place: not when a file failed and
    the run was not asked to skip failed files (the counts then say what the
    other files held)."""

    def __init__(self) -> None:
        super().__init__()
        self.calls: dict[Key, int] = {}
        self.accounts: dict[Key, int] = {}
        self.tables: dict[Key, int] = {}  # transactions and balances
        self.skipped: Counter[str] = Counter()
        self.failed: dict[str, str] = {}
        self.files = 0
        self.seconds = 0.0
        self.written = True

    def rows_of(self, kind: str) -> dict[Key, int]:
        """The rows written per key of one kind."""
        return {EVENTS: self, CALLS: self.calls, ACCOUNTS: self.accounts}.get(kind, self.tables)


@dataclass
class SourceResult:
    """What one source's task did: rows per (kind, key), skipped rows by reason,
    the failure if any, and the parts it staged (paths under the staging folder)."""

    path: str
    rows: dict[Tag, int]
    skipped: Counter[str] = field(default_factory=Counter)
    error: str | None = None
    parts: list[str] = field(default_factory=list)


@dataclass(frozen=True)
class Dataset:
    """One dataset to write: its kind and key (and so its folder), its schema,
    and where its rows come from: the plan's table of `origin`, or, when
    `derived`, a frame computed partition by partition (`origin` then the one
    table it is computed from, if only one)."""

    key: Key
    kind: str
    schema: pa.Schema
    origin: Tag | None
    derived: bool = False

    @property
    def tag(self) -> Tag:
        return (self.kind, self.key)


@dataclass
class Job:
    """One plan's share of a run: its datasets, and the graphs of the derived
    ones' partitions (per dataset, one per source of the plan)."""

    plan: Plan
    datasets: list[Dataset] = field(default_factory=list)
    partitions: dict[Tag, list[PartitionGraph]] = field(default_factory=dict)


class PartitionGraph:
    """The graph of one partition of a derived frame, carried to its task as an
    opaque value (the scheduler must not take it for part of its own graph)."""

    def __init__(self, graph: dict[Any, Any], key: Any) -> None:
        self.graph = graph
        self.key = key

    def compute(self) -> Any:
        from dask.local import get_sync

        return get_sync(self.graph, self.key)


def run(jobs: list[Job], out_dir: Path, progress: Callable[[SourceResult, int, int], None] | None,
        skip_failed: bool = False) -> ExportSummary:
    """Writes the datasets of `jobs` and the error rows of their origins into
    `out_dir`: all of them, or none when a file fails (unless `skip_failed`)."""
    out_dir.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    with _Staging(out_dir) as staging:
        results = _run_tasks(jobs, staging.path, staging.run_id, progress)
        summary = _commit(jobs, out_dir, staging.path, results, skip_failed)
    summary.seconds = time.monotonic() - started
    return summary


STAGING_PREFIX = ".staging-"


class _Staging:
    """A run's staging folder under the output folder, `.staging-<id>`, and a
    lock beside it, `.staging-<id>.lock`, held while the run lasts. A folder
    whose lock nobody holds was left by a run that died (killed, or its
    process gone before it could clean up): the next run removes it."""

    def __init__(self, out_dir: Path) -> None:
        clear_stale_staging(out_dir)
        self.run_id = uuid.uuid4().hex[:12]
        self.path = out_dir / f"{STAGING_PREFIX}{self.run_id}"
        self._lock_path = self.path.with_name(self.path.name + ".lock")
        # Locked before the folder exists, so that no other run ever sees the folder unlocked.
        self._lock = open(self._lock_path, "w")
        fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        self.path.mkdir()

    def __enter__(self) -> _Staging:
        return self

    def __exit__(self, *exc: object) -> None:
        # Tasks still running (an interrupted run) see the folder gone and stop.
        shutil.rmtree(self.path, ignore_errors=True)
        self._lock_path.unlink(missing_ok=True)
        self._lock.close()


def clear_stale_staging(out_dir: Path) -> None:
    """Removes the staging folders under `out_dir` that no running export holds."""
    try:
        entries = [e for e in out_dir.iterdir() if e.name.startswith(STAGING_PREFIX)]
    except OSError:
        return
    for entry in entries:
        if entry.name.endswith(".lock"):
            folder = entry.with_name(entry.name.removesuffix(".lock"))
            if not folder.exists() and _unheld(entry):
                entry.unlink(missing_ok=True)
            continue
        lock = entry.with_name(entry.name + ".lock")
        if not lock.exists() or _unheld(lock):
            shutil.rmtree(entry, ignore_errors=True)
            lock.unlink(missing_ok=True)


def _unheld(lock: Path) -> bool:
    """Whether no process holds the lock file (it may be taken, so its run is over)."""
    try:
        with open(lock, "r+") as f:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
    except BlockingIOError:
        return False
    except OSError:
        return False


def _run_tasks(jobs: list[Job], staging: Path, run_id: str,
               progress: Callable[[SourceResult, int, int], None] | None) -> list[SourceResult]:
    import dask

    write = dask.delayed(_write_source, pure=False, traverse=False)
    tasks: list[Any] = []
    for j, job in enumerate(jobs):
        # The decoding (with its IDL texts) is one node of the graph: a worker gets it once.
        decoding = dask.delayed(job.plan.decoding, name=f"brisquel-decoding-{run_id}-{j}", traverse=False)
        for n, source in enumerate(job.plan.sources):
            graphs = [job.partitions[d.tag][n] for d in job.datasets if d.derived]
            part = len(tasks)  # part names never meet, whichever plan a part is of
            tasks.append(write(decoding, source, job.datasets, graphs, str(staging), part,
                               dask_key_name=f"brisquel-write-{run_id}-{part}"))
    total = len(tasks)
    results: list[SourceResult] = []

    def done(result: SourceResult) -> None:
        results.append(result)
        if progress is not None:
            progress(result, len(results), total)

    client = _distributed_client()
    if client is None:
        from dask.callbacks import Callback

        class Progress(Callback):  # type: ignore[misc]  # Dask's classes are untyped
            def _posttask(self, key: Any, result: Any, dsk: Any, state: Any, worker_id: Any) -> None:
                if isinstance(result, SourceResult):
                    done(result)

        with Progress():
            dask.compute(*tasks)
        return results

    from distributed import as_completed

    futures = client.compute(tasks)
    try:
        for future in as_completed(futures):
            done(future.result())
    except BaseException:
        client.cancel(futures)
        raise
    return results


def _distributed_client() -> Any:
    """The distributed Client that is Dask's current scheduler, if one is."""
    import dask

    if dask.config.get("scheduler", None) != "dask.distributed":
        return None
    from distributed import default_client

    try:
        return default_client()
    except ValueError:
        return None


def _error_kinds(decoding: Decoding, datasets: list[Dataset]) -> list[str]:
    """The kinds whose rows that did not decode are written: those of the datasets."""
    return sorted({d.kind for d in datasets} & set(decoding.kinds))


def _write_source(decoding: Decoding, source: Source, datasets: list[Dataset], graphs: list[PartitionGraph],
                  staging: str, part: int) -> SourceResult:
    """The task of one source: decode it once, stage a part per dataset that has rows."""
    schemas = decoders(decoding).schemas
    result = SourceResult(source[0], dict.fromkeys((d.tag for d in datasets), 0))
    kinds = _error_kinds(decoding, datasets)
    # Per kind, the keys whose error rows are written: those of the tables written (all: no filter).
    origins = {kind: sorted({d.origin[1] for d in datasets if d.origin and d.origin[0] == kind and d.origin[1]})
               for kind in kinds}
    every = {kind: len(origins[kind]) == sum(1 for k, key in schemas if k == kind and key) for kind in kinds}
    writers = PartWriters(Path(staging), part)

    def add(d: Dataset, table: pa.Table) -> None:
        if table.num_rows:
            writers.add(tag_dir(d.tag), table)
            result.rows[d.tag] += table.num_rows

    def add_errors(kind: str, table: pa.Table) -> None:
        if table.num_rows and not every[kind]:
            table = _errors_of(table, kind, origins[kind])
        if table.num_rows:
            result.skipped.update(_reasons(table, kind))
            writers.add(tag_dir((kind, None)), table)

    try:
        if not graphs:
            for piece in pieces(decoders(decoding), source):
                if not os.path.isdir(staging):  # the run was given up: stop here
                    raise _Abandoned
                for d in datasets:
                    add(d, piece.tables[cast(Tag, d.origin)])  # none derived here: each has its table
                for kind in kinds:
                    add_errors(kind, piece.tables[(kind, None)])
                result.skipped.update(piece.skipped)
        else:
            whole = decoded(decoding, source)
            derived = iter(graphs)
            for d in datasets:
                add(d, _arrow_of(next(derived).compute(), d.schema) if d.derived else whole.tables[cast(Tag, d.origin)])
            for kind in kinds:
                add_errors(kind, whole.tables[(kind, None)])
            result.skipped.update(whole.skipped)
    except SourceError as e:
        writers.discard()
        result.error = str(e)
        return result
    except BaseException:
        writers.discard()
        raise
    result.parts = writers.close()
    return result


class _Abandoned(Exception):
    """The run this task works for is over (interrupted): its staging folder is gone."""


def _arrow_of(frame: Any, schema: pa.Schema) -> pa.Table:
    """A computed partition (pandas) as an Arrow table of `schema`."""
    if isinstance(frame, pd.Series):
        frame = frame.to_frame()
    table = pa.Table.from_pandas(frame, schema=schema, preserve_index=False)
    return table.replace_schema_metadata(schema.metadata)


_NAME_COLUMN = {EVENTS: "event", CALLS: "instruction", ACCOUNTS: "account"}  # of a kind's error rows
_REASON_LABEL = {EVENTS: "", CALLS: "call ", ACCOUNTS: "account "}


def _names(errors: pa.Table, kind: str) -> pa.ChunkedArray:
    """What each error row was: its event, instruction or account type ("" where
    the data could not be read, or the whole transaction)."""
    return pc.fill_null(errors.column(_NAME_COLUMN[kind]), "")


def _errors_of(errors: pa.Table, kind: str, keys: list[Key]) -> pa.Table:
    """The error rows of the given keys only; for calls and accounts, with those
    whose instruction or type could not be told, of the same programs; and the
    transactions that could not be read at all (no program), which concern every one."""
    wanted = [f"{program}\0{name}" for program, name in keys]
    if kind != EVENTS:
        wanted += [f"{program}\0" for program in sorted({program for program, _ in keys})]
    names = pc.binary_join_element_wise(errors.column("program"), _names(errors, kind), "\0")
    keep = pc.or_kleene(pc.is_in(names, pa.array(wanted, pa.string())), pc.is_null(errors.column("program")))
    return errors.filter(keep)


def _reasons(errors: pa.Table, kind: str = EVENTS) -> Counter[str]:
    """Error rows counted by event (call, account type) and message, the
    numbers in messages left out so that one kind of failure counts as one."""
    counts: Counter[str] = Counter()
    table = pa.table({"name": _names(errors, kind), "message": errors.column("message"),
                      "whole": pc.is_null(errors.column("program"))})
    grouped = table.group_by(["name", "message", "whole"]).aggregate([([], "count_all")])
    label = _REASON_LABEL[kind]
    for name, message, whole, count in zip(*(grouped.column(c).to_pylist()
                                             for c in ("name", "message", "whole", "count_all"))):
        what = "transaction" if whole else f"{label}{name or '?'}"
        counts[f"{what}: {re.sub(r'[0-9]+', 'N', message)}"] += count
    return counts


def _commit(jobs: list[Job], out: Path, staging: Path, results: list[SourceResult], skip_failed: bool) -> ExportSummary:
    """Puts each staged dataset in place, or none when a file failed (unless
    `skip_failed`: then without the parts of the failed files). A dataset
    without rows is not written, and one of an earlier run is removed: every
    dataset of the run's keys then holds this run's rows."""
    summary = ExportSummary()
    datasets = [d for job in jobs for d in job.datasets]
    for d in datasets:
        summary.rows_of(d.kind)[d.key] = 0
    summary.files = len({r.path for r in results})
    for r in results:
        if r.error:
            summary.failed.setdefault(r.path, r.error)
    for r in results:
        if r.path in summary.failed:
            if sum(r.rows.values()):
                summary.skipped["rows of files that failed"] += sum(r.rows.values())
            continue
        for (kind, key), rows in r.rows.items():
            summary.rows_of(kind)[cast(Key, key)] += rows
        summary.skipped.update(r.skipped)
    if summary.failed and (not skip_failed or len(summary.failed) == summary.files):
        summary.written = False  # (every file failed: there is nothing to write in their place)
        return summary
    for r in results:
        if r.path in summary.failed:
            for part in r.parts:
                (staging / part).unlink(missing_ok=True)
    replaced = staging / ".replaced"
    errors = [tag_dir((kind, None)) for job in jobs for kind in _error_kinds(job.plan.decoding, job.datasets)]
    for folder in [tag_dir(d.tag) for d in datasets] + errors:
        new = staging / folder
        final = out / folder
        if final.exists():
            replaced.mkdir(exist_ok=True)
            os.rename(final, replaced / uuid.uuid4().hex)
        if new.is_dir() and any(new.glob("part-*.parquet")):
            final.parent.mkdir(parents=True, exist_ok=True)
            os.rename(new, final)
        else:
            _remove_empty_parents(final, out)  # a program's folder left without datasets
    return summary


def _remove_empty_parents(path: Path, top: Path) -> None:
    for folder in path.parents:
        if folder == top or not folder.is_relative_to(top):
            return
        try:
            folder.rmdir()
        except OSError:  # not empty (or gone)
            return
