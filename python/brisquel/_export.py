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

import os
import re
import shutil
import time
import uuid
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

from brisquel._json_pieces import SourceError
from brisquel._part_writer import PartWriters, tag_dir, write_empty
from brisquel._process_cache import decoded, decoders
from brisquel._sources import ACCOUNTS, CALLS, EVENTS, Decoding, Key, Plan, Source, Tag, pieces


class ExportSummary(dict[Key, int]):
    """Rows written per event key, `calls` the rows per instruction key,
    `accounts` per account type, and what did not make it: `skipped` (rows, or
    accounts, by reason), `failed` (file -> message; none of its rows written)."""

    def __init__(self) -> None:
        super().__init__()
        self.calls: dict[Key, int] = {}
        self.accounts: dict[Key, int] = {}
        self.skipped: Counter[str] = Counter()
        self.failed: dict[str, str] = {}
        self.files = 0
        self.seconds = 0.0

    def rows_of(self, kind: str) -> dict[Key, int]:
        """The rows written per key of one kind."""
        return {EVENTS: self, CALLS: self.calls, ACCOUNTS: self.accounts}[kind]


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


def run(jobs: list[Job], out_dir: Path, progress: Callable[[SourceResult, int, int], None] | None) -> ExportSummary:
    """Writes the datasets of `jobs` and the error rows of their origins into `out_dir`."""
    out_dir.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    run_id = uuid.uuid4().hex[:12]
    staging = out_dir / f".staging-{run_id}"
    staging.mkdir()
    try:
        results = _run_tasks(jobs, staging, run_id, progress)
        summary = _commit(jobs, out_dir, staging, results)
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    summary.seconds = time.monotonic() - started
    return summary


def _run_tasks(jobs: list[Job], staging: Path, run_id: str,
               progress: Callable[[SourceResult, int, int], None] | None) -> list[SourceResult]:
    import dask

    write = dask.delayed(_write_source, pure=False, traverse=False)
    tasks = []
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

        class Progress(Callback):
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
                for d in datasets:
                    add(d, piece.tables[d.origin])
                for kind in kinds:
                    add_errors(kind, piece.tables[(kind, None)])
                result.skipped.update(piece.skipped)
        else:
            whole = decoded(decoding, source)
            derived = iter(graphs)
            for d in datasets:
                add(d, _arrow_of(next(derived).compute(), d.schema) if d.derived else whole.tables[d.origin])
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


def _commit(jobs: list[Job], out: Path, staging: Path, results: list[SourceResult]) -> ExportSummary:
    """Drops the parts of failed files, then puts each staged dataset in place."""
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
            for part in r.parts:
                (staging / part).unlink(missing_ok=True)
            if sum(r.rows.values()):
                summary.skipped["rows of files that failed"] += sum(r.rows.values())
            continue
        for (kind, key), rows in r.rows.items():
            summary.rows_of(kind)[key] += rows
        summary.skipped.update(r.skipped)
    replaced = staging / ".replaced"
    errors = [(tag_dir((kind, None)), job.plan.schemas[(kind, None)])
              for job in jobs for kind in _error_kinds(job.plan.decoding, job.datasets)]
    for folder, schema in [(tag_dir(d.tag), d.schema) for d in datasets] + errors:
        new = staging / folder
        new.mkdir(parents=True, exist_ok=True)
        if not any(new.glob("part-*.parquet")):
            write_empty(schema, new / "part-00000.parquet")
        final = out / folder
        final.parent.mkdir(parents=True, exist_ok=True)
        if final.exists():
            replaced.mkdir(exist_ok=True)
            os.rename(final, replaced / uuid.uuid4().hex)
        os.rename(new, final)
    return summary
