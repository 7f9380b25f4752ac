"""Running an export: one task per source that writes every dataset's part of
it, staged under the output folder and put in place once every task is done.

A dataset is either an event's table as read_events plans it, decoded piece by
piece (bounded memory), or a frame derived from read_events' frames (a
column selection, a filter), whose partition is computed in the task from the
same source, decoded once per process."""

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
from brisquel._part_writer import ERRORS_DIR, PartWriters, key_dir, write_empty
from brisquel._process_cache import decoded, decoders
from brisquel._sources import Decoding, Key, Plan, Source, pieces


class ExportSummary(dict[Key, int]):
    """Rows written per event key, and what did not make it: `skipped` (rows by
    reason), `failed` (file -> message; none of its rows written)."""

    def __init__(self) -> None:
        super().__init__()
        self.skipped: Counter[str] = Counter()
        self.failed: dict[str, str] = {}
        self.files = 0
        self.seconds = 0.0


@dataclass
class SourceResult:
    """What one source's task did: rows per key, skipped rows by reason, the
    failure if any, and the parts it staged (paths under the staging folder)."""

    path: str
    rows: dict[Key, int]
    skipped: Counter[str] = field(default_factory=Counter)
    error: str | None = None
    parts: list[str] = field(default_factory=list)


@dataclass(frozen=True)
class Dataset:
    """One dataset to write: its key (and so its folder), its schema, and where
    its rows come from: the plan's table of `origin`, or, when `derived`, a
    frame computed partition by partition."""

    key: Key
    schema: pa.Schema
    origin: Key | None
    derived: bool = False


class PartitionGraph:
    """The graph of one partition of a derived frame, carried to its task as an
    opaque value (the scheduler must not take it for part of its own graph)."""

    def __init__(self, graph: dict[Any, Any], key: Any) -> None:
        self.graph = graph
        self.key = key

    def compute(self) -> Any:
        from dask.local import get_sync

        return get_sync(self.graph, self.key)


def run(plan: Plan, datasets: list[Dataset], partitions: dict[Key, list[PartitionGraph]], out_dir: Path,
        progress: Callable[[SourceResult, int, int], None] | None) -> ExportSummary:
    """Writes `datasets` (`partitions` holds the graphs of the derived ones, one
    per source) and the error rows of their origins into `out_dir`."""
    out_dir.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    run_id = uuid.uuid4().hex[:12]
    staging = out_dir / f".staging-{run_id}"
    staging.mkdir()
    try:
        results = _run_tasks(plan, datasets, partitions, staging, run_id, progress)
        summary = _commit(plan, datasets, out_dir, staging, results)
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    summary.seconds = time.monotonic() - started
    return summary


def _run_tasks(plan: Plan, datasets: list[Dataset], partitions: dict[Key, list[PartitionGraph]], staging: Path,
               run_id: str, progress: Callable[[SourceResult, int, int], None] | None) -> list[SourceResult]:
    import dask

    # The decoding (with its IDL texts) is one node of the graph: a worker gets it once.
    decoding = dask.delayed(plan.decoding, name=f"brisquel-decoding-{run_id}", traverse=False)
    write = dask.delayed(_write_source, pure=False, traverse=False)
    tasks = [write(decoding, source, datasets, [partitions[d.key][n] for d in datasets if d.derived], str(staging),
                   n, dask_key_name=f"brisquel-write-{run_id}-{n}")
             for n, source in enumerate(plan.sources)]
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


def _folder(decoding: Decoding, name: str) -> str:
    """Where a dataset folder (or the errors') goes: accounts' under accounts/."""
    return f"accounts/{name}" if decoding.format == "accounts" else name


def _write_source(decoding: Decoding, source: Source, datasets: list[Dataset], graphs: list[PartitionGraph],
                  staging: str, part: int) -> SourceResult:
    """The task of one source: decode it once, stage a part per dataset that has rows."""
    schemas = decoders(decoding).schemas
    result = SourceResult(source[0], dict.fromkeys((d.key for d in datasets), 0))
    origins = sorted({d.origin for d in datasets if d.origin is not None})
    every_origin = len(origins) == len(schemas)
    writers = PartWriters(Path(staging), part)

    def add(key: Key | str, table: pa.Table) -> None:
        if key == ERRORS_DIR and table.num_rows and not every_origin:
            table = _errors_of(table, origins)
        if not table.num_rows:
            return
        if key == ERRORS_DIR:
            result.skipped.update(_reasons(table))
            writers.add(_folder(decoding, ERRORS_DIR), table)
        else:
            writers.add(_folder(decoding, key_dir(key)), table)
            result.rows[key] += table.num_rows

    try:
        if not graphs:
            for piece in pieces(decoders(decoding), source):
                for d in datasets:
                    add(d.key, piece.tables[d.origin])
                add(ERRORS_DIR, piece.errors)
                result.skipped.update(piece.skipped)
        else:
            whole = decoded(decoding, source)
            derived = iter(graphs)
            for d in datasets:
                add(d.key, _arrow_of(next(derived).compute(), d.schema) if d.derived else whole.tables[d.origin])
            add(ERRORS_DIR, whole.errors)
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


def _kind_column(errors: pa.Table) -> str:
    """The errors' column naming the event (or the account type)."""
    return "event" if "event" in errors.column_names else "account"


def _errors_of(errors: pa.Table, keys: list[Key]) -> pa.Table:
    """The error rows of the given event keys only."""
    wanted = pa.array([f"{program}\0{event}" for program, event in keys], pa.string())
    names = pc.binary_join_element_wise(errors.column("program"), errors.column(_kind_column(errors)), "\0")
    return errors.filter(pc.is_in(names, wanted))


def _reasons(errors: pa.Table) -> Counter[str]:
    """Error rows counted by event and message, the numbers in messages left out
    so that one kind of failure counts as one."""
    counts: Counter[str] = Counter()
    kind = _kind_column(errors)
    grouped = errors.group_by([kind, "message"]).aggregate([([], "count_all")])
    for event, message, count in zip(*(grouped.column(c).to_pylist() for c in (kind, "message", "count_all"))):
        # An account whose data did not decode has no type.
        counts[f"{event or 'account data'}: {re.sub(r'[0-9]+', 'N', message)}"] += count
    return counts


def _commit(plan: Plan, datasets: list[Dataset], out: Path, staging: Path,
            results: list[SourceResult]) -> ExportSummary:
    """Drops the parts of failed files, then puts each staged dataset in place."""
    summary = ExportSummary()
    summary.update(dict.fromkeys((d.key for d in datasets), 0))
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
        for key, rows in r.rows.items():
            summary[key] += rows
        summary.skipped.update(r.skipped)
    replaced = staging / ".replaced"
    for folder, schema in [(_folder(plan.decoding, key_dir(d.key)), d.schema) for d in datasets] + [
            (_folder(plan.decoding, ERRORS_DIR), plan.errors_schema)]:
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
